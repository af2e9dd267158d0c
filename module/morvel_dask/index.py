"""The index of a series' windows on a cluster: built, opened and asked."""

import collections.abc
import json
import math
import operator
import os
import pathlib
import pickle
import shutil
import types
import uuid
from typing import Any

import dask
import dask.array as da
import numpy as np
import numpy.typing

import morvel

from .chunks import Path, _Chunks, _series, _window_ranges
from .saved import _FORMAT, _MANIFEST, _VERSION, _build_chunk, _open, _sound
from .search import _Chunked, _Search, _show, _tighter


class _Consumed(list[Any]):
    """The values of an iterable that morvel consumes whole (a generator, a
    set...), kept in the order it gave them: read as that iterable is, since
    only exact lists and tuples hold rows of queries."""


# What morvel consumes whole rather than reads by position.
_CONSUMED: tuple[type, ...] = (types.GeneratorType, map, set, frozenset, type({}.keys()), type({}.values()))


def _consumed(q: Any) -> Any:
    """q, with what morvel consumes whole (a generator, a set, a map, a
    dict's keys or values) taken once, so that it can be read again; for
    rows of queries (a list or tuple whose first row is a sequence, as
    morvel tells them), each such row."""
    if _taken_whole(q):
        return _Consumed(q)
    if type(q) in (list, tuple) and q and isinstance(q[0], (list, tuple, np.ndarray)) and np.ndim(q[0]) >= 1:
        return type(q)(_Consumed(row) if _taken_whole(row) else row for row in q)
    return q


def _taken_whole(value: Any) -> bool:
    return isinstance(value, _CONSUMED)


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

    Index(ts, window, stride=1, *, w=None, path, client=None, progress=False)
    builds it (ts a one-dimensional dask array; w symbols a word, by default
    min(16, window); `client` a distributed.Client, by default the current
    one); Index.load(path) opens one built before.
    """

    def __init__(
        self,
        ts: da.Array,
        window: int,
        stride: int = 1,
        *,
        w: int | None = None,
        path: Path,
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
    def load(cls, path: Path, *, client: Any = None, verify: bool = False) -> Index:
        """Opens an index built before under `path`. Its record of the chunks
        is checked here (distinct, contiguous chunks covering the series),
        each chunk's files by the worker that first maps them, as
        morvel.Index.load checks them: a chunk missing, damaged or replaced
        is a ValueError naming it, never skipped. With verify=True every
        chunk is opened now by a worker and its tables built again from its
        series (morvel.Index.load(verify=True)), at about the cost of a
        build."""
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
        if verify:
            client = index._connected()
            opened = [
                client.submit(_open, index._path, chunk, index._shape, True, pure=False) for chunk in index._chunks
            ]
            client.gather(client.map(_checked, opened, pure=False))
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
        zone = self._probe.exclude if exclude is None else operator.index(exclude)
        limits: list[float | None]
        given_within: Any = within  # one number, or one per row: read as morvel read it
        if given_within is None:
            limits = [None] * rows
        elif np.ndim(given_within) > 0:
            limits = [float(x) for x in given_within]
        else:
            limits = [float(given_within)] * rows
        places = min(k, self._count)
        search = _Search(
            self._connected(),
            _Chunked(self._path, self._shape, self._chunks, self._count),
            q,
            two_dimensional,
            rows,
            progress,
        )
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


def _checked(index: morvel.Index) -> int:
    """What a worker sends back for a chunk it opened: not the index."""
    return len(index)


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
