"""Two builds of morvel side by side on the index's work: the same series,
the same queries, every answer compared bit for bit between them, and each
kind of query timed in rounds that alternate between the two builds (each
round a fresh process per build), so that a slow spell of the machine costs
both alike. For showing that a change of structure costs nothing.

A random walk of 10^6 values (seed 1), window 256, w 16; 40 queries, half an
unrelated walk ("far"), half a window of the series plus noise ("near"),
asked as: k=1; k=10 without exclusion; k=10 with the default exclusion (the
ordered stream); the same with exact=False (rounds); k=10 within the 10th
distance. Per kind, the median over queries of each round's time, then the
least of the rounds.

Run: tools/run python3 bench/index_ab.py OLD_DIR [NEW_DIR] [--rounds N]
  OLD_DIR, NEW_DIR: folders holding a built morvel (NEW_DIR: this build's)
"""

import hashlib
import json
import os
import pathlib
import subprocess
import sys
import time

KINDS = ("build", "k1", "k10", "k10-exclusion", "k10-exclusion-inexact", "k10-within")


def measure():
    """One process's timings and a digest of every answer, as JSON."""
    import numpy as np
    from timing import random_walk

    import morvel

    ts = random_walk(10**6)
    rng = np.random.default_rng(7)
    queries = [random_walk(256, seed) for seed in range(100, 120)]
    for _ in range(20):
        start = int(rng.integers(0, len(ts) - 256))
        queries.append(ts[start : start + 256] + rng.standard_normal(256))
    start = time.perf_counter()
    index = morvel.Index(ts, 256, w=16, threads=1)
    times = {"build": [time.perf_counter() - start]}
    digest = hashlib.sha256()
    for kind, ask in (
        ("k1", lambda q: index.query(q, 1, threads=1)),
        ("k10", lambda q: index.query(q, 10, exclude=0, threads=1)),
        ("k10-exclusion", lambda q: index.query(q, 10, threads=1)),
        ("k10-exclusion-inexact", lambda q: index.query(q, 10, exact=False, threads=1)),
        ("k10-within", lambda q: index.query(q, 10, exclude=0, within=index.query(q, 10, exclude=0)[0][-1], threads=1)),
    ):
        times[kind] = []
        for q in queries:
            start = time.perf_counter()
            distances, starts = ask(q)
            times[kind].append(time.perf_counter() - start)
            digest.update(distances.tobytes() + starts.tobytes())
    print(
        json.dumps({"median": {kind: float(np.median(t)) for kind, t in times.items()}, "digest": digest.hexdigest()})
    )


def main():
    arguments = sys.argv[1:]
    rounds = 3
    if "--rounds" in arguments:
        at = arguments.index("--rounds")
        rounds = int(arguments[at + 1])
        del arguments[at : at + 2]
    if not 1 <= len(arguments) <= 2:
        sys.exit(__doc__)
    old = pathlib.Path(arguments[0]).resolve()
    new = pathlib.Path(arguments[1] if len(arguments) > 1 else os.environ["MORVEL_BUILD"] + "/python").resolve()
    here = pathlib.Path(__file__).resolve().parent
    best = {name: dict.fromkeys(KINDS, float("inf")) for name in ("old", "new")}
    digests = {}
    for _ in range(rounds):
        for name, folder in (("old", old), ("new", new)):
            environment = dict(os.environ, PYTHONPATH=f"{folder}{os.pathsep}{here}")
            out = subprocess.run(
                [sys.executable, __file__, "--measure"], env=environment, capture_output=True, text=True, check=True
            )
            report = json.loads(out.stdout)
            digests.setdefault(name, report["digest"])
            assert digests[name] == report["digest"], f"{name}'s answers changed between rounds"
            for kind in KINDS:
                best[name][kind] = min(best[name][kind], report["median"][kind])
    same = digests["old"] == digests["new"]
    print(f"old: {old}\nnew: {new}\nanswers bit for bit the same: {same}\n")
    print("| query | old (ms) | new (ms) | new / old |\n|---|---|---|---|")
    for kind in KINDS:
        a, b = best["old"][kind] * 1e3, best["new"][kind] * 1e3
        print(f"| {kind} | {a:.3f} | {b:.3f} | {b / a:.3f} |")
    if not same:
        sys.exit("the two builds answer differently")


if __name__ == "__main__":
    if sys.argv[1:] == ["--measure"]:
        measure()
    else:
        main()
