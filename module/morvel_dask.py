"""morvel on a Dask cluster: the array functions over dask arrays, and an
index of every window of a series too long for one machine.

paa_array(ts, ...) and sax_array(ts, ...) take a one-dimensional dask array
and return a lazy dask array of rows, chunked on window starts: a block of
rows for each chunk of ts in which windows start. They equal one call over
the whole series, bit for bit, whatever the chunks and the stride.

Index(ts, window, ..., path=...) builds one morvel.Index per chunk of ts on
the cluster's workers, saved under `path` where they map it, and query()
answers exactly what one morvel.Index over the whole series answers.

morvel computes everything; this module only plans the chunks and merges
their answers.
"""

import bisect
import collections.abc
import hashlib
import json
import math
import operator
import os
import pathlib
import pickle
import re
import shutil
import threading
import types
import uuid
from typing import Any

import dask
import dask.array as da
import numpy as np
import numpy.typing

import morvel

__all__ = ["Index", "from_npy", "paa_array", "sax_array"]

type _Path = str | os.PathLike[str]

# ---- Reading a series where it lies ------------------------------------------


class _MappedNpy:
    """What dask.array reads blocks from: the .npy file is mapped where a
    block is read, so only its path travels to the workers."""

    def __init__(self, path: _Path) -> None:
        self.path = os.fspath(path)
        mapped = np.load(self.path, mmap_mode="r")
        if mapped.ndim != 1:
            raise ValueError(f"{self.path} holds a {mapped.ndim}-D array, not a series")
        self.shape: tuple[int, ...] = mapped.shape
        self.dtype: np.dtype[Any] = mapped.dtype
        self.ndim = 1

    def __getitem__(self, index: Any) -> np.ndarray:
        return np.asarray(np.load(self.path, mmap_mode="r")[index])


def from_npy(path: _Path, chunks: Any = "auto") -> da.Array:
    """The series in a one-dimensional .npy file, as a dask array whose
    blocks each worker reads by mapping the file itself (never copied into
    the task graph). `chunks` as dask.array.from_array takes it."""
    source = _MappedNpy(path)
    status = os.stat(source.path)
    name = "from-npy-" + dask.base.tokenize(os.path.abspath(source.path), status.st_size, status.st_mtime_ns)
    return da.from_array(source, chunks=chunks, name=name, meta=np.empty(0, dtype=source.dtype))


# ---- Windows by chunk ----------------------------------------------------------


