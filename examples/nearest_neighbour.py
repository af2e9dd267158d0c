"""1-nearest-neighbour classification of GunPoint with SAX words and mindist,
beside 1-NN with the Euclidean distance on the same split.

Each series (150 values) is one window: sax_array turns it into one word of
w letters, and mindist, which never exceeds the Euclidean distance between
the z-normalised series, ranks the training words. w and alpha are chosen by
leave-one-out on the training split only; the test split is used once.
The tighter bound, between a test series' segment means (paa_array) and the
training words, is shown too.

    python3 examples/nearest_neighbour.py
"""

import pathlib
import time

import numpy as np

import morvel

DATA = pathlib.Path(__file__).resolve().parent / "data"
WORD_LENGTHS = [4, 6, 8, 10, 12, 15, 16, 20, 25, 30]
ALPHABETS = list(range(3, 25))


def load(path):
    """(series, labels) of a .ts file of equal-length univariate series."""
    series, labels = [], []
    in_data = False
    for line in path.read_text().splitlines():
        if in_data and line.strip():
            values, label = line.rsplit(":", 1)
            series.append([float(v) for v in values.split(",")])
            labels.append(label.strip())
        elif line.strip().lower() == "@data":
            in_data = True
    return np.array(series), np.array(labels)


def znormalised(series):
    return (series - series.mean(axis=1, keepdims=True)) / series.std(axis=1, keepdims=True)


def words(series, w, alpha):
    """One word per series: each series is a single window."""
    length = series.shape[1]
    return morvel.sax_array(series.ravel(), length, length, w, alpha)


def nearest(distances, labels):
    """The label of the nearest training series, for each row of distances
    (ties go to the first, as numpy.argmin breaks them)."""
    return labels[np.argmin(distances, axis=-1)]


def leave_one_out_accuracy(train, labels, w, alpha):
    length = train.shape[1]
    train_words = words(train, w, alpha)
    distances = morvel.mindist(train_words[:, None], train_words[None], length, alpha)
    np.fill_diagonal(distances, np.inf)
    return np.mean(nearest(distances, labels) == labels)


def choose(train, labels):
    """The (w, alpha) of best leave-one-out accuracy on the training split;
    among equals, the shortest word, then the smallest alphabet."""
    scores = {(w, alpha): leave_one_out_accuracy(train, labels, w, alpha) for w in WORD_LENGTHS for alpha in ALPHABETS}
    best = max(scores.values())
    return min(key for key, score in scores.items() if score == best), best


def timed(function, repeats=20):
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return result, best


def classify(train, train_labels, test, test_labels):
    """Every figure the example prints, as a dict."""
    (w, alpha), train_accuracy = choose(train, train_labels)
    length = train.shape[1]

    def euclidean():
        a, b = znormalised(test), znormalised(train)
        squared = (a * a).sum(1)[:, None] + (b * b).sum(1)[None] - 2 * a @ b.T
        return nearest(squared, train_labels)

    def symbolic():
        distances = morvel.mindist(words(test, w, alpha)[:, None], words(train, w, alpha)[None], length, alpha)
        return nearest(distances, train_labels)

    def means_to_words():
        means = morvel.paa_array(test.ravel(), length, length, w)
        distances = morvel.mindist(means[:, None], words(train, w, alpha)[None], length, alpha)
        return nearest(distances, train_labels)

    results = {"w": w, "alpha": alpha, "train_accuracy": train_accuracy}
    for name, method in [("euclidean", euclidean), ("mindist", symbolic), ("means_to_words", means_to_words)]:
        predicted, seconds = timed(method)
        results[name] = (float(np.mean(predicted == test_labels)), seconds)
    return results


def main():
    train, train_labels = load(DATA / "GunPoint_TRAIN.ts")
    test, test_labels = load(DATA / "GunPoint_TEST.ts")
    results = classify(train, train_labels, test, test_labels)
    print(f"GunPoint: {len(train)} training and {len(test)} test series of {train.shape[1]} values")
    print(
        f"chosen on the training split (leave-one-out accuracy {results['train_accuracy']:.3f}): "
        f"w = {results['w']}, alpha = {results['alpha']}"
    )
    print(f"{'1-NN with':<34}{'test accuracy':>14}{'time (ms)':>12}")
    for name, label in [
        ("euclidean", "Euclidean distance"),
        ("mindist", "mindist, word to word"),
        ("means_to_words", "mindist, segment means to word"),
    ]:
        accuracy, seconds = results[name]
        print(f"{label:<34}{accuracy:>14.3f}{seconds * 1e3:>12.3f}")


if __name__ == "__main__":
    main()
