"""morvel_dask.Index answers what one morvel.Index over the same series
answers, bit for bit: the same starts, the same distances, the exclusion
zones honoured across the chunks' borders; after load() too, with a worker
killed in the middle of a build or a query, and for every kind of q. A
chunk missing, damaged or replaced is named, never skipped."""

import hashlib
import itertools
import json
import math
import os
import re
import shutil
import signal
import threading
import time

import numpy as np
import pytest
from test_index import bits, queries, walk
from test_inputs import builtin_cases, element_reading, numpy_cases

import morvel

da = pytest.importorskip("dask.array")
morvel_dask = pytest.importorskip("morvel_dask")


def series_cases():
    """(series, chunks, window, stride, w): a few chunks each, some of them
    smaller than a window or holding no window start."""
    flat_and_nan = walk(900, 21)
    flat_and_nan[200:300] = 4.0
    flat_and_nan[[500, 650]] = math.nan
    pattern = np.tile(walk(30, 22), 40)  # exact copies across chunks: ties
    yield pytest.param((walk(3000, 23), 700, 64, 1, 16), id="walk-64")
    yield pytest.param((walk(800, 24), 40, 64, 1, 8), id="chunks-below-a-window")
    yield pytest.param((pattern, 333, 40, 1, 8), id="repeated-pattern-ties")
    yield pytest.param((flat_and_nan, 150, 24, 2, 6), id="flat-and-nan-stride-2")
    yield pytest.param((walk(3000, 25), 100, 64, 150, 16), id="stride-beyond-a-chunk")
    yield pytest.param((1e6 + walk(2000, 26) * 1e-3, 500, 32, 3, 5), id="offset-1e6")


def same(got, expected):
    """Bits of (distances, starts), for one query or rows of them."""
    (d, s), (e, f) = got, expected
    if np.ndim(d) == 1:
        return bits(d, s) == bits(e, f)
    return d.shape == e.shape and all(bits(d[i], s[i]) == bits(e[i], f[i]) for i in range(len(d)))


@pytest.fixture(scope="module", params=list(series_cases()))
def case(request, cluster, tmp_path_factory):
    ts, chunks, window, stride, w = request.param
    path = tmp_path_factory.mktemp("cluster-index")
    built = morvel_dask.Index(da.from_array(ts, chunks=chunks), window, stride, w=w, path=path)
    return ts, window, morvel.Index(ts, window, stride, w=w), built, morvel_dask.Index.load(path)


