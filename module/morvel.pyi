"""Sliding-window PAA and SAX over one time series."""

import collections.abc
import os
import typing

import numpy
import numpy.typing

# An element of `ts`: anything float() reads (a float or int, a numpy
# scalar, a Decimal or Fraction...).
type _Number = typing.SupportsFloat | typing.SupportsIndex

# A numeric buffer that is no byte string: a numpy array of any numeric
# dtype, or a memory-mapped one. Its `in` takes any object, which a byte
# string's does not.
class _NumericArray(collections.abc.Buffer, typing.Protocol):
    def __len__(self) -> int: ...
    def __contains__(self, value: object, /) -> bool: ...

# What `ts` may be: a list, tuple, range, array.array, bytearray, memoryview
# or other mutable sequence of numbers, a numeric array, or one of the
# iterables that are consumed whole: a generator, a set, a dict's keys or
# values, a map. Never str or bytes, a plain iterator or a dict.
# (The functions are generic in the element type T, since a mutable
# sequence is invariant in it: a list[float] is no list[float | int].)
type _Series[T: _Number] = (
    collections.abc.MutableSequence[T]
    | tuple[T, ...]
    | range
    | memoryview
    | bytearray
    | _NumericArray
    | collections.abc.Generator[T, typing.Any, typing.Any]
    | collections.abc.Set[T]
    | collections.abc.KeysView[T]
    | collections.abc.ValuesView[T]
    | map[T]
)

# The integer arguments take integers (and anything with __index__), never a
# float: 2.0 is refused.
type _Int32 = typing.SupportsIndex

def sax[T: _Number](
    ts: _Series[T],
    window: _Int32,
    stride: _Int32 = 1,
    w: _Int32 = 15,
    alpha: _Int32 = 4,
) -> list[list[str]]:
    """Apply SAX to a single time series."""

def paa[T: _Number](
    ts: _Series[T],
    window: _Int32,
    stride: _Int32 = 1,
    w: _Int32 = 15,
) -> list[list[float]]:
    """Apply PAA to a single time series."""

def paa_array[T: _Number](
    ts: _Series[T],
    window: _Int32,
    stride: _Int32 = 1,
    w: _Int32 = 15,
    *,
    out: numpy.typing.NDArray[numpy.float64] | None = None,
) -> numpy.typing.NDArray[numpy.float64]:
    """Apply PAA to a single time series, into a numpy array.

    The same rows as paa(ts, window, stride, w), bit for bit, as one
    C-contiguous float64 array of shape (count, w). With out=, an existing
    writable C-contiguous float64 array of exactly that shape (a numpy.memmap
    too) is filled and returned instead; it must not share memory with ts.
    A numeric buffer is read where it lies and the computation runs without
    the GIL, so threads calling this function run in parallel.
    """

def sax_array[T: _Number](
    ts: _Series[T],
    window: _Int32,
    stride: _Int32 = 1,
    w: _Int32 = 15,
    alpha: _Int32 = 4,
    *,
    out: numpy.typing.NDArray[numpy.bytes_] | None = None,
) -> numpy.typing.NDArray[numpy.bytes_]:
    """Apply SAX to a single time series, into a numpy array.

    The same letters as sax(ts, window, stride, w, alpha), one byte each, as one
    C-contiguous array of dtype 'S1' and shape (count, w): .view(f"S{w}") gives
    one word per window and .view(numpy.uint8) - ord("a") the symbol indices,
    neither copying. out= and threads as for paa_array.
    """

# Words: 'S1' letters whose last axis is the word (as sax_array returns
# them), words 'S<w>', a str or bytes word, or anything numpy reads as such.
type _Words = (
    numpy.typing.NDArray[numpy.bytes_]
    | numpy.typing.NDArray[numpy.str_]
    | str
    | bytes
    | collections.abc.Sequence[typing.Any]
)

def mindist(
    a: _Words | numpy.typing.NDArray[numpy.floating[typing.Any]],
    b: _Words,
    window: _Int32,
    alpha: _Int32,
) -> float | numpy.typing.NDArray[numpy.float64]:
    """Lower-bounding distance between SAX words (MINDIST).

    a and b hold words of w letters from windows of `window` values, as
    sax_array returns them ('S1' arrays whose last axis is the word; words
    'S<w>' and text are read as their letters). They broadcast like numpy
    arrays: one word against a million gives a million distances. a may
    instead hold segment means (float64, as paa_array returns them), which
    gives the tighter bound between a window's means and a word.

    The distance is sqrt(window / w) * sqrt(sum of cell ** 2), the sum taken in
    letter order; a cell is 0 for equal or adjacent letters, else the gap
    between the breakpoints that separate them (for a mean, its distance to the
    letter's region). It never exceeds the Euclidean distance between the two
    z-normalised windows. Returns a float for two words, else a float64 array.
    """

# One query (a series of `window` numbers, read as ts is), or rows of them: a
# 2-D array or buffer, or a list or tuple of rows.
type _Queries[T: _Number] = (
    _Series[T] | numpy.typing.NDArray[typing.Any] | collections.abc.Sequence[collections.abc.Sequence[T]]
)

class Index:
    """Exact similarity search over the windows of one series.

    Index(ts, window, stride=1, *, w=None) indexes every window of `window`
    values of ts, window i starting at i * stride; query() gives the nearest
    windows to a shape under the z-normalised Euclidean distance, exactly.
    """

    # The most of header.json that a load reads: morvel_dask reads as much.
    _header_limit: typing.ClassVar[int]
    def __init__[T: _Number](
        self,
        ts: _Series[T],
        window: typing.SupportsIndex,
        stride: typing.SupportsIndex = 1,
        *,
        w: typing.SupportsIndex | None = None,
        threads: typing.SupportsIndex | None = None,
        progress: bool = False,
    ) -> None: ...
    def query[T: _Number](
        self,
        q: _Queries[T],
        k: typing.SupportsIndex = 1,
        *,
        exclude: typing.SupportsIndex | None = None,
        within: typing.SupportsFloat | collections.abc.Sequence[typing.SupportsFloat] | None = None,
        exact: bool = True,
        threads: typing.SupportsIndex | None = None,
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """The k windows nearest to q, nearest first: (distances, starts)."""
    def profile[T: _Number](self, q: _Series[T]) -> numpy.typing.NDArray[numpy.float64]:
        """The distance of q to every window, in window order."""
    def save(self, path: str | os.PathLike[str]) -> None:
        """Saves the index into the directory `path`."""
    @staticmethod
    def load(path: str | os.PathLike[str], *, mmap: bool = True, verify: bool = False) -> Index:
        """Opens an index saved by save(), checking every file first."""
    @property
    def stats(self) -> dict[str, int]:
        """What the last query computed."""
    @property
    def window(self) -> int: ...
    @property
    def stride(self) -> int: ...
    @property
    def w(self) -> int: ...
    @property
    def nbytes(self) -> int:
        """Bytes the index holds beyond the series."""
    def __len__(self) -> int: ...
