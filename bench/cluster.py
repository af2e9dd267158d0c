"""morvel_dask on a local cluster of two worker processes (one thread each),
beside one process, all in one run on this machine.

1. sax_array over a memory-mapped random walk of 10^9 values (8 GB on disk,
   build/bench/walk-1e9.npy, made if missing), window 128, stride 8, w 16,
   in chunks of 2^24 values, written to a zarr store on disk: the time, and
   each worker's peak resident memory above its level before, beside one
   process doing the same (morvel.sax_array over the mapped file into a
   mapped .npy file).
2. morvel_dask.Index over 10^8 windows of 256 of a memory-mapped random walk
   (build/bench/walk-1e8w.npy), 8 chunks: the build, then 20 far queries
   (unrelated random walks; the first, which maps every chunk, reported
   apart), each checked bit for bit against one morvel.Index over the whole
   series.
3. A batch of 100 far queries on two workers, and on one.

Run: tools/run python3 bench/cluster.py [--quick]
  --quick  10^7 values and 10^6 windows
Writes build/bench/cluster.md.
"""

import pathlib
import sys
import tempfile
import threading
import time

import numpy as np

import morvel
import morvel_dask

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from dask_paa import write_walk  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench"


def walk_file(path, values, seed):
    """The random walk of dask_paa.py in a .npy file, written once."""
    if not path.exists() or np.load(path, mmap_mode="r").shape != (values,):
        write_walk(path, values, seed=seed)


def cluster(workers):
    from distributed import Client, LocalCluster

    local = LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, memory_limit=0
    )
    return local, Client(local)


def imports():
    import numcodecs  # noqa: F401
    import zarr  # noqa: F401


def resident():
    """This process's resident memory, in bytes: its own (anonymous) pages,
    and the pages of the files it maps (the page cache's, shared)."""
    fields = dict(line.split(":", 1) for line in pathlib.Path("/proc/self/status").read_text().splitlines())
    return int(fields["RssAnon"].split()[0]) * 1024, int(fields["RssFile"].split()[0]) * 1024


def start_sampling():
    """In a worker: its resident memory, sampled every 10 ms from now."""
    state = {"before": resident(), "peak": (0, 0), "running": True}

    def sample():
        while state["running"]:
            now = resident()
            state["peak"] = (max(state["peak"][0], now[0]), max(state["peak"][1], now[1]))
            time.sleep(0.01)

    threading.Thread(target=sample, daemon=True).start()
    sys.modules["__main__"].sampling = state


def stop_sampling():
    state = sys.modules["__main__"].sampling
    state["running"] = False
    return state["peak"][0] - state["before"][0], state["peak"][1]


def words_on_disk(values, chunk, report):
    import dask

    path = OUT / f"walk-{values:.0e}.npy".replace("+0", "").replace("+", "")
    walk_file(path, values, seed=3)
    window, stride, w = 128, 8, 16
    rows_per_chunk = chunk // stride
    local, client = cluster(2)
    with local, client, tempfile.TemporaryDirectory(dir=OUT) as scratch:
        store = pathlib.Path(scratch) / "words.zarr"
        series = morvel_dask.from_npy(path, chunks=chunk)
        rows = morvel_dask.sax_array(series, window, stride, w)
        client.run(imports)  # libraries loaded before, not counted
        client.run(start_sampling)
        start = time.perf_counter()
        dask.compute(rows.to_zarr(str(store), compute=False, zarr_format=2))
        seconds = time.perf_counter() - start
        peaks = client.run(stop_sampling)
        import zarr

        stored = zarr.open_array(str(store), mode="r")
        # One process: one call over the mapped file into a mapped file.
        mapped = np.load(path, mmap_mode="r")
        out = np.lib.format.open_memmap(pathlib.Path(scratch) / "words.npy", mode="w+", dtype="S1", shape=rows.shape)
        start = time.perf_counter()
        morvel.sax_array(mapped, window, stride, w, out=out)
        out.flush()
        one_seconds = time.perf_counter() - start
        sample = np.random.default_rng(4).integers(0, rows.shape[0], 10_000)
        sample.sort()
        assert np.array_equal(stored.get_orthogonal_selection((sample, slice(None))), out[sample])
        assert np.array_equal(stored[-1000:], out[-1000:])
    limit = 2 * chunk * 8 + rows_per_chunk * w
    report.append(
        f"| sax_array, {values:.0e} mapped values to zarr, 2 workers | {seconds:.1f} s "
        f"| one process, one call into a mapped .npy: {one_seconds:.1f} s |"
    )
    for worker, (own, mapped) in sorted(peaks.items()):
        report.append(
            f"| peak memory of worker {worker.rsplit(':', 1)[-1]}: its own above its start; the mapped file's pages "
            f"| {own / 2**20:.0f} MiB; {mapped / 2**20:.0f} MiB "
            f"| bound: 2 input chunks + an output chunk = {limit / 2**20:.0f} MiB |"
        )


