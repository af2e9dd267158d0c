"""The call shapes users meet, each against its own limit and the literal loop.

Run by `make bench`; input a random walk as a float64 numpy array. For each
shape, best times in milliseconds:

  morvel      morvel.paa or morvel.sax
  literal     the literal implementation: the binding library's standard
              conversions around the serial per-window loop (bench/literal.cpp)
  floor       the output alone: numpy's .tolist() of a float array of the
              result's shape (paa), or sax(ts, 0, 1, w), rows of the same shape
              with nothing computed (sax)
  limit       floor + the larger of two bounds on the computation:
                throughput: its additions, count * (2 * window + window * w)
                  (mean, variance and the stretched block sums), at the rate
                  the kernel reaches on the headline shape (N 10^5, window
                  128, w 15: its additions over the core's time for them,
                  output dropped, measured here);
                latency: its longest chain of dependent additions, 3 * window
                  (a window's mean, then its variance, then one segment's
                  block), at the latency of one addition (measured here).
  x limit     morvel / limit: 1.0 is as fast as the model allows
  x literal   literal / morvel: how many times faster than the literal loop

Small calls take a list and are timed in microseconds against the literal
implementation and against the conversion alone (the same dispatch and
conversion of the same arguments, nothing computed or built): for a call with
nothing to compute, morvel less that is morvel's fixed cost.
"""

import pathlib
import sys
import timeit

import numpy as np
from timing import best

import morvel

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench"

try:
    import morvel_literal
except ImportError:  # built beside morvel: build/<tree>/bench-python
    import os

    sys.path.insert(0, os.path.join(os.environ["MORVEL_BUILD"], "bench-python"))
    import morvel_literal

RNG = np.random.default_rng(1)


def walk(length):
    return np.cumsum(RNG.standard_normal(length))


SHAPES = [
    # name, N, window, stride, w
    ("headline", 100_000, 128, 1, 15),
    ("whole series", 1_000_000, 1_000_000, 1, 16),
    ("one window, w 1", 2_000_000, 2_000_000, 1, 1),
    ("few windows", 20_019, 20_000, 1, 20),
    ("strided", 1_000_000, 1_000, 100, 10),
    ("tiny windows", 100_000, 8, 1, 4),
    ("upsampling", 10_000, 64, 1, 256),
    ("w = window", 100_000, 32, 1, 32),
]

SMALL = [
    ("paa(ts16, 16, 1, 4)", "paa", 16, (16, 1, 4)),
    ("sax(ts16, 16, 1, 4, 4)", "sax", 16, (16, 1, 4, 4)),
    ("paa(ts16, 16, 1, 0)", "paa", 16, (16, 1, 0)),
    ("sax(ts128, 128, 1, 15, 8)", "sax", 128, (128, 1, 15, 8)),
]


def count_of(length, window, stride):
    return (length - window) // stride + 1


def additions(count, window, w):
    return count * (2 * window + window * w)


def floor(kind, ts, window, stride, w, count, repeats):
    if kind == "paa":
        cells = np.zeros((count, w))
        return best(repeats, cells.tolist)
    return best(repeats, morvel.sax, ts[: count - 1], 0, 1, w)


def sweep():
    latency = morvel_literal.add_latency_ns() * 1e-9
    rows = []
    rate = None
    for name, length, window, stride, w in SHAPES:
        ts = walk(length)
        count = count_of(length, window, stride)
        repeats = 3 if count * w * window > 10**8 else 7
        as_list = ts.tolist()
        for kind in ("paa", "sax"):
            function = getattr(morvel, kind)
            literal = getattr(morvel_literal, kind)
            args = (window, stride, w) if kind == "paa" else (window, stride, w, 4)
            # Interleaved turns: a slow spell of the machine costs each alike.
            ours = theirs = float("inf")
            for _ in range(repeats):
                ours = min(ours, best(1, function, ts, *args))
                theirs = min(theirs, best(1, literal, as_list, *args))
            output = floor(kind, ts, window, stride, w, count, repeats)
            work = additions(count, window, w)
            if rate is None:  # the headline comes first
                rate = work / (morvel_literal.kernel_ms(ts, window, stride, w, 9) * 1e-3)
            limit = output + max(work / rate, 3 * window * latency)
            rows.append(
                (f"{name}: N {length:,}, window {window:,}, stride {stride}, w {w}", kind, ours, theirs, output, limit)
            )
    return latency, rate, rows


def per_call(call, number=20_000):
    return min(timeit.repeat(call, number=number, repeat=7)) / number


def small_calls():
    rows = []
    for name, kind, length, args in SMALL:
        ts = walk(length).tolist()
        function = getattr(morvel, kind)
        literal = getattr(morvel_literal, kind)
        ours = per_call(lambda function=function, ts=ts, args=args: function(ts, *args))
        theirs = per_call(lambda literal=literal, ts=ts, args=args: literal(ts, *args))
        converted = per_call(lambda ts=ts, args=args: morvel_literal.convert_only(ts, *args[:3]))
        rows.append((name, ours, theirs, converted))
    return rows


def main():
    latency, rate, rows = sweep()
    lines = [
        f"Addition latency {latency * 1e9:.2f} ns; headline rate {rate / 1e9:.2f} additions/ns.",
        "",
        "| shape | call | morvel (ms) | literal (ms) | floor (ms) | limit (ms) | x limit | x literal |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for name, kind, ours, theirs, output, limit in rows:
        lines.append(
            f"| {name} | {kind} | {ours * 1e3:.2f} | {theirs * 1e3:.1f} | {output * 1e3:.2f} | {limit * 1e3:.2f} "
            f"| {ours / limit:.2f} | {theirs / ours:.1f} |"
        )
    lines += [
        "",
        "| small call (list input) | morvel (us) | literal (us) | conversion alone (us) | morvel - conversion (us) |",
        "|---|---|---|---|---|",
    ]
    for name, ours, theirs, converted in small_calls():
        lines.append(
            f"| `{name}` | {ours * 1e6:.2f} | {theirs * 1e6:.2f} | {converted * 1e6:.2f} | {(ours - converted) * 1e6:.2f} |"
        )
    text = "\n".join(lines)
    print(text)
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "shapes.md").write_text(text + "\n")


if __name__ == "__main__":
    main()
