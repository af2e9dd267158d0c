"""The peer's matrix profile, run by self_join.py in the peer's own virtual
environment:
    self_join_peers.py LENGTH|FILE.npy WINDOW OUT.npy
stumpy.stump over a random walk of LENGTH values (seed 1), or the series
saved in FILE.npy, with windows of
WINDOW, on the threads numba is given (compiled first, on a short series,
outside the timing); prints one JSON object with its time, and saves its
profile and neighbours to OUT.npy (two rows) for comparison."""

import json
import sys
import time

import numpy as np


def main():
    series, window, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if series.endswith(".npy"):
        ts = np.load(series)
    else:
        ts = np.cumsum(np.random.default_rng(1).standard_normal(int(series)))
    try:
        import numba
        import stumpy

        stumpy.stump(ts[: 20 * window], window)
        start = time.perf_counter()
        profile = stumpy.stump(ts, window)
        seconds = time.perf_counter() - start
        np.save(out, np.array([profile[:, 0].astype(np.float64), profile[:, 1].astype(np.float64)]))
        print(json.dumps({"seconds": seconds, "threads": numba.get_num_threads(), "version": stumpy.__version__}))
    except Exception as error:  # not installable here, or failing: say so
        print(json.dumps({"unavailable": f"{type(error).__name__}: {error}"[:160]}))


if __name__ == "__main__":
    main()
