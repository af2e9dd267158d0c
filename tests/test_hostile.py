"""Junk arguments end in a result, TypeError, ValueError, MemoryError or the
object's own exception: never a crash or a SystemError."""

import sys

from hypothesis import given, settings
from hypothesis import strategies as st

import morvel

from conftest import examples


class Boom(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise Boom("from __float__")


class FloatWrongType:
    def __float__(self):
        return "1.5"


class IndexRaises:
    def __index__(self):
        raise Boom("from __index__")


class IndexWrongType:
    def __index__(self):
        return 2.5


class IndexHuge:
    def __index__(self):
        return 1 << 200


class LyingLength:
    """A sequence whose length is not what iteration gives."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, index):
        return self.items[index]  # IndexError ends iteration early


class MutatingSequence(list):
    """Shrinks itself while being read."""

    def __getitem__(self, index):
        if len(self) > 1:
            self.pop()
        return list.__getitem__(self, index)

    def __iter__(self):
        for index in range(len(self) + 3):
            if index >= len(self):
                return
            value = list.__getitem__(self, index)
            if len(self) > 2:
                self.pop()
            yield value


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class ListSubclass(list):
    pass


def recursive():
    items = [1.0, 2.0]
    items.append(items)
    return items


elements = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(1 << 70), 1 << 70),
    st.booleans(),
    st.builds(FloatSubclass, st.floats(-1e6, 1e6)),
    st.builds(IntSubclass, st.integers(-100, 100)),
    st.sampled_from(
        [FloatRaises(), FloatWrongType(), IndexRaises(), IndexWrongType(), IndexHuge(), None, "1.0", b"x", [1.0]]
    ),
)

series = st.one_of(
    st.lists(elements, max_size=30),
    st.lists(elements, max_size=30).map(tuple),
    st.lists(elements, max_size=30).map(ListSubclass),
    st.lists(st.floats(-10, 10), max_size=30).map(MutatingSequence),
    st.builds(LyingLength, st.lists(st.floats(-10, 10), max_size=20), st.sampled_from([0, 3, 50, sys.maxsize, -1])),
    st.builds(recursive),
    st.sampled_from(["text", b"bytes", None, 3.5, {1: 2}, iter([1.0, 2.0])]),
)

integers = st.one_of(
    st.integers(-5, 40),
    st.sampled_from([-(1 << 31), (1 << 31) - 1, 1 << 31, 1 << 64, -(1 << 100)]),
    st.sampled_from([IndexRaises(), IndexWrongType(), IndexHuge(), 2.0, "3", None, True]),
    st.builds(IntSubclass, st.integers(-5, 40)),
)

ACCEPTABLE = (TypeError, ValueError, MemoryError, OverflowError, Boom, IndexError)


@settings(max_examples=examples(500), deadline=None)
@given(series, integers, integers, integers, integers)
def test_junk_never_crashes(ts, window, stride, w, alpha):
    calls = (
        lambda: morvel.paa(ts, window, stride, w),
        lambda: morvel.sax(ts, window, stride, w, alpha),
        lambda: morvel.paa_array(ts, window, stride, w),
        lambda: morvel.sax_array(ts, window, stride, w, alpha),
    )
    for call in calls:
        # Anything else, a SystemError included, fails the test.
        try:
            call()
        except ACCEPTABLE:
            pass
