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


def as_double(element):
    """An element as the module reads it: a float (or float subclass) by its
    own value, so that a float subclass that overrides __float__ is not asked;
    anything else through float(), except text, which float() would parse
    but the module refuses."""
    if isinstance(element, float):
        return float.__float__(element)
    if isinstance(element, (str, bytes, bytearray)):
        raise TypeError("text is not a number")
    return float(element)


def paa(ts, window, stride=1, w=15):
    return sliding([as_double(x) for x in ts], window, stride, w, lambda m: m, 0.0)


# The breakpoint table, transcribed independently of the module's source.
# fmt: off
BREAKPOINTS = [
    [],
    [],
    [0.0],
    [-0.43072729929545756, 0.43072729929545744],
    [-0.6744897501960817, 0.0, 0.6744897501960817],
    [-0.8416212335729142, -0.2533471031357997, 0.2533471031357997, 0.8416212335729143],
    [-0.967421566101701, -0.43072729929545756, 0.0, 0.43072729929545744, 0.967421566101701],
    [-1.0675705238781414, -0.5659488219328631, -0.1800123697927051, 0.18001236979270496, 0.5659488219328631, 1.0675705238781412],
    [-1.1503493803760079, -0.6744897501960817, -0.31863936396437514, 0.0, 0.31863936396437514, 0.6744897501960817, 1.1503493803760079],
    [-1.22064034884735, -0.7647096737863871, -0.43072729929545756, -0.13971029888186212, 0.13971029888186212, 0.43072729929545744, 0.7647096737863871, 1.2206403488473496],
    [-1.2815515655446004, -0.8416212335729142, -0.5244005127080409, -0.2533471031357997, 0.0, 0.2533471031357997, 0.5244005127080407, 0.8416212335729143, 1.2815515655446004],
    [-1.335177736118937, -0.9084578685373851, -0.6045853465832371, -0.3487556955170447, -0.11418529432142838, 0.11418529432142824, 0.3487556955170447, 0.6045853465832371, 0.9084578685373853, 1.3351777361189363],
    [-1.382994127100638, -0.967421566101701, -0.6744897501960817, -0.43072729929545756, -0.2104283942479247, 0.0, 0.21042839424792484, 0.43072729929545744, 0.6744897501960817, 0.967421566101701, 1.382994127100638],
    [-1.4260768722728474, -1.0200762327862014, -0.7363159173761294, -0.5024022233733555, -0.29338123212119327, -0.09655861528963908, 0.09655861528963908, 0.29338123212119344, 0.5024022233733555, 0.7363159173761297, 1.0200762327862014, 1.4260768722728474],
    [-1.465233792685523, -1.0675705238781414, -0.7916386077433746, -0.5659488219328631, -0.36610635680056963, -0.1800123697927051, 0.0, 0.18001236979270496, 0.3661063568005698, 0.5659488219328631, 0.7916386077433746, 1.0675705238781412, 1.465233792685523],
    [-1.501085946044025, -1.1107716166367854, -0.8416212335729142, -0.6229257232100878, -0.43072729929545756, -0.2533471031357997, -0.08365173390712909, 0.08365173390712909, 0.2533471031357997, 0.43072729929545744, 0.6229257232100877, 0.8416212335729143, 1.1107716166367854, 1.501085946044025],
    [-1.5341205443525463, -1.1503493803760079, -0.887146559018876, -0.6744897501960817, -0.4887764111146695, -0.31863936396437514, -0.1573106846101707, 0.0, 0.1573106846101707, 0.31863936396437514, 0.4887764111146695, 0.6744897501960817, 0.887146559018876, 1.1503493803760079, 1.5341205443525463],
    [-1.5647264713617988, -1.1868314327558185, -0.9288994916472707, -0.7215222839823433, -0.5413950851290877, -0.37739194382855384, -0.2230078309403668, -0.07379127380827269, 0.07379127380827269, 0.2230078309403668, 0.37739194382855396, 0.541395085129088, 0.7215222839823432, 0.9288994916472707, 1.1868314327558185, 1.5647264713617985],
    [-1.5932188180230507, -1.22064034884735, -0.967421566101701, -0.7647096737863871, -0.5894557978497783, -0.43072729929545756, -0.28221614706250814, -0.13971029888186212, 0.0, 0.13971029888186212, 0.28221614706250825, 0.43072729929545744, 0.5894557978497783, 0.7647096737863871, 0.967421566101701, 1.2206403488473496, 1.59321881802305],
    [-1.6198562586382699, -1.2521195202652196, -1.0031479676625337, -0.8045963803603002, -0.6336400007797011, -0.4795056533309502, -0.33603814037182317, -0.199201324789267, -0.06601181237584074, 0.0660118123758406, 0.199201324789267, 0.33603814037182306, 0.4795056533309502, 0.633640000779701, 0.8045963803603002, 1.0031479676625337, 1.2521195202652196, 1.6198562586382697],
    [-1.6448536269514729, -1.2815515655446004, -1.0364333894937898, -0.8416212335729142, -0.6744897501960817, -0.5244005127080409, -0.38532046640756773, -0.2533471031357997, -0.12566134685507402, 0.0, 0.12566134685507416, 0.2533471031357997, 0.38532046640756773, 0.5244005127080407, 0.6744897501960817, 0.8416212335729143, 1.0364333894937898, 1.2815515655446004, 1.6448536269514722],
    [-1.6683911939470795, -1.309171716785777, -1.0675705238781414, -0.8761428492468408, -0.712443032389489, -0.5659488219328631, -0.43072729929545756, -0.30298044805620655, -0.1800123697927051, -0.05971709978532289, 0.05971709978532289, 0.18001236979270496, 0.30298044805620655, 0.43072729929545744, 0.5659488219328631, 0.7124430323894889, 0.8761428492468408, 1.0675705238781412, 1.309171716785777, 1.668391193947079],
    [-1.6906216295848977, -1.335177736118937, -1.0968035620935135, -0.9084578685373851, -0.7478585947633022, -0.6045853465832371, -0.4727891209922674, -0.3487556955170447, -0.22988411757923205, -0.11418529432142838, 0.0, 0.11418529432142824, 0.2298841175792322, 0.3487556955170447, 0.4727891209922672, 0.6045853465832371, 0.7478585947633022, 0.9084578685373853, 1.0968035620935135, 1.3351777361189363, 1.6906216295848986],
    [-1.7116753065097285, -1.3597373839386062, -1.1243382315686392, -0.9388143168769032, -0.7810338115227088, -0.6406668899191049, -0.5119362138713294, -0.39119625818947174, -0.2759210631079599, -0.164210777079331, -0.05451891484810106, 0.05451891484810106, 0.16421077707933085, 0.27592106310796005, 0.39119625818947174, 0.5119362138713294, 0.6406668899191048, 0.7810338115227088, 0.9388143168769032, 1.1243382315686385, 1.3597373839386055, 1.7116753065097288],
    [-1.731664396122245, -1.382994127100638, -1.1503493803760079, -0.967421566101701, -0.8122178014999129, -0.6744897501960817, -0.5485222826980979, -0.43072729929545756, -0.31863936396437514, -0.2104283942479247, -0.1046334556140754, 0.0, 0.10463345561407526, 0.21042839424792484, 0.31863936396437514, 0.43072729929545744, 0.5485222826980981, 0.6744897501960817, 0.8122178014999129, 0.967421566101701, 1.1503493803760079, 1.382994127100638, 1.7316643961222453],
]
# fmt: on


