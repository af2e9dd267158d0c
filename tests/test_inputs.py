"""Every kind of `ts` is read as its elements read one by one: iterating the
object (the protocol the binding library's sequence conversion uses, which
consumes generators, sets and views into a tuple first) and taking each
element as float() takes it. Numeric buffers are read in place only where that
gives the same doubles; every case here checks it against the element-by-
element reading, bit for bit."""

import array
import ctypes
import decimal
import fractions
import sys
import warnings

import numpy as np
import pytest

import morvel

import reference
from conftest import SANITIZED, exact

INTEGERS = [0, 1, -1, 7, 100, -128, 127, 55, 3, 9]
WIDE = [2**53 + 1, -(2**63), 2**63 - 1, 2**53 + 3, 12345678901234567, -3, 5, 0]
FLOATS = [0.1, -2.5, 1e30, 3.0, float("nan"), 7.25, -0.0, 1e-310, float("inf"), 2.0]
WALK = [0.5, 2.0, -1.25, 3.5, 3.25, -4.0, 0.125, 8.0, -2.5, 1.0]


class SquaringArray(np.ndarray):
    """Reads every element squared, through its own iteration."""

    def __iter__(self):
        return (value * value for value in np.ndarray.__iter__(self))

    def __getitem__(self, index):
        value = np.ndarray.__getitem__(self, index)
        return value * value


class IndexingArray(np.ndarray):
    """Overrides only __getitem__: iteration still reads the raw values."""

    def __getitem__(self, index):
        return np.ndarray.__getitem__(self, index) * 2 + 1


class SquaringArrayArray(array.array):
    def __iter__(self):
        return (value * value for value in array.array.__iter__(self))

    def __getitem__(self, index):
        value = array.array.__getitem__(self, index)
        return value * value


class OwnFloat(float):
    """A float whose __float__ disagrees with its value: it is read as the
    float it is, not through the override."""

    def __float__(self):
        return 42.0


def ctypes_doubles(values, big_endian=False):
    kind = ctypes.c_double.__ctype_be__ if big_endian else ctypes.c_double.__ctype_le__
    return (kind * len(values))(*values)


def memmap(tmp_path_factory, values):
    path = tmp_path_factory.mktemp("memmap") / "series.f8"
    np.asarray(values, dtype=np.float64).tofile(path)
    return np.memmap(path, dtype=np.float64, mode="r")


