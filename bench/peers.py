"""Times the peer libraries' nearest equivalents of morvel's paa and sax.

Run by bench.py with the peers' own virtual environment's interpreter:
    peers.py N WINDOW W REPEATS
prints one JSON object: {label: seconds, or an explanation string}.

None of the peers slides a window over one series: each transforms a batch
of equal-length series. So every peer gets the same input, prepared outside
the timing: all windows of a 100,000-value random walk (stride 1), already
z-normalised with numpy, as a (windows, window) float64 array. Each returns a
numpy array, not Python lists.
"""

import json
import sys
import time
import warnings

import numpy as np

warnings.filterwarnings("ignore")


def random_walk(length, seed=1):
    return np.cumsum(np.random.default_rng(seed).standard_normal(length))


def windows(ts, window):
    view = np.lib.stride_tricks.sliding_window_view(ts, window)
    mean = view.mean(axis=1, keepdims=True)
    sd = view.std(axis=1, keepdims=True)
    with np.errstate(all="ignore"):
        return (view - mean) / sd


# Seconds a peer may take for one call on the whole input; slower ones are
# estimated from a sample and reported as such.
BUDGET = 20.0


def timed(function, *args):
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def measure(transform, X, repeats):
    sample = X[: max(1, len(X) // 100)]
    estimate = timed(transform, sample) * len(X) / len(sample)
    if estimate > BUDGET:
        return f"skipped: about {estimate:.0f} s a call"
    return min(timed(transform, X) for _ in range(repeats if estimate * repeats < BUDGET else 1))


def candidates(w):
    """label -> builder of a callable that transforms X. Imports happen here,
    so a peer that fails to import is reported, not fatal."""

    def pyts_paa():
        from pyts.approximation import PiecewiseAggregateApproximation

        paa = PiecewiseAggregateApproximation(window_size=None, output_size=w)
        return lambda X: paa.fit_transform(X)

    def pyts_sax():
        from pyts.approximation import PiecewiseAggregateApproximation, SymbolicAggregateApproximation

        paa = PiecewiseAggregateApproximation(window_size=None, output_size=w)
        sax = SymbolicAggregateApproximation(n_bins=4, strategy="normal")
        return lambda X: sax.fit_transform(paa.fit_transform(X))

    def tslearn_paa():
        from tslearn.piecewise import PiecewiseAggregateApproximation

        paa = PiecewiseAggregateApproximation(n_segments=w)
        return lambda X: paa.fit_transform(X[:, :, None])

    def tslearn_sax():
        from tslearn.piecewise import SymbolicAggregateApproximation

        sax = SymbolicAggregateApproximation(n_segments=w, alphabet_size_avg=4)
        return lambda X: sax.fit_transform(X[:, :, None])

    def aeon_paa():
        from aeon.transformations.collection.dictionary_based import PAA

        paa = PAA(n_segments=w)
        return lambda X: paa.fit_transform(X[:, None, :])

    def aeon_sax():
        from aeon.transformations.collection.dictionary_based import SAX

        sax = SAX(n_segments=w, alphabet_size=4)
        return lambda X: sax.fit_transform(X[:, None, :])

    return {
        "pyts paa": pyts_paa,
        "pyts sax": pyts_sax,
        "tslearn paa": tslearn_paa,
        "tslearn sax": tslearn_sax,
        "aeon paa": aeon_paa,
        "aeon sax": aeon_sax,
    }


def main():
    length, window, w, repeats = (int(arg) for arg in sys.argv[1:5])
    X = np.ascontiguousarray(windows(random_walk(length), window))
    results = {}
    for label, build in candidates(w).items():
        try:
            transform = build()
            transform(X[:64])  # warm-up: compilation and caches
            results[label] = measure(transform, X, repeats)
        except Exception as error:  # reported in the table, not fatal
            results[label] = f"failed: {type(error).__name__}: {str(error)[:80]}"
    print(json.dumps(results))


if __name__ == "__main__":
    main()