def far_queries(count, seed):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal((count, 256)), axis=1)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    quick = "--quick" in sys.argv
    OUT.mkdir(parents=True, exist_ok=True)
    report = ["| what | measured | beside it |", "|---|---|---|"]
    words_on_disk(10**7 if quick else 10**9, 2**21 if quick else 2**24, report)
    search_and_scale(10**6 if quick else 10**8, 8, report)
    text = "\n".join(report)
    (OUT / "cluster.md").write_text(text + "\n")
    print(text)


def search_and_scale(windows, chunks, report):
    """The index's build and queries on two workers, then its batch on one."""
    path = OUT / f"walk-{windows:.0e}w.npy".replace("+0", "").replace("+", "")
    values = windows + 255
    walk_file(path, values, seed=5)
    batch = far_queries(100, 7)
    with tempfile.TemporaryDirectory(dir=OUT) as scratch:
        local, client = cluster(2)
        with local, client:
            series = morvel_dask.from_npy(path, chunks=-(-values // chunks))
            build = timed(lambda: morvel_dask.Index(series, 256, path=scratch))
            index = morvel_dask.Index.load(scratch)
            start = time.perf_counter()
            one = morvel.Index(np.load(path, mmap_mode="r"), 256)
            one_build = time.perf_counter() - start
            rows = far_queries(21, 6)
            times, same = [], 0
            for q in rows:
                start = time.perf_counter()
                got = index.query(q)
                times.append(time.perf_counter() - start)
                expected = one.query(q)
                same += got[0].tobytes() == expected[0].tobytes() and np.array_equal(got[1], expected[1])
            one_times = [timed(lambda q=q, one=one: one.query(q, threads=1)) for q in rows[1:]]
            expected = one.query(batch)
            one = None  # its memory back before the batch
            got = index.query(batch)
            batch_same = got[0].tobytes() == expected[0].tobytes() and np.array_equal(got[1], expected[1])
            two = min(timed(lambda: index.query(batch)) for _ in range(2))
        local, client = cluster(1)
        with local, client:
            index = morvel_dask.Index.load(scratch)
            index.query(batch[:2])  # the worker maps every chunk
            alone = min(timed(lambda: index.query(batch)) for _ in range(2))
    report.append(
        f"| Index build, {windows:.0e} windows of 256, {chunks} chunks, 2 workers | {build:.1f} s "
        f"| one morvel.Index, 2 threads: {one_build:.1f} s |"
    )
    report.append(f"| first query (maps and checks every chunk) | {times[0] * 1e3:.0f} ms | |")
    report.append(
        f"| exact 1-NN, far, median of 20 | {np.median(times[1:]) * 1e3:.0f} ms "
        f"| one morvel.Index, 1 thread: {np.median(one_times) * 1e3:.0f} ms |"
    )
    report.append(f"| answers identical to one morvel.Index | {same} of {len(rows)} queries, batch: {batch_same} | |")
    report.append(
        f"| batch of 100 far queries, 2 workers / 1 worker | {alone / two:.2f}x "
        f"| {two:.2f} s against {alone:.2f} s (best of 2 each) |"
    )


if __name__ == "__main__":
    main()
