"""No call, successful or failing, keeps memory or references behind."""

import gc
import sys

import numpy as np
import pytest

import morvel

from conftest import SANITIZED

SERIES = [float(i % 7) - 3.0 for i in range(50)]
ARRAY = np.array(SERIES)
WORDS = morvel.sax_array(SERIES, 8, 3, 3, 5)


def rss_bytes():
    with open("/proc/self/statm") as handle:
        resident_pages = int(handle.read().split()[1])
    import resource

    return resident_pages * resource.getpagesize()


def huge():
    return morvel.paa([0.0] * 1000, 1, 1, (1 << 31) - 1)  # refused by the guard


CALLS = [
    (morvel.paa, (SERIES, 8, 3, 4), None),
    (morvel.sax, (SERIES, 8, 3, 4, 9), None),
    (morvel.paa, (ARRAY, 5), None),
    (morvel.sax, (ARRAY[::2], 4, 1, 6), None),
    (morvel.paa, ("abc", 2), TypeError),
    (morvel.sax, (SERIES, 2.5), TypeError),
    (morvel.paa, ([1.0, None], 1), TypeError),
    (morvel.paa, (SERIES, 4, 1, -1), ValueError),
    (morvel.sax, (SERIES, 4, 0), ValueError),
    (morvel.sax, (SERIES, 4, 1, 3, 30), ValueError),
    (huge, (), MemoryError),
    (morvel.paa_array, (ARRAY.astype(np.float32), 8, 3, 4), None),
    (morvel.sax_array, (SERIES, 8, 3, 4, 9), None),
    (morvel.paa_array, (ARRAY, 8, 1, 4, np.empty((43, 3))), ValueError),
    (morvel.mindist, (WORDS, WORDS[0], 16, 5), None),
    (morvel.mindist, (np.array(["abcde", "edcba"]), "abcde", 16, 5), None),
    (morvel.mindist, (WORDS, "abz", 16, 5), ValueError),
]


def call(function, args, error):
    if function is morvel.paa_array and len(args) == 5:  # out= by keyword
        *args, out = args
        function = lambda *args, f=function: f(*args, out=out)  # noqa: E731
    if error is None:
        function(*args)
        return
    try:
        function(*args)
    except error:
        pass
    else:
        raise AssertionError(f"{function.__name__}{args!r} did not raise {error.__name__}")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_resident_memory_stays_flat_over_100000_calls():
    for round_ in range(2000):  # warm-up: caches, free lists, arenas
        call(*CALLS[round_ % len(CALLS)])
    gc.collect()
    before = rss_bytes()
    for round_ in range(100_000):
        call(*CALLS[round_ % len(CALLS)])
    gc.collect()
    growth = rss_bytes() - before
    assert growth <= 1 << 20, f"resident memory grew by {growth / 1024:.0f} KiB"


def test_inputs_keep_their_reference_counts():
    series, array, text, limit = list(SERIES), np.array(SERIES), "abc", 2.5
    watched = (series, array, text, limit)
    before = [sys.getrefcount(value) for value in watched]
    for _ in range(1000):
        call(morvel.paa, (series, 8, 3, 4), None)
        call(morvel.sax, (array, 8, 3, 4, 9), None)
        call(morvel.paa, (text, 2), TypeError)
        call(morvel.sax, (series, limit), TypeError)
        call(morvel.paa, (array, 4, 1, -1), ValueError)
        call(morvel.sax, (series, 4, 1, 3, 30), ValueError)
        call(morvel.paa_array, (array, 8, 3, 4), None)
        call(morvel.sax_array, (series, 8, 3, 4, 9), None)
        call(morvel.mindist, (text, "abc", 4, 4), None)
        call(morvel.mindist, (text, series, 4, 4), TypeError)
    assert [sys.getrefcount(value) for value in watched] == before


def test_results_own_their_objects():
    rows = morvel.paa(SERIES, 8, 3, 4)
    # Held by the outer list and by getrefcount's argument, nothing else.
    assert [sys.getrefcount(rows[i]) for i in range(len(rows))] == [2] * len(rows)
    assert [sys.getrefcount(rows[0][j]) for j in range(4)] == [2] * 4
    assert sys.getrefcount(morvel.sax(SERIES, 8, 3, 4)) == 1