def letter(mean, alpha):
    """'a' plus the number of breakpoints not greater than the mean."""
    return chr(ord("a") + sum(1 for cut in BREAKPOINTS[alpha] if not cut > mean))


def sax(ts, window, stride=1, w=15, alpha=4):
    if not 0 <= alpha <= 24:
        raise ValueError("alpha outside 0 ... 24")
    return sliding([as_double(x) for x in ts], window, stride, w, lambda m: letter(m, alpha), "\0")


def mindist_cell(r, c, alpha):
    """Squared-to-be cell between two regions (letter numbers)."""
    if abs(r - c) <= 1:
        return 0.0
    cuts = BREAKPOINTS[alpha]
    return cuts[max(r, c) - 1] - cuts[min(r, c)]


def mindist_mean_cell(mean, c, alpha):
    """Between a segment mean and the region [cuts[c - 1], cuts[c]) of a letter."""
    if math.isnan(mean):
        return math.nan
    cuts = [-math.inf, *BREAKPOINTS[alpha], math.inf]
    low, high = cuts[c], cuts[c + 1]
    if mean < low:
        return low - mean
    if mean > high:
        return mean - high
    return 0.0


def mindist(a, b, window, alpha):
    """a: letters or segment means; b: letters (one-character strings)."""
    letters = max(alpha, 1)
    regions = [ord(x) - ord("a") for x in b]
    if not all(0 <= c < letters for c in regions):
        raise ValueError("not a letter of the alphabet")
    if not a:
        return 0.0
    total = 0.0
    for x, c in zip(a, regions, strict=True):
        if isinstance(x, float):
            cell = mindist_mean_cell(x, c, alpha)
        else:
            if not 0 <= ord(x) - ord("a") < letters:
                raise ValueError("not a letter of the alphabet")
            cell = mindist_cell(ord(x) - ord("a"), c, alpha)
        total += cell * cell
    return math.sqrt(window / len(a)) * math.sqrt(total)