@pytest.mark.parametrize(
    ("k", "exclude", "within"),
    [
        (1, None, None),
        (5, 0, None),
        (4, None, None),
        (20, 7, None),
        (3, None, 2.5),
        (10**6, 0, None),
        (10**6, None, None),
    ],
)
def test_the_cluster_answers_what_one_index_answers(case, k, exclude, within):
    ts, window, one, *indexes = case
    rows = np.array(queries(ts, window))
    expected = one.query(rows, k, exclude=exclude, within=within)
    assert len(indexes[0]) == len(one)
    for index in indexes:
        assert same(index.query(rows, k, exclude=exclude, within=within), expected)
    assert same(indexes[0].query(rows[1], k, exclude=exclude), one.query(rows[1], k, exclude=exclude))
    distances, starts = indexes[0].query(rows[1], k, exclude=exclude, exact=False)
    found = starts >= 0  # approximate answers, at their exact distances
    assert bits(distances[found], starts[found]) == bits(
        one.profile(rows[1])[starts[found] // one.stride], starts[found]
    )


# ---- Every kind of q -----------------------------------------------------------


@pytest.fixture(scope="module")
def by_window(cluster, tmp_path_factory):
    """A series indexed once and on the cluster, for each window asked for."""
    long, made = walk(300, 27), {}

    def index(window):
        if window not in made:
            path = tmp_path_factory.mktemp("window")
            made[window] = (
                morvel.Index(long, window, w=2),
                morvel_dask.Index(da.from_array(long, chunks=70), window, w=2, path=path),
            )
        return made[window]

    return index


def outcome(call):
    try:
        return bits(*call())
    except Exception as error:
        return type(error), str(error)


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("make", [*numpy_cases(), *builtin_cases()])
def test_every_kind_of_q_is_read_as_one_index_reads_it(by_window, make):
    plain = element_reading(make())
    window = len(plain) if isinstance(plain, list) and len(plain) >= 2 else 4
    one, cluster_index = by_window(window)
    assert outcome(lambda: cluster_index.query(make(), 3)) == outcome(lambda: one.query(make(), 3))


# ---- Faults --------------------------------------------------------------------


class SlowSeries:
    """A series whose blocks take a while to read, for a kill to land in."""

    def __init__(self, values):
        self.values, self.shape, self.dtype, self.ndim = values, values.shape, values.dtype, 1

    def __getitem__(self, index):
        time.sleep(0.4)
        return self.values[index]


def slow_answers():
    search = morvel_dask.search
    search.quick_ask = getattr(search, "quick_ask", search._ask)
    search._ask = slow(search.quick_ask)


def quick_answers():
    search = morvel_dask.search
    search._ask = getattr(search, "quick_ask", search._ask)


def slow(ask):
    def answer(*arguments):
        time.sleep(0.4)
        return ask(*arguments)

    return answer


def kill_a_busy_worker(client, done):
    """SIGKILL to the process of a worker while it runs a task; its nanny
    starts another."""
    pids = client.run(os.getpid)
    while not done.is_set():
        busy = [worker for worker, tasks in client.processing().items() if tasks]
        if busy:
            os.kill(pids[busy[0]], signal.SIGKILL)
            return True
        time.sleep(0.02)
    return False


def in_background(call):
    result, done = {}, threading.Event()

    def run():
        try:
            result["value"] = call()
        finally:
            done.set()

    thread = threading.Thread(target=run)
    thread.start()
    return thread, done, result


def test_a_worker_killed_in_a_build_and_in_a_query_costs_a_retry(cluster, tmp_path):
    ts = walk(5000, 28)
    one = morvel.Index(ts, 64)
    series = da.from_array(SlowSeries(ts), chunks=600)
    thread, done, result = in_background(lambda: morvel_dask.Index(series, 64, path=tmp_path))
    assert kill_a_busy_worker(cluster, done)
    thread.join()
    index = result["value"]
    rows = np.array([walk(64, seed) for seed in range(6)])
    cluster.wait_for_workers(2)
    cluster.run(slow_answers)
    try:
        thread, done, result = in_background(lambda: index.query(rows, 3))
        assert kill_a_busy_worker(cluster, done)
        thread.join()
    finally:
        cluster.wait_for_workers(2)
        cluster.run(quick_answers)
    assert same(result["value"], one.query(rows, 3))


@pytest.fixture
def built(cluster, tmp_path):
    ts = walk(3000, 29)
    morvel_dask.Index(da.from_array(ts, chunks=1000), 64, path=tmp_path)
    return tmp_path


def chunk(path, number):
    (directory,) = path.glob(f"chunk-{number:06d}-*")
    return directory


def flip_a_byte(path):
    data = bytearray(path.read_bytes())
    data[-3] ^= 0x10
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("queried", [False, True], ids=["unopened", "after-a-query"])
@pytest.mark.parametrize(
    ("damage", "message"),
    [
        pytest.param(
            lambda p: flip_a_byte(next(chunk(p, 1).glob("series-*.npy"))), "chunk 1 .* is damaged", id="damaged"
        ),
        pytest.param(lambda p: shutil.rmtree(chunk(p, 1)), "chunk 1 .* is missing", id="missing"),
        pytest.param(
            lambda p: shutil.copytree(chunk(p, 0), chunk(p, 1), dirs_exist_ok=True),
            "chunk 1 .* is not the one built",
            id="replaced",
        ),
    ],
)
def test_a_chunk_missing_damaged_or_replaced_is_named(built, damage, message, queried):
    """Also when a worker had it open: what was checked is checked again
    once its files change."""
    index, q = morvel_dask.Index.load(built), walk(64, 30)
    if queried:
        index.query(q)
    damage(built)
    with pytest.raises(ValueError, match=message):
        index.query(q)


def shift_the_second_chunk(text):
    record = json.loads(text)
    record["chunks"][1]["first"] -= 1
    return json.dumps(record)


def one_directory_for_two_chunks(text):
    record = json.loads(text)
    record["chunks"][1]["directory"] = record["chunks"][0]["directory"]
    return json.dumps(record)


@pytest.mark.parametrize(
    "change",
    [
        pytest.param(lambda text: text[:-9], id="truncated"),
        pytest.param(lambda text: text.replace('"version": 1', '"version": 2'), id="other-version"),
        pytest.param(lambda text: text.replace('"windows": 2937', '"windows": 2938'), id="windows-miscounted"),
        pytest.param(shift_the_second_chunk, id="chunks-overlapping"),
        pytest.param(one_directory_for_two_chunks, id="two-chunks-in-one-directory"),
        pytest.param(lambda text: text.replace('"chunk-000001-', '"../chunk-000001-'), id="directory-elsewhere"),
        pytest.param(lambda text: text.replace('"number": 1,', ""), id="number-missing"),
        pytest.param(lambda text: text.replace('"window": 64', '"window": 1'), id="window-of-one"),
        pytest.param(lambda text: text.replace('"window": 64', f'"window": {2**31}'), id="window-beyond-31-bits"),
        pytest.param(lambda text: text.replace('"stride": 1', f'"stride": {2**70}'), id="stride-beyond-64-bits"),
    ],
)
def test_a_damaged_record_of_the_chunks_is_refused(built, change):
    record = built / "index.json"
    record.write_text(change(record.read_text()))
    with pytest.raises(ValueError, match="not a readable morvel_dask.Index"):
        morvel_dask.Index.load(built)


def test_a_chunk_crafted_to_match_its_checksums_is_refused_by_verify(built):
    """Its words reversed, the chunk's checksum and the record's digest of
    its header made to match: only building it again tells."""
    directory = chunk(built, 1)
    header = json.loads((directory / "header.json").read_text())
    words = directory / f"words-{header['generation']}.npy"
    np.save(words, np.load(words)[::-1])
    header["checksums"]["words"] = hashlib.blake2b(words.read_bytes(), digest_size=32).hexdigest()
    (directory / "header.json").write_text(json.dumps(header))
    record = json.loads((built / "index.json").read_text())
    record["chunks"][1]["digest"] = hashlib.sha256((directory / "header.json").read_bytes()).hexdigest()
    (built / "index.json").write_text(json.dumps(record))
    morvel_dask.Index.load(built).query(walk(64, 34))
    with pytest.raises(ValueError, match="chunk 1 .* is damaged: .* its words are not those of its series"):
        morvel_dask.Index.load(built, verify=True)


def test_a_refused_rebuild_leaves_the_index_there_whole(built):
    q = walk(64, 33)
    before = morvel_dask.Index.load(built).query(q, 3)
    with pytest.raises(TypeError):
        morvel_dask.Index(da.from_array(np.array(["1.0"] * 500), chunks=100), 64, path=built)
    assert same(morvel_dask.Index.load(built).query(q, 3), before)


# ---- Misuse and progress ---------------------------------------------------------


def test_arguments_are_refused_as_one_index_refuses_them(cluster, tmp_path):
    series = da.from_array(walk(300, 31), chunks=100)
    for arguments, keywords in [((0,), {}), ((16, 0), {}), ((16,), {"w": 0}), ((400,), {}), ((10**12,), {})]:
        with pytest.raises(ValueError) as expected:
            morvel.Index(walk(300, 31), *arguments, **keywords)
        with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
            morvel_dask.Index(series, *arguments, path=tmp_path, **keywords)
    with pytest.raises(TypeError):
        morvel_dask.Index(walk(300, 31), 16, path=tmp_path)
    index, one = morvel_dask.Index(series, 16, path=tmp_path), morvel.Index(walk(300, 31), 16)
    for q, keywords in [
        (lambda: walk(15, 1), {}),
        (lambda: [1.0] * 16, {}),
        (lambda: walk(16, 1), {"k": 0}),
        (lambda: walk(16, 1), {"exclude": -1}),
        (lambda: walk(16, 1), {"within": math.nan}),
        (lambda: walk(16, 1), {"within": {2.0}}),
        (lambda: np.array([walk(16, 1), walk(16, 2)]), {"within": {2.0, 3.0}}),
        (lambda: [walk(16, 1), (x for x in walk(16, 2))], {}),  # rows, one of them consumed
        (lambda: [(x for x in walk(16, 1))], {}),  # no rows: refused
        (lambda: (x for x in walk(16, 1)), {"k": 2}),
        (lambda: itertools.islice(walk(16, 1), 16), {}),  # not consumed: refused
    ]:
        assert outcome(lambda q=q, k=keywords: index.query(q(), **k)) == outcome(
            lambda q=q, k=keywords: one.query(q(), **k)
        )


def test_progress_is_shown_when_asked(cluster, tmp_path, capsys):
    series = da.from_array(walk(2000, 32), chunks=500)
    index = morvel_dask.Index(series, 32, path=tmp_path, progress=True)
    index.query(np.array([walk(32, 1), walk(32, 2)]), progress=True)
    assert capsys.readouterr().out.count("100% Completed") == 2
