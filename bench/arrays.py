"""The array functions beside the list functions, the kernel alone, threads,
memory, and mindist beside its peers, in one run on this machine.

Run with `make bench` (after the core benchmark and bench.py, whose peers'
environment it reuses). Prints the tables and writes them as Markdown into
build/bench/arrays.md:

  calls      a random walk as a float64 array, window 128, w 15, alpha 4:
             paa / sax (lists), numpy.asarray of them (what a numpy user
             runs), paa_array / sax_array, and into a given out=; best of
             7 turns (3 at N = 10^6), taken in turns
  kernel     the core benchmark's kernels with a sink that keeps nothing
             (Google Benchmark, median of 3) at N = 10^5, same shape
  threads    calls of paa_array per second from 1 and 2 threads, 8 calls
             each, best of 5 rounds
  memory     the peak resident memory a paa_array call adds in a fresh
             process, less the result's own bytes
  mindist    one word of 16 letters against 10^6 words (alpha 8, window
             128), beside aeon's and tslearn's MINDIST on the same symbol
             indices, best of 7; each peer's distances checked against
             morvel's
"""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
from timing import race, random_walk

import morvel

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench"
PEERS_PYTHON = HERE.parent / "build" / "peers-venv" / "bin" / "python"
WINDOW, W, ALPHA = 128, 15, 4


def calls(length):
    ts = random_walk(length)
    count = length - WINDOW + 1
    means, letters = np.empty((count, W)), np.empty((count, W), dtype="S1")
    return race(
        3 if length >= 10**6 else 7,
        {
            "paa": (lambda: morvel.paa(ts, WINDOW, 1, W),),
            "numpy.asarray(paa)": (lambda: np.asarray(morvel.paa(ts, WINDOW, 1, W)),),
            "paa_array": (lambda: morvel.paa_array(ts, WINDOW, 1, W),),
            "paa_array, out=": (lambda: morvel.paa_array(ts, WINDOW, 1, W, out=means),),
            "sax": (lambda: morvel.sax(ts, WINDOW, 1, W, ALPHA),),
            "numpy.asarray(sax)": (lambda: np.asarray(morvel.sax(ts, WINDOW, 1, W, ALPHA)),),
            "sax_array": (lambda: morvel.sax_array(ts, WINDOW, 1, W, ALPHA),),
            "sax_array, out=": (lambda: morvel.sax_array(ts, WINDOW, 1, W, ALPHA, out=letters),),
        },
    )


def kernel_alone():
    """Seconds of the kernels alone, from the core benchmark, if it is built."""
    binary = pathlib.Path(os.environ.get("MORVEL_BUILD", "")) / "bench" / "morvel_core_bench"
    if not binary.exists():
        return {}
    done = subprocess.run(
        [
            str(binary),
            "--benchmark_filter=^kernel/",
            "--benchmark_repetitions=3",
            "--benchmark_report_aggregates_only=true",
            "--benchmark_format=json",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    found = {}
    for entry in json.loads(done.stdout)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            kind = entry["run_name"].split("/")[1]
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry["time_unit"]]
            found[f"{kind} kernel alone"] = entry["real_time"] * scale  # milliseconds
    return found


def throughput(threads, ts, calls_each=8, rounds=5):
    best = 0.0
    for _ in range(rounds):
        barrier = threading.Barrier(threads + 1)

        def work(barrier=barrier):
            barrier.wait()
            for _ in range(calls_each):
                morvel.paa_array(ts, WINDOW, 1, W)

        workers = [threading.Thread(target=work) for _ in range(threads)]
        for worker in workers:
            worker.start()
        barrier.wait()
        start = time.perf_counter()
        for worker in workers:
            worker.join()
        best = max(best, threads * calls_each / (time.perf_counter() - start))
    return best


# The peak is reset to the present just before the call (Linux 4.0 and
# later), so that what numpy and the input cost beforehand does not count.
MEMORY_PROBE = """
import sys
import numpy as np
import morvel
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
ts = np.cumsum(np.random.default_rng(1).standard_normal(int(sys.argv[1])))
morvel.paa_array(ts[:1000], 128, 1, 15)  # numpy and morvel loaded, pages touched
with open("/proc/self/clear_refs", "w") as reset:
    reset.write("5")
before = status("VmRSS")
result = morvel.paa_array(ts, 128, 1, 15)
print(status("VmHWM") - before - result.nbytes, result.nbytes)
"""


def memory_beyond_result(length):
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(length)], capture_output=True, text=True, check=True)
    beyond, result = (int(x) for x in done.stdout.split())
    return beyond, result


