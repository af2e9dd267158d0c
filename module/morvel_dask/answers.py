"""What a query answers, as morvel.Index answers it: the answer order and
the greedy choice under exclusion zones, for merging the chunks' answers."""

import bisect
import math

import numpy as np


def _key(distance: float, start: int) -> tuple[bool, float, int]:
    """The answer order: distance (a window with no shape, NaN, last), then
    the lower start."""
    missing = math.isnan(distance)
    return (missing, 0.0 if missing else distance, start)


def _order(distances: np.ndarray, starts: np.ndarray) -> list[int]:
    """Positions in answer order."""
    return sorted(range(len(starts)), key=lambda at: _key(float(distances[at]), int(starts[at])))


def _greedy(candidates: list[tuple[float, int]], places: int, exclude: int) -> list[tuple[float, int]]:
    """The greedy choice: candidates in answer order, each taken unless it
    starts within `exclude` of one taken before (|a - b| <= exclude)."""
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