def _window_ranges(chunks: tuple[int, ...], window: int, stride: int) -> list[tuple[int, int]]:
    """For each chunk of the series, the window numbers [first, end) whose
    start (number * stride) lies in it. window >= 1, stride >= 1."""
    length = sum(chunks)
    count = (length - window) // stride + 1 if length >= window else 0
    ranges, offset = [], 0
    for size in chunks:
        first = min(-(-offset // stride), count)
        end = min(-(-(offset + size) // stride), count)
        ranges.append((first, end))
        offset += size
    return ranges


class _Chunks:
    """The chunks of a series, as delayed values, by position."""

    def __init__(self, ts: da.Array) -> None:
        self.blocks = list(ts.to_delayed().ravel())
        self.sizes = ts.chunks[0]
        self.offsets = np.cumsum((0, *self.sizes)).tolist()

    def values_of(self, first: int, end: int, window: int, stride: int) -> list[Any]:
        """Delayed pieces that together hold the values of windows [first,
        end): each chunk they touch is cut where it lies, so only the values
        needed travel to the task that joins them."""
        low, high = first * stride, (end - 1) * stride + window
        pieces = []
        at = bisect.bisect_right(self.offsets, low) - 1
        while at < len(self.sizes) and self.offsets[at] < high:
            offset, size = self.offsets[at], self.sizes[at]
            start, stop = max(low, offset) - offset, min(high, offset + size) - offset
            if stop > start:
                block = self.blocks[at]
                whole = start == 0 and stop == size
                pieces.append(block if whole else dask.delayed(operator.getitem, pure=True)(block, slice(start, stop)))
            at += 1
        return pieces


def _concatenated(pieces: list[Any]) -> Any:
    """The pieces as one array, masks kept (morvel reads a masked value as
    one call over the masked series reads it)."""
    masked = any(isinstance(piece, np.ma.MaskedArray) for piece in pieces)
    return (np.ma.concatenate if masked else np.concatenate)(pieces)


def _joined(pieces: list[Any]) -> Any:
    return pieces[0] if len(pieces) == 1 else _concatenated(pieces)


def _rows_of(function: Any, pieces: list[Any], *arguments: int) -> Any:
    return function(_joined(pieces), *arguments)


def _block_rows(function: Any, pieces: list[Any], count: int, window: int, stride: int, w: int, *rest: int) -> Any:
    """The rows of `count` windows over the pieces. The windows inside the
    first piece are read where they lie; only the values of the windows
    that cross into the next pieces are copied together, so that a task
    holds its chunk once, not twice."""
    first = pieces[0]
    if len(pieces) == 1:
        return function(first, window, stride, w, *rest)
    inside = 0 if len(first) < window else min(count, (len(first) - window) // stride + 1)
    rows = np.empty((count, w), np.float64 if function is morvel.paa_array else "S1")
    if inside:
        function(first[: (inside - 1) * stride + window], window, stride, w, *rest, out=rows[:inside])
    function(_concatenated([first[inside * stride :], *pieces[1:]]), window, stride, w, *rest, out=rows[inside:])
    return rows


def _series(ts: Any) -> da.Array:
    if not isinstance(ts, da.Array) or ts.ndim != 1:
        raise TypeError(f"ts must be a one-dimensional dask array, not {type(ts).__name__}")
    if any(math.isnan(size) for size in ts.chunks[0]):
        raise ValueError("ts must have known chunk sizes (compute_chunk_sizes() gives them)")
    return ts


def _integers(function: Any, arguments: tuple[Any, ...]) -> tuple[int, ...]:
    """The integer arguments, or the extension's own refusal of them (an
    integer beyond 32 bits, a float...)."""
    try:
        values = tuple(operator.index(value) for value in arguments)
        if all(-(2**31) <= value < 2**31 for value in values):
            return values
    except TypeError:
        pass
    function([], *arguments)  # raises what one call raises
    raise AssertionError("morvel accepted arguments it cannot hold")


def _rows(function: Any, ts: Any, *arguments: Any) -> da.Array:
    ts = _series(ts)
    window, stride, w, *rest = _integers(function, arguments)
    dtype = np.dtype(np.float64) if function is morvel.paa_array else np.dtype("S1")
    arguments = (window, stride, w, *rest)
    if window < 1 or stride < 1 or w < 0 or ts.shape[0] < window:
        # Outside the plain case the call's own rules decide (a series shorter
        # than a window, a wrapped count, a refusal): one call over the whole.
        whole = dask.delayed(_rows_of, pure=True)(function, list(ts.to_delayed().ravel()), *arguments)
        return da.from_delayed(whole, shape=(math.nan, math.nan), dtype=dtype, meta=np.empty((0, 0), dtype))
    blocks, chunks = [], _Chunks(ts)
    for first, end in _window_ranges(ts.chunks[0], window, stride):
        if first == end:
            continue
        pieces = chunks.values_of(first, end, window, stride)
        rows = dask.delayed(_block_rows, pure=True)(function, pieces, end - first, *arguments)
        blocks.append(da.from_delayed(rows, shape=(end - first, w), dtype=dtype, meta=np.empty((0, w), dtype)))
    if not blocks:
        return da.from_array(np.empty((0, w), dtype), chunks=((0,), (w,)))
    return da.concatenate(blocks, axis=0)


def paa_array(ts: da.Array, window: int, stride: int = 1, w: int = 15) -> da.Array:
    """morvel.paa_array over a one-dimensional dask array: a lazy float64
    dask array of shape (count, w), a block for each chunk of ts in which
    windows start, holding their rows, equal bit for bit to
    morvel.paa_array over the whole series. Each block's task receives the
    values of its windows (its chunk, cut to the first window that starts
    in it, and the window - 1 values after it, from the chunks that hold
    them), whatever the chunk sizes and the stride."""
    return _rows(morvel.paa_array, ts, window, stride, w)


def sax_array(ts: da.Array, window: int, stride: int = 1, w: int = 15, alpha: int = 4) -> da.Array:
    """morvel.sax_array over a one-dimensional dask array: a lazy 'S1' dask
    array of shape (count, w), chunked as paa_array's, equal bit for bit to
    morvel.sax_array over the whole series."""
    return _rows(morvel.sax_array, ts, window, stride, w, alpha)


# ---- The index ----------------------------------------------------------------

_MANIFEST = "index.json"
_FORMAT = "morvel_dask.Index"
_VERSION = 1


def _digest(directory: pathlib.Path) -> str:
    """What identifies a saved chunk: its header holds every file's checksum."""
    with open(directory / "header.json", "rb") as header:
        return hashlib.sha256(header.read(1 << 16)).hexdigest()


def _build_chunk(
    pieces: list[Any], window: int, stride: int, w: int, directory: str, number: int, first: int
) -> dict[str, Any]:
    index = morvel.Index(_joined(pieces), window, stride, w=w, threads=1)
    index.save(directory)
    path = pathlib.Path(directory)
    return {"number": number, "directory": path.name, "first": first, "windows": len(index), "digest": _digest(path)}


# The chunks a worker process has opened, by directory and digest, with what
# their files were when they were checked: a file written, replaced or
# removed since has the chunk opened, and checked, again.
_opened: dict[tuple[str, str], tuple[morvel.Index, list[tuple[int, ...]]]] = {}
_opening = threading.Lock()


def _files_of(directory: pathlib.Path) -> list[tuple[int, ...]]:
    found = []
    for name in sorted(os.listdir(directory)):
        status = os.stat(directory / name)
        found.append((status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns))
    return found


def _chunk_name(chunk: dict[str, Any], stride: int) -> str:
    first, windows = chunk["first"], chunk["windows"]
    return f"chunk {chunk['number']} (starts {first * stride} to {(first + windows - 1) * stride})"


def _open(path: str, chunk: dict[str, Any], shape: tuple[int, int, int]) -> morvel.Index:
    directory = pathlib.Path(path) / chunk["directory"]
    key = (str(directory), chunk["digest"])
    with _opening:
        opened = _opened.pop(key, None)
        if opened is not None:
            try:
                if _files_of(directory) == opened[1]:
                    _opened[key] = opened
                    return opened[0]
            except OSError:
                pass
        window, stride, w = shape
        named = f"{_chunk_name(chunk, stride)} of the index at {path}"
        try:
            files = _files_of(directory)
            digest = _digest(directory)
        except OSError as error:
            raise ValueError(f"{named} is missing: {error.strerror} ({directory})") from None
        if digest != chunk["digest"]:
            raise ValueError(f"{named} is not the one built: its header was changed or replaced ({directory})")
        try:
            index = morvel.Index.load(directory)
        except ValueError as error:
            raise ValueError(f"{named} is damaged: {error}") from None
        if (len(index), index.window, index.stride, index.w) != (chunk["windows"], window, stride, w):
            raise ValueError(f"{named} is not the one built: its shape differs ({directory})")
        _opened[key] = (index, files)
        return index


def _ask(
    path: str,
    chunk: dict[str, Any],
    shape: tuple[int, int, int],
    q: Any,
    two_dimensional: bool,
    k: int,
    exclude: int,
    limits: list[float | None],
    exact: bool,
) -> tuple[np.ndarray, np.ndarray]:
    """One chunk's answers, rows of (distances, starts in the whole series).
    A row without a limit may be answered by windows with no shape, so rows
    with and without one are asked apart."""
    index = _open(path, chunk, shape)
    limited = [row for row, limit in enumerate(limits) if limit is not None]
    places = min(k, len(index))
    distances = np.full((len(limits), places), math.nan)
    starts = np.full((len(limits), places), -1, dtype=np.int64)
    for rows, within in (
        ([row for row, limit in enumerate(limits) if limit is None], None),
        (limited, [limits[row] for row in limited]),
    ):
        if not rows:
            continue
        asked = q
        if two_dimensional and len(rows) < len(limits):
            asked = q[rows] if isinstance(q, np.ndarray) else type(q)(q[row] for row in rows)
        limit: Any = within if within is None or two_dimensional else within[0]
        d, s = index.query(asked, k, exclude=exclude, within=limit, exact=exact, threads=1)
        distances[rows], starts[rows] = np.atleast_2d(d), np.atleast_2d(s)
    return distances, np.where(starts >= 0, starts + chunk["first"] * shape[1], -1)


def _order(distances: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Positions in the order of the answers: distance (NaN last), then start."""
    missing = np.isnan(distances)
    return np.lexsort((starts, np.where(missing, 0.0, distances), missing))


def _merge(keep: int, *parts: tuple[np.ndarray, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """The first `keep` answers of each row among the parts' answers."""
    rows = parts[0][0].shape[0]
    distances = np.full((rows, keep), math.nan)
    starts = np.full((rows, keep), -1, dtype=np.int64)
    for row in range(rows):
        d = np.concatenate([part[0][row] for part in parts])
        s = np.concatenate([part[1][row] for part in parts])
        found = s >= 0
        d, s = d[found], s[found]
        best = _order(d, s)[:keep]
        distances[row, : len(best)], starts[row, : len(best)] = d[best], s[best]
    return distances, starts


def _key(distance: float, start: int) -> tuple[bool, float, int]:
    missing = math.isnan(distance)
    return (missing, 0.0 if missing else distance, start)


def _greedy(candidates: list[tuple[float, int]], places: int, exclude: int) -> list[tuple[float, int]]:
    """The greedy choice: candidates in answer order, each taken unless it
    starts within `exclude` of one taken before."""
    chosen: list[tuple[float, int]] = []
    taken: list[int] = []
    for distance, start in candidates:
        if len(chosen) == places:
            break
        at = bisect.bisect_left(taken, start - exclude)
        if at < len(taken) and taken[at] <= start + exclude:
            continue
        chosen.append((distance, start))
        bisect.insort(taken, start)
    return chosen


class _Consumed(list[Any]):
    """The values of an iterable that morvel consumes whole (a generator, a
    set...), kept in the order it gave them: read as that iterable is, since
    only exact lists and tuples hold rows of queries."""


# What morvel consumes whole rather than reads by position.
_CONSUMED = (types.GeneratorType, map, set, frozenset, type({}.keys()), type({}.values()))


def _consumed(q: Any) -> Any:
    """q, with what morvel consumes whole (a generator, a set, a map, a
    dict's keys or values) taken once, so that it can be read again; for
    rows of queries (a list or tuple whose first row is a sequence, as
    morvel tells them), each such row."""
    if isinstance(q, _CONSUMED):
        return _Consumed(q)
    if type(q) in (list, tuple) and q and isinstance(q[0], (list, tuple, np.ndarray)) and np.ndim(q[0]) >= 1:
        return type(q)(_Consumed(row) if isinstance(row, _CONSUMED) else row for row in q)
    return q


def _portable(q: Any) -> Any:
    """q (as _consumed leaves it) in a form that travels to the workers and
    that morvel reads as it reads q."""
    if type(q) in (list, tuple):
        return type(q)(_portable(row) for row in q)
    if isinstance(q, collections.abc.Buffer) and not isinstance(q, (np.ndarray, bytes, bytearray)):
        try:
            pickle.dumps(q)
        except Exception:
            # A memoryview, a ctypes array: numpy copies the buffer as morvel reads it.
            return np.array(memoryview(q))
    return q


class Index:
    """Exact similarity search over the windows of a series on a Dask
    cluster: one morvel.Index per chunk of the series, built by the workers
    from the chunks where they lie and saved under `path`, where each worker
    maps the chunks it answers for. query() answers exactly what one
    morvel.Index over the whole series answers: the same starts (ties to the
    lower start), the same distance bits, the exclusion zones honoured
    across the chunks' borders.

    Index(ts, window, stride=1, *, w=16, path, client=None, progress=False)
    builds it (ts a one-dimensional dask array; `client` a
    distributed.Client, by default the current one); Index.load(path)
    opens one built before.
    """

    def __init__(
        self,
        ts: da.Array,
        window: int,
        stride: int = 1,
        *,
        w: int = 16,
        path: _Path,
        client: Any = None,
        progress: bool = False,
    ) -> None:
        ts = _series(ts)
        self._probe = _probe(ts.shape[0], window, stride, w)
        window, stride, w = self._probe.window, self._probe.stride, self._probe.w
        self._client = client
        directory = pathlib.Path(path)
        directory.mkdir(parents=True, exist_ok=True)
        # The chunks of each build have names of their own, so that an index
        # built there before stays whole until the new record replaces its own.
        build = uuid.uuid4().hex[:12]
        tasks, chunks = [], _Chunks(ts)
        for number, (first, end) in enumerate(_window_ranges(ts.chunks[0], window, stride)):
            if first < end:
                pieces = chunks.values_of(first, end, window, stride)
                chunk = str(directory / f"chunk-{number:06d}-{build}")
                tasks.append(dask.delayed(_build_chunk, pure=False)(pieces, window, stride, w, chunk, number, first))
        client = self._connected()
        futures = client.compute(tasks)
        if progress:
            _show(futures)
        chunks = client.gather(futures)
        manifest = {
            "format": _FORMAT,
            "version": _VERSION,
            "window": window,
            "stride": stride,
            "w": w,
            "windows": sum(chunk["windows"] for chunk in chunks),
            "chunks": chunks,
        }
        partial = directory / f".{_MANIFEST}.partial-{build}"
        partial.write_text(json.dumps(manifest, indent=1))
        os.replace(partial, directory / _MANIFEST)
        for old in directory.glob("chunk-*"):
            if not old.name.endswith(build):
                shutil.rmtree(old, ignore_errors=True)
        self._adopt(directory, manifest)

    @classmethod
    def load(cls, path: _Path, *, client: Any = None) -> Index:
        """Opens an index built before under `path`. Its record of the chunks
        is checked here, each chunk's files by the worker that first maps
        them: a chunk missing, damaged or replaced is a ValueError naming
        it, never skipped."""
        directory = pathlib.Path(path)
        try:
            record = directory / _MANIFEST
            if not record.is_file():
                raise ValueError(f"no {_MANIFEST}")
            manifest = json.loads(record.read_bytes())
            sound = _sound(manifest)
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            raise ValueError(f"not a readable {_FORMAT} at {directory}: {error}") from None
        if not sound:
            raise ValueError(f"not a readable {_FORMAT} at {directory}: its record of the chunks is inconsistent")
        index = cls.__new__(cls)
        index._client = client
        index._probe = _probe(manifest["windows"], manifest["window"], manifest["stride"], manifest["w"], known=True)
        index._adopt(directory, manifest)
        return index

    def _adopt(self, directory: pathlib.Path, manifest: dict[str, Any]) -> None:
        self._path = str(directory.resolve())
        self._shape: tuple[int, int, int] = (manifest["window"], manifest["stride"], manifest["w"])
        self._count: int = manifest["windows"]
        self._chunks = sorted(manifest["chunks"], key=lambda chunk: chunk["first"])

    def _connected(self) -> Any:
        if self._client is None:
            from distributed import get_client

            return get_client()
        return self._client

    # ---- Queries ----------------------------------------------------------

    def query(
        self,
        q: Any,
        k: int = 1,
        *,
        exclude: int | None = None,
        within: float | collections.abc.Sequence[float] | None = None,
        exact: bool = True,
        progress: bool = False,
    ) -> tuple[numpy.typing.NDArray[np.float64], numpy.typing.NDArray[np.int64]]:
        """The k windows nearest to q, nearest first: (distances, starts), as
        morvel.Index.query answers over the whole series. Each chunk first
        answers approximately; the best of those answers bounds every
        chunk's exact search, and the chunks' answers are merged (with
        exclusion, chosen greedily across the chunks' borders). A 2-D q
        answers one query per row; progress=True shows the chunks' tasks."""
        given = q
        q, within = _consumed(q), _consumed(within)
        # q, k, exclude and within are read, and refused, as morvel.Index reads them.
        try:
            shaped, _ = self._probe.query(q, k, exclude=exclude, within=within, exact=False)
        except TypeError as error:
            if isinstance(q, _Consumed):  # named as given
                raise TypeError(str(error).replace(_Consumed.__name__, type(given).__name__)) from None
            raise
        q = _portable(q)
        two_dimensional = shaped.ndim == 2
        rows = shaped.shape[0] if two_dimensional else 1
        k = operator.index(k)
        window, stride, _ = self._shape
        zone = (window + 3) // 4 if exclude is None else operator.index(exclude)
        limits: list[float | None]
        if within is None:
            limits = [None] * rows
        elif isinstance(within, (collections.abc.Sized, collections.abc.Buffer)) and np.ndim(within) > 0:
            limits = [float(x) for x in within]
        else:
            limits = [float(within)] * rows
        places = min(k, self._count)
        search = _Search(self, q, two_dimensional, rows, progress)
        if not exact:
            if zone == 0 or k == 1:
                distances, starts = search.merged(search.ask(k, zone, limits, False), places)
            else:
                distances, starts = search.chosen(search.ask(k, zone, limits, False), places, zone)
        elif zone == 0 or k == 1:
            # k windows found approximately bound the k-th nearest.
            first = search.merged(search.ask(k, 0, limits, False), places)
            bounds = [_tighter(limits[row], first[0][row][-1] if k == places else math.nan) for row in range(rows)]
            distances, starts = search.merged(search.ask(k, 0, bounds, True, shown=True), places)
        else:
            distances, starts = search.streamed(k, places, zone, limits)
        if not two_dimensional:
            return distances[0], starts[0]
        return distances, starts

    # ---- What it is -------------------------------------------------------

    @property
    def path(self) -> str:
        """Where the chunks are saved."""
        return self._path

    @property
    def window(self) -> int:
        return self._shape[0]

    @property
    def stride(self) -> int:
        return self._shape[1]

    @property
    def w(self) -> int:
        return self._shape[2]

    @property
    def chunks(self) -> list[tuple[int, int]]:
        """Per chunk index, the start of its first window and its windows."""
        return [(chunk["first"] * self.stride, chunk["windows"]) for chunk in self._chunks]

    def __len__(self) -> int:
        return self._count

    def __repr__(self) -> str:
        return (
            f"morvel_dask.Index({self._count} windows of {self.window}, stride {self.stride}, "
            f"w {self.w}, {len(self._chunks)} chunks at {self._path!r})"
        )


def _sound(manifest: dict[str, Any]) -> bool:
    """Whether a record describes an index: chunks that follow each other
    from window 0, each once, in directories of this one."""
    chunks = manifest["chunks"]
    shape = [manifest[name] for name in ("window", "stride", "w", "windows")]
    fields = ("number", "directory", "first", "windows", "digest")
    if not (
        manifest["format"] == _FORMAT
        and manifest["version"] == _VERSION
        and all(type(value) is int and value >= 1 for value in shape)
        and type(chunks) is list
        and all(type(chunk) is dict and set(chunk) == set(fields) for chunk in chunks)
    ):
        return False
    first = 0
    for chunk in sorted(chunks, key=lambda chunk: chunk["first"]):
        if not (
            all(type(chunk[name]) is int for name in ("number", "first", "windows"))
            and chunk["first"] == first
            and chunk["windows"] >= 1
            and re.fullmatch(r"chunk-[0-9]+-[0-9a-f]+", chunk["directory"]) is not None
            and re.fullmatch(r"[0-9a-f]{64}", chunk["digest"]) is not None
        ):
            return False
        first += chunk["windows"]
    numbers = [chunk["number"] for chunk in chunks]
    return first == manifest["windows"] and len(set(numbers)) == len(numbers)


def _probe(length: int, window: Any, stride: Any, w: Any, known: bool = False) -> morvel.Index:
    """An index of one window, which reads and refuses arguments and queries
    as an index over the series does. Arguments no index of `length` values
    could take are refused before anything is made: a series of that length
    that holds no memory is offered instead."""
    try:
        plain = known or 2 <= operator.index(window) <= min(length, 2**31 - 1)
    except TypeError:
        plain = False
    if not plain:
        morvel.Index(np.broadcast_to(np.float64(0.0), (length,)), window, stride, w=w)
        raise AssertionError("morvel.Index accepted a window beyond the series")
    return morvel.Index(np.arange(float(window)), window, stride, w=w)


def _tighter(limit: float | None, bound: float) -> float | None:
    if math.isnan(bound):
        return limit
    return bound if limit is None else min(limit, bound)


def _show(futures: Any) -> None:
    from distributed import progress

    progress(futures)


class _Search:
    """One query's tasks: each chunk answered by whichever worker is free
    (each opens a chunk once, and keeps it mapped), the answers merged on
    the workers."""

    def __init__(self, index: Index, q: Any, two_dimensional: bool, rows: int, progress: bool) -> None:
        self.index, self.client = index, index._connected()
        self.q, self.two_dimensional, self.rows, self.progress = q, two_dimensional, rows, progress

    def ask(
        self,
        k: int,
        exclude: int,
        limits: list[float | None],
        exact: bool,
        chunks: list[dict[str, Any]] | None = None,
        rows: list[int] | None = None,
        shown: bool = False,
    ) -> list[Any]:
        """Futures of the chunks' answers for the rows (default all)."""
        q = self.q
        if rows is not None and rows != list(range(self.rows)):
            if self.two_dimensional:
                q = q[rows] if isinstance(q, np.ndarray) else type(q)(q[row] for row in rows)
            limits = [limits[row] for row in rows]
        futures = [
            self.client.submit(
                _ask,
                self.index._path,
                chunk,
                self.index._shape,
                q,
                self.two_dimensional,
                k,
                exclude,
                limits,
                exact,
                pure=False,
            )
            for chunk in (self.index._chunks if chunks is None else chunks)
        ]
        if shown and self.progress:
            _show(futures)
        return futures

    def merged(self, futures: list[Any], keep: int) -> tuple[np.ndarray, np.ndarray]:
        """The first `keep` answers per row, merged in a tree on the workers."""
        keep = min(keep, self.index._count)
        while True:
            futures = [
                self.client.submit(_merge, keep, *futures[at : at + 8], pure=False) for at in range(0, len(futures), 8)
            ]
            if len(futures) == 1:
                answers: tuple[np.ndarray, np.ndarray] = futures[0].result()
                return answers

    def chosen(self, futures: list[Any], places: int, exclude: int) -> tuple[np.ndarray, np.ndarray]:
        """The greedy choice over every answer the chunks gave."""
        everything = self.merged(futures, len(futures) * places)
        distances = np.full((self.rows, places), math.nan)
        starts = np.full((self.rows, places), -1, dtype=np.int64)
        for row in range(self.rows):
            pairs = [(float(d), int(s)) for d, s in zip(everything[0][row], everything[1][row], strict=True) if s >= 0]
            for place, (d, s) in enumerate(_greedy(pairs, places, exclude)):
                distances[row, place], starts[row, place] = d, s
        return distances, starts

    def streamed(self, k: int, places: int, exclude: int, limits: list[float | None]) -> tuple[np.ndarray, np.ndarray]:
        """Exact answers with exclusion. Each chunk gives its nearest windows
        in answer order, without exclusion; their merge is the whole
        series' order up to the least last answer of a chunk that may hold
        more (its horizon), and the greedy choice is made over that prefix.
        Chunks whose answers ran out before the choice was complete are
        asked for more."""
        # 2k - 1 windows pairwise outside each other's zones, found
        # approximately, bound the k-th chosen: each choice shuts out at most
        # two of them, so some of them is left to be chosen while fewer than
        # k are.
        enough = min(2 * k - 1, self.index._count + 1)
        rough = self.chosen(self.ask(enough, exclude, limits, False), min(enough, self.index._count), exclude)
        bounds = [
            _tighter(limits[row], rough[0][row][-1] if enough <= self.index._count else math.nan)
            for row in range(self.rows)
        ]
        chunks = self.index._chunks
        first_ask = min(k, self.index._count) * (2 * min(exclude // self.index.stride, self.index._count) + 1)
        asked = [[min(chunk["windows"], first_ask) for chunk in chunks] for _ in range(self.rows)]
        answers: list[list[list[tuple[float, int]]]] = [[[] for _ in chunks] for _ in range(self.rows)]
        complete = [[False] * len(chunks) for _ in range(self.rows)]
        pending = {row: list(range(len(chunks))) for row in range(self.rows)}
        distances = np.full((self.rows, places), math.nan)
        starts = np.full((self.rows, places), -1, dtype=np.int64)
        first_round = True
        while pending:
            # One task per chunk, for every row that waits on it.
            waiting: dict[int, list[int]] = {}
            for row, numbers in pending.items():
                for c in numbers:
                    waiting.setdefault(c, []).append(row)
            tasks = []
            for c, rows in waiting.items():
                tasks += self.ask(max(asked[row][c] for row in rows), 0, bounds, True, [chunks[c]], rows)
            if first_round and self.progress:
                _show(tasks)
            first_round = False
            for (c, rows), (d, s) in zip(waiting.items(), self.client.gather(tasks), strict=True):
                more = d.shape[1]
                for at, row in enumerate(rows):
                    answers[row][c] = [(float(x), int(y)) for x, y in zip(d[at], s[at], strict=True) if y >= 0]
                    complete[row][c] = len(answers[row][c]) < more or more >= chunks[c]["windows"]
            for row in list(pending):
                unfinished = [c for c in range(len(chunks)) if not complete[row][c]]
                horizon = min((_key(*answers[row][c][-1]) for c in unfinished), default=None)
                merged = sorted((pair for answer in answers[row] for pair in answer), key=lambda pair: _key(*pair))
                if horizon is not None:
                    merged = [pair for pair in merged if _key(*pair) <= horizon]
                chosen = _greedy(merged, places, exclude)
                if len(chosen) == places or horizon is None:
                    for place, (d, s) in enumerate(chosen):
                        distances[row, place], starts[row, place] = d, s
                    del pending[row]
                    continue
                pending[row] = unfinished
                for c in unfinished:
                    asked[row][c] = min(chunks[c]["windows"], asked[row][c] * 2)
        return distances, starts
