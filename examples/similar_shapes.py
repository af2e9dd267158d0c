"""Where in a long series is the shape most like this one? morvel.Index.

The index keeps a short word per window of the heart-rate series and answers
a query exactly: the windows nearest to a given stretch under the
z-normalised Euclidean distance, no two overlapping, each distance bit for
bit what a scan of every window (index.profile) computes. The script checks
that against the scan, then draws the series with the matches and the
matches laid over the query.

Run: tools/run python3 examples/similar_shapes.py  (draws build/demo/similar.png)
"""

import pathlib
import sys
import time

import numpy as np

import morvel

from discords import load

PICTURE = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo" / "similar.png"


def nearest(ts, start, window, k):
    """The k windows nearest to ts[start : start + window], the query itself
    first, by the index and by the scan."""
    index = morvel.Index(ts, window)
    q = ts[start : start + window]
    began = time.perf_counter()
    distances, starts = index.query(q, k, exclude=window - 1)
    seconds = time.perf_counter() - began
    profile = index.profile(q)
    order = np.lexsort((np.arange(len(profile)), profile))
    return index, distances, starts, seconds, profile, order


def draw(ts, q_start, window, distances, starts, path=PICTURE):
    """The series with the query and its matches, and beside it the matches
    z-normalised, laid over the query."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    path.parent.mkdir(parents=True, exist_ok=True)
    figure, (series, overlay) = plt.subplots(
        1, 2, figsize=(11, 3.2), gridspec_kw={"width_ratios": [3, 1]}, layout="constrained"
    )
    series.plot(ts, color="0.6", linewidth=0.6, label="heart rate")
    for rank, (start, distance) in enumerate(zip(starts, distances, strict=True)):
        label = "query" if start == q_start else f"match {rank}: {distance:.3f}"
        stretch = ts[start : start + window]
        series.plot(range(start, start + window), stretch, linewidth=1.3, label=label)
        overlay.plot((stretch - stretch.mean()) / stretch.std(), linewidth=1.0)
    series.set_xlabel("reading")
    series.set_title(f"The windows of {window} readings most like readings {q_start} to {q_start + window - 1}")
    series.legend(loc="upper left", fontsize=7, ncol=2)
    overlay.set_title("z-normalised, laid over", fontsize=9)
    overlay.set_xlabel("position in the window")
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


def main(q_start=2330, window=180, k=6):
    ts, _ = load()
    index, distances, starts, seconds, profile, order = nearest(ts, q_start, window, k)
    print(f"{len(index):,} windows of {window} readings, {index.nbytes / len(index):.1f} bytes each beyond the series")
    for distance, start in zip(distances, starts, strict=True):
        print(f"  start {start:5d}  distance {distance:.6f}")
    stats = index.stats
    print(
        f"answered in {seconds * 1e3:.2f} ms with {stats['distances']:,} exact distances "
        f"({stats['distances'] / len(index):.1%} of the windows)"
    )
    # The scan's nearest window is the query itself; each match is at the
    # distance the scan gives it, and no window outside the matches' zones
    # is nearer than the last match.
    same = starts[0] == order[0] == q_start and np.array_equal(profile[starts], distances)
    print(f"the same distances as the scan of every window: {same}")
    print(f"drawn in {draw(ts, q_start, window, distances, starts)}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
