"""morvel.Index answers exactly what a scan of every window answers: the
plain reference (every window's distance, sorted by distance then start,
chosen greedily outside the exclusion zones) is compared bit for bit with
query(), on series built to stress the bounds, and again after save/load."""

import _thread
import math
import struct
import threading

import numpy as np
import pytest
from test_inputs import builtin_cases, element_reading, numpy_cases

import morvel

import reference

RNG = np.random.default_rng(20261209)


def walk(size, seed):
    return np.cumsum(np.random.default_rng(seed).standard_normal(size))


def series_cases():
    """(series, window, stride, w): a few hundred windows each, so that the
    plain reference stays quick."""
    flat = walk(400, 1)
    flat[100:220] = 3.0  # flat windows: no shape
    nan = walk(300, 2)
    nan[[40, 41, 150]] = math.nan
    pattern = np.tile(walk(20, 3), 20)  # many windows exactly alike: ties
    offset = 1e6 + walk(300, 4) * 1e-3  # a small signal on a large offset
    steps = np.repeat(walk(60, 5), 5)  # long runs of one value
    huge = walk(400, 17)
    huge[150:210] *= 1e200  # squares overflow: windows no bound vouches for
    yield pytest.param((walk(400, 6), 16, 1, 4), id="walk-16")
    yield pytest.param((walk(500, 7), 64, 1, 16), id="walk-64")
    yield pytest.param((walk(700, 8), 256, 1, 16), id="walk-256")
    yield pytest.param((walk(900, 9), 64, 3, 10), id="walk-stride-3-w-not-dividing")
    yield pytest.param((walk(640, 10), 64, 64, 8), id="collection-stride-window")
    yield pytest.param((flat, 32, 1, 8), id="flat-stretch")
    yield pytest.param((nan, 24, 2, 6), id="nan-in-series")
    yield pytest.param((pattern, 40, 1, 8), id="repeated-pattern-ties")
    yield pytest.param((offset, 64, 1, 16), id="offset-1e6")
    yield pytest.param((steps, 16, 1, 16), id="steps")
    yield pytest.param((huge, 32, 1, 8), id="irregular-scale")


def bits(distances, starts):
    return [("nan" if math.isnan(d) else struct.pack("<d", d), s) for d, s in zip(distances, starts, strict=True)]


def queries(ts, window):
    """A far query, a noisy window, a window of the series itself (exact
    ties at distance 0 with any copies), and the window reversed."""
    start = len(ts) // 3
    own = np.array(ts[start : start + window], dtype=np.float64)
    if not np.all(np.isfinite(own)) or own.std() == 0:
        own = walk(window, 11)
    return [walk(window, 12), own + RNG.standard_normal(window) * 0.3, own, own[::-1].copy()]


@pytest.fixture(scope="module", params=list(series_cases()))
def case(request, tmp_path_factory):
    ts, window, stride, w = request.param
    index = morvel.Index(ts, window, stride, w=w)
    path = tmp_path_factory.mktemp("index")
    index.save(path)
    return ts, window, stride, index, morvel.Index.load(path), morvel.Index.load(path, mmap=False)


