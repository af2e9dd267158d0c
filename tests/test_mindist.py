"""mindist: the plain-Python model bit for bit, numpy's broadcasting, the
refusals, and the lower bound it promises."""

import math

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import morvel

import reference
from conftest import examples


def letters_of(words):
    return np.array([list(word.encode()) for word in words], dtype=np.uint8).view("S1")


@st.composite
def word_pairs(draw):
    alpha = draw(st.integers(0, 24))
    w = draw(st.integers(0, 20))
    letter = st.integers(0, max(alpha, 1) - 1).map(lambda r: chr(ord("a") + r))
    word = st.lists(letter, min_size=w, max_size=w).map("".join)
    mean = st.one_of(st.floats(-4, 4), st.sampled_from(reference.BREAKPOINTS[alpha] or [0.0]), st.just(math.nan))
    means = st.lists(mean, min_size=w, max_size=w)
    return draw(word), draw(word), draw(means), draw(st.integers(1, (1 << 31) - 1)), alpha


def same(x, y):
    return math.isnan(x) and math.isnan(y) or np.float64(x).tobytes() == np.float64(y).tobytes()


@settings(max_examples=examples(300))
@given(pair=word_pairs())
def test_matches_the_model(pair):
    a, b, means, window, alpha = pair
    assert same(
        morvel.mindist(letters_of([a])[0], letters_of([b])[0], window, alpha), reference.mindist(a, b, window, alpha)
    )
    assert same(morvel.mindist(np.array(means), b, window, alpha), reference.mindist(means, b, window, alpha))


@pytest.mark.parametrize(
    ("a_shape", "b_shape"),
    [((), (300,)), ((300,), ()), ((5, 1), (1, 7)), ((2, 3, 1), (4,)), ((7,), (7,))],
    ids=["one-against-many", "many-against-one", "outer", "three-axes", "pairwise"],
)
@pytest.mark.parametrize("means", [False, True], ids=["letters", "means"])
def test_broadcasts_like_numpy(a_shape, b_shape, means):
    rng = np.random.default_rng(len(a_shape) * 10 + len(b_shape))
    w, alpha, window = 9, 7, 40
    b = rng.integers(0, alpha, (*b_shape, w)).astype(np.uint8) + ord("a")
    if means:
        a = rng.normal(size=(*a_shape, w))
    else:
        a = (rng.integers(0, alpha, (*a_shape, w)).astype(np.uint8) + ord("a")).view("S1")
    got = morvel.mindist(a, b.view("S1"), window, alpha)
    expected_shape = np.broadcast_shapes(a_shape, b_shape)
    assert np.shape(got) == expected_shape
    pairs = np.broadcast_arrays(a[..., 0], b[..., 0])[0].shape
    a_all = np.broadcast_to(a, (*pairs, w)).reshape(-1, w)
    b_all = np.broadcast_to(b, (*pairs, w)).reshape(-1, w)
    expected = [
        reference.mindist(list(x) if means else x.tobytes().decode(), bytes(y).decode(), window, alpha)
        for x, y in zip(a_all, b_all, strict=True)
    ]
    assert np.asarray(got).ravel().tobytes() == np.array(expected).tobytes()


def test_words_and_text_are_letters():
    letters = morvel.sax_array(np.sin(np.arange(400) / 9.0), 64, 8, 16, 8)
    words = letters.view("S16")[:, 0]
    assert np.array_equal(morvel.mindist(letters[0], letters, 64, 8), morvel.mindist(words[0], words, 64, 8))
    text = ["".join(row) for row in morvel.sax(np.sin(np.arange(400) / 9.0), 64, 8, 16, 8)]
    assert np.array_equal(morvel.mindist(text[0], text, 64, 8), morvel.mindist(letters[0], letters, 64, 8))
    assert morvel.mindist(letters[:, :0], letters[:, :0], 64, 8).tolist() == [0.0] * len(letters)


@pytest.mark.parametrize(
    "word",
    [b"ab", "ab", np.bytes_(b"ab"), np.array(b"ab"), np.array("ab"), np.array([b"a", b"b"]), np.array(["a", "b"])],
    ids=["bytes", "str", "numpy-bytes", "0-d-S2", "0-d-U2", "S1", "U1"],
)
def test_every_spelling_of_a_word_is_its_letters(word):
    assert morvel.mindist(word, "ad", 16, 4) == reference.mindist("ab", "ad", 16, 4)
    one = word[:1] if isinstance(word, (bytes, str)) else np.array(word.tolist()[:1] if word.ndim else word.item()[:1])
    assert morvel.mindist(one, "d", 16, 4) == reference.mindist("a", "d", 16, 4)


@pytest.mark.parametrize("kind", ["S0", "U0"])
def test_zero_width_words_have_no_letters(kind):
    # numpy makes zero-width strings only as fields; the bytes beside them are
    # not theirs to read.
    empty = np.frombuffer(b"abd", {"names": ["s"], "formats": [kind], "offsets": [0], "itemsize": 1})["s"]
    assert morvel.mindist(empty, "", 16, 4).tolist() == [0.0, 0.0, 0.0]
    with pytest.raises(ValueError, match="a has 0 letters per word and b 3"):
        morvel.mindist(empty, "abd", 16, 4)


