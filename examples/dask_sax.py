"""The most frequent SAX words of a long memory-mapped series, counted on a
local Dask cluster, and the same counts from one call.

morvel_dask.sax_array gives the words of the windows starting in each chunk
(a word is a row of w letters, or one 'S<w>' value by .view); each worker
counts its chunk's words, and the counts are added.

    python3 examples/dask_sax.py [VALUES] [FILE]

reads (or first writes) the random walk that dask_paa.py uses.
"""

import collections
import pathlib
import sys

import numpy as np

import morvel
import morvel_dask

from dask_paa import write_walk

WINDOW, STRIDE, W, ALPHA = 64, 8, 8, 5


def counted(rows):
    """How often each word occurs among rows of letters."""
    return collections.Counter(rows.view(f"S{rows.shape[1]}").ravel().tolist())


def word_counts(path, workers=2, chunks=8):
    import dask
    from dask.distributed import Client, LocalCluster

    values = np.load(path, mmap_mode="r").shape[0]
    series = morvel_dask.from_npy(path, chunks=-(-values // chunks))
    rows = morvel_dask.sax_array(series, WINDOW, STRIDE, W, ALPHA)
    with (
        LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster),
    ):
        parts = dask.compute(*[dask.delayed(counted)(block) for block in rows.to_delayed().ravel()])
    return sum(parts, collections.Counter())


def main():
    values = int(float(sys.argv[1])) if len(sys.argv) > 1 else 10**7
    path = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "build/demo/walk-sax.npy")
    if not path.exists() or np.load(path, mmap_mode="r").shape != (values,):
        write_walk(path, values)
    counts = word_counts(path)
    assert counts == counted(morvel.sax_array(np.load(path, mmap_mode="r"), WINDOW, STRIDE, W, ALPHA))
    print(f"{values:,} values: {sum(counts.values()):,} words, {len(counts)} distinct, as one call counts them")
    for word, times in counts.most_common(5):
        print(f"  {word.decode()}: {times:,} times")


if __name__ == "__main__":
    main()
