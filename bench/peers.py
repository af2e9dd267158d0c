"""Times the peer libraries' nearest equivalents of morvel's paa, sax and
mindist.

Run by bench.py and arrays.py with the peers' own virtual environment's
interpreter:
    peers.py N WINDOW W REPEATS
    peers.py mindist WORDS.npy WINDOW ALPHA REPEATS DISTANCES.npy
prints one JSON object: {label: seconds, or an explanation string}. The
second form times one word (the first row of WORDS.npy, symbol indices)
against every row, and saves each peer's distances for comparison.

None of the peers slides a window over one series: each transforms a batch
of equal-length series. So every peer gets the same input, prepared outside
the timing: all windows of a 100,000-value random walk (stride 1), already
z-normalised with numpy, as a (windows, window) float64 array. Each returns a
numpy array, not Python lists.
"""

import json
import sys
import warnings

import numpy as np
from timing import best, random_walk

warnings.filterwarnings("ignore")


def windows(ts, window):
    view = np.lib.stride_tricks.sliding_window_view(ts, window)
    mean = view.mean(axis=1, keepdims=True)
    sd = view.std(axis=1, keepdims=True)
    with np.errstate(all="ignore"):
        return (view - mean) / sd


# Seconds a peer may take for one call on the whole input; slower ones are
# estimated from a sample and reported as such.
BUDGET = 20.0


def measure(transform, X, repeats):
    sample = X[: max(1, len(X) // 100)]
    estimate = best(1, transform, sample) * len(X) / len(sample)
    if estimate > BUDGET:
        return f"skipped: about {estimate:.0f} s a call"
    return min(best(1, transform, X) for _ in range(repeats if estimate * repeats < BUDGET else 1))


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


def mindist_candidates(window, alpha):
    """label -> builder of a callable (one word, many words) -> distances."""
    from scipy.stats import norm

    breakpoints = norm.ppf(np.arange(1, alpha) / alpha)

    def aeon_mindist():
        # Its pairwise function fails to compile in aeon 1.6.0 (a numba
        # typing error on a list of arrays), so each pair is asked for.
        from aeon.distances import mindist_sax_distance

        return lambda one, many: np.array([mindist_sax_distance(one[0], word, breakpoints, window) for word in many])

    def tslearn_mindist():
        from tslearn.metrics import cdist_sax

        return lambda one, many: cdist_sax(one, breakpoints, window, many)[0]

    return {"aeon mindist": aeon_mindist, "tslearn mindist": tslearn_mindist}


def mindist_main(words_path, window, alpha, repeats, distances_path):
    many = np.load(words_path)
    one = many[:1]
    results, distances = {}, {}
    for label, build in mindist_candidates(window, alpha).items():
        try:
            distance = build()
            distance(one, many[:64])  # warm-up: compilation and caches
            results[label] = measure(lambda X, distance=distance: distance(one, X), many, repeats)
            distances[label] = np.asarray(distance(one, many), dtype=np.float64)
        except Exception as error:  # reported in the table, not fatal
            results[label] = f"failed: {type(error).__name__}: {str(error)[:80]}"
    np.savez(distances_path, **distances)
    print(json.dumps(results))


def main():
    if sys.argv[1] == "mindist":
        words_path, window, alpha, repeats, distances_path = sys.argv[2:7]
        return mindist_main(words_path, int(window), int(alpha), int(repeats), distances_path)
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
