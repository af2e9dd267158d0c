"""The examples' discord and motif searches on series whose answers are
known: their functions are imported, not copied."""

import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))

import discords  # noqa: E402
import motifs  # noqa: E402
import nearest_neighbour  # noqa: E402


def noisy_sine_with_an_anomaly(seed):
    rng = np.random.default_rng(seed)
    t = np.arange(4000)
    ts = np.sin(2 * np.pi * t / 50) + 0.1 * rng.standard_normal(len(t))
    start = int(rng.integers(500, 3400))
    ts[start : start + 30] = 0.2 * rng.standard_normal(30)  # the signal drops out
    return ts, start


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_discord_search_finds_the_implanted_anomaly_as_brute_force_does(seed):
    ts, start = noisy_sine_with_an_anomaly(seed)
    window = 50
    found = discords.hot_sax(ts, window)
    exact = discords.brute_force(ts, window)
    indexed = discords.with_index(ts, window)
    assert found.position == exact.position == indexed.position
    assert found.distance == pytest.approx(exact.distance, rel=1e-9)
    assert indexed.distance == pytest.approx(exact.distance, rel=1e-9)
    assert start - window < found.position < start + 30  # overlaps the anomaly
    assert found.distances < exact.distances / 10


def random_walk_with_a_motif(seed, window=64):
    rng = np.random.default_rng(seed)
    ts = np.cumsum(rng.standard_normal(3000))
    shape = 8 * np.sin(np.linspace(0, 3 * np.pi, window)) * np.linspace(1, 0.2, window)
    starts = sorted(rng.choice(np.arange(100, 2800, 300), size=3, replace=False).tolist())
    for start in starts:
        ts[start : start + window] = ts[start] + shape + 0.05 * rng.standard_normal(window)
    return ts, starts


@pytest.mark.parametrize("seed", [4, 5, 6])
def test_motif_search_finds_the_three_implanted_occurrences(seed):
    window = 64
    ts, starts = random_walk_with_a_motif(seed, window)
    (top, *_) = motifs.motifs(ts, window, w=16, alpha=10)
    assert len(top.positions) == 3
    for position, start in zip(top.positions, starts, strict=True):
        assert abs(position - start) <= window // 8
    (_, pair), *_ = motifs.nearest_pairs(ts, window)
    assert all(min(abs(position - start) for start in starts) <= window // 8 for position in pair)


def test_trivial_matches_count_once():
    assert motifs.non_trivial([3, 4, 5, 40, 41, 90], window=30) == [3, 40, 90]


def test_gun_point_one_nearest_neighbour():
    data = nearest_neighbour.DATA
    train, train_labels = nearest_neighbour.load(data / "GunPoint_TRAIN.ts")
    test, test_labels = nearest_neighbour.load(data / "GunPoint_TEST.ts")
    assert train.shape == (50, 150) and test.shape == (150, 150) and set(test_labels) == {"1", "2"}
    results = nearest_neighbour.classify(train, train_labels, test, test_labels)
    # The archive's own figure for 1-NN with the Euclidean distance: 13 errors.
    assert results["euclidean"][0] == 137 / 150
    assert results["w"] in nearest_neighbour.WORD_LENGTHS and results["alpha"] in nearest_neighbour.ALPHABETS
    # Far above chance; the tighter bound never ranks worse here.
    assert 0.8 < results["mindist"][0] <= results["means_to_words"][0]