def mindist_race(count=10**6, w=16, alpha=8, window=128):
    rng = np.random.default_rng(3)
    symbols = rng.integers(0, alpha, (count, w)).astype(np.uint8)
    words = (symbols + ord("a")).view("S1")
    ours = morvel.mindist(words[0], words, window, alpha)
    results = {"morvel mindist": race(7, {"": (morvel.mindist, words[0], words, window, alpha)})[""]}
    if not PEERS_PYTHON.exists():
        return results, "peers not installed (bench.py installs them)"
    with tempfile.TemporaryDirectory() as scratch:
        words_path = pathlib.Path(scratch) / "words.npy"
        distances_path = pathlib.Path(scratch) / "distances.npz"
        np.save(words_path, symbols.astype(np.int64))
        done = subprocess.run(
            [str(PEERS_PYTHON), str(HERE / "peers.py"), "mindist", str(words_path), str(window), str(alpha), "7"]
            + [str(distances_path)],
            capture_output=True,
            text=True,
            timeout=1800,
        )
        if done.returncode != 0:
            return results, "peers failed: " + (done.stderr.strip().splitlines() or ["?"])[-1][:80]
        results.update(json.loads(done.stdout))
        agreement = []
        with np.load(distances_path) as theirs:
            for label in theirs.files:
                difference = np.max(np.abs(theirs[label] - ours) / np.maximum(ours, 1e-300))
                agreement.append(f"{label}: largest relative difference from morvel {difference:.1e}")
    return results, "; ".join(agreement)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    measured = {length: calls(length) for length in (10**5, 10**6)}
    headline = measured[10**5]
    names = list(headline)
    lines = ["## Calls (ms)", "", "| N | " + " | ".join(names) + " | paa / paa_array | sax / sax_array |"]
    lines.append("|" + "---|" * (len(names) + 3))
    for length, times in measured.items():
        lines.append(
            f"| {length:,} | "
            + " | ".join(f"{times[name] * 1e3:.2f}" for name in names)
            + f" | {times['paa'] / times['paa_array']:.2f} | {times['sax'] / times['sax_array']:.2f} |"
        )
    kernels = kernel_alone()
    lines += ["", "## The kernel alone, N = 100,000 (ms)", ""]
    if kernels:
        for kind in ("paa", "sax"):
            alone = kernels[f"{kind} kernel alone"]
            ratio = headline[f"{kind}_array"] * 1e3 / alone
            lines.append(f"- {kind}: {alone:.2f} ms alone; {kind}_array takes {ratio:.2f}× that")
    else:
        lines.append("- the core benchmark is not built (run through tools/run)")
    ts = random_walk(10**5)
    one, two = throughput(1, ts), throughput(2, ts)
    lines += [
        "",
        "## Threads, paa_array at N = 100,000",
        "",
        f"- {sys.version.split()[0]}{' (free-threaded)' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}: "
        f"1 thread {one:.1f} calls/s, 2 threads {two:.1f} calls/s: {two / one:.2f}× the throughput",
    ]
    beyond, result = memory_beyond_result(10**6)
    lines += [
        "",
        "## Memory, paa_array at N = 1,000,000",
        "",
        f"- result {result / 2**20:.1f} MiB; the call's peak beyond it: {beyond / 2**10:.0f} KiB",
    ]
    distances, agreement = mindist_race()
    lines += ["", "## mindist, one word of 16 letters against 10^6 (ms)", ""]
    for label, value in distances.items():
        lines.append(f"- {label}: " + (f"{value * 1e3:.2f}" if not isinstance(value, str) else value))
    lines.append(f"- {agreement}")
    text = "\n".join(lines) + "\n"
    (OUT / "arrays.md").write_text(text)
    print(text)
    print(f"table: {(OUT / 'arrays.md').relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
