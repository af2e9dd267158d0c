"""The array functions over a dask array, and a .npy file read as one."""

import math
import operator
import os
from typing import Any

import dask
import dask.array as da
import numpy as np

import morvel

from .chunks import Path, _Chunks, _concatenated, _joined, _series, _window_ranges


class _MappedNpy:
    """What dask.array reads blocks from: the .npy file is mapped where a
    block is read, so only its path travels to the workers."""

    def __init__(self, path: Path) -> None:
        self.path = os.fspath(path)
        mapped = np.load(self.path, mmap_mode="r")
        if mapped.ndim != 1:
            raise ValueError(f"{self.path} holds a {mapped.ndim}-D array, not a series")
        self.shape: tuple[int, ...] = mapped.shape
        self.dtype: np.dtype[Any] = mapped.dtype
        self.ndim = 1

    def __getitem__(self, index: Any) -> np.ndarray:
        return np.asarray(np.load(self.path, mmap_mode="r")[index])


def from_npy(path: Path, chunks: Any = "auto") -> da.Array:
    """The series in a one-dimensional .npy file, as a dask array whose
    blocks each worker reads by mapping the file itself (never copied into
    the task graph). `chunks` as dask.array.from_array takes it."""
    source = _MappedNpy(path)
    status = os.stat(source.path)
    name = "from-npy-" + dask.base.tokenize(os.path.abspath(source.path), status.st_size, status.st_mtime_ns)
    return da.from_array(source, chunks=chunks, name=name, meta=np.empty(0, dtype=source.dtype))


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
