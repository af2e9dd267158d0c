"""morvel against its output floor, a numpy implementation and its peers.

Run with `make bench`. Prints a table, writes it as Markdown and draws a plot
into build/bench/. For every series length N and shape (window, w):

  paa list / paa numpy   morvel.paa on a list / a float64 numpy array
  sax list / sax numpy   morvel.sax, alpha 4
  paa array / sax array  morvel.paa_array / morvel.sax_array on the array: the
                         like-for-like rivals of the peers, which return arrays
  tolist floor           numpy .tolist() of a float array of the result's shape:
                         the cost of creating the Python floats alone
  sax floor              morvel.sax(ts, 0, 1, w): the same shape of letter
                         lists with no computation
  numpy paa              the same semantics, bit for bit, in numpy (below)
  peers                  pyts, tslearn and aeon, from PyPI in their own virtual
                         environment, on pre-built z-normalised windows (see
                         peers.py); numpy arrays out, no lists

Times are the best of 7 turns (2 at N = 10^6), in milliseconds.
"""

import json
import pathlib
import subprocess
import sys
import time

import numpy as np
from timing import race, random_walk

import morvel

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench"
VENV = HERE.parent / "build" / "peers-venv"
PEERS = ("pyts", "tslearn", "aeon")
LENGTHS = (10**4, 10**5, 10**6)
SHAPES = ((128, 15), (64, 16), (16, 64), (1000, 20))
# Peers get all windows as one float64 array; above this many cells it would
# not fit comfortably in memory.
PEER_CELL_LIMIT = 2 * 10**8

NOTES = {
    "pyts": "pyts: bins of window/w values with overlapping edges, not the stretched-sum blocks; no 1e-6 snap; SAX via its own normal bins",
    "tslearn": "tslearn: drops the last window % w values when w does not divide the window; no 1e-6 snap",
    "aeon": "aeon: its own segment boundaries when w does not divide the window; SAX z-normalises again internally",
}


def numpy_paa(ts, window, stride, w, chunk=1 << 14):
    """paa's exact semantics in numpy, vectorised across windows: every
    window's own additions in their defined order (sequential sums, the
    stretched sequence added one repeated value at a time)."""
    ts = np.asarray(ts, dtype=np.float64)
    count = (len(ts) - window) // stride + 1
    out = np.zeros((count, w))
    # The stretched walk as runs: (value, repeats, closes a block).
    runs, position, block_end = [], 0, window
    while position < window * w:
        value = position // w
        end = min((value + 1) * w, block_end)
        runs.append((value, end - position, end == block_end))
        position = end
        if end == block_end:
            block_end += window
    with np.errstate(all="ignore"):
        for first in range(0, count, chunk):
            starts = np.arange(first, min(first + chunk, count)) * stride
            X = ts[starts[:, None] + np.arange(window)]
            total = np.zeros(len(starts))
            for k in range(window):
                total += X[:, k]
            mean = total / window
            squares = np.zeros(len(starts))
            for k in range(window):
                deviation = X[:, k] - mean
                squares += deviation * deviation
            sd = np.sqrt(squares / window)
            Z = (X - mean[:, None]) / sd[:, None]
            block, segment = np.zeros(len(starts)), 0
            for value, repeats, closes in runs:
                z = Z[:, value]
                for _ in range(repeats):
                    block += z
                if closes:
                    means = block / window
                    means[np.abs(means) < 1e-6] = 0.0
                    out[first : first + len(starts), segment] = means
                    segment += 1
                    block = np.zeros(len(starts))
    return out.tolist()


def same_bits(a, b):
    return np.array_equal(np.array(a), np.array(b), equal_nan=True)


def ensure_peers():
    """The peers' virtual environment, or the reason there is none."""
    python = VENV / "bin" / "python"
    if not python.exists():
        print(f"installing {', '.join(PEERS)} from PyPI into {VENV.relative_to(HERE.parent)} ...", flush=True)
        made = subprocess.run([sys.executable, "-m", "venv", str(VENV)], capture_output=True, text=True)
        if made.returncode != 0:
            return None, "no venv: " + made.stderr.strip().splitlines()[-1]
    installed = subprocess.run(
        [str(python), "-m", "pip", "install", "-q", *PEERS], capture_output=True, text=True, timeout=900
    )
    if installed.returncode != 0:
        lines = (installed.stderr or installed.stdout).strip().splitlines()
        return None, "peers did not install: " + (lines[-1] if lines else "pip failed")
    return python, None


