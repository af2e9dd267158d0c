"""Hypothesis strategies for series and sliding-window arguments."""

import math

from hypothesis import strategies as st

NAN = math.nan
INF = math.inf

finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
extreme = st.sampled_from([NAN, INF, -INF, 1e308, -1e308, 5e-324, -0.0, 1e-7, 2.0**53])
values = st.one_of(finite, finite, finite, st.integers(-1000, 1000).map(float), extreme)


@st.composite
def calls(draw):
    ts = draw(st.lists(values, max_size=40))
    if draw(st.booleans()):
        # A random walk: the usual shape of real input.
        walk, acc = [], draw(finite)
        for step in draw(st.lists(st.floats(-3, 3), max_size=60)):
            acc += step
            walk.append(acc)
        ts = walk
    window = draw(st.integers(-2, len(ts) + 3))
    stride = draw(st.integers(-3, 8))
    w = draw(st.integers(-1, 24))
    return ts, window, stride, w


@st.composite
def antisymmetric_windows(draw):
    """A window that reads the same negated backwards, with an odd w: its
    middle segment mean is (close to) zero and snaps to exactly +0.0."""
    half = draw(st.lists(st.integers(-50, 50).map(float), min_size=1, max_size=12).filter(any))
    window = half + [-x for x in reversed(half)]
    w = draw(st.sampled_from([1, 3, 5, 7, len(window) + 1 - len(window) % 2]))
    return window, w
