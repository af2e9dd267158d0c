"""A plain-Python model of morvel, written for clarity, not speed.

Python floats are IEEE doubles and every operation below is rounded on its
own, in the order the module performs it, so the model's results must match
the module's bit for bit.
"""

import math

ZERO_SNAP_THRESHOLD = 1e-6
MASK64 = (1 << 64) - 1


def divide(numerator, denominator):
    """IEEE division: Python raises where C gives NaN or an infinity."""
    if denominator != 0.0:
        return numerator / denominator
    if numerator == 0.0 or math.isnan(numerator):
        return math.nan
    negative = (numerator < 0) != (math.copysign(1.0, denominator) < 0)
    return -math.inf if negative else math.inf


def window_count(length, window, stride):
    span = window & MASK64
    step = stride & MASK64
    count = (((length - span) & MASK64) // step + 1) & MASK64
    low = count & 0xFFFFFFFF
    return low - (1 << 32) if low >= 1 << 31 else low


def within_domain(length, window, stride):
    if stride == 0:
        return False
    return not (window > length and window_count(length, window, stride) > 0)


def paa_segments(values, n, w):
    """The stretched-sequence block means, with the same counters."""
    means = []
    total = n * w
    if total < 1:
        return means
    acc, k, rep, pos = 0.0, 0, 0, 0
    for _ in range(total):
        acc += values[k]
        rep = (rep + 1) % w
        if rep == 0:
            k += 1
        pos = (pos + 1) % n
        if pos == 0:
            mean = divide(acc, float(n))
            if abs(mean) < ZERO_SNAP_THRESHOLD:
                mean = 0.0
            means.append(mean)
            acc = 0.0
    return means


def znormalise(values):
    n = float(len(values))
    acc = 0.0
    for value in values:
        acc += value
    mean = divide(acc, n)
    squares = 0.0
    for value in values:
        deviation = value - mean
        squares += deviation * deviation
    sd = math.sqrt(divide(squares, n))
    return [divide(value - mean, sd) for value in values]


def sliding(ts, window, stride, w, fill, blank):
    """The window loop; raises what the module raises, in the same order."""
    if not within_domain(len(ts), window, stride):
        raise ValueError("outside the domain")
    if w < 0:
        raise ValueError("vector too long")
    count = window_count(len(ts), window, stride)
    if count < 0 or window < 0:
        raise ValueError("vector too long")
    rows = []
    for i in range(count):
        start = stride * i
        normalised = znormalise(ts[start : start + window])
        row = [blank] * w
        for index, mean in enumerate(paa_segments(normalised, window, w)):
            row[index] = fill(mean)
        rows.append(row)
    return rows


def paa(ts, window, stride=1, w=15):
    return sliding([float(x) for x in ts], window, stride, w, lambda m: m, 0.0)
