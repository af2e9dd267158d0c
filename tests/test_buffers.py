"""Buffers are read in place, with exactly the doubles and errors of the
sequence path: every object here is compared with the same elements offered
through a plain Python sequence."""

import array

import numpy as np
import pytest

import morvel

from conftest import exact


class Plain:
    """The same elements, without the buffer protocol."""

    def __init__(self, source):
        self.source = source

    def __len__(self):
        return len(self.source)

    def __getitem__(self, index):
        return self.source[index]


def outcome(function, *args):
    try:
        return exact(function(*args))
    except Exception as error:  # the type and the text must agree
        return type(error), str(error).split("Invoked with:")[0]


INTEGERS = [0, 1, -1, 7, 100, -128, 127, 55, 3, 9]
WIDE = [2**53 + 1, -(2**63), 2**63 - 1, 2**53 + 3, 12345678901234567, -3, 5, 0]
FLOATS = [0.1, -2.5, 1e30, 3.0, float("nan"), 7.25, -0.0, 1e-310, float("inf"), 2.0]

NUMPY_CASES = [
    pytest.param(np.array(FLOATS), id="float64"),
    pytest.param(np.array(FLOATS, dtype=">f8"), id="float64-big-endian"),
    pytest.param(np.array(FLOATS, dtype=np.float32), id="float32"),
    pytest.param(np.array([0.1, -2.5, 3.0, 65504.0, 7.25, -0.0], dtype=np.float16), id="float16"),
    pytest.param(np.array(INTEGERS, dtype=np.int8), id="int8"),
    pytest.param(np.array(INTEGERS, dtype=np.int16), id="int16"),
    pytest.param(np.array(INTEGERS, dtype=np.int32), id="int32"),
    pytest.param(np.array(WIDE, dtype=np.int64), id="int64-beyond-2-53"),
    pytest.param(np.array([x % 256 for x in INTEGERS], dtype=np.uint8), id="uint8"),
    pytest.param(np.array([x % 65536 for x in INTEGERS], dtype=np.uint16), id="uint16"),
    pytest.param(np.array([x % 2**32 for x in INTEGERS], dtype=np.uint32), id="uint32"),
    pytest.param(
        np.array([2**64 - 1, 2**63 + 2**11, 2**53 + 1, 5, 0, 2**63 + 1], dtype=np.uint64), id="uint64-top-bit"
    ),
    pytest.param(np.array([True, False, True, True, False]), id="bool"),
    pytest.param(np.array(FLOATS)[::2], id="strided"),
    pytest.param(np.array(FLOATS)[::-1], id="reversed"),
    pytest.param(np.array(WIDE, dtype=np.int64)[::-3], id="int64-negative-stride"),
    pytest.param(np.arange(12.0).reshape(3, 4), id="two-dimensional"),
    pytest.param(np.asfortranarray(np.arange(12.0).reshape(3, 4))[:, 1], id="column-of-fortran-array"),
    pytest.param(np.array(3.5), id="zero-dimensional"),
    pytest.param(np.array([], dtype=np.float64), id="empty"),
    pytest.param(np.array([1 + 2j, 3 + 0j]), id="complex"),
    pytest.param(np.array([1.0, 2.0, 3.0], dtype=object), id="object"),
    pytest.param(np.array(["2020-01-01", "2021-01-01"], dtype="datetime64[D]"), id="datetime64"),
]


def array_cases():
    for code in "bBhHiIlLqQfd":
        if code in "fd":
            values = FLOATS
        elif code.isupper():
            values = [abs(x) for x in INTEGERS]
        else:
            values = INTEGERS
        yield pytest.param(array.array(code, values), id=f"array-{code}")
    doubles = array.array("d", FLOATS)
    yield pytest.param(memoryview(doubles), id="memoryview")
    yield pytest.param(memoryview(doubles)[1:8:3], id="memoryview-sliced")
    yield pytest.param(memoryview(bytes(doubles)).cast("d"), id="memoryview-cast-from-bytes")
    yield pytest.param(memoryview(bytes(range(8))), id="memoryview-of-bytes")
    yield pytest.param(bytearray(b"\x00\x01\x02\xff\x10"), id="bytearray")
    yield pytest.param(array.array("w", "abc"), id="array-unicode")


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("source", NUMPY_CASES + list(array_cases()))
@pytest.mark.parametrize(
    "shape", [(None, 1, None), (3, 1, 4), (2, 2, 5)], ids=["whole", "window-3", "window-2-stride-2"]
)
def test_buffer_matches_sequence_path(source, shape):
    window, stride, w = shape
    try:
        size = len(source)
    except TypeError:
        size = 0
    window = size if window is None else window
    w = max(size, 1) if w is None else w
    for function in (morvel.paa, morvel.sax):
        assert outcome(function, source, window, stride, w) == outcome(function, Plain(source), window, stride, w)


def test_released_memoryview_reports_its_own_error():
    view = memoryview(array.array("d", [1.0, 2.0]))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        morvel.paa(view, 1)


def test_buffer_is_released_after_the_call():
    data = bytearray(b"\x01\x02\x03\x04")
    morvel.paa(data, 2)
    data.extend(b"\x05")  # a held export would make this a BufferError
    morvel.sax(np.arange(10.0), 4)
    with pytest.raises(TypeError):
        morvel.paa(bytearray(b"ab"), 1.5)
    data.extend(b"\x06")


def test_large_float64_input_is_read_in_place():
    ts = np.random.default_rng(3).standard_normal(2_000_000)
    (row,) = morvel.paa(ts, len(ts), 1, 4)
    assert exact([row]) == exact(morvel.paa(ts.tolist(), len(ts), 1, 4))