def numpy_cases():
    for dtype in ["f8", "f4", "f2", "g", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?"]:
        values = FLOATS if dtype[0] in "fg" else [v % 256 if dtype[0] == "u" else v for v in INTEGERS]
        if dtype == "f2":
            values = [0.1, -2.5, 3.0, 65504.0, 7.25, -0.0, 6e-8, float("nan"), float("-inf"), 1e-5]
        yield pytest.param(lambda v=values, d=dtype: np.array(v).astype(d), id=f"numpy-{dtype}")
    yield pytest.param(lambda: np.array(WIDE, dtype=np.int64), id="numpy-int64-beyond-2-53")
    yield pytest.param(
        lambda: np.array([2**64 - 1, 2**63 + 2**11, 2**53 + 1, 5, 0, 2**63 + 1], dtype=np.uint64),
        id="numpy-uint64-top-bit",
    )
    yield pytest.param(lambda: np.array(WALK, dtype=np.longdouble) / 3, id="numpy-longdouble-inexact")
    yield pytest.param(lambda: np.frombuffer(bytes([0, 2, 0, 255, 1, 0, 7]), dtype=np.bool_), id="numpy-bool-raw-bytes")
    for dtype in [">f8", "<f8", ">i8", ">u4", ">f4", ">f2"]:
        values = [abs(v) * 3 + 1 for v in WALK] if "u" in dtype else WALK
        yield pytest.param(lambda d=dtype, v=values: np.array(v).astype(d), id=f"numpy-explicit-{dtype}")
    yield pytest.param(lambda: np.array(FLOATS)[::2], id="numpy-strided")
    yield pytest.param(lambda: np.array(FLOATS)[::-1], id="numpy-reversed")
    yield pytest.param(lambda: np.array(WIDE, dtype=np.int64)[::-3], id="numpy-int64-negative-stride")
    yield pytest.param(lambda: np.frombuffer(b"\0" + np.array(WALK).tobytes(), offset=1), id="numpy-unaligned")
    yield pytest.param(lambda: np.arange(12.0).reshape(3, 4), id="numpy-two-dimensional")
    yield pytest.param(lambda: np.arange(3.0).reshape(3, 1), id="numpy-column-matrix")
    yield pytest.param(lambda: np.asfortranarray(np.arange(12.0).reshape(3, 4))[:, 1], id="numpy-fortran-column")
    yield pytest.param(lambda: np.array(3.5), id="numpy-zero-dimensional")
    yield pytest.param(lambda: np.array([], dtype=np.float64), id="numpy-empty")
    yield pytest.param(lambda: np.array([1 + 2j, 3 + 0j, 2 - 1j]), id="numpy-complex")
    yield pytest.param(lambda: np.array(WALK, dtype=object), id="numpy-object")
    yield pytest.param(lambda: np.array(["1.5", "2.5"]), id="numpy-str")
    yield pytest.param(lambda: np.array(["2020-01-01", "2021-01-01"], dtype="datetime64[D]"), id="numpy-datetime64")
    # Masked arrays read a masked element as NaN.
    yield pytest.param(lambda: np.ma.masked_array(WALK, mask=[0, 0, 1] + [0] * 7), id="masked-one")
    yield pytest.param(lambda: np.ma.masked_array(WALK), id="masked-nomask")
    yield pytest.param(lambda: np.ma.masked_array(WALK, mask=True), id="masked-all")
    # Subclasses read their elements their own way.
    yield pytest.param(lambda: np.array(WALK).view(SquaringArray), id="ndarray-subclass-squaring")
    yield pytest.param(lambda: np.array(WALK).view(IndexingArray), id="ndarray-subclass-getitem-only")
    yield pytest.param(lambda: SquaringArrayArray("d", WALK), id="array-subclass-squaring")
    yield pytest.param(lambda: np.matrix(WALK), id="numpy-matrix")


def builtin_cases():
    for code in "bBhHiIlLqQfd":
        if code in "fd":
            values = FLOATS
        elif code.isupper():
            values = [abs(x) for x in INTEGERS]
        else:
            values = INTEGERS
        yield pytest.param(lambda c=code, v=values: array.array(c, v), id=f"array-{code}")
    yield pytest.param(lambda: array.array("w", "abc"), id="array-unicode")
    doubles = array.array("d", FLOATS)
    yield pytest.param(lambda: memoryview(doubles), id="memoryview-d")
    yield pytest.param(lambda: memoryview(doubles)[1:8:3], id="memoryview-sliced")
    yield pytest.param(lambda: memoryview(doubles)[::-1], id="memoryview-reversed")
    yield pytest.param(lambda: memoryview(bytes(doubles)).cast("d"), id="memoryview-cast-from-bytes")
    yield pytest.param(lambda: memoryview(bytes(range(8))), id="memoryview-of-bytes")
    yield pytest.param(lambda: memoryview(bytes([0, 2, 0, 2, 1, 0])).cast("?"), id="memoryview-bool-raw-bytes")
    yield pytest.param(lambda: memoryview(array.array("q", WIDE)), id="memoryview-q")
    yield pytest.param(lambda: memoryview(array.array("f", WALK)), id="memoryview-f")
    yield pytest.param(lambda: memoryview(ctypes_doubles(WALK)), id="memoryview-little-endian-d")
    yield pytest.param(lambda: memoryview(ctypes_doubles(WALK, big_endian=True)), id="memoryview-big-endian-d")
    yield pytest.param(lambda: memoryview((ctypes.c_int16.__ctype_be__ * 5)(1, -2, 300, 4, -5)), id="memoryview-big-h")
    yield pytest.param(lambda: ctypes_doubles(WALK, big_endian=True), id="ctypes-array")
    yield pytest.param(lambda: bytearray(b"\x00\x01\x02\xff\x10"), id="bytearray")
    yield pytest.param(lambda: tuple(WALK), id="tuple")
    yield pytest.param(lambda: range(3, 40, 4), id="range")
    yield pytest.param(lambda: (v for v in WALK), id="generator")
    yield pytest.param(lambda: set(INTEGERS), id="set")
    yield pytest.param(lambda: frozenset(WALK), id="frozenset")
    yield pytest.param(lambda: dict.fromkeys(WALK).keys(), id="dict-keys")
    yield pytest.param(lambda: {i: v for i, v in enumerate(WALK)}.values(), id="dict-values")
    yield pytest.param(lambda: map(abs, WALK), id="map")
    yield pytest.param(lambda: [decimal.Decimal("1.1"), decimal.Decimal("-2.5"), decimal.Decimal("3")], id="decimals")
    yield pytest.param(lambda: [fractions.Fraction(1, 3), fractions.Fraction(-7, 2), 2], id="fractions")
    yield pytest.param(
        lambda: [np.float32(0.1), np.int64(2**60 + 1), np.float16(3.5), np.uint8(200)], id="numpy-scalars"
    )
    yield pytest.param(lambda: [2**80 + 1, -(2**70), 3, 5], id="huge-ints")
    yield pytest.param(lambda: [1.0, 10**400, 2.0], id="int-beyond-double")
    yield pytest.param(lambda: [OwnFloat(1.5), OwnFloat(-2.0), 3.0, OwnFloat(9.0)], id="float-subclass-own-value")
    yield pytest.param(lambda: [1.0, "2.0", 3.0], id="str-element")


def element_reading(source):
    """What `ts` is, element by element: a plain list, or the exception the
    reading raises (propagated) or the refusal it leads to (TypeError)."""
    try:
        if hasattr(type(source), "__getitem__") and not isinstance(source, dict):
            len(source)  # a sequence's length is taken first
        items = list(iter(source))
    except Exception as error:  # raised by the object itself: propagates
        return error
    try:
        return [reference.as_double(item) for item in items]
    except TypeError, ValueError, OverflowError:
        return TypeError  # the argument is refused


def outcome(function, *args):
    try:
        return exact(function(*args))
    except Exception as error:  # the type and the text must agree
        return type(error), str(error).split("Invoked with:")[0]


def as_array(function, rows, w):
    """What the array function must return for the list function's rows."""
    if function is morvel.sax_array:
        return np.array([[c.encode("latin-1") for c in row] for row in rows], dtype="S1").reshape(len(rows), w)
    return np.array(rows, dtype=np.float64).reshape(len(rows), w)


LISTS = {morvel.paa_array: morvel.paa, morvel.sax_array: morvel.sax}
SHAPES = [(None, 1, None), (3, 1, 4), (2, 2, 5)]


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("make", list(numpy_cases()) + list(builtin_cases()))
@pytest.mark.parametrize("shape", SHAPES, ids=["whole", "window-3", "window-2-stride-2"])
@pytest.mark.parametrize(
    "function",
    [morvel.paa, morvel.sax, morvel.paa_array, morvel.sax_array],
    ids=["paa", "sax", "paa_array", "sax_array"],
)
def test_read_as_its_elements_read(make, shape, function):
    plain = element_reading(make())
    size = len(plain) if isinstance(plain, list) else 4
    window, stride, w = shape
    window = size if window is None else window
    w = max(size, 1) if w is None else w
    if function in LISTS:
        # The list function's rows as an array, or its exception, for every
        # kind of input: the array functions read (and release) buffers
        # without the GIL, where the list functions do not.
        expected = outcome(LISTS[function], make(), window, stride, w)
        try:
            got = function(make(), window, stride, w)
        except Exception as error:
            assert isinstance(expected, tuple) and type(error) is expected[0]
            text = str(error).split("Invoked with:")[0]
            refused = "incompatible function arguments"
            assert text == expected[1] or refused in text and refused in expected[1]
        else:
            assert got.tobytes() == as_array(function, LISTS[function](make(), window, stride, w), w).tobytes()
        return
    got = outcome(function, make(), window, stride, w)
    if plain is TypeError:
        assert got[0] is TypeError and "incompatible function arguments" in got[1]
    elif isinstance(plain, Exception):
        assert got == (type(plain), str(plain))
    else:
        assert got == outcome(function, plain, window, stride, w)
        model = reference.paa if function is morvel.paa else reference.sax
        try:
            expected = model(plain, window, stride, w)
        except ValueError:
            return
        assert got == exact(expected)


def test_memmap_is_read_as_its_values(tmp_path_factory):
    mapped = memmap(tmp_path_factory, WALK)
    assert exact(morvel.paa(mapped, 4, 1, 3)) == exact(morvel.paa(WALK, 4, 1, 3))


def test_float_subclass_is_read_by_its_value_not_its_override():
    ts = [OwnFloat(1.5), 3.0, OwnFloat(-2.0), 0.5]
    assert exact(morvel.paa(ts, 4, 1, 2)) == exact(morvel.paa([1.5, 3.0, -2.0, 0.5], 4, 1, 2))
    assert exact(morvel.paa(ts, 4, 1, 2)) == exact(reference.paa(ts, 4, 1, 2))


@pytest.mark.parametrize("function", [morvel.paa, morvel.sax], ids=["paa", "sax"])
def test_masked_values_count_as_nan(function):
    values = np.cumsum(np.random.default_rng(9).standard_normal(40))
    mask = np.zeros(40, dtype=bool)
    mask[17] = True
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        rows = function(np.ma.masked_array(values, mask=mask), 8, 2, 4)
    plain = function(values, 8, 2, 4)
    last = "d" if function is morvel.sax else None
    for index, (row, unmasked) in enumerate(zip(rows, plain, strict=True)):
        if 2 * index <= 17 < 2 * index + 8:
            assert all((cell == last) if last else np.isnan(cell) for cell in row), index
        else:
            assert exact([row]) == exact([unmasked]), index


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


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the peak resident memory from /proc")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps its own pages")
@pytest.mark.parametrize("function", [morvel.paa, morvel.paa_array], ids=["paa", "paa_array"])
def test_large_float64_input_is_read_in_place(function):
    # A copy of these 16 MB would show in the peak; the result is one row.
    ts = np.random.default_rng(3).standard_normal(2_000_000)
    function(ts[:8], 8, 1, 4)  # whatever a first call maps in
    with open("/proc/self/clear_refs", "w") as reset:
        reset.write("5")  # the peak starts again from here
    (row,) = function(ts, len(ts), 1, 4)
    status = dict(line.split(":", 1) for line in open("/proc/self/status"))
    grown = int(status["VmHWM"].split()[0]) - int(status["VmRSS"].split()[0])
    assert grown < 4 * 1024, f"peak {grown} KiB above the resident memory"
    assert exact([list(row)]) == exact(morvel.paa(ts.tolist(), len(ts), 1, 4))
