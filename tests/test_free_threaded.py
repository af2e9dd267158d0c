"""What only a free-threaded (cp314t) interpreter can show: the GIL that
importing morvel re-enables, and calls racing with each other and with
writers when the GIL has been forced off. Skipped elsewhere."""

import os
import subprocess
import sys
import sysconfig
import threading
import time

import numpy as np
import pytest

import morvel

from conftest import exact

FREE_THREADED_BUILD = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_OFF = FREE_THREADED_BUILD and not sys._is_gil_enabled()

free_threaded_only = pytest.mark.skipif(
    not FREE_THREADED_BUILD, reason="only a free-threaded (cp314t) interpreter can run without the GIL"
)
gil_off_only = pytest.mark.skipif(
    not GIL_OFF, reason="needs a free-threaded interpreter with the GIL forced off (PYTHON_GIL=0)"
)

IMPORT = "import sys, morvel; print(sys._is_gil_enabled())"
GIL_WARNING = "The global interpreter lock (GIL) has been enabled to load module 'morvel'"


@free_threaded_only
@pytest.mark.parametrize(
    ("setting", "gil_after_import", "warned"),
    [pytest.param(None, "True", True, id="as-imported"), pytest.param("0", "False", False, id="gil-forced-off")],
)
def test_import_and_the_gil(setting, gil_after_import, warned):
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    if setting is not None:
        env["PYTHON_GIL"] = setting
    done = subprocess.run(
        [sys.executable, "-W", "always", "-c", IMPORT], capture_output=True, text=True, env=env, check=True
    )
    assert done.stdout.strip() == gil_after_import
    assert (GIL_WARNING in done.stderr) == warned, done.stderr


WALK = np.cumsum(np.random.default_rng(11).standard_normal(4000))
SECONDS = 1.5
CALLERS = 4


def race(target, writer=None):
    """Runs CALLERS threads of `target` (and one `writer`) for SECONDS; returns
    every caller's outcomes. A crash would end the whole test run."""
    stop = threading.Event()
    outcomes = [[] for _ in range(CALLERS)]
    start = threading.Barrier(CALLERS + (writer is not None))

    def call(index):
        start.wait()
        while not stop.is_set():
            outcomes[index].append(target(index))

    def write():
        start.wait()
        flip = 0
        while not stop.is_set():
            writer(flip)
            flip += 1

    threads = [threading.Thread(target=call, args=(index,)) for index in range(CALLERS)]
    if writer is not None:
        threads.append(threading.Thread(target=write))
    for thread in threads:
        thread.start()
    time.sleep(SECONDS)
    stop.set()
    for thread in threads:
        thread.join()
    return [outcome for caller in outcomes for outcome in caller]


def shape_or_error(function, *args):
    try:
        rows = function(*args)
    except (ValueError, TypeError) as error:
        return type(error).__name__
    return len(rows), {len(row) for row in rows}


@gil_off_only
@pytest.mark.parametrize("element", [float, np.float64], ids=["floats", "float-subclass"])
def test_list_changed_by_other_threads_is_read_in_one_of_its_states(element):
    # One thread sorts the list up and down, another swaps its contents
    # between two orders; its length never changes. Each call must see one
    # of the four states the list was ever in, never a mix or a sort's
    # empty interior.
    values = [element(value) for value in WALK[:1000]]
    rng = np.random.default_rng(7)
    states = [
        sorted(values),
        sorted(values, reverse=True),
        [values[i] for i in rng.permutation(1000)],
        [values[i] for i in rng.permutation(1000)],
    ]
    expected = [morvel.paa(state, 64, 1, 4) for state in states]
    shared = list(states[2])
    stop = threading.Event()
    calls = [0, 0]
    strays = []

    # Each writer pauses for 0.1 ms between its changes: the list's lock
    # hands over to a waiting reader only after a millisecond, so writers
    # that never pause would keep readers out nearly all the time.
    def sort():
        while not stop.is_set():
            shared.sort()
            time.sleep(1e-4)
            shared.sort(reverse=True)
            time.sleep(1e-4)

    def swap():
        while not stop.is_set():
            shared[:] = states[2]
            time.sleep(1e-4)
            shared[:] = states[3]
            time.sleep(1e-4)

    def read(index):
        deadline = time.monotonic() + 60
        while calls[index] < 15_000 and time.monotonic() < deadline:
            try:
                result = morvel.paa(shared, 64, 1, 4)
            except ValueError as error:
                result = repr(error)
            if result not in expected:
                strays.append(str(result)[:80])
            calls[index] += 1

    writers = [threading.Thread(target=sort), threading.Thread(target=swap)]
    readers = [threading.Thread(target=read, args=(index,)) for index in range(2)]
    for thread in writers + readers:
        thread.start()
    for thread in readers:
        thread.join()
    stop.set()
    for thread in writers:
        thread.join()
    assert sum(calls) >= 30_000
    assert strays == []


@gil_off_only
def test_array_written_by_another_thread():
    shared = WALK.copy()
    rng = np.random.default_rng(3)
    fresh = rng.standard_normal((8, len(shared)))

    def write(flip):
        shared[:] = fresh[flip % 8]
        shared[flip % len(shared)] = np.nan

    def call(index):
        function = (morvel.paa, morvel.sax, morvel.paa_array, morvel.sax_array)[index % 4]
        stride = 1 + index
        return stride, shape_or_error(function, shared, 64, stride, 8)

    outcomes = race(call, write)
    assert outcomes
    for stride, outcome in outcomes:
        # The length never changes, so every call is a whole result.
        assert outcome == ((len(shared) - 64) // stride + 1, {8})


@gil_off_only
def test_shared_inputs_that_do_not_change_give_identical_results():
    as_list = WALK.tolist()
    arguments = [(as_list, 50, 1, 9), (WALK, 128, 3, 15), (WALK[::2], 17, 2, 40), (as_list, 300, 7, 5)]

    def results(args):
        return exact(morvel.paa(*args)), morvel.sax(*args), morvel.paa_array(*args).tobytes()

    expected = [results(args) for args in arguments]

    def call(index):
        return index % len(arguments), results(arguments[index % len(arguments)])

    outcomes = race(call)
    assert len(outcomes) >= CALLERS
    for which, got in outcomes:
        assert got == expected[which]
