"""The peers' time for one nearest-window query, run by index.py in the
peers' own virtual environment:
    index_peers.py LENGTH WINDOW QUERIES
prints one JSON object: {label: median milliseconds, or an explanation}.

- stumpy.mass: the matrix-profile package's distance profile of one query
  (compiled first, outside the timing);
- faiss IndexFlatL2: a flat L2 index over the materialised, z-normalised
  window matrix (float32), built outside the timing; its build time and the
  matrix's size are reported beside it.
"""

import json
import sys
import time

import numpy as np


def main():
    length, window, count = (int(a) for a in sys.argv[1:4])
    ts = np.cumsum(np.random.default_rng(1).standard_normal(length + window - 1))
    rows = [np.cumsum(np.random.default_rng(101 + i).standard_normal(window)) for i in range(count)]
    result = {}
    try:
        import stumpy

        stumpy.mass(rows[0], ts[: 10 * window])
        times = []
        for q in rows:
            start = time.perf_counter()
            np.argmin(stumpy.mass(q, ts))
            times.append(time.perf_counter() - start)
        result["stumpy.mass, one query (median ms)"] = float(np.median(times)) * 1e3
    except Exception as error:  # not installable here, or failing: say so
        result["stumpy.mass, one query (median ms)"] = f"unavailable ({type(error).__name__}: {error})"[:120]
    try:
        import faiss

        start = time.perf_counter()
        windows = np.lib.stride_tricks.sliding_window_view(ts, window)
        matrix = ((windows - windows.mean(1, keepdims=True)) / windows.std(1, keepdims=True)).astype(np.float32)
        index = faiss.IndexFlatL2(window)
        index.add(matrix)
        result["faiss IndexFlatL2 build, materialised matrix (ms)"] = (time.perf_counter() - start) * 1e3
        result["faiss matrix (MiB)"] = matrix.nbytes / 2**20
        times = []
        for q in rows:
            qz = ((q - q.mean()) / q.std()).astype(np.float32)[None, :]
            start = time.perf_counter()
            index.search(qz, 1)
            times.append(time.perf_counter() - start)
        result["faiss IndexFlatL2, one query (median ms)"] = float(np.median(times)) * 1e3
    except Exception as error:
        result["faiss IndexFlatL2, one query (median ms)"] = f"unavailable ({type(error).__name__}: {error})"[:120]
    print(json.dumps(result))


if __name__ == "__main__":
    main()
