import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel

import reference
from conftest import examples
from strategies import antisymmetric_windows, calls


@pytest.mark.parametrize(
    ("alpha", "word"),
    [(0, "aaaaaa"), (1, "aaaaaa"), (2, "aaabbb"), (3, "aabbcc"), (24, "bejotw")],
    ids=lambda value: str(value),
)
def test_increasing_window_words(alpha, word):
    assert morvel.sax([1, 2, 3, 4, 5, 6], 6, 1, 6, alpha) == [list(word)]
    assert reference.sax([1, 2, 3, 4, 5, 6], 6, 1, 6, alpha) == [list(word)]


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        pytest.param(([1, 2, 3, 4], 4, 1, 2, 4), [["a", "d"]], id="worked-example"),
        pytest.param(([], 0), [["\0"] * 15], id="empty-window-keeps-nul-fill"),
        pytest.param(([], 0, 1, 3), [["\0"] * 3], id="empty-window-w-3"),
        pytest.param(([2, 2, 2, 2], 4, 1, 2), [["d", "d"]], id="constant-window-nan-last-letter"),
        pytest.param(([2, 2, 2, 2], 4, 1, 2, 24), [["x", "x"]], id="nan-alpha-24"),
        pytest.param(([2, 2, 2, 2], 4, 1, 2, 1), [["a", "a"]], id="nan-alpha-1"),
        pytest.param(([1, 2, 3], 1, 1, 2), [["d", "d"]] * 3, id="window-1"),
        pytest.param(([0.1, 0.1, 0.1], 3, 1, 3), [["a"] * 3], id="point-one-triplet"),
        pytest.param(([1, 2, 3, 4, 5], 5, 1, 3, 4), [["a", "c", "d"]], id="snapped-zero-takes-higher"),
        pytest.param(([1, 2, 3, 4, 5], 5, 1, 3, 2), [["a", "b", "b"]], id="snapped-zero-alpha-2"),
        pytest.param(([1, 2, 3, 4, 5], 5, 1, 3, 3), [["a", "b", "c"]], id="zero-odd-alphabet"),
        pytest.param(([1, 2, math.inf, 4], 4, 1, 2), [["d", "d"]], id="infinity-gives-nan"),
        pytest.param(([1, 2, 3], 2, 1, 0), [[], []], id="w-0"),
    ],
)
def test_worked_examples(args, expected):
    assert morvel.sax(*args) == expected
    assert reference.sax(*args) == expected


def test_defaults_are_stride_1_w_15_alpha_4():
    ts = [math.sin(i / 3) + i / 50 for i in range(60)]
    rows = morvel.sax(ts, 30)
    assert rows == morvel.sax(ts, 30, 1, 15, 4)
    assert len(rows) == 31 and all(len(row) == 15 for row in rows)
    assert {letter for row in rows for letter in row} <= set("abcd")


def test_letters_are_shared_one_character_strings():
    rows = morvel.sax([3, 1, 4, 1, 5, 9, 2, 6], 4, 1, 4, 24)
    assert all(type(letter) is str and len(letter) == 1 for row in rows for letter in row)
    assert all(letter is chr(ord(letter)) for row in rows for letter in row)


@settings(max_examples=examples(400), deadline=None)
@given(calls(), st.integers(0, 24))
def test_matches_reference_letters(call, alpha):
    try:
        expected = reference.sax(*call, alpha)
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            morvel.sax(*call, alpha)
        if str(error) == "vector too long":
            assert str(raised.value) == "vector too long"
        return
    assert morvel.sax(*call, alpha) == expected


@settings(max_examples=examples(200), deadline=None)
@given(antisymmetric_windows(), st.sampled_from([2, 4, 6, 10, 24]))
def test_snapped_zero_means_take_the_letter_above_the_middle(case, alpha):
    window, w = case
    (means,) = morvel.paa(window, len(window), 1, w)
    (letters,) = morvel.sax(window, len(window), 1, w, alpha)
    assert means[w // 2] == 0.0
    assert letters[w // 2] == chr(ord("a") + alpha // 2)
    assert letters == reference.sax(window, len(window), 1, w, alpha)[0]


def test_letters_agree_with_paa_means():
    ts = [math.sin(i * 0.7) * 10 + (i % 5) for i in range(200)]
    for alpha in range(25):
        means = morvel.paa(ts, 24, 3, 8)
        letters = morvel.sax(ts, 24, 3, 8, alpha)
        assert letters == [[reference.letter(m, alpha) for m in row] for row in means]


@pytest.mark.parametrize(
    ("kwargs", "outcome"),
    [
        pytest.param({"alpha": 25}, (ValueError, "alpha must be between 0 and 24, not 25"), id="alpha-25"),
        pytest.param({"alpha": -1}, (ValueError, "alpha must be between 0 and 24, not -1"), id="alpha-negative"),
        # Refused up front even where no letter would be looked up.
        pytest.param(
            {"alpha": 99, "w": 0}, (ValueError, "alpha must be between 0 and 24, not 99"), id="alpha-with-w-0"
        ),
        pytest.param({"alpha": 4.0}, (TypeError, "incompatible function arguments"), id="alpha-float"),
        pytest.param({"alpha": 1 << 31}, (TypeError, "incompatible function arguments"), id="alpha-above-int32"),
        pytest.param({"stride": 0}, (ValueError, "stride must not be 0"), id="stride-0"),
        pytest.param({"w": -1}, (ValueError, "vector too long"), id="w-negative"),
        pytest.param(
            {"window": 9, "stride": 3}, (ValueError, "window (9) is longer than the series (4 values)"), id="past-end"
        ),
    ],
)
def test_refusals(kwargs, outcome):
    arguments = {"ts": [1.0, 2.0, 3.0, 4.0], "window": 2} | kwargs
    kind, text = outcome
    with pytest.raises(kind) as raised:
        morvel.sax(**arguments)
    assert text in str(raised.value)
