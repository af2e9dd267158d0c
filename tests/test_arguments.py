"""How arguments are converted and refused: one table of calls and outcomes."""

import array
import decimal
import fractions
import sys

import pytest

import morvel

import reference
from conftest import exact

SERIES = [1.0, 2.0, 3.0, 4.0]


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 2


def generator():
    yield from SERIES


def call(*args, **kwargs):
    return args, kwargs


class plain(tuple):  # lower case: it reads as a call in the table
    """Accepted: the same rows as the plain model gives for these arguments."""

    def __new__(cls, *args):
        return super().__new__(cls, args)


CASES = [
    # ts: sequences and the iterables consumed into a tuple
    pytest.param(call(tuple(SERIES), 2), plain(SERIES, 2), id="ts-tuple"),
    pytest.param(call(range(1, 5), 2), plain([1, 2, 3, 4], 2), id="ts-range"),
    pytest.param(call(bytearray(b"\x01\x02\x03\x04"), 2), plain([1, 2, 3, 4], 2), id="ts-bytearray"),
    pytest.param(call(memoryview(array.array("d", SERIES)), 2), plain(SERIES, 2), id="ts-memoryview"),
    pytest.param(call(generator(), 2), plain(SERIES, 2), id="ts-generator"),
    pytest.param(call({1.0: 0, 2.0: 0, 3.0: 0, 4.0: 0}.keys(), 2), plain(SERIES, 2), id="ts-dict-keys"),
    pytest.param(call(map(float, SERIES), 2), plain(SERIES, 2), id="ts-map"),
    pytest.param(call([Floaty(), Indexy(), True, 4], 2), plain([2.5, 2, 1, 4], 2), id="ts-float-index-bool"),
    pytest.param(
        call([decimal.Decimal("1.5"), fractions.Fraction(1, 3), 2, 3], 2),
        plain([1.5, 1 / 3, 2, 3], 2),
        id="ts-number-protocol",
    ),
    pytest.param(call(frozenset(SERIES), 4), plain(list(frozenset(SERIES)), 4), id="ts-frozenset"),
    # integers
    pytest.param(call(SERIES, True), plain(SERIES, 1), id="window-bool"),
    pytest.param(call(SERIES, Indexy()), plain(SERIES, 2), id="window-index"),
    pytest.param(call(SERIES, decimal.Decimal("2.9")), plain(SERIES, 2), id="window-decimal-truncates"),
    pytest.param(call(SERIES, 2, w=fractions.Fraction(7, 2)), plain(SERIES, 2, 1, 3), id="w-fraction-truncates"),
    pytest.param(call(ts=SERIES, window=2, stride=2, w=3), plain(SERIES, 2, 2, 3), id="all-keywords"),
    # refusals by the dispatcher
    pytest.param(call("abcd", 2), TypeError, id="ts-str"),
    pytest.param(call(b"abcd", 2), TypeError, id="ts-bytes"),
    pytest.param(call(iter(SERIES), 2), TypeError, id="ts-plain-iterator"),
    pytest.param(call({1.0: 0}, 1), TypeError, id="ts-dict"),
    pytest.param(call(["1.0", 2.0], 1), TypeError, id="ts-str-element"),
    pytest.param(call([None, 2.0], 1), TypeError, id="ts-none-element"),
    pytest.param(call(5, 1), TypeError, id="ts-scalar"),
    pytest.param(call(SERIES, 1.5), TypeError, id="window-float"),
    pytest.param(call(SERIES, 2.0), TypeError, id="window-integral-float"),
    pytest.param(call(SERIES, "2"), TypeError, id="window-str"),
    pytest.param(call(SERIES, 2, 1, 1 << 31), TypeError, id="w-above-int32"),
    pytest.param(call(SERIES, -(1 << 31) - 1), TypeError, id="window-below-int32"),
    pytest.param(call(SERIES), TypeError, id="window-missing"),
    pytest.param(call(SERIES, 2, alpha=3), TypeError, id="unknown-keyword"),
    # refusals by the computation
    pytest.param(call(SERIES, 2, 1, -1), (ValueError, "vector too long"), id="w-negative"),
    pytest.param(call(SERIES, -1), (ValueError, "vector too long"), id="window-negative"),
    pytest.param(call([1, 2, 3, 4, 5], 7), (ValueError, "vector too long"), id="count-negative"),
    pytest.param(call(SERIES, 2, 0), (ValueError, "stride must not be 0"), id="stride-zero"),
    pytest.param(
        call([1, 2, 3, 4, 5], 7, 3),
        (ValueError, "window (7) is longer than the series (5 values)"),
        id="window-past-end",
    ),
]


