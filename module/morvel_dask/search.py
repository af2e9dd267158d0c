"""A query's tasks: each chunk's answer, and their merge, exact across
the chunks' borders."""

import math
from typing import Any, NamedTuple

import numpy as np

from .answers import _greedy, _key, _order
from .saved import _open


class _Chunked(NamedTuple):
    """What a query's tasks read of an index: where its chunks are saved,
    its shape (window, stride, w), its chunks and its window count."""

    path: str
    shape: tuple[int, int, int]
    chunks: list[dict[str, Any]]
    count: int


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

    def __init__(self, client: Any, index: _Chunked, q: Any, two_dimensional: bool, rows: int, progress: bool) -> None:
        self.index, self.client = index, client
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
                self.index.path,
                chunk,
                self.index.shape,
                q,
                self.two_dimensional,
                k,
                exclude,
                limits,
                exact,
                pure=False,
            )
            for chunk in (self.index.chunks if chunks is None else chunks)
        ]
        if shown and self.progress:
            _show(futures)
        return futures

    def merged(self, futures: list[Any], keep: int) -> tuple[np.ndarray, np.ndarray]:
        """The first `keep` answers per row, merged in a tree on the workers."""
        keep = min(keep, self.index.count)
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
        enough = min(2 * k - 1, self.index.count + 1)
        rough = self.chosen(self.ask(enough, exclude, limits, False), min(enough, self.index.count), exclude)
        bounds = [
            _tighter(limits[row], rough[0][row][-1] if enough <= self.index.count else math.nan)
            for row in range(self.rows)
        ]
        chunks = self.index.chunks
        first_ask = min(k, self.index.count) * (2 * min(exclude // self.index.shape[1], self.index.count) + 1)
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
