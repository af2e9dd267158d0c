"""SAX words for a large collection of series on a local Dask cluster.

morvel keeps no state and its functions pickle by reference, so a Dask
worker process calls it like any other function; each process has its own
interpreter, so the work spreads over the cores although every call keeps
its interpreter's GIL.

    python3 examples/dask_sax.py [SERIES] [LENGTH]
"""

import collections
import sys

import numpy as np

import morvel


def random_walks(count, length, seed=0):
    rng = np.random.default_rng(seed)
    return [np.cumsum(rng.standard_normal(length)) for _ in range(count)]


def words(ts, window=64, stride=8, w=8, alpha=5):
    """The distinct SAX words of one series, joined into strings."""
    return {"".join(row) for row in morvel.sax(ts, window, stride, w, alpha)}


def word_counts(collection, workers=2):
    """In how many series each word occurs, computed on a local cluster."""
    from dask.distributed import Client, LocalCluster

    with (
        LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        futures = client.map(words, collection)
        counts = collections.Counter()
        for per_series in client.gather(futures):
            counts.update(per_series)
    return counts


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    length = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
    collection = random_walks(count, length)
    counts = word_counts(collection)
    local = collections.Counter()
    for ts in collection:
        local.update(words(ts))
    assert counts == local, "the cluster and this process disagree"
    print(f"{count} series of {length} values: {len(counts)} distinct words")
    for word, series in counts.most_common(5):
        print(f"  {word}: in {series} series")


if __name__ == "__main__":
    main()
