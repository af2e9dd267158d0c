import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel

import reference
from conftest import exact, examples
from strategies import calls, finite

NAN = math.nan
INF = math.inf


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        pytest.param(
            ([1, 2, 3, 4, 5, 6], 4, 2, 2), [[-0.8944271909999159, 0.894427190999916]] * 2, id="stretched-sums"
        ),
        pytest.param(
            ([1, 2, 5], 3, 1, 3),
            [[-0.98058067569092, -0.39223227027636803, 1.3728129459672882]],
            id="divide-not-reciprocal",
        ),
        pytest.param(([1, 2, 3, 4, 5], 5, 1, 3), [[-1.131370849898476, 0.0, 1.131370849898476]], id="middle-snapped"),
        pytest.param(([0.1, 0.1, 0.1], 3, 1, 2), [[-1.0, -1.0]], id="point-one-triplet"),
        pytest.param(([5.0] * 4, 4, 1, 2), [[NAN, NAN]], id="constant-window"),
        pytest.param(([1, 2, 3], 1, 1, 2), [[NAN, NAN]] * 3, id="window-1"),
        pytest.param(([1, 2, 3, 4], 2, 1, 5), [[-1.0, -1.0, 0.0, 1.0, 1.0]] * 3, id="upsampled"),
        pytest.param(([1, 2, 3, 4, 5, 6], 4, 3, 2), [[-0.8944271909999159, 0.894427190999916]], id="stride-past-end"),
        pytest.param(([1, 2, 3, 4, 5, 6], 4, -2, 2), [[-0.8944271909999159, 0.894427190999916]], id="negative-stride"),
        pytest.param(([1, 2, 3], 4, 1, 2), [], id="count-wraps-to-zero"),
        pytest.param(([1, 2, 3, 4, 5], 7, 2, 2), [], id="count-wraps-2-pow-63"),
        pytest.param(([1, 2, 3], 2, 1, 0), [[], []], id="w-0"),
        pytest.param(([], 0), [[0.0] * 15], id="empty-window-0"),
        pytest.param(([1, 2, 3, 4], 0, 2, 2), [[0.0, 0.0]] * 3, id="window-0-keeps-fill"),
        pytest.param(([1, 2, INF, 4], 4, 1, 2), [[NAN, NAN]], id="infinity"),
        pytest.param(([1, NAN, 3, 4, 5], 2, 1, 1), [[NAN], [NAN], [0.0], [0.0]], id="nan-window"),
    ],
)
def test_worked_examples(args, expected):
    assert exact(morvel.paa(*args)) == exact(expected)
    assert exact(reference.paa(*args)) == exact(expected)


def test_defaults_are_stride_1_and_w_15():
    ts = [float(i * i % 7) for i in range(40)]
    assert exact(morvel.paa(ts, 20)) == exact(morvel.paa(ts, 20, 1, 15))
    assert [len(row) for row in morvel.paa(ts, 20)] == [15] * 21


def test_snapped_means_are_positive_zero():
    (row,) = morvel.paa([1, 2, 3, 4, 5], 5, w=3)
    assert math.copysign(1.0, row[1]) == 1.0


@settings(max_examples=examples(600), deadline=None)
@given(calls())
def test_matches_reference_bit_for_bit(call):
    try:
        expected = reference.paa(*call)
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            morvel.paa(*call)
        if str(error) == "vector too long":
            assert str(raised.value) == "vector too long"
        return
    assert exact(morvel.paa(*call)) == exact(expected)


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(finite, min_size=1, max_size=30), st.integers(31, 70))
def test_more_segments_than_values(ts, w):
    assert exact(morvel.paa(ts, len(ts), 1, w)) == exact(reference.paa(ts, len(ts), 1, w))
