"""Letters decided from a proven bound against letters walked, in one run.

  - sax_array against the same call with every letter walked (the core's
    walk into a numpy array made as sax_array makes its own, the GIL
    released), for the shapes of the targets, each pair checked equal
    letter for letter;
  - sax on a list at the headline against building the same rows without
    computing them, sax(ts, 0, 1, 15): window 0 gives N + 1 rows of 15 cells;
  - paa and paa_array at the headline, which always walk;
  - the share of letters the bound leaves to the walk, on a random walk, the
    shipped sunspot and heart-rate series, a random walk on an offset of
    1e12 with steps of 1e-3, and tumbling windows built so that one segment
    mean in each (one letter in 16) sits within an ulp or two of a
    breakpoint.

Writes build/bench/letters.md. Run through tools/run (needs the build tree's
bench-python module).
"""

import csv
import os
import sys
from pathlib import Path

import numpy as np
from timing import race, random_walk

import morvel

HERE = Path(__file__).resolve().parent
DATA = HERE.parent / "examples" / "data"
OUT = HERE.parent / "build" / "bench"
sys.path.insert(0, os.path.join(os.environ.get("MORVEL_BUILD", "build/rootfs"), "bench-python"))
import morvel_literal  # noqa: E402


def column(name, index):
    with open(DATA / name, newline="") as file:
        return np.array([float(row[index]) for row in list(csv.reader(file))[1:]])


def near_breakpoints(windows=2000, n=128, w=16, alpha=4, seed=7):
    """Tumbling windows; in window i, segment i % w is moved (a secant search
    on a shift of its block) until paa's mean lands on a breakpoint."""
    rng = np.random.default_rng(seed)
    cuts = morvel_literal.breakpoints(alpha)
    out = []
    for i in range(windows):
        x = rng.standard_normal(n)
        j, target = i % w, cuts[i % len(cuts)]
        block = slice(j * n // w, -(-(j + 1) * n // w))

        def miss(shift, x=x, j=j, target=target, block=block):
            y = x.copy()
            y[block] += shift
            return morvel.paa(y, n, 1, w)[0][j] - target

        a, fa, b = 0.0, miss(0.0), 0.1
        fb = miss(b)
        for _ in range(60):
            if fb == 0.0 or fb == fa:
                break
            a, fa, b = b, fb, b - fb * (b - a) / (fb - fa)
            fb = miss(b)
        x[block] += b
        out.append(x)
    return np.concatenate(out)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    walk = random_walk(10**5)
    lines = ["## sax_array against the walk, N = 100,000 (ms, best of 25 or 9, taking turns)", ""]
    lines.append("| window | w | alpha | walked | sax_array | × faster | target |")
    lines.append("|---|---|---|---|---|---|---|")
    for window, w, alpha, target in ((128, 15, 4, 5), (2048, 16, 4, 20), (128, 128, 24, 3)):
        walked = morvel_literal.sax_letters(walk, window, 1, w, alpha, "walked")
        got = morvel.sax_array(walk, window, 1, w, alpha)
        assert (got == walked).all(), (window, w, alpha)
        times = race(
            25 if window == 128 and w == 15 else 9,
            {
                "walked": (morvel_literal.sax_letters, walk, window, 1, w, alpha, "walked"),
                "sax_array": (morvel.sax_array, walk, window, 1, w, alpha),
            },
        )
        ratio = times["walked"] / times["sax_array"]
        lines.append(
            f"| {window} | {w} | {alpha} | {times['walked'] * 1e3:.2f} | {times['sax_array'] * 1e3:.2f} "
            f"| {ratio:.1f} | ≥ {target} |"
        )

    values = walk.tolist()
    times = race(
        15,
        {
            "sax(ts, 128, 1, 15)": (morvel.sax, values, 128, 1, 15, 4),
            "sax(ts, 0, 1, 15)": (morvel.sax, values, 0, 1, 15, 4),
            "paa(ts, 128, 1, 15)": (morvel.paa, values, 128, 1, 15),
            "paa_array(ts, 128, 1, 15)": (morvel.paa_array, walk, 128, 1, 15),
        },
    )
    lines += ["", "## Lists and paa at the headline, N = 100,000 (ms, best of 15, taking turns)", ""]
    for name, seconds in times.items():
        lines.append(f"- {name}: {seconds * 1e3:.2f}")
    ratio = times["sax(ts, 128, 1, 15)"] / times["sax(ts, 0, 1, 15)"]
    lines.append(f"- sax at the headline takes {ratio:.3f}× the rows without computing them (target ≤ 1.15)")

    series = {
        "random walk": (walk, 128, 1, 15, 4),
        "sunspots": (column("sunspots.csv", 1), 33, 1, 11, 5),
        "heart rate": (column("internal-bleeding.csv", 1), 128, 1, 16, 8),
        "offset 1e12, steps 1e-3": (1e12 + random_walk(10**5, 2) * 1e-3, 128, 1, 15, 4),
        "near breakpoints": (near_breakpoints(), 128, 128, 16, 4),
    }
    lines += ["", "## Letters left to the walk", ""]
    lines.append("| series | N | window | stride | w | alpha | walked | share |")
    lines.append("|---|---|---|---|---|---|---|---|")
    for name, (ts, window, stride, w, alpha) in series.items():
        ts = np.ascontiguousarray(ts, dtype=np.float64)
        certified, walked = morvel_literal.letter_tally(ts, window, stride, w, alpha)
        assert (
            morvel.sax_array(ts, window, stride, w, alpha)
            == morvel_literal.sax_letters(ts, window, stride, w, alpha, "walked")
        ).all(), name
        share = walked / (certified + walked)
        lines.append(
            f"| {name} | {len(ts):,} | {window} | {stride} | {w} | {alpha} | {walked:,} of {certified + walked:,} "
            f"| {share:.4%} |"
        )
    text = "\n".join(lines) + "\n"
    (OUT / "letters.md").write_text(text)
    print(text)
    print(f"table: {(OUT / 'letters.md').relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
