import math
import os
import signal
import struct

import pytest

# Running under AddressSanitizer (make sanitize): its allocator cannot honour
# address-space limits and holds freed memory for a while.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def examples(count):
    """A property test's examples: fewer under the sanitizer, which is there
    to see every path run, not to search as widely as the release run does."""
    return max(20, count // 5) if SANITIZED else count


def exact(rows):
    """Rows as comparable bit patterns; every NaN counts as the same value."""
    return [
        [
            "nan" if isinstance(v, float) and math.isnan(v) else struct.pack("<d", v) if isinstance(v, float) else v
            for v in row
        ]
        for row in rows
    ]


@pytest.fixture(autouse=True)
def interrupts_as_the_interpreter_starts():
    """Each test starts with Ctrl-C raising KeyboardInterrupt, as in an
    interpreter started from a terminal, and so do the processes it starts:
    a shell runs a command it puts in the background with SIGINT ignored,
    the interpreter then installs no handler, and the tests of interrupts
    would see none."""
    before = signal.getsignal(signal.SIGINT)
    if before is not signal.default_int_handler:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    if before is not None and before is not signal.default_int_handler:
        signal.signal(signal.SIGINT, before)


@pytest.fixture(scope="session")
def cluster():
    """A local Dask cluster of two worker processes, one thread each, and its
    client (the default one while the tests run)."""
    distributed = pytest.importorskip("distributed")
    if SANITIZED:
        pytest.skip("its workers are other interpreters; the sanitizer run covers the module in this one")
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as local,
        distributed.Client(local) as client,
    ):
        yield client
