"""morvel.Index against what a Python user runs today to find the window of a
long series nearest to a shape: the numpy FFT distance profile, a plain scan
of every window with the index's own distance (Index.profile, the brute
force the tests compare with), and the peers installable on this interpreter.

A random walk (each step a standard normal), window 256, w 16; queries of two
kinds, 100 of each: an unrelated random walk ("far"), and a window of the
series plus noise of standard deviation 1 ("near"). Every query's answer is
checked: the first two of each kind against the scan of every window (bit
for bit) and the FFT profile's nearest window. Medians; all in one run, on this machine.

Run: tools/run python3 bench/index.py [--quick] [--stretch]
  --quick    10^6 windows only, 20 queries of each kind
  --stretch  also 10^8 windows of a memory-mapped series (800 MB on disk,
             build/demo/walk.npy, made if missing), 20 far queries
Writes build/bench/index.md.
"""

import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
from timing import race, random_walk

import morvel

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench"
VENV = HERE.parent / "build" / "index-peers-venv"
WINDOW, W = 256, 16


def fft_profile(ts, q):
    """The usual numpy recipe: sliding dot products by FFT, sliding means and
    standard deviations by cumulative sums, one distance per window."""
    n, size = len(q), len(ts)
    qz = (q - q.mean()) / q.std()
    length = 1 << int(np.ceil(np.log2(size + n)))
    dots = np.fft.irfft(np.fft.rfft(ts, length) * np.fft.rfft(qz[::-1], length), length)[n - 1 : size]
    sums = np.cumsum(np.r_[0.0, ts])
    squares = np.cumsum(np.r_[0.0, ts * ts])
    mean = (sums[n:] - sums[:-n]) / n
    sd = np.sqrt(np.maximum((squares[n:] - squares[:-n]) / n - mean * mean, 1e-300))
    return np.sqrt(np.maximum(2 * n * (1 - dots / (n * sd)), 0.0))


def median_ms(times):
    return float(np.median(times)) * 1e3


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def queries(ts, count, seed):
    rng = np.random.default_rng(seed)
    far = [random_walk(WINDOW, seed + 1 + i) for i in range(count)]
    starts = rng.integers(0, len(ts) - WINDOW, count)
    near = [ts[s : s + WINDOW] + rng.standard_normal(WINDOW) for s in starts]
    return far, near


def run_queries(index, rows, **options):
    times, distances, starts, computed = [], [], [], []
    for q in rows:
        seconds, (d, s) = timed(lambda q=q: index.query(q, **options))
        times.append(seconds)
        distances.append(d[0])
        starts.append(s[0])
        computed.append(index.stats["distances"])
    return times, np.array(distances), np.array(starts), np.array(computed)


def check(index, ts, rows, starts, distances, how_many):
    """The first few answers against the scan of every window (bit for bit)
    and against the FFT profile's nearest window (to its rounding)."""
    for q, start, distance in list(zip(rows, starts, distances, strict=True))[:how_many]:
        scan = index.profile(q)
        assert distance == scan[start] and not np.any(scan < distance)
        assert start == int(np.flatnonzero(scan == distance)[0]) * index.stride
        fft = fft_profile(ts, q)
        assert abs(fft[start] - fft.min()) < 1e-6 * np.sqrt(2 * WINDOW)


