"""Calls from many threads agree with one thread, and input mutated by
another thread ends in a result or an exception, never a crash."""

import array
import sys
import threading
import time

import numpy as np

import morvel

from conftest import exact

WALK = np.cumsum(np.random.default_rng(5).standard_normal(3000))
SHARED_LIST = WALK.tolist()
LETTERS = morvel.sax_array(WALK, 128, 1, 16, 8)


def work(index):
    window = 16 + index % 40
    return (
        exact(morvel.paa(SHARED_LIST, window, 1 + index % 3, 1 + index % 17)),
        morvel.sax(WALK, window, 2, 8, index % 25),
        # Without the GIL: read in place, and widened from a strided view.
        morvel.paa_array(WALK, window, 1 + index % 5, 1 + index % 13).tobytes(),
        morvel.sax_array(WALK[::2], window // 2, 1, 6, index % 25).tobytes(),
        morvel.mindist(LETTERS[index], LETTERS, 128, 8).tobytes(),
    )


# Every kind of buffer the array functions read without the GIL, and the
# kinds they convert first.
SHARED_INPUTS = {
    "list": WALK[:600].tolist(),
    "tuple": tuple(WALK[:600]),
    "range": range(-300, 300),
    "float64": WALK[:600],
    "float32": WALK[:600].astype(np.float32),
    "big-endian": WALK[:600].astype(">f8"),
    "strided": WALK[:1200:2],
    "array-d": array.array("d", WALK[:600]),
    "memoryview-f": memoryview(array.array("f", WALK[:600])),
    "bytearray": bytearray(range(200)) * 3,
}


def test_array_functions_on_shared_inputs_of_each_kind():
    def results(ts):
        return morvel.paa_array(ts, 32, 3, 8).tobytes(), morvel.sax_array(ts, 32, 3, 8, 6).tobytes()

    expected = {kind: results(ts) for kind, ts in SHARED_INPUTS.items()}
    mismatches = []
    barrier = threading.Barrier(4)

    def worker():
        barrier.wait()
        for _ in range(50):
            for kind, ts in SHARED_INPUTS.items():
                if results(ts) != expected[kind]:
                    mismatches.append(kind)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


def test_widened_buffers_leave_reference_counts_as_they_were():
    # A buffer released without the GIL races the exporter's reference count
    # with any thread that takes and drops references to it.
    ts = WALK[:64].astype(np.float32)
    before = sys.getrefcount(ts)
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            held = [ts] * 64
            del held

    churner = threading.Thread(target=churn)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # the two threads take turns often
    try:
        churner.start()
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            for _ in range(1000):
                morvel.paa_array(ts, 8, 1, 2)
    finally:
        stop.set()
        churner.join()
        sys.setswitchinterval(interval)
    assert sys.getrefcount(ts) == before


def test_eight_threads_match_one():
    jobs = list(range(48))
    expected = [work(index) for index in jobs]
    results = [None] * len(jobs)
    barrier = threading.Barrier(8)

    def worker(first):
        barrier.wait()
        for index in jobs[first::8]:
            results[index] = work(index)

    threads = [threading.Thread(target=worker, args=(first,)) for first in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected


class Yielding(float):
    """A float whose conversion gives other threads a turn mid-conversion."""

    def __float__(self):
        time.sleep(0)
        return float.__float__(self)


def test_list_mutated_while_converted():
    shared = [Yielding(i) for i in range(400)]
    stop = threading.Event()
    outcomes = []

    def mutate():
        flip = 0
        while not stop.is_set():
            flip += 1
            if flip % 3 == 0 and len(shared) > 10:
                del shared[-5:]
            elif flip % 3 == 1:
                shared.extend(Yielding(i) for i in range(5))
            else:
                shared[flip % len(shared)] = "not a number" if flip % 7 == 0 else Yielding(flip)

    def convert():
        for _ in range(200):
            try:
                outcomes.append(len(morvel.paa(shared, 8, 4, 3)))
            except (TypeError, ValueError) as error:
                outcomes.append(type(error).__name__)

    mutator = threading.Thread(target=mutate)
    converters = [threading.Thread(target=convert) for _ in range(2)]
    mutator.start()
    for thread in converters:
        thread.start()
    for thread in converters:
        thread.join()
    stop.set()
    mutator.join()
    # An exception of any other kind ends its thread early, short of 200.
    assert len(outcomes) == 400
