"""Time paa on a 100,000-value Gaussian random walk (window 128, w 15).

Run with: tools/run python3 bench/walk.py
"""

import random
import time

import morvel


def random_walk(length, seed=1):
    rng = random.Random(seed)
    walk = [0.0]
    for _ in range(length - 1):
        walk.append(walk[-1] + rng.gauss(0.0, 1.0))
    return walk


def best_of(repeats, function, *args):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function(*args)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    ts = random_walk(100_000)
    for name in ("paa", "sax"):
        function = getattr(morvel, name, None)
        if function is not None:
            seconds = best_of(5, function, ts, 128, 1, 15)
            print(f"{name}(100,000-value random walk, window=128, stride=1, w=15): {seconds * 1000:.0f} ms (best of 5)")


if __name__ == "__main__":
    main()
