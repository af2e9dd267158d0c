"""What a series says of itself: Index.matrix_profile, discords and motifs
against the plain definition (every pair's distance, tests/reference.py),
bit for bit, on series built to stress the bounds, with exclusion zones of
0, the default and beyond the series, and k beyond what qualifies."""

import _thread
import math
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel

import reference
from conftest import examples


def walk(size, seed):
    return np.cumsum(np.random.default_rng(seed).standard_normal(size))


def series_cases():
    """(series, window, stride, w): a few hundred windows each."""
    flat = walk(300, 1)
    flat[100:180] = 3.0  # windows with no shape
    nan = walk(260, 2)
    nan[[40, 41, 150]] = math.nan
    pattern = np.tile(walk(25, 3), 10)  # exact ties
    huge = walk(260, 17)
    huge[120:160] *= 1e200  # windows no bound vouches for
    overflow = walk(300, 10)
    overflow[10:14] = [math.nan, 1e308, 1e308, math.nan]  # sums beyond range
    yield pytest.param((walk(300, 6), 16, 1, 4), id="walk")
    yield pytest.param((walk(500, 9), 24, 3, 5), id="walk-stride-3")
    yield pytest.param((flat, 16, 1, 8), id="flat-stretch")
    yield pytest.param((nan, 12, 1, 6), id="nan-in-series")
    yield pytest.param((pattern, 20, 1, 4), id="repeated-pattern-ties")
    yield pytest.param((1e6 + walk(260, 4) * 1e-3, 16, 1, 8), id="offset-1e6")
    yield pytest.param((np.repeat(walk(50, 5), 5), 10, 1, 10), id="steps")
    yield pytest.param((huge, 16, 1, 8), id="irregular-scale")
    yield pytest.param((overflow, 16, 1, 4), id="overflow-without-shape")
    yield pytest.param((walk(40, 7), 16, 1, 4), id="few-windows")


def bits(values):
    return [("nan" if math.isnan(v) else struct.pack("<d", v)) if isinstance(v, float) else int(v) for v in values]


@pytest.fixture(scope="module", params=list(series_cases()))
def case(request):
    ts, window, stride, w = request.param
    starts, distances = reference.self_join([float(v) for v in ts], window, stride)
    return morvel.Index(ts, window, stride, w=w), starts, distances


@pytest.mark.parametrize("exclude", [None, 0, 7, 10**6])
def test_self_joins_are_the_definition(case, exclude):
    index, starts, distances = case
    zone = index.exclude if exclude is None else exclude
    profile, neighbours = index.matrix_profile(exclude=exclude, threads=2)
    expected = reference.matrix_profile(starts, distances, zone)
    assert bits(profile) == bits([d for d, _ in expected])
    assert neighbours.tolist() == [n for _, n in expected]
    for k in (1, 3, 1000):
        d, s, n = index.discords(k, exclude=exclude)
        assert list(zip(bits(d), s.tolist(), n.tolist(), strict=True)) == [
            (*bits([x]), y, z) for x, y, z in reference.discords(starts, distances, k, zone)
        ]
        d, pairs = index.motifs(k, exclude=exclude)
        assert pairs.shape == (len(d), 2)
        assert list(zip(bits(d), pairs[:, 0].tolist(), pairs[:, 1].tolist(), strict=True)) == [
            (*bits([x]), y, z) for x, y, z in reference.motifs(starts, distances, k, zone)
        ]


@st.composite
def small_joins(draw):
    """A short series of few distinct values (ties everywhere, flat windows),
    or a walk with NaN or huge values dropped in; its window, stride, w,
    exclusion and k."""
    size = draw(st.integers(6, 48))
    if draw(st.booleans()):
        ts = draw(st.lists(st.sampled_from([0.0, 1.0, 2.0, -1.0, 1e6]), min_size=size, max_size=size))
    else:
        ts = np.cumsum(draw(st.lists(st.floats(-3, 3), min_size=size, max_size=size))).tolist()
        for at in draw(st.lists(st.integers(0, size - 1), max_size=3)):
            ts[at] = draw(st.sampled_from([math.nan, 1e300, -1e300, 3.0]))
    window = draw(st.integers(2, min(12, size)))
    return (
        ts,
        window,
        draw(st.integers(1, 3)),
        draw(st.integers(1, window)),
        draw(st.integers(0, 20)),
        draw(st.integers(1, 4)),
    )


