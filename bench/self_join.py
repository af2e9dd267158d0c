"""What a series says of itself: Index.discords, motifs and matrix_profile
against the all-pairs matrix profile users run today (stumpy.stump, numba,
on as many threads as we take), in one run, on this machine.

The shipped heart-rate series, then random walks (seed 1, each step a
standard normal); window 256, the default exclusion (a quarter of the window, rounded up). stump's profile
gives its discord (argmax) and its motif (argmin); ours are checked
against it: the same discord window (unless stump's two largest values
differ by less than its own rounding), the same motif pair, the largest
relative difference of the two profiles and the share of equal neighbours
(stump rounds otherwise: ours are bit for bit the definition, which the
tests check against the plain all-pairs reference). Above LENGTH stump is
not run; its time is extrapolated from LENGTH as n squared, and said so.

Run: tools/run python3 bench/self_join.py [LENGTH ...] [--threads T] [--profile-up-to N] [--motifs-up-to N]
  LENGTH: random walks' lengths (default 100000); stump runs the first
  --profile-up-to N: time matrix_profile() only for lengths up to N (default 10^6)
  --motifs-up-to N: time motifs(1) only for lengths up to N (default 10^6)
Writes build/bench/self_join.md.
"""

import json
import pathlib
import subprocess
import sys
import time

import numpy as np
from timing import random_walk

import morvel

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench"
VENV = HERE.parent / "build" / "index-peers-venv"
WINDOW = 256


def peer(series, threads):
    python = VENV / "bin" / "python"
    if not python.exists():
        made = subprocess.run([sys.executable, "-m", "venv", str(VENV)], capture_output=True, text=True)
        if made.returncode != 0:
            return {"unavailable": "no virtual environment"}, None
        subprocess.run([str(python), "-m", "pip", "install", "-q", "numpy", "stumpy"], capture_output=True, timeout=900)
    out = OUT / "stump-profile.npy"
    done = subprocess.run(
        [str(python), str(HERE / "self_join_peers.py"), str(series), str(WINDOW), str(out)],
        capture_output=True,
        text=True,
        timeout=7200,
        env={"NUMBA_NUM_THREADS": str(threads), "PATH": "/usr/bin:/bin"},
    )
    if done.returncode != 0:
        return {"unavailable": (done.stderr.strip().splitlines() or ["?"])[-1]}, None
    report = json.loads(done.stdout.strip().splitlines()[-1])
    return report, (np.load(out) if "seconds" in report else None)


def timed(function, *args, **keywords):
    start = time.perf_counter()
    result = function(*args, **keywords)
    return time.perf_counter() - start, result


def main():
    arguments = sys.argv[1:]
    options = {"--threads": 2, "--profile-up-to": 10**6, "--motifs-up-to": 10**6}
    for flag in options:
        if flag in arguments:
            at = arguments.index(flag)
            options[flag] = int(float(arguments[at + 1]))
            del arguments[at : at + 2]
    threads, profile_up_to, motifs_up_to = options.values()
    lengths = [int(float(a)) for a in arguments] or [10**5]
    rows = []
    stump_seconds = None
    heart = np.loadtxt(
        HERE.parent / "examples" / "data" / "internal-bleeding.csv", delimiter=",", skiprows=1, usecols=1
    )
    OUT.mkdir(parents=True, exist_ok=True)
    np.save(OUT / "heart-rate.npy", heart)
    for number, length in enumerate([len(heart), *lengths]):
        ts = heart if number == 0 else random_walk(length)
        build, index = timed(morvel.Index, ts, WINDOW, threads=threads)
        count = len(index)
        row = {"series": "heart rate" if number == 0 else "random walk", "length": length, "build (s)": build}
        seconds, discord = timed(index.discords, 1, threads=threads)
        row["discords(1) (s)"], row["discord"] = seconds, (float(discord[0][0]), int(discord[1][0]))
        row["discords(1): distances computed per window"] = index.stats["distances"] / count
        row["discords(1): share of windows whose nearest was computed"] = index.stats["nearest"] / count
        seconds, three = timed(index.discords, 3, threads=threads)
        row["discords(3) (s)"] = seconds
        if length <= motifs_up_to:
            seconds, motif = timed(index.motifs, 1, threads=threads)
            row["motifs(1) (s)"], row["motif"] = seconds, (float(motif[0][0]), [int(s) for s in motif[1][0]])
            row["motifs(1): distances computed per window"] = index.stats["distances"] / count
        profile = None
        if length <= profile_up_to:
            seconds, profile = timed(index.matrix_profile, threads=threads)
            row["matrix_profile() (s)"] = seconds
        if number <= 1:
            report, theirs = peer(OUT / "heart-rate.npy" if number == 0 else length, threads)
            row["stump"] = report
            if theirs is not None:
                if number == 1:
                    stump_seconds = (report["seconds"], length)
                row["stump (s)"] = report["seconds"]
                d, n = theirs[0], theirs[1].astype(np.int64)
                top = np.sort(d)[-2:]
                row["stump discord"] = (
                    float(d.max()),
                    int(np.argmax(d)),
                    "top two within 1e-9" if top[1] - top[0] < 1e-9 * top[1] else "",
                )
                row["stump motif"] = (float(d.min()), sorted([int(np.argmin(d)), int(n[np.argmin(d)])]))
                if profile is not None:
                    mine = profile[0]
                    finite = np.isfinite(mine) & np.isfinite(d)
                    row["profile: largest relative difference from stump"] = float(
                        np.max(np.abs(mine[finite] - d[finite]) / np.maximum(mine[finite], 1e-300))
                    )
                    row["profile: share of equal neighbours"] = float(np.mean(profile[1] == n))
        if stump_seconds is not None and number > 1:
            base, at = stump_seconds
            row["stump, extrapolated from the first walk as n^2 (s)"] = base * (length / at) ** 2
        rows.append(row)
        print(json.dumps(row), flush=True)
    OUT.mkdir(parents=True, exist_ok=True)
    lines = [f"# Self-joins, window {WINDOW}, {threads} threads, one run on this machine", ""]
    for row in rows:
        lines.append(f"## {row['series']}, n = {row['length']}")
        lines += [f"- {key}: {value}" for key, value in row.items() if key not in ("series", "length")]
        lines.append("")
    (OUT / "self_join.md").write_text("\n".join(lines))


if __name__ == "__main__":
    main()
