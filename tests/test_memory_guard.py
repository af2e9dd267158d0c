"""Results too large for memory fail with MemoryError('bad allocation').

Each call runs in a child process under an address-space limit, so that a
regression fails the test instead of taking the machine down.
"""

import subprocess
import sys

import pytest

from conftest import SANITIZED

pytestmark = pytest.mark.skipif(SANITIZED, reason="AddressSanitizer cannot run under an address-space limit")

CHILD = """
import resource, sys
limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import morvel
try:
    morvel.{call}
except (MemoryError, ValueError) as error:
    print(type(error).__name__, error)
else:
    print("returned")
# The peak of this process's own memory: ru_maxrss would also count the
# parent's, which an exec keeps.
with open("/proc/self/status") as status:
    print(next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) // 1024)
"""

GIB = 1 << 30
BAD = "MemoryError bad allocation"


@pytest.mark.parametrize(
    ("call", "verdict"),
    [
        # Larger than any machine: refused before anything is allocated.
        pytest.param("paa(range(1 << 20), 0, 1, 1 << 14)", BAD, id="128-GiB-of-rows"),
        pytest.param("paa([0.0] * 1000, 1, 1, (1 << 31) - 1)", BAD, id="2-TiB-of-rows"),
        pytest.param("sax(range(1 << 20), 0, 1, 1 << 16)", BAD, id="sax-64-GiB-of-letters"),
        # 2^31 - 1 empty rows that are never filled: no memory is spent
        # before the negative window is refused.
        pytest.param("paa([], -(1 << 31) + 2, 1, 0)", "ValueError vector too long", id="billions-of-empty-rows"),
        # Fits the machine but not the limit: the allocator itself refuses.
        pytest.param("paa(range(1000), 0, 1, 1 << 20)", BAD, id="8-GiB-under-a-3-GiB-limit"),
    ],
)
def test_oversized_results_raise_memory_error(call, verdict):
    out = subprocess.run(
        [sys.executable, "-c", CHILD.format(call=call), str(3 * GIB)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert out.returncode == 0, out.stderr
    outcome, peak_mib = out.stdout.splitlines()
    assert outcome == verdict
    assert int(peak_mib) < 512
