"""Calls from many threads agree with one thread, and input mutated by
another thread ends in a result or an exception, never a crash."""

import threading
import time

import numpy as np

import morvel

from conftest import exact

WALK = np.cumsum(np.random.default_rng(5).standard_normal(3000))
SHARED_LIST = WALK.tolist()


def work(index):
    window = 16 + index % 40
    return (
        exact(morvel.paa(SHARED_LIST, window, 1 + index % 3, 1 + index % 17)),
        morvel.sax(WALK, window, 2, 8, index % 25),
        # Without the GIL: read in place, and widened from a strided view.
        morvel.paa_array(WALK, window, 1 + index % 5, 1 + index % 13).tobytes(),
        morvel.sax_array(WALK[::2], window // 2, 1, 6, index % 25).tobytes(),
    )


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