def run_peers(python, length, window, w, repeats):
    if (length - window + 1) * window > PEER_CELL_LIMIT:
        return {f"{peer} {kind}": "skipped: input too large" for peer in PEERS for kind in ("paa", "sax")}
    done = subprocess.run(
        [str(python), str(HERE / "peers.py"), str(length), str(window), str(w), str(repeats)],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    if done.returncode != 0:
        reason = "failed: " + (done.stderr.strip().splitlines() or ["?"])[-1][:80]
        return {f"{peer} {kind}": reason for peer in PEERS for kind in ("paa", "sax")}
    return json.loads(done.stdout)


def cell(value):
    if isinstance(value, str):
        return value.split(":")[0] + ("†" if "about" in value else "")
    return f"{value * 1000:.1f}"


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    peers_python, peers_missing = ensure_peers()
    if peers_missing:
        print(f"peers: {peers_missing}; going on without them")
    rows = []
    for length in LENGTHS:
        ts = random_walk(length)
        ts_list = ts.tolist()
        repeats = 2 if length >= 10**6 else 7
        for window, w in SHAPES:
            count = length - window + 1
            floor_array = np.random.default_rng(2).standard_normal((count, w))
            row = {"N": length, "window": window, "w": w, "windows": count}
            row.update(
                race(
                    repeats,
                    {
                        "paa list": (morvel.paa, ts_list, window, 1, w),
                        "tolist floor": (floor_array.tolist,),
                        "paa numpy": (morvel.paa, ts, window, 1, w),
                        "sax list": (morvel.sax, ts_list, window, 1, w),
                        "sax floor": (morvel.sax, ts_list, 0, 1, w),
                        "sax numpy": (morvel.sax, ts, window, 1, w),
                        "paa array": (morvel.paa_array, ts, window, 1, w),
                        "sax array": (morvel.sax_array, ts, window, 1, w),
                    },
                )
            )
            del floor_array
            if length <= 10**5 or window * w <= 2048:
                start = time.perf_counter()
                expected = numpy_paa(ts, window, 1, w)
                row["numpy paa"] = time.perf_counter() - start
                if length == 10**4 and not same_bits(expected, morvel.paa(ts, window, 1, w)):
                    sys.exit(f"numpy paa and morvel.paa disagree at N={length} window={window} w={w}")
                del expected
            else:
                row["numpy paa"] = "skipped: too slow"
            if peers_python is not None:
                row.update(run_peers(peers_python, length, window, w, repeats))
            rows.append(row)
            print(
                f"N={length:>8} window={window:>5} w={w:>3}: paa {row['paa list'] * 1000:8.1f} ms "
                f"(floor {row['tolist floor'] * 1000:8.1f}), sax {row['sax list'] * 1000:8.1f} ms "
                f"(floor {row['sax floor'] * 1000:8.1f})",
                flush=True,
            )
    (OUT / "results.json").write_text(json.dumps(rows, indent=1))
    write_table(rows, peers_missing)
    plot(rows)


def columns(rows):
    fixed = [
        "paa list",
        "paa numpy",
        "paa array",
        "tolist floor",
        "sax list",
        "sax numpy",
        "sax array",
        "sax floor",
        "numpy paa",
    ]
    peers = [key for key in rows[0] if any(key.startswith(peer) for peer in PEERS)]
    return fixed + peers


def write_table(rows, peers_missing):
    names = columns(rows)
    header = "| N | window | w | " + " | ".join(names) + " | paa / floor | sax / sax floor |"
    lines = [header, "|" + "---|" * (len(names) + 5)]
    for row in rows:
        values = [cell(row.get(name, "n/a")) for name in names]
        lines.append(
            f"| {row['N']:,} | {row['window']} | {row['w']} | "
            + " | ".join(values)
            + f" | {row['paa list'] / row['tolist floor']:.2f} | {row['sax list'] / row['sax floor']:.2f} |"
        )
    notes = [
        "",
        "Times in ms, best of 7 turns (2 at N = 10^6); † a peer estimated over 20 s a call, not run.",
        "Semantics of the peers:",
    ]
    notes += [f"- {NOTES[peer]}" for peer in PEERS]
    if peers_missing:
        notes.append(f"- peers not measured: {peers_missing}")
    text = "\n".join(lines + notes) + "\n"
    (OUT / "results.md").write_text(text)
    print()
    print(text)
    print(f"table: {(OUT / 'results.md').relative_to(HERE.parent)}")


def plot(rows):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    names = [name for name in columns(rows) if all(not isinstance(row.get(name), str) for row in rows)]
    figure, grid = plt.subplots(2, 2, figsize=(12, 10), sharey=True)
    axes = grid.ravel()
    colours = dict(zip(columns(rows), plt.get_cmap("tab20").colors, strict=False))
    for axis, (window, w) in zip(axes, SHAPES, strict=True):
        shape_rows = [row for row in rows if (row["window"], row["w"]) == (window, w)]
        for name in names:
            style = "--" if "floor" in name else "-"
            axis.plot(
                [row["N"] for row in shape_rows],
                [row[name] for row in shape_rows],
                style,
                marker="o",
                label=name,
                color=colours[name],
            )
        for name in columns(rows):
            if name not in names:  # partly measured: plot what there is
                points = [(row["N"], row[name]) for row in shape_rows if not isinstance(row.get(name), str)]
                if points:
                    axis.plot(*zip(*points, strict=True), ":", marker="x", label=name, color=colours[name])
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(f"window {window}, w {w}")
        axis.set_xlabel("series length N")
        axis.grid(True, which="both", alpha=0.3)
    for axis in grid[:, 0]:
        axis.set_ylabel("seconds (best run)")
    handles, labels = axes[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=5, fontsize="small")
    figure.suptitle("morvel: sliding-window PAA / SAX on a random walk, stride 1")
    figure.tight_layout(rect=(0, 0.08, 1, 0.96))
    path = OUT / "bench.png"
    figure.savefig(path, dpi=110)
    print(f"plot: {path.relative_to(HERE.parent)}")


if __name__ == "__main__":
    if "--quick" in sys.argv[1:]:  # N up to 10^5 only
        LENGTHS = LENGTHS[:2]
    main()
