"""Sliding-window PAA and SAX over one time series."""

import collections.abc
import typing

def sax(
    ts: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    window: typing.SupportsInt | typing.SupportsIndex,
    stride: typing.SupportsInt | typing.SupportsIndex = 1,
    w: typing.SupportsInt | typing.SupportsIndex = 15,
    alpha: typing.SupportsInt | typing.SupportsIndex = 4,
) -> list[list[str]]:
    """Apply SAX to a single time series.

    One list per window of `window` values, one window every `stride`
    values: each window is z-normalised and cut into `w` segment means, and
    each mean becomes a letter 'a', 'b', ... naming one of `alpha` (0 to 24)
    equiprobable regions of the standard normal distribution.
    """

def paa(
    ts: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    window: typing.SupportsInt | typing.SupportsIndex,
    stride: typing.SupportsInt | typing.SupportsIndex = 1,
    w: typing.SupportsInt | typing.SupportsIndex = 15,
) -> list[list[float]]:
    """Apply PAA to a single time series.

    One list per window of `window` values, one window every `stride`
    values: the `w` segment means of the z-normalised window.
    """
