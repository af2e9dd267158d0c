"""morvel_dask.paa_array and sax_array over a dask array equal one call over
the whole series, bit for bit (or refuse as it refuses), whatever the chunks:
smaller than a window, holding no window start, of no values at all, or
one chunk for everything."""

import math
import pickle

import numpy as np
import pytest

import morvel

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
morvel_dask = pytest.importorskip("morvel_dask")

RNG = np.random.default_rng(20261209)


def uneven(length, seed):
    """Random chunk sizes that add up to length, some of them 0."""
    rng = np.random.default_rng(seed)
    sizes = []
    while sum(sizes) < length:
        sizes.append(int(min(rng.integers(0, 90), length - sum(sizes))))
    return tuple(sizes) or (0,)


def cases():
    """(series, chunks, window, stride, w, alpha): lengths around a window
    and far beyond it, chunks from 1 value to the whole series, strides
    beyond a chunk, and calls whose count is not the plain one."""
    walk = np.cumsum(RNG.standard_normal(700))
    odd = walk.copy()
    odd[[3, 40, 41, 300]] = [math.nan, math.inf, -math.inf, math.nan]
    odd[100:180] = 2.0  # flat windows
    shapes = [(16, 1, 4, 3), (33, 11, 5, 5), (10, 30, 25, 9), (64, 3, 8, 4), (7, 200, 7, 24)]
    for length in (16, 17, 33, 64, 100, 401):
        for window, stride, w, alpha in shapes:
            smallest = 1 if length < 40 else 5  # chunks of one value, on short series only: many tasks
            for chunks in (smallest, window - 1, window, window + 1, 97, length, uneven(length, length + window)):
                if chunks and window <= length:
                    yield walk[:length], chunks, window, stride, w, alpha
    masked = np.ma.masked_array(walk, mask=np.arange(700) % 97 == 5)
    for series in (odd, odd.astype(np.float32), (walk * 100).astype(np.int16), walk > 0, masked):
        yield series, 61, 16, 1, 4, 4
    yield walk[:20], 3, 33, 1, 4, 4  # a window beyond the series: refused
    yield walk[:5], 2, 7, 2, 3, 4  # the count wraps to 0: no rows
    yield walk[:5], 2, 7, 1, 3, 4  # a negative count: refused
    yield walk[:50], 7, 0, 3, 4, 4  # window 0: rows of zeros
    yield walk[:50], 7, 16, -1, 4, 4  # a negative stride: the window at 0
    yield walk[:50], 7, 16, 1, 0, 4  # w 0: empty rows
    yield walk[:50], 7, 16, 0, 4, 4  # stride 0: refused
    yield walk[:50], 7, 16, 1, 4, 99  # alpha beyond the alphabets: refused
    yield walk[:50], 7, 16, 1, 2**31, 4  # w beyond 32 bits: refused
    yield walk[:50], 7, 16.0, 1, 4, 4  # a float window: refused


def outcome(call):
    try:
        rows = call()
        return rows.dtype.str, rows.shape, rows.tobytes()
    except Exception as error:
        return refusal(error)


def refusal(error):
    """The type and the text, without the arguments a TypeError repeats."""
    return type(error), str(error).split("Invoked with:")[0]


@pytest.mark.parametrize("name", ["paa_array", "sax_array"])
def test_the_chunks_give_what_one_call_gives(cluster, name):
    """Computed together, in one pass of the cluster; refusals one by one."""
    one, chunked = getattr(morvel, name), getattr(morvel_dask, name)
    expected, lazy, refused = [], [], []
    for series, chunks, window, stride, w, alpha in cases():
        arguments = (window, stride, w, alpha)[: 4 if name == "sax_array" else 3]
        expected.append(outcome(lambda s=series, a=arguments: one(s, *a)))
        try:
            lazy.append(chunked(da.from_array(series, chunks=chunks), *arguments))
        except Exception as error:  # refused before anything is computed
            lazy.append(error)
        refused.append(isinstance(expected[-1][0], type))
    computed = iter(dask.compute(*[rows for rows, no in zip(lazy, refused, strict=True) if not no]))
    got = []
    for rows, no in zip(lazy, refused, strict=True):
        if isinstance(rows, Exception):
            got.append(refusal(rows))
        else:
            got.append(outcome(rows.compute if no else lambda: next(computed)))
    assert got == expected
    assert len(got) > 180 and 0 < sum(refused) < 12


def test_a_series_is_read_where_it_lies(cluster, tmp_path):
    """from_npy: each block mapped by the worker that reads it."""
    series = np.cumsum(RNG.standard_normal(5000)).astype(np.float32)
    np.save(tmp_path / "series.npy", series)
    mapped = morvel_dask.from_npy(tmp_path / "series.npy", chunks=999)
    graph = pickle.dumps(dict(mapped.__dask_graph__()))
    assert len(graph) < series.nbytes // 4  # the graph holds a path, not values
    rows = morvel_dask.sax_array(mapped, 128, 8, 16, 6)
    assert rows.compute().tobytes() == morvel.sax_array(series, 128, 8, 16, 6).tobytes()
    starts = [len(range(s, min(s + 999, 5000 - 127), 8)) for s in range(0, 5000, 999)]
    assert rows.chunks[0] == tuple(count for count in starts if count)  # rows by the chunk they start in


@pytest.mark.parametrize(
    ("ts", "refusal"),
    [
        pytest.param(lambda: np.arange(10.0), TypeError, id="not-a-dask-array"),
        pytest.param(lambda: da.ones((10, 2)), TypeError, id="two-dimensional"),
        pytest.param(lambda: da.ones(10)[da.ones(10) > 0], ValueError, id="unknown-chunks"),
    ],
)
def test_what_is_not_a_dask_series_is_refused(ts, refusal):
    with pytest.raises(refusal):
        morvel_dask.paa_array(ts(), 4)
