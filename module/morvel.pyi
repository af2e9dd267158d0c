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
    neither copying. out= as for paa_array, and as there, threads calling it
    run in parallel.
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
    values of ts, window i starting at i * stride, with words of w symbols
    (default min(16, window)). ts is a list or any numeric buffer
    (a numpy.memmap too): a buffer of float64 is held (exported, so it cannot be
    resized) for the index's lifetime and never copied, so its values must not
    change while the index lives (copy it first if they will); anything else is
    copied once into float64. A collection of equal-length series is the case
    stride == window over their concatenation.

    The distance between a query and a window: both are z-normalised as paa
    z-normalises a window (mean, population standard deviation, subtraction
    then division), the squared differences are added in ascending position
    from 0.0, and the square root is taken. A window with no shape (flat, or
    holding NaN or an infinity) has distance NaN, ranked after every number.

    The index keeps a word of w 8-bit symbols per window (breakpoints at the
    256 equiprobable quantiles of N(0, 1)), its window number (4 bytes), and
    per leaf of 64 words the least and greatest symbol of each segment: w + 4
    bytes per ranked window, 4 per window without a shape or beyond the bounds,
    and 2 w per leaf, beyond the series (nbytes). The build and batches of
    queries run on `threads` threads (default: every core) with the interpreter
    released; Ctrl-C stops a build; progress=True reports it on stderr.
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
        """The k windows nearest to q, nearest first: (distances, starts).

        distances is float64 and starts int64, each of min(k, len(index)) values;
        ties go to the lower start. No two returned windows start within `exclude`
        positions of each other (|a - b| <= exclude; default a quarter of the
        window, rounded up; 0 allows all): each is the nearest window outside the
        zones of those before it. A place no window can fill holds NaN and -1.
        Each distance is bit for bit the defined one; the lower bounds only decide
        what need not be computed. With within=r, only windows at distance <= r
        are returned (a window with no shape never is), and the search prunes by r
        from the start: r is an upper bound one already holds, from another index
        or an earlier answer (for rows of queries, one r or one per row). With
        exact=False only the part of the index around q's own word is searched:
        faster, not always the nearest.

        q holds `window` numbers (a ValueError otherwise, or if it is flat or holds
        NaN or an infinity); a 2-D q answers one query per row, in rows of the
        results, on `threads` threads.
        """
    def matrix_profile(
        self,
        *,
        exclude: typing.SupportsIndex | None = None,
        threads: typing.SupportsIndex | None = None,
        progress: bool = False,
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """Each window's nearest other window: (distances, neighbours).

        distances is float64 and neighbours int64 (a start), one per window, in
        window order: the nearest window whose start is more than `exclude` from
        its own (default a quarter of the window, rounded up), ties to the lower
        start, at the index's distance, bit for bit. A window with no shape is at
        NaN with neighbour -1 and is never another's neighbour; a window with no
        other window is at +inf with -1. Runs on `threads` threads (default: every
        core) with the interpreter released; Ctrl-C stops it; progress=True
        reports on stderr.
        """
    def discords(
        self,
        k: typing.SupportsIndex = 1,
        *,
        exclude: typing.SupportsIndex | None = None,
        threads: typing.SupportsIndex | None = None,
        progress: bool = False,
    ) -> tuple[
        numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]
    ]:
        """The k windows farthest from every other: (distances, starts, neighbours).

        The windows of largest matrix_profile() value, chosen greedily: the
        largest, then the largest whose start is more than `exclude` from every
        start chosen, ...; ties to the lower start; a window at NaN or +inf is
        never chosen. Each of the k places holds its distance (float64), its start
        and its nearest window's start (int64); a place none fills holds NaN, -1
        and -1. Found without the whole profile: a window is dropped as soon as a
        window nearer than the k-th discord's bound is found. threads and progress
        as for matrix_profile().
        """
    def motifs(
        self,
        k: typing.SupportsIndex = 1,
        *,
        exclude: typing.SupportsIndex | None = None,
        threads: typing.SupportsIndex | None = None,
        progress: bool = False,
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """The k pairs of windows nearest each other: (distances, starts).

        The nearest pair of windows whose starts are more than `exclude` apart,
        then the nearest pair whose both starts are more than `exclude` from every
        start chosen, ...; each pair as a row (lower start, higher start) of starts
        (int64, shape (k, 2)), ties to the lower pair; distances float64. A place
        none fills holds NaN and -1, -1. Found from lower bounds and a shrinking
        radius, without the whole profile. threads and progress as for
        matrix_profile().
        """
    def profile[T: _Number](self, q: _Series[T]) -> numpy.typing.NDArray[numpy.float64]:
        """The distance of q to every window, in window order: the brute force the queries agree with."""
    def save(self, path: str | os.PathLike[str]) -> None:
        """Saves the index into the directory `path` (made if missing;
        FileExistsError if it is a file): header.json, a small versioned header
        naming this save's generation G with the BLAKE2b-256 checksum of every
        file, and plain .npy files named <table>-G.npy: series (the series itself,
        float64), words (uint8, one row per ranked window), windows (uint32, their
        window numbers), boxes (uint8, per leaf the least and greatest symbols),
        irregular and shapeless (uint32 window numbers). Every file is new and
        header.json is renamed into place last, so a load sees the index before or
        after a save, whole, and a process that maps the old files keeps reading
        them; files no header names any longer are removed. A save that fails
        removes what it wrote.
        """
    @staticmethod
    def load(path: str | os.PathLike[str], *, mmap: bool = True, verify: bool = False) -> Index:
        """Opens an index saved by save(). With mmap=True its
        files are mapped, not read into memory. Every file is checked first: the
        header, each file's type, byte order, layout, shape and size, its checksum
        (accidental damage), and that the tables hold every window once. With
        verify=True the tables are also built again from the series and must be
        the same (a file crafted to match its checksums): about the cost of a
        build. Anything else is ValueError("not a readable morvel.Index: ...").
        """
    @property
    def stats(self) -> dict[str, int]:
        """What the last query computed (summed over its rows): leaf bounds, leaves searched, window bounds, exact distances begun and abandoned, the windows whose nearest was found (after a self-join), beside the index's windows and leaves."""
    @property
    def window(self) -> int: ...
    @property
    def stride(self) -> int: ...
    @property
    def w(self) -> int: ...
    @property
    def exclude(self) -> int:
        """The exclusion zone query takes by default: a quarter of the window, rounded up."""
    @property
    def nbytes(self) -> int:
        """Bytes the index holds beyond the series."""
    def __len__(self) -> int: ...