@pytest.mark.parametrize(("call", "outcome"), CASES)
def test_conversion_table(call, outcome):
    args, kwargs = call
    if isinstance(outcome, plain):
        result = morvel.paa(*args, **kwargs)
        assert all(type(v) is float for row in result for v in row)
        assert exact(result) == exact(reference.paa(*outcome))
        return
    if outcome is TypeError:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            morvel.paa(*args, **kwargs)
        return
    kind, text = outcome
    with pytest.raises(kind) as raised:
        morvel.paa(*args, **kwargs)
    assert str(raised.value) == text


@pytest.mark.parametrize(
    ("odd", "plain"),
    [
        pytest.param(([Floaty(), Indexy(), True, 4], 2), ([2.5, 2.0, 1.0, 4.0], 2), id="element-protocols"),
        pytest.param((SERIES, decimal.Decimal("2.9")), (SERIES, 2), id="decimal-window"),
        pytest.param((SERIES, True, Indexy()), (SERIES, 1, 2), id="bool-and-index"),
        pytest.param((generator(), 2, 1, fractions.Fraction(7, 2)), (SERIES, 2, 1, 3), id="generator-fraction"),
    ],
)
def test_converted_values(odd, plain):
    assert exact(morvel.paa(*odd)) == exact(morvel.paa(*plain))


def test_sequence_errors_propagate_unchanged():
    class Broken:
        def __len__(self):
            raise KeyError("from __len__")

        def __getitem__(self, index):
            return 1.0

    with pytest.raises(KeyError, match="from __len__"):
        morvel.paa(Broken(), 1)


class RaisesOnce:
    """Raises `error` the first time it is read, then reads as 2."""

    def __init__(self, error):
        self.error, self.reads = error, 0

    def read(self):
        self.reads += 1
        if self.reads == 1:
            raise self.error
        return 2

    def __float__(self):
        return float(self.read())

    def __index__(self):
        return self.read()


FATAL = [
    pytest.param(KeyboardInterrupt, id="KeyboardInterrupt"),
    pytest.param(SystemExit, id="SystemExit"),
    pytest.param(MemoryError, id="MemoryError"),
    pytest.param(GeneratorExit, id="GeneratorExit"),
]


@pytest.mark.parametrize("error", FATAL)
@pytest.mark.parametrize(
    "place",
    ["element", "window", "stride", "w", "alpha"],
)
def test_interrupts_propagate_at_once_and_nothing_is_read_again(error, place):
    reader = RaisesOnce(error("while reading"))
    args = {"ts": [1.0, 5.0, 2.0, 8.0], "window": 2, "stride": 1, "w": 2, "alpha": 4}
    if place == "element":
        args["ts"] = [1.0, reader, 2.0, 8.0]
    else:
        args[place] = reader
    with pytest.raises(error, match="while reading"):
        morvel.sax(**args)
    assert reader.reads == 1


class AlwaysRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize("error", [ValueError, TypeError, ArithmeticError, RuntimeError])
def test_ordinary_element_errors_refuse_the_argument(error):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        morvel.paa([1.0, AlwaysRaises(error("ordinary"))], 1)
    # Raised once only, the element is read again through the number
    # protocol and accepted.
    assert morvel.paa([1.0, RaisesOnce(error("ordinary")), 3.0], 3, 1, 3) == morvel.paa([1.0, 2.0, 3.0], 3, 1, 3)


INTERRUPTED_CONVERSION = """
import fractions, os, signal
import morvel

class CtrlC:
    def __float__(self):
        os.kill(os.getpid(), signal.SIGINT)  # a real SIGINT, as a terminal sends
        return 1.0

ts = [fractions.Fraction(i, 7) for i in range(200_000)]
ts[100_000] = CtrlC()
try:
    morvel.paa(ts, 4)
except KeyboardInterrupt:
    print("interrupted")
else:
    print("returned")
"""


@pytest.mark.skipif(sys.platform == "win32", reason="Windows has no SIGINT to send to a process")
def test_ctrl_c_during_conversion_interrupts_the_call():
    import subprocess

    done = subprocess.run([sys.executable, "-c", INTERRUPTED_CONVERSION], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "interrupted", done.stdout + done.stderr