@settings(max_examples=examples(150), deadline=None)
@given(small_joins())
def test_small_self_joins_are_the_definition(join):
    ts, window, stride, w, exclude, k = join
    index = morvel.Index(ts, window, stride, w=w)
    starts, distances = reference.self_join(ts, window, stride)
    profile, neighbours = index.matrix_profile(exclude=exclude, threads=1)
    expected = reference.matrix_profile(starts, distances, exclude)
    assert list(zip(bits(profile), neighbours.tolist(), strict=True)) == [(*bits([d]), n) for d, n in expected]
    d, s, n = index.discords(k, exclude=exclude, threads=2)
    assert list(zip(bits(d), s.tolist(), n.tolist(), strict=True)) == [
        (*bits([x]), y, z) for x, y, z in reference.discords(starts, distances, k, exclude)
    ]
    d, pairs = index.motifs(k, exclude=exclude, threads=2)
    assert list(zip(bits(d), pairs[:, 0].tolist(), pairs[:, 1].tolist(), strict=True)) == [
        (*bits([x]), y, z) for x, y, z in reference.motifs(starts, distances, k, exclude)
    ]


def test_threads_and_calls_agree(tmp_path):
    index = morvel.Index(walk(20_000, 8), 64)
    profile = index.matrix_profile(threads=1)
    assert index.stats["nearest"] == len(index)  # each window's, found to the end
    assert [a.tobytes() for a in index.matrix_profile(threads=2)] == [a.tobytes() for a in profile]
    discords, motifs = index.discords(3, threads=2), index.motifs(2, threads=2)
    assert [a.tobytes() for a in index.discords(3, threads=1)] == [a.tobytes() for a in discords]
    assert [a.tobytes() for a in index.motifs(2, threads=1)] == [a.tobytes() for a in motifs]
    index.save(tmp_path)  # a loaded index, its tables mapped, answers the same
    loaded = morvel.Index.load(tmp_path)
    assert [a.tobytes() for a in loaded.discords(3)] == [a.tobytes() for a in discords]
    assert [a.tobytes() for a in loaded.motifs(2)] == [a.tobytes() for a in motifs]
    # The first discord and motif read off the profile.
    top = int(np.argmax(profile[0]))
    assert (discords[0][0], discords[1][0], discords[2][0]) == (profile[0][top], top, profile[1][top])
    low = int(np.argmin(profile[0]))
    assert motifs[0][0] == profile[0][low] and sorted(motifs[1][0]) == sorted([low, profile[1][low]])
    results = [None] * 8

    def ask(slot):
        results[slot] = [a.tobytes() for a in index.discords(3, threads=1)]

    workers = [threading.Thread(target=ask, args=(slot,)) for slot in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert results == [[a.tobytes() for a in discords]] * 8


@pytest.mark.parametrize("call", ["matrix_profile", "discords", "motifs"])
def test_a_self_join_can_be_interrupted_and_reports_progress(call, capfd):
    index = morvel.Index(walk(300_000, 24), 256, threads=2)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        getattr(index, call)(threads=1)
        timer.join()  # it ended first: still a KeyboardInterrupt
    timer.cancel()
    small = morvel.Index(walk(3_000, 25), 64)
    getattr(small, call)(progress=True)
    assert capfd.readouterr().err.endswith(" windows\n")


@pytest.mark.parametrize(
    ("arguments", "error"),
    [
        pytest.param({"k": 0}, "k must be at least 1", id="k-0"),
        pytest.param({"exclude": -1}, "exclude must be at least 0", id="exclude-negative"),
        pytest.param({"threads": 0}, "threads must be at least 1", id="threads-0"),
    ],
)
def test_impossible_self_joins_are_refused(arguments, error):
    index = morvel.Index(walk(200, 26), 16)
    for call in (index.discords, index.motifs) if "k" in arguments else (index.matrix_profile, index.discords):
        with pytest.raises(ValueError, match=error):
            call(**arguments)
