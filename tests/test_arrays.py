"""paa_array and sax_array: the list functions' cells, bit for bit, as numpy
arrays; out= checked before any work; numpy needed only by them."""

import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel

from conftest import examples
from strategies import calls

INPUTS = {
    "list": lambda ts: ts,
    "float64": lambda ts: np.array(ts, dtype=np.float64),
    "float32-widened": lambda ts: np.array(ts, dtype=np.float32),
    "strided-view": lambda ts: np.repeat(np.array(ts, dtype=np.float64), 2)[::2],
    "big-endian": lambda ts: np.array(ts, dtype=">f8"),
}


def outcome(function, *args):
    try:
        return function(*args)
    except (ValueError, TypeError, OverflowError) as error:
        return type(error), str(error)


def as_lists(function, *args):
    """What a numpy user would build from the list function, as raw bytes."""
    result = outcome(function, *args)
    if isinstance(result, tuple):
        return result
    count, w = len(result), args[3]
    if function is morvel.sax:
        return np.array([[c.encode("latin-1") for c in row] for row in result], dtype="S1").reshape(count, w)
    return np.array(result, dtype=np.float64).reshape(count, w)


@pytest.mark.parametrize("kind", INPUTS)
@settings(max_examples=examples(60), deadline=None)
@given(call=calls(), alpha=st.integers(0, 24), repeat=st.sampled_from([1, 1, 90]))
def test_cells_are_the_lists_cells(kind, call, alpha, repeat):
    ts, window, stride, w = call
    ts = ts * repeat  # many tiles of windows
    if kind == "float32-widened":
        ts = np.float32(np.clip(ts, -1e38, 1e38)).astype(float).tolist()  # values float32 holds
    converted = INPUTS[kind](ts)
    for array_function, list_function, extra in [
        (morvel.paa_array, morvel.paa, ()),
        (morvel.sax_array, morvel.sax, (alpha,)),
    ]:
        expected = as_lists(list_function, ts, window, stride, w, *extra)
        got = outcome(array_function, converted, window, stride, w, *extra)
        if isinstance(expected, tuple):
            assert got == expected
            continue
        assert got.flags.c_contiguous and got.dtype == expected.dtype and got.shape == expected.shape
        assert got.tobytes() == expected.tobytes()  # NaN payloads and the sign of zero included


def test_words_and_symbols_are_views():
    ts = np.sin(np.arange(200) / 7.0)
    letters = morvel.sax_array(ts, 32, 4, 8, 6)
    words = letters.view("S8")
    symbols = letters.view(np.uint8) - ord("a")
    assert words.shape == (len(letters), 1) and np.shares_memory(words, letters)
    assert words[3, 0] == b"".join(letters[3])
    assert symbols.max() <= 5 and morvel.sax(ts, 32, 4, 8, 6)[3] == [chr(ord("a") + s) for s in symbols[3]]
    # window 0 keeps the NUL fill, as sax does
    assert morvel.sax_array([1.0, 2.0], 0, 1, 3).tobytes() == b"\0" * 9


def test_out_is_filled_and_returned(tmp_path):
    ts = np.cumsum(np.random.default_rng(1).standard_normal(500))
    out = np.lib.format.open_memmap(tmp_path / "paa.npy", mode="w+", dtype=np.float64, shape=(469, 6))
    assert morvel.paa_array(ts, 32, 1, 6, out=out) is out
    assert out.tobytes() == morvel.paa_array(ts, 32, 1, 6).tobytes()
    letters = np.empty((469, 6), dtype="S1")
    assert morvel.sax_array(ts, 32, 1, 6, 5, out=letters) is letters
    assert letters.tobytes() == morvel.sax_array(ts, 32, 1, 6, 5).tobytes()


SERIES = np.arange(40.0) ** 1.5  # 33 windows of 8


def read_only():
    out = np.full((33, 4), 7.0)
    out.flags.writeable = False
    return out


