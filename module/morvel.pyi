"""Sliding-window PAA and SAX over one time series."""

import collections.abc
import typing

# An element of `ts`: anything float() reads (a float or int, a numpy
# scalar, a Decimal or Fraction...).
type _Number = typing.SupportsFloat | typing.SupportsIndex

# What `ts` may be: a sequence of numbers (other than text), a numeric buffer
# such as a numpy array, array.array or memoryview, or one of the iterables
# that are consumed whole: a generator, a set, a dict's keys or values, a map.
type _Series = (
    collections.abc.Sequence[_Number]
    | collections.abc.Buffer
    | collections.abc.Generator[_Number, typing.Any, typing.Any]
    | collections.abc.Set[_Number]
    | collections.abc.KeysView[_Number]
    | collections.abc.ValuesView[_Number]
    | map[_Number]
)

# The integer arguments take integers (and anything with __index__), never a
# float: 2.0 is refused.
type _Int32 = typing.SupportsIndex

def sax(
    ts: _Series,
    window: _Int32,
    stride: _Int32 = 1,
    w: _Int32 = 15,
    alpha: _Int32 = 4,
) -> list[list[str]]:
    """Apply SAX to a single time series.

    One list per window of `window` values, one window every `stride`
    values: each window is z-normalised and cut into `w` segment means, and
    each mean becomes a letter 'a', 'b', ... naming one of `alpha` (0 to 24)
    equiprobable regions of the standard normal distribution.
    """

def paa(
    ts: _Series,
    window: _Int32,
    stride: _Int32 = 1,
    w: _Int32 = 15,
) -> list[list[float]]:
    """Apply PAA to a single time series.

    One list per window of `window` values, one window every `stride`
    values: the `w` segment means of the z-normalised window.
    """
