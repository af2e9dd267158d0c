"""One long memory-mapped series reduced by paa_array on a local Dask
cluster, equal bit for bit to one call over the whole series.

The series is cut into chunks whose starts are multiples of the stride, and
each chunk also sees the window - 1 values after it, so that every window
lies whole in exactly one chunk: the one where it starts. Each worker
process maps the file itself (only its path travels) and computes its chunk
without the GIL.

    python3 examples/dask_paa.py [VALUES] [FILE]

writes a random walk of VALUES (default 10^8, 800 MB) values to FILE
(default build/demo/walk.npy) if it is not there yet.
"""

import pathlib
import sys
import time

import numpy as np

import morvel

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


class MappedSeries:
    """What dask.array reads blocks from: the file is mapped where a block
    is read, so pickling it sends only the path."""

    def __init__(self, path):
        self.path = str(path)
        header = np.load(self.path, mmap_mode="r")
        self.shape, self.dtype, self.ndim = header.shape, header.dtype, 1

    def __getitem__(self, index):
        return np.load(self.path, mmap_mode="r")[index]


def chunk_lengths(values, window, stride, chunks):
    """About `chunks` lengths, each a multiple of the stride but the last,
    and each at least window - 1 long, as dask's overlap asks (the one before
    the last then sees window - 1 values past its end)."""
    size = -(-max(-(-values // chunks), window - 1, 1) // stride) * stride
    lengths = [size] * (values // size)
    remainder = values - sum(lengths)
    if remainder:
        lengths.append(remainder)
    while len(lengths) > 1 and lengths[-1] < window - 1:
        last = lengths.pop()
        lengths[-1] += last
    return tuple(lengths)


def rows_in(start, length, values, window, stride):
    """How many windows (of the whole series) start in [start, start + length)."""
    last_start = min(start + length - 1, values - window)
    return 0 if last_start < start else (last_start - start) // stride + 1


def reduced(path, chunks=16):
    """The dask array of paa_array's rows over the whole file, lazily."""
    import dask.array as da

    source = MappedSeries(path)
    values = source.shape[0]
    lengths = chunk_lengths(values, WINDOW, STRIDE, chunks)
    starts = np.cumsum((0, *lengths[:-1]))
    rows = tuple(rows_in(s, n, values, WINDOW, STRIDE) for s, n in zip(starts, lengths, strict=True))
    series = da.from_array(source, chunks=(lengths,))

    def block(chunk):
        if len(chunk) < WINDOW:
            return np.empty((0, W))
        return morvel.paa_array(chunk, WINDOW, STRIDE, W)

    return series.map_overlap(
        block,
        depth={0: (0, WINDOW - 1)},
        boundary="none",
        trim=False,
        chunks=(rows, (W,)),
        new_axis=1,
        dtype=np.float64,
        meta=np.empty((0, W)),
    )


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