def peers(length, count):
    """Each installable peer's time for one query over `length` windows, run
    in its own environment (bench/index_peers.py)."""
    python = VENV / "bin" / "python"
    if not python.exists():
        made = subprocess.run([sys.executable, "-m", "venv", str(VENV)], capture_output=True, text=True)
        if made.returncode != 0:
            return {"peers": "no virtual environment"}
    subprocess.run(
        [str(python), "-m", "pip", "install", "-q", "numpy", "stumpy", "faiss-cpu"],
        capture_output=True,
        text=True,
        timeout=900,
    )
    done = subprocess.run(
        [str(python), str(HERE / "index_peers.py"), str(length), str(WINDOW), str(count)],
        capture_output=True,
        text=True,
        timeout=3600,
    )
    if done.returncode != 0:
        return {"peers": "failed: " + (done.stderr.strip().splitlines() or ["?"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def scale(length, count, rows_seed, report, fft_runs, scan_runs):
    ts = random_walk(length + WINDOW - 1, 1)
    build_seconds, index = timed(lambda: morvel.Index(ts, WINDOW, w=W, threads=2))
    label = f"10^{round(np.log10(length))}"
    report[f"build, {label} windows, 2 threads (s)"] = build_seconds
    report[f"memory beyond the series, {label} (bytes per window)"] = index.nbytes / len(index)
    far, near = queries(ts, count, rows_seed)
    times, far_d, far_s, far_computed = run_queries(index, far)
    report[f"exact 1-NN, {label}, far (median ms)"] = median_ms(times)
    report[f"exact distances computed, {label}, far (median % of windows)"] = float(
        np.median(far_computed) / len(index) * 100
    )
    times, near_d, near_s, _ = run_queries(index, near)
    report[f"exact 1-NN, {label}, near (median ms)"] = median_ms(times)
    times, approx_d, approx_s, _ = run_queries(index, far, exact=False)
    report[f"approximate 1-NN, {label}, far (median ms)"] = median_ms(times)
    report[f"approximate 1-NN distance / exact, {label}, far (median)"] = float(np.median(approx_d / far_d))
    report[f"approximate 1-NN recall, {label}, far (%)"] = float(np.mean(approx_s == far_s) * 100)
    fft = [timed(lambda q=q: fft_profile(ts, q))[0] for q in far[:fft_runs]]
    report[f"numpy FFT distance profile, {label} (median ms)"] = median_ms(fft)
    report[f"index vs numpy FFT profile, {label}, far (times faster)"] = (
        report[f"numpy FFT distance profile, {label} (median ms)"] / report[f"exact 1-NN, {label}, far (median ms)"]
    )
    scan = [timed(lambda q=q: index.profile(q))[0] for q in far[:scan_runs]]
    report[f"plain scan of every window (Index.profile), {label} (median ms)"] = median_ms(scan)
    check(index, ts, far, far_s, far_d, 2)
    check(index, ts, near, near_s, near_d, 2)
    return ts, index, far


def main():
    quick = "--quick" in sys.argv
    stretch = "--stretch" in sys.argv
    count = 20 if quick else 100
    report = {}
    ts, index, far = scale(10**6, count, 100, report, 5, 3)
    batch = np.array(far)
    fastest = race(3, {t: (lambda t=t: index.query(batch, threads=t),) for t in (1, 2)})
    report["batch of far queries, 10^6: 2 threads vs 1, best of 3 each (times faster)"] = fastest[1] / fastest[2]
    report.update({f"{name}, 10^6": value for name, value in peers(10**6, 3).items()})
    if not quick:
        scale(10**7, count, 200, report, 3, 2)
    if stretch:
        path = HERE.parent / "build" / "demo" / "walk.npy"
        if not path.exists():
            path.parent.mkdir(parents=True, exist_ok=True)
            np.save(path, random_walk(10**8, 3))
        ts = np.load(path, mmap_mode="r")
        build_seconds, index = timed(lambda: morvel.Index(ts, WINDOW, w=W, threads=2))
        report["build, 10^8 windows of a memory-mapped series, 2 threads (s)"] = build_seconds
        times, *_ = run_queries(index, [random_walk(WINDOW, 900 + i) for i in range(20)])
        report["exact 1-NN, 10^8 memory-mapped, far (median ms)"] = median_ms(times)
    OUT.mkdir(parents=True, exist_ok=True)
    machine = f"{os.cpu_count()} CPUs, {sys.version.split()[0]}"
    lines = [f"# morvel.Index ({machine})", "", "| measure | value |", "|---|---|"]
    for name, value in report.items():
        lines.append(f"| {name} | {value:.3f} |" if isinstance(value, float) else f"| {name} | {value} |")
    text = "\n".join(lines) + "\n"
    (OUT / "index.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