@pytest.mark.parametrize(
    ("k", "exclude"), [(1, None), (5, 0), (4, None), (3, 7), (10**6, 0), (10**6, None), (3, 2**63 - 1)]
)
def test_query_is_the_scan(case, k, exclude):
    ts, window, stride, *indexes = case
    zone = -(-window // 4) if exclude is None else exclude
    assert all(index.exclude == -(-window // 4) for index in indexes)
    values = [float(v) for v in ts]
    for q in queries(ts, window):
        expected = bits(*reference.nearest(values, window, stride, [float(v) for v in q], k, zone))
        for index in indexes:
            assert bits(*index.query(q, k, exclude=exclude)) == expected
    # within: an answer's own distance keeps it; the next number below, not.
    q = queries(ts, window)[1]
    found = index.query(q, k, exclude=exclude)[0]
    middle = found[~np.isnan(found)][len(found[~np.isnan(found)]) // 2]
    for within in (middle, np.nextafter(middle, -math.inf), math.inf):
        expected = bits(*reference.nearest(values, window, stride, [float(v) for v in q], k, zone, within))
        assert bits(*index.query(q, k, exclude=exclude, within=within)) == expected


def test_profile_and_batches_are_the_scan(case):
    ts, window, stride, index, *_ = case
    values = [float(v) for v in ts]
    rows = np.array(queries(ts, window))
    profile = index.profile(rows[0])
    assert profile.dtype == np.float64 and len(profile) == len(index)
    expected = [
        reference.window_distance(list(rows[0]), values[s : s + window]) for s in range(0, len(ts) - window + 1, stride)
    ]
    assert bits(profile, range(len(profile))) == bits(expected, range(len(profile)))
    distances, starts = index.query(rows, 3, threads=2)
    assert distances.shape == starts.shape == (len(rows), min(3, len(index)))
    for row, q in enumerate(rows):
        assert bits(distances[row], starts[row]) == bits(*index.query(q, 3))
    # One limit per row, each pruning its own row only.
    limits = [math.inf, distances[1][-1], np.nextafter(distances[2][0], -math.inf), 0.0]
    limited = index.query(rows, 3, within=limits, threads=2)
    for row, q in enumerate(rows):
        assert bits(limited[0][row], limited[1][row]) == bits(*index.query(q, 3, within=limits[row]))


def test_inexact_query_returns_windows_at_their_distances():
    ts = walk(20_000, 13)
    index = morvel.Index(ts, 128)
    q = walk(128, 14)
    profile = index.profile(q)
    distances, starts = index.query(q, 3, exact=False)
    assert bits(distances, starts) == bits(profile[starts], starts)
    assert distances[0] >= index.query(q)[0][0]
    within = distances[1]
    distances, starts = index.query(q, 3, exact=False, within=within)
    found = starts >= 0
    assert found[:2].all() and (distances[found] <= within).all()
    assert bits(distances[found], starts[found]) == bits(profile[starts[found]], starts[found])


def test_pruning_is_reported():
    index = morvel.Index(walk(50_000, 15), 128)
    index.query(walk(128, 16))
    stats = index.stats
    assert stats["windows"] == len(index) and stats["leaves"] == -(-len(index) // 64)
    assert 0 < stats["distances"] < len(index) // 10
    assert stats["abandoned"] <= stats["distances"] <= stats["window_bounds"]


def test_nbytes_is_what_the_saved_tables_hold(tmp_path):
    ts = walk(5_000, 15)
    ts[1000:1300] = 1.0  # windows with no shape
    ts[2000:2100] *= 1e200  # and windows no bound vouches for
    index = morvel.Index(ts, 128)
    index.save(tmp_path)
    tables = [np.load(path, mmap_mode="r") for path in tmp_path.glob("*.npy") if not path.name.startswith("series")]
    assert len(tables) == 5 and index.nbytes == sum(table.nbytes for table in tables)


@pytest.mark.parametrize(
    ("q", "message"),
    [
        pytest.param(np.zeros(16), "no shape", id="flat"),
        pytest.param(np.r_[np.nan, np.arange(15.0)], "no shape", id="nan"),
        pytest.param(np.r_[np.inf, np.arange(15.0)], "no shape", id="infinity"),
        pytest.param(np.arange(15.0), "16 values, not 15", id="short"),
        pytest.param(np.ones((2, 17)), "16 values, not 17", id="rows-too-long"),
    ],
)
def test_queries_without_a_shape_or_length_are_refused(q, message):
    with pytest.raises(ValueError, match=message):
        morvel.Index(walk(100, 17), 16).query(q)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        pytest.param((walk(10, 0), 11), "must not exceed", id="window-beyond-series"),
        pytest.param((walk(10, 0), 1), "at least 2", id="window-of-one"),
        pytest.param((walk(10, 0), 4, 0), "stride must be at least 1", id="stride-0"),
        pytest.param((walk(10, 0), 4, 1, 5), "w must be between 1 and 4", id="w-beyond-window"),
        # Window numbers are 32-bit: refused before a byte of the series is read.
        pytest.param(
            (np.broadcast_to(0.0, (2**32 + 1,)), 2), "at most 4294967295 windows, not 4294967296", id="2**32-windows"
        ),
    ],
)
def test_impossible_indexes_are_refused(arguments, message):
    *positional, w = arguments if len(arguments) == 4 else (*arguments, 2)
    with pytest.raises(ValueError, match=message):
        morvel.Index(*positional, w=w)


@pytest.mark.parametrize(("window", "w"), [(2, 2), (8, 8), (16, 16), (64, 16)])
def test_the_default_w_fits_the_window(window, w):
    assert morvel.Index(walk(100, 35), window).w == w


@pytest.mark.parametrize(("k", "exclude"), [(0, 0), (1, -1)])
def test_impossible_queries_are_refused(k, exclude):
    with pytest.raises(ValueError, match="at least"):
        morvel.Index(walk(100, 18), 16).query(walk(16, 19), k, exclude=exclude)


# ---- Every kind of input ------------------------------------------------------


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("make", [*numpy_cases(), *builtin_cases()])
def test_every_kind_of_input_is_read_as_its_elements(make):
    """As ts, and as q: the same answers as the elements read one by one, or
    the same refusal."""
    plain = element_reading(make())
    two_dimensional = isinstance(make(), np.ndarray) and make().ndim == 2
    if isinstance(plain, list) and len(plain) >= 4:
        expected = outcome(lambda: morvel.Index(plain, 4, w=2).query([0.0, 1.0, 3.0, 2.0], 10))
        assert outcome(lambda: morvel.Index(make(), 4, w=2).query([0.0, 1.0, 3.0, 2.0], 10)) == expected
        if not two_dimensional:
            long = walk(60, 20)
            expected = outcome(lambda: morvel.Index(long, len(plain), w=2).query(plain, 3))
            assert outcome(lambda: morvel.Index(long, len(plain), w=2).query(make(), 3)) == expected
    elif not two_dimensional:
        refusal = outcome(lambda: morvel.Index(make(), 4, w=2))[0]
        if plain is TypeError:
            assert refusal is TypeError
        elif isinstance(plain, list):
            assert refusal is ValueError  # too short for a window of 4
        else:
            assert refusal is type(plain)


def outcome(call):
    try:
        return bits(*call())
    except Exception as error:
        return type(error), str(error)


# ---- Threads and interrupts ---------------------------------------------------


def test_threads_querying_one_index_agree():
    ts = walk(30_000, 22)
    index = morvel.Index(ts, 100)
    rows = [walk(100, 23 + i) for i in range(8)]
    expected = [bits(*index.query(q, 3)) for q in rows]
    results = [None] * 16

    def ask(slot):
        results[slot] = bits(*index.query(rows[slot % 8], 3))

    threads = [threading.Thread(target=ask, args=(slot,)) for slot in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected * 2


def test_a_build_can_be_interrupted():
    ts = walk(2_000_000, 24)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        morvel.Index(ts, 256, threads=1)
        timer.join()  # the build ended first: still a KeyboardInterrupt
    timer.cancel()


def test_progress_is_reported_when_asked(capfd):
    morvel.Index(walk(100_000, 27), 64, threads=1, progress=True)
    assert capfd.readouterr().err.endswith("morvel.Index: 99937 of 99937 windows\n")
    morvel.Index(walk(1000, 27), 64)
    assert capfd.readouterr().err == ""


# ---- Misuse --------------------------------------------------------------------


def test_an_index_never_initialised_is_refused():
    bare = morvel.Index.__new__(morvel.Index)
    for use in (
        len,
        lambda i: i.stats,
        lambda i: i.query(walk(16, 1)),
        lambda i: i.save("never"),
        lambda i: i.matrix_profile(),
        lambda i: i.discords(),
        lambda i: i.motifs(),
    ):
        with pytest.raises(TypeError, match="never initialised"):
            use(bare)


def test_saving_over_a_mapped_index_leaves_it_answering(tmp_path):
    mapped_source = morvel.Index(walk(3000, 28), 32)
    mapped_source.save(tmp_path)
    mapped = morvel.Index.load(tmp_path)
    q = walk(32, 29)
    before = bits(*mapped.query(q, 10**6, exclude=0))
    morvel.Index(walk(500, 30), 32).save(tmp_path)  # over the mapped files
    assert bits(*mapped.query(q, 10**6, exclude=0)) == before
    mapped.save(tmp_path)  # into its own directory
    assert bits(*morvel.Index.load(tmp_path).query(q, 10**6, exclude=0)) == before


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize(
    ("rows", "refusal"),
    [
        pytest.param(lambda q: np.ma.masked_array([q, q], mask=[[1] + [0] * 15] * 2), TypeError, id="masked-rows"),
        pytest.param(lambda q: [np.ma.masked_array(q, mask=[1] + [0] * 15)], ValueError, id="masked-row-in-a-list"),
        pytest.param(lambda q: [list(q), ["0.5"] * 16], TypeError, id="text-in-a-row"),
        pytest.param(lambda q: np.array([q, q]).astype(complex), TypeError, id="complex-rows"),
        pytest.param(lambda q: [[[]] * 16], TypeError, id="rows-of-rows"),
    ],
)
def test_rows_of_queries_are_read_as_queries_are(rows, refusal):
    with pytest.raises(refusal):
        morvel.Index(walk(100, 31), 16).query(rows(walk(16, 32)))


def test_a_series_that_was_copied_is_let_go():
    series = bytearray(range(100))
    morvel.Index(series, 8, w=4)
    series.extend(b"more")  # no export held: it may grow


def test_queries_beyond_the_bounds_with_exclusion_are_the_scan():
    ts = walk(2000, 33)
    index = morvel.Index(ts, 16, w=4)
    q = walk(16, 34) * 1e200  # its squares overflow: no bound speaks for it
    expected = reference.nearest([float(v) for v in ts], 16, 1, [float(v) for v in q], 10**6, 1)
    assert bits(*index.query(q, 10**6, exclude=1)) == bits(*expected)
