"""What the benchmarks share: the series they time, and how they time it."""

import time

import numpy as np


def random_walk(length, seed=1):
    """A Gaussian random walk, the benchmarks' series."""
    return np.cumsum(np.random.default_rng(seed).standard_normal(length))


def best(repeats, function, *args):
    """The fastest of `repeats` calls of function(*args), in seconds."""
    fastest = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function(*args)
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def race(repeats, candidates):
    """The fastest time of each candidate, `name: (function, *args)`, the
    candidates taking turns, so that a slow spell of the machine costs every
    one of them alike."""
    fastest = dict.fromkeys(candidates, float("inf"))
    for _ in range(repeats):
        for name, (function, *args) in candidates.items():
            fastest[name] = min(fastest[name], best(1, function, *args))
    return fastest
