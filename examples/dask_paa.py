"""One long memory-mapped series reduced by paa_array on a local Dask
cluster, equal bit for bit to one call over the whole series.

morvel_dask.from_npy reads the file as a dask array whose blocks each
worker maps itself (only the path travels), and morvel_dask.paa_array gives
the rows of the windows starting in each chunk, fed the values after the
chunk that its last windows need.

    python3 examples/dask_paa.py [VALUES] [FILE]

writes a random walk of VALUES (default 10^8, 800 MB) values to FILE
(default build/demo/walk.npy) if it is not there yet.
"""

import pathlib
import sys
import time

import numpy as np

import morvel
import morvel_dask

WINDOW, STRIDE, W = 128, 32, 8


def write_walk(path, values, seed=0, block=10_000_000):
    """A random walk straight into a .npy file, a block at a time."""
    path.parent.mkdir(parents=True, exist_ok=True)
    walk = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(values,))
    rng, level = np.random.default_rng(seed), 0.0
    for start in range(0, values, block):
        steps = np.cumsum(rng.standard_normal(min(block, values - start)))
        walk[start : start + len(steps)] = level + steps
        level = walk[start + len(steps) - 1]
    walk.flush()
    del walk


def reduced(path, chunks=16):
    """The dask array of paa_array's rows over the whole file, lazily."""
    values = np.load(path, mmap_mode="r").shape[0]
    series = morvel_dask.from_npy(path, chunks=-(-values // chunks))
    return morvel_dask.paa_array(series, WINDOW, STRIDE, W)


def reduce_on_cluster(path, workers=2):
    from dask.distributed import Client, LocalCluster, progress

    with (
        LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        future = client.compute(reduced(path))
        progress(future)
        print()
        return future.result()


def main():
    values = int(float(sys.argv[1])) if len(sys.argv) > 1 else 10**8
    path = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "build/demo/walk.npy")
    if not path.exists() or np.load(path, mmap_mode="r").shape != (values,):
        write_walk(path, values)
    start = time.perf_counter()
    rows = reduce_on_cluster(path)
    cluster_seconds = time.perf_counter() - start
    start = time.perf_counter()
    whole = morvel.paa_array(np.load(path, mmap_mode="r"), WINDOW, STRIDE, W)
    one_call_seconds = time.perf_counter() - start
    assert rows.shape == whole.shape and rows.tobytes() == whole.tobytes(), "the chunks disagree with one call"
    print(
        f"{values:,} values, window {WINDOW}, stride {STRIDE}, w {W}: {len(whole):,} rows, "
        f"equal bit for bit to one call ({cluster_seconds:.2f} s on the cluster, "
        f"{one_call_seconds:.2f} s in one call)"
    )


if __name__ == "__main__":
    main()