OUT_REFUSALS = [
    pytest.param(lambda: [[0.0] * 4] * 33, TypeError, "out must be a numpy.ndarray, not list", id="list"),
    pytest.param(lambda: np.full((33, 4), 7, np.float32), TypeError, "dtype float64, not float32", id="float32"),
    pytest.param(lambda: np.full((33, 4), 7.0, ">f8"), TypeError, "dtype float64, not >f8", id="byte-order"),
    pytest.param(
        lambda: np.full((33, 5), 7.0), ValueError, r"shape \(33, 4\), the result's, not \(33, 5\)", id="shape"
    ),
    pytest.param(lambda: np.full(132, 7.0), ValueError, r"not \(132,\)", id="flat"),
    pytest.param(lambda: np.full((33, 4), 7.0, order="F"), ValueError, "out must be C-contiguous", id="fortran"),
    pytest.param(lambda: np.full((33, 8), 7.0)[:, ::2], ValueError, "out must be C-contiguous", id="strided"),
    pytest.param(read_only, ValueError, "read-only", id="read-only"),
]


@pytest.mark.parametrize(("make", "error", "text"), OUT_REFUSALS)
def test_out_refused_before_any_work(make, error, text):
    out = make()
    before = np.array(out, copy=True)
    with pytest.raises(error, match=text):
        morvel.paa_array(SERIES, 8, 1, 4, out=out)
    assert np.array_equal(np.asarray(out), before)
    # The call's own checks come first, as paa makes them.
    with pytest.raises(ValueError, match="stride must not be 0"):
        morvel.paa_array(SERIES, 8, 0, 4, out=out)


def test_out_sharing_memory_with_ts_is_refused():
    block = np.arange(200.0)
    out = block[100:].reshape(25, 4)
    for ts in (block[:128], block[::-1], block.view(np.float32)[::2]):  # in place, widened
        before = out.copy()
        with pytest.raises(ValueError, match="out shares memory with ts"):
            morvel.paa_array(ts, len(ts) - 24, 1, 4, out=out)
        assert np.array_equal(out, before)
    # Beside it: accepted.
    assert morvel.paa_array(block[:100], 76, 1, 4, out=out) is out
    letters = np.zeros((25, 4), dtype="S1")
    with pytest.raises(TypeError, match=r"dtype \|S1, not float64"):
        morvel.sax_array(block[:100], 76, 1, 4, out=out)
    with pytest.raises(ValueError, match="out shares memory with ts"):
        morvel.sax_array(np.frombuffer(letters, dtype=np.uint8)[:100], 76, 1, 4, out=letters)


@settings(max_examples=examples(300), deadline=None)
@given(
    dtype=st.sampled_from(["f8", "f4", "i2", "u1", "g"]),
    start=st.integers(0, 64),
    step=st.integers(-9, 9).filter(bool),
    at=st.integers(0, 31).map(lambda k: 8 * k),
    rows=st.integers(1, 12),
)
def test_out_is_refused_exactly_when_it_shares_an_element_ts_reads(dtype, start, step, at, rows):
    memory = np.zeros(512, np.uint8)
    values = memory[start : start + 256].view(dtype)
    ts = values[::step]
    out = memory[at : at + 8 * rows].view(np.float64).reshape(rows, 1)
    if len(ts) < rows:
        return
    expected = morvel.paa_array(ts.copy(), len(ts) - rows + 1, 1, 1)
    if np.shares_memory(ts, out):
        with pytest.raises(ValueError, match="out shares memory with ts"):
            morvel.paa_array(ts, len(ts) - rows + 1, 1, 1, out=out)
    else:
        assert morvel.paa_array(ts, len(ts) - rows + 1, 1, 1, out=out).tobytes() == expected.tobytes()


def test_only_the_array_functions_need_numpy():
    script = """
import importlib.abc, sys
class NoNumpy(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ImportError("no numpy here")
sys.meta_path.insert(0, NoNumpy())
import morvel
assert morvel.paa([1.0, 2.0, 3.0], 2, 1, 2) and morvel.sax(range(5), 3)
for call in (lambda: morvel.paa_array([1.0, 2.0], 2), lambda: morvel.mindist("ab", "ab", 4, 4)):
    try:
        call()
    except ImportError as error:
        assert "needs numpy" in str(error) and "pip install numpy" in str(error), error
        assert "no numpy here" in str(error.__cause__)
    else:
        raise AssertionError("no ImportError")
"""
    subprocess.run([sys.executable, "-c", script], check=True)
