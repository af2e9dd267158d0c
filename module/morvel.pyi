"""Sliding-window PAA and SAX over one time series."""

import collections.abc
import typing

# An element of `ts`: anything float() reads (a float or int, a numpy
# scalar, a Decimal or Fraction...).
type _Number = typing.SupportsFloat | typing.SupportsIndex

# A numeric buffer that is no byte string: a numpy array of any numeric
# dtype, or a memory-mapped one. Its `in` takes any object, which a byte
# string's does not.
class _NumericArray(collections.abc.Buffer, typing.Protocol):
    def __len__(self) -> int: ...
    def __contains__(self, value: object, /) -> bool: ...

# What `ts` may be: a list, tuple, range, array.array, bytearray, memoryview
# or other mutable sequence of numbers, a numeric array, or one of the
# iterables that are consumed whole: a generator, a set, a dict's keys or
# values, a map. Never str or bytes, a plain iterator or a dict.
# (The functions are generic in the element type T, since a mutable
# sequence is invariant in it: a list[float] is no list[float | int].)
type _Series[T: _Number] = (
    collections.abc.MutableSequence[T]
    | tuple[T, ...]
    | range
    | memoryview
    | bytearray
    | _NumericArray
    | collections.abc.Generator[T, typing.Any, typing.Any]
    | collections.abc.Set[T]
    | collections.abc.KeysView[T]
    | collections.abc.ValuesView[T]
    | map[T]
)

# The integer arguments take integers (and anything with __index__), never a
# float: 2.0 is refused.
type _Int32 = typing.SupportsIndex

def sax[T: _Number](
    ts: _Series[T],
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

def paa[T: _Number](
    ts: _Series[T],
    window: _Int32,
    stride: _Int32 = 1,
    w: _Int32 = 15,
) -> list[list[float]]:
    """Apply PAA to a single time series.

    One list per window of `window` values, one window every `stride`
    values: the `w` segment means of the z-normalised window.
    """
