"""The most unusual stretch of a series, its top discord, found with SAX.

A discord of length n is the window whose nearest neighbour (any other window
of the series that does not overlap it) is the farthest away, by the
z-normalised Euclidean distance. Brute force compares every window with every
other. The classic heuristic gets the same answer with far fewer distances,
using the SAX word of every window (one morvel.sax call) to choose the order:

  outer loop  windows whose word is rare first: a discord is unusual, so its
              word is likely rare;
  inner loop  the windows with the same word first: likely the nearest, so a
              window that is not the discord is found out, and abandoned,
              after a few distances; then all the others;
  abandoning  a window is abandoned as soon as a neighbour closer than the
              best discord so far turns up: it cannot be the discord.

morvel.Index.discords answers the same question exactly, without the whole
matrix profile; the loop below stays as the teaching version, checked equal.

Run: tools/run python3 examples/discords.py  (draws build/demo/discord.png)
"""

import csv
import pathlib
import sys
import time
from collections import Counter, defaultdict
from dataclasses import dataclass

import numpy as np

import morvel

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data" / "internal-bleeding.csv"
PICTURE = HERE.parent / "build" / "demo" / "discord.png"


def load(path=DATA):
    """The series and the indices its file marks as anomalous."""
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    values = np.array([float(row["value"]) for row in rows])
    marked = [int(row["timestamp"]) for row in rows if row["is_anomaly"] == "1"]
    return values, marked


def znormalised_windows(ts, window):
    """Every window of `window` values, each z-normalised (population sd)."""
    windows = np.lib.stride_tricks.sliding_window_view(np.asarray(ts, dtype=float), window)
    mean = windows.mean(axis=1, keepdims=True)
    sd = windows.std(axis=1, keepdims=True)
    return (windows - mean) / np.where(sd > 0, sd, 1.0)


@dataclass
class Discord:
    position: int
    distance: float  # to its nearest non-overlapping neighbour
    distances: int  # distance computations made to find it
    seconds: float


def brute_force(ts, window, block=512):
    """Every window against every other that does not overlap it."""
    start = time.perf_counter()
    z = znormalised_windows(ts, window)
    count = len(z)
    nearest = np.full(count, np.inf)
    computed = 0
    for first in range(0, count, block):
        rows = z[first : first + block]
        # |a - b|^2 = |a|^2 + |b|^2 - 2 a.b, every pair of the block at once.
        squared = (rows * rows).sum(1)[:, None] + (z * z).sum(1)[None, :] - 2.0 * rows @ z.T
        index = np.arange(first, first + len(rows))[:, None]
        trivial = np.abs(index - np.arange(count)[None, :]) < window
        squared[trivial] = np.inf
        computed += int((~trivial).sum())
        nearest[first : first + len(rows)] = np.sqrt(np.maximum(squared.min(1), 0.0))
    position = int(np.argmax(nearest))
    return Discord(position, float(nearest[position]), computed, time.perf_counter() - start)


def hot_sax(ts, window, w=4, alpha=4, seed=0):
    """The same answer, in the order the SAX words suggest."""
    start = time.perf_counter()
    z = znormalised_windows(ts, window)
    words = ["".join(letters) for letters in morvel.sax(ts, window, 1, w, alpha)]
    count = len(words)
    members = defaultdict(list)
    for position, word in enumerate(words):
        members[word].append(position)
    frequency = Counter(words)
    rng = np.random.default_rng(seed)
    outer = sorted(range(count), key=lambda position: (frequency[words[position]], rng.random()))
    everyone = rng.permutation(count)

    def distance(i, j):
        nonlocal computed
        computed += 1
        difference = z[i] - z[j]
        return float(np.sqrt(difference @ difference))

    computed = 0
    best, best_distance = -1, -1.0
    for i in outer:
        nearest = np.inf
        abandoned = False
        for group in (members[words[i]], everyone):
            for j in group:
                if abs(i - j) < window:
                    continue
                d = distance(i, j)
                if d < nearest:
                    nearest = d
                    if nearest < best_distance:
                        abandoned = True  # cannot be the discord
                        break
            if abandoned:
                break
        if not abandoned and nearest > best_distance:
            best, best_distance = i, nearest
    return Discord(best, best_distance, computed, time.perf_counter() - start)


def with_index(ts, window):
    """The same answer from morvel.Index.discords, exactly: each window's
    nearest other window starts more than exclude = window - 1 away (so it
    does not overlap), and the windows are dropped as soon as one nearer
    than the best discord's bound turns up."""
    start = time.perf_counter()
    index = morvel.Index(ts, window)
    distances, starts, _ = index.discords(1, exclude=window - 1)
    return Discord(int(starts[0]), float(distances[0]), index.stats["distances"], time.perf_counter() - start)


def plot(path, title, draw_on):
    """A wide picture of the series, drawn by draw_on(axes), saved to path."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    path.parent.mkdir(parents=True, exist_ok=True)
    figure, axes = plt.subplots(figsize=(11, 3.2))
    draw_on(axes)
    axes.set_xlabel("reading")
    axes.set_title(title)
    axes.legend(loc="upper left", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


def draw(ts, window, discord, marked, path=PICTURE):
    def draw_on(axes):
        axes.plot(ts, color="0.35", linewidth=0.6, label="heart rate")
        span = range(discord.position, discord.position + window)
        axes.plot(span, ts[span.start : span.stop], color="crimson", linewidth=1.2, label="discord")
        if marked:
            axes.axvspan(marked[0], marked[-1], color="gold", alpha=0.5, label="annotated anomaly")

    last = discord.position + window - 1
    return plot(path, f"Top discord of length {window}: readings {discord.position} to {last}", draw_on)


def main(window=100):
    ts, marked = load()
    print(f"{len(ts):,} heart-rate readings; annotated anomaly: readings {marked[0]} to {marked[-1]}")
    heuristic = hot_sax(ts, window)
    indexed = with_index(ts, window)
    exact = brute_force(ts, window)
    for name, found in (("SAX-ordered search", heuristic), ("morvel.Index", indexed), ("brute force", exact)):
        print(
            f"{name:>18}: discord at {found.position} (readings {found.position}-{found.position + window - 1}), "
            f"distance {found.distance:.4f}, {found.distances:,} distance computations, {found.seconds:.2f} s"
        )
    same = all(
        found.position == exact.position and np.isclose(found.distance, exact.distance)
        for found in (heuristic, indexed)
    )
    print(
        f"same discord: {same}; the search computed {heuristic.distances / exact.distances:.2%} of the distances; "
        f"overlaps the annotated anomaly: {heuristic.position <= marked[-1] and marked[0] < heuristic.position + window}"
    )
    print(f"drawn in {draw(ts, window, heuristic, marked)}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
