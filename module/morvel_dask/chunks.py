"""A series as a dask array, and the windows that start in each of its
chunks: what the array functions and the index plan their tasks by."""

import bisect
import math
import operator
import os
from typing import Any

import dask
import dask.array as da
import numpy as np

type Path = str | os.PathLike[str]


def _series(ts: Any) -> da.Array:
    if not isinstance(ts, da.Array) or ts.ndim != 1:
        raise TypeError(f"ts must be a one-dimensional dask array, not {type(ts).__name__}")
    if any(math.isnan(size) for size in ts.chunks[0]):
        raise ValueError("ts must have known chunk sizes (compute_chunk_sizes() gives them)")
    return ts


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