def window_distance(q, x):
    """The index's distance: both z-normalised, the squared differences
    added in order from 0.0, the square root; NaN for a window whose
    z-normalised values are not all finite."""
    zq, zx = znormalise(q), znormalise(x)
    if not all(math.isfinite(v) for v in zx):
        return math.nan
    acc = 0.0
    for a, b in zip(zq, zx, strict=True):
        d = a - b
        acc += d * d
    return math.sqrt(acc)


def nearest(ts, window, stride, q, k, exclude, within=None):
    """The k nearest windows, greedily outside the zones of those before:
    every window's distance, sorted by distance (NaN last) then start; with
    `within`, only those at most that far."""
    starts = range(0, len(ts) - window + 1, stride)
    found = [(window_distance(q, ts[s : s + window]), s) for s in starts]
    places = min(k, len(found))
    if within is not None:
        found = [(d, s) for d, s in found if d <= within]
    found.sort(key=lambda pair: (math.isnan(pair[0]), 0.0 if math.isnan(pair[0]) else pair[0], pair[1]))
    chosen = []
    for distance, start in found:
        if len(chosen) == places:
            break
        if all(abs(start - other) > exclude for _, other in chosen):
            chosen.append((distance, start))
    chosen += [(math.nan, -1)] * (places - len(chosen))
    return [d for d, _ in chosen], [s for _, s in chosen]


def self_join(ts, window, stride):
    """The windows' starts and every pair's distance (distances[i][j], i as
    the query), None for a pair with a window without shape."""
    starts = list(range(0, len(ts) - window + 1, stride))
    windows = [ts[s : s + window] for s in starts]
    shaped = [all(math.isfinite(v) for v in znormalise(x)) for x in windows]
    distances = [
        [window_distance(windows[i], windows[j]) if shaped[i] and shaped[j] else None for j in range(len(starts))]
        for i in range(len(starts))
    ]
    return starts, distances


def matrix_profile(starts, distances, exclude):
    """Each window's nearest window more than `exclude` away, ties to the
    lower start: (distance, start); NaN, -1 without shape; inf, -1 alone."""
    profile = []
    for i, row in enumerate(distances):
        if row[i] is None:
            profile.append((math.nan, -1))
            continue
        best = (math.inf, -1)
        for j, d in enumerate(row):
            if d is not None and abs(starts[j] - starts[i]) > exclude and d < best[0]:
                best = (d, starts[j])
        profile.append(best)
    return profile


def discords(starts, distances, k, exclude):
    """The k largest profile values, chosen greedily outside each other's
    zones, ties to the lower start: (distance, start, neighbour) each."""
    profile = matrix_profile(starts, distances, exclude)
    ranked = sorted(
        ((d, s, n) for (d, n), s in zip(profile, starts, strict=True) if math.isfinite(d)),
        key=lambda one: (-one[0], one[1]),
    )
    chosen = []
    for one in ranked:
        if len(chosen) < min(k, len(starts)) and all(abs(one[1] - c[1]) > exclude for c in chosen):
            chosen.append(one)
    return chosen + [(math.nan, -1, -1)] * (min(k, len(starts)) - len(chosen))


def motifs(starts, distances, k, exclude):
    """The k nearest pairs more than `exclude` apart, greedily: each pair's
    both starts more than `exclude` from every start chosen before; ties to
    the lower pair: (distance, lower start, higher start) each."""
    pairs = sorted(
        (distances[i][j], starts[i], starts[j])
        for i in range(len(starts))
        for j in range(i + 1, len(starts))
        if distances[i][j] is not None and starts[j] - starts[i] > exclude
    )
    chosen, taken = [], []
    for d, a, b in pairs:
        if len(chosen) == min(k, len(starts)):
            break
        if all(abs(a - t) > exclude and abs(b - t) > exclude for t in taken):
            chosen.append((d, a, b))
            taken += [a, b]
    return chosen + [(math.nan, -1, -1)] * (min(k, len(starts)) - len(chosen))


def checksum(data):
    """The 64-bit checksum of an index's files, as hexadecimal text."""
    p1, p2 = 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F

    def rotate(v, r):
        return ((v << r) | (v >> (64 - r))) & MASK64

    lanes = [p1, p2, ~p1 & MASK64, ~p2 & MASK64]
    whole = len(data) // 32 * 32
    for at in range(0, whole, 32):
        for lane in range(4):
            v = int.from_bytes(data[at + 8 * lane : at + 8 * lane + 8], "little")
            lanes[lane] = rotate((lanes[lane] + v * p2) & MASK64, 31) * p1 & MASK64
    value = len(data) * p1 & MASK64
    for lane in lanes:
        value = (rotate(value ^ (lane * p2 & MASK64), 27) * p1 + p2) & MASK64
    for byte in data[whole:]:
        value = rotate(value ^ (byte * p1 & MASK64), 11) * p2 & MASK64
    value ^= value >> 33
    value = value * p2 & MASK64
    value ^= value >> 29
    return f"{value:016x}"