def test_converted_operands_are_read_as_they_lie():
    rng = np.random.default_rng(4)
    letters = (rng.integers(0, 6, (7, 9)).astype(np.uint8) + ord("a")).view("S1")
    means = rng.normal(size=(7, 9)).astype(np.float32)
    spreads = [
        (lambda x: np.broadcast_to(x, (3, 7, 9)), letters[::-1]),
        (lambda x: np.broadcast_to(x[:, None], (7, 4, 9)), letters[::-1, None]),
        (lambda x: x[::2, ::-1], letters[::2]),
    ]
    for a, as_read in [(letters.astype("U1"), letters), (means, means.astype(np.float64))]:
        for spread, b in spreads:
            assert morvel.mindist(spread(a), b, 32, 6).tobytes() == morvel.mindist(spread(as_read), b, 32, 6).tobytes()


@pytest.mark.parametrize(
    ("a", "b"),
    [
        # Broadcast text and means are converted once, not once per word;
        # the distances alone are more than this machine holds.
        pytest.param(lambda: np.broadcast_to(np.array(["abcd"]), (10**10,)), "abcd", id="text-broadcast"),
        pytest.param(lambda: np.broadcast_to(np.zeros(4, np.float32), (10**10, 4)), "abcd", id="float32-broadcast"),
        pytest.param(
            lambda: np.broadcast_to(np.array([b"abcd"]), (2**32, 1)),
            np.broadcast_to(np.array([b"abcd"]), (1, 2**32)),
            id="more-than-64-bits-count",
        ),
    ],
)
def test_memory_is_weighed_before_anything_is_made(a, b):
    with pytest.raises(MemoryError, match="^bad allocation$"):
        morvel.mindist(a(), b, 4, 4)


@pytest.mark.parametrize(
    ("a", "b", "window", "alpha", "error", "text"),
    [
        pytest.param("abc", "abc", 0, 4, ValueError, "window must be positive, not 0", id="window-0"),
        pytest.param("abc", "abc", -8, 4, ValueError, "window must be positive, not -8", id="window-negative"),
        pytest.param("abc", "abc", 8, 25, ValueError, "alpha must be between 0 and 24, not 25", id="alpha"),
        pytest.param("abc", "abcd", 8, 4, ValueError, "a has 3 letters per word and b 4", id="w-mismatch"),
        pytest.param(
            "abc", "abe", 8, 4, ValueError, r"b'e' is not a letter of the alphabet of 4 letters", id="past-alphabet"
        ),
        pytest.param("bbb", "abb", 8, 1, ValueError, "b'b' is not a letter of the alphabet of 1 letters", id="alpha-1"),
        pytest.param(b"\0\0\0", "abc", 8, 4, ValueError, r"b'\\x00'", id="nul-fill"),
        pytest.param(["ab"] * 3, ["ab"] * 2, 8, 4, ValueError, "cannot be broadcast", id="shapes"),
        pytest.param("ab", [0.5, 0.1], 8, 4, TypeError, "b must hold letters", id="b-means"),
        pytest.param([1, 2], "ab", 8, 4, TypeError, "or segment means", id="a-integers"),
    ],
)
def test_refusals(a, b, window, alpha, error, text):
    with pytest.raises(error, match=text):
        morvel.mindist(a, b, window, alpha)


def euclidean(x, y):
    return math.sqrt(
        sum((p - q) * (p - q) for p, q in zip(reference.znormalise(x), reference.znormalise(y), strict=True))
    )


window_values = st.lists(st.floats(-100, 100), min_size=2, max_size=40)


@settings(max_examples=examples(300))
@given(data=st.data(), alpha=st.integers(2, 24))
def test_never_exceeds_the_euclidean_distance(data, alpha):
    """For every w, dividing the window or not: sqrt(window / w) is the
    factor of a mean over a window stretched w times."""
    x = data.draw(window_values)
    y = data.draw(st.lists(st.floats(-100, 100), min_size=len(x), max_size=len(x)))
    assume(max(x) - min(x) > 1e-3 and max(y) - min(y) > 1e-3)
    window, w = len(x), data.draw(st.integers(1, 2 * len(x)))
    means = morvel.paa_array(x, window, 1, w)[0]
    words = morvel.sax_array(np.array([x, y]).ravel(), window, window, w, alpha)
    symbolic = morvel.mindist(words[0], words[1], window, alpha)
    tighter = morvel.mindist(means, words[1], window, alpha)
    # Up to the zero snap: each mean may have moved by 1e-6.
    slack = 2e-6 * math.sqrt(window) + 1e-9 * (1 + euclidean(x, y))
    assert symbolic <= tighter + 1e-12 <= euclidean(x, y) + slack
