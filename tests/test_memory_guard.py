"""What does not fit in memory fails with MemoryError('bad allocation'), at
once, wherever the process runs: under an address-space limit, inside a
container's memory cgroup, with a huge input, with a series of 2^32 values.

Every call that could take the machine's memory runs in a child process, so
that a regression fails the test instead of taking the machine down."""

import json
import mmap
import os
import pathlib
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import morvel

from conftest import SANITIZED

GIB = 1 << 30
MIB = 1 << 20
BAD = "MemoryError bad allocation"

pytestmark = [
    pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves memory the limits here would refuse"),
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the process's memory from /proc"),
]

# Shared by the children: the call, its outcome and its time, and the
# process's own peak memory (ru_maxrss would also count the parent's, which
# an exec keeps).
PRELUDE = """
import json, resource, sys, time
import numpy as np
import morvel

def peak_mib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) // 1024

def outcome(call):
    start = time.perf_counter()
    try:
        rows = call()
    except (MemoryError, ValueError) as error:
        verdict = f"{type(error).__name__} {error}"
    else:
        verdict = f"returned {len(rows)} rows of {len(rows[0]) if len(rows) else 0}"
    return {"verdict": verdict, "seconds": time.perf_counter() - start, "peak_mib": peak_mib()}
"""


def child(code, *args, env=None, prefix=()):
    done = subprocess.run(
        [*prefix, sys.executable, "-c", PRELUDE + code, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert done.returncode == 0, f"child ended with {done.returncode}: {done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---- Address-space limit ------------------------------------------------------

UNDER_LIMIT = """
limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
print(json.dumps(outcome(lambda: morvel.{call})))
"""


@pytest.mark.parametrize(
    ("call", "verdict"),
    [
        # About 6 GB of floats for a 2 GiB process: refused before any list.
        pytest.param("paa(np.arange(200_000.0), 2, 1, 1000)", BAD, id="paa-6-GB"),
        pytest.param("sax(np.arange(200_000.0), 2, 1, 2000)", BAD, id="sax-3-GB-of-rows"),
        pytest.param("paa_array(np.arange(200_000.0), 2, 1, 4000)", BAD, id="paa-array-6-GB"),
        # Larger than any machine.
        pytest.param("paa(range(1 << 20), 0, 1, 1 << 14)", BAD, id="128-GiB-of-rows"),
        pytest.param("paa([0.0] * 1000, 1, 1, (1 << 31) - 1)", BAD, id="2-TiB-of-rows"),
        # One window of a huge w: the row and the core's tile of it.
        pytest.param("sax([1.0, 2.0, 3.0], 3, 1, 1_400_000_000)", BAD, id="sax-one-row-of-1.4-billion"),
        # 2^31 - 1 empty rows that are never filled: refused for its
        # negative window before anything is built.
        pytest.param("paa([], -(1 << 31) + 2, 1, 0)", "ValueError vector too long", id="billions-of-empty-rows"),
    ],
)
def test_refused_at_once_under_an_address_space_limit(call, verdict):
    report = child(UNDER_LIMIT.format(call=call), 2 * GIB)
    assert report["verdict"] == verdict
    assert report["seconds"] < 0.5
    assert report["peak_mib"] < 256


# ---- Inputs -------------------------------------------------------------------

HUGE_INPUTS = """
class Endless:
    def __len__(self):
        return 10**12
    def __getitem__(self, index):
        return float(index)

class Liar:
    \"\"\"Claims a hundred million values, has five.\"\"\"
    def __len__(self):
        return 10**8
    def __getitem__(self, index):
        if index >= 5:
            raise IndexError(index)
        return float(index * index)

print(json.dumps({
    "range": outcome(lambda: morvel.paa(range(10**11), 5)),
    # Inputs that fit, results that do not, with them or alone: refused from
    # the length, before a value is converted.
    "range-and-result": outcome(lambda: morvel.paa(range(3 * 10**8), 5)),
    "range-3e9": outcome(lambda: morvel.paa(range(3 * 10**9), 5)),
    "endless": outcome(lambda: morvel.paa(Endless(), 5)),
    "liar": outcome(lambda: morvel.paa(Liar(), 2, 1, 3)),
}))
"""


def test_inputs_too_large_to_convert_are_refused_before_conversion():
    report = child(HUGE_INPUTS)
    # 800 GB of doubles, known from the length alone.
    assert report["range"]["verdict"] == BAD
    assert report["range"]["seconds"] < 0.5
    for planned in ("range-and-result", "range-3e9"):
        assert report[planned]["verdict"] == BAD
        assert report[planned]["peak_mib"] < 100
    # 8 TB claimed: more than any allocation the system grants.
    assert report["endless"]["verdict"] == BAD
    assert report["endless"]["seconds"] < 0.5
    # A claim the conversion can reserve is not refused on its own.
    assert report["liar"]["verdict"] == "returned 4 rows of 3"


# ---- Series of 2^32 values and more --------------------------------------------

HUGE_SERIES = (1 << 32) + 5


STRIDE = (1 << 31) - 1
WINDOWS = {STRIDE: [5.0, 1.0, 2.0, 2.0, 2.0, 2.0, 9.0], 2 * STRIDE: [0.0] * 6 + [7.0]}  # the second ends past 2^32


@pytest.fixture(scope="module")
def sparse_series(tmp_path_factory):
    """A float64 file of 2^32 + 5 values, all holes but two windows."""
    path = tmp_path_factory.mktemp("sparse") / "series.f8"
    with open(path, "wb") as file:
        file.truncate(HUGE_SERIES * 8)
        for start, values in WINDOWS.items():
            file.seek(start * 8)
            file.write(np.array(values).tobytes())
    series = np.memmap(path, dtype=np.float64, mode="r", shape=(HUGE_SERIES,))
    yield series
    del series
    path.unlink()


def test_long_series_count_every_window(sparse_series):
    # 2^32 + 4 windows, not the 4 that a 32-bit count keeps: far beyond memory.
    with pytest.raises(MemoryError, match="bad allocation"):
        morvel.paa(sparse_series, 2, 1, 2)
    # Three windows, 2^31 - 1 values apart: the last reaches past 2^32.
    rows = morvel.paa(sparse_series, 7, STRIDE, 7)
    assert len(rows) == 3
    assert all(np.isnan(rows[0]))  # zeros: a constant window
    assert rows[1:] == [morvel.paa(values, 7, 1, 7)[0] for values in WINDOWS.values()]
    letters = morvel.sax(sparse_series, 7, STRIDE, 7, 6)
    assert letters[1:] == [morvel.sax(values, 7, 1, 7, 6)[0] for values in WINDOWS.values()]


def test_one_window_of_two_to_the_thirty_one_values():
    # The longest window a call can ask for, over a read-only anonymous
    # mapping: 16 GiB that are one page of zeros, so a constant window.
    n = (1 << 31) - 1
    zeros = mmap.mmap(-1, n * 8, prot=mmap.PROT_READ)
    ts = np.frombuffer(zeros, dtype=np.float64)
    assert str(morvel.paa(ts, n, 1, 1)) == "[[nan]]"
    assert morvel.sax(ts, n, 1, 1) == [["d"]]
    del ts
    zeros.close()


# ---- Containers -----------------------------------------------------------------


class MemoryCgroup:
    """A memory cgroup of its own, below this process's, holding one child
    at a time. v2 where the machine has it, else v1."""

    def __init__(self, name):
        self.path = self.limit_file = None
        own = pathlib.Path("/proc/self/cgroup").read_text().splitlines()
        unified = pathlib.Path("/sys/fs/cgroup/cgroup.controllers")
        v1 = pathlib.Path("/sys/fs/cgroup/memory")
        if unified.exists() and "memory" in unified.read_text().split():
            # The root's children can have their own memory limit.
            parent = pathlib.Path("/sys/fs/cgroup")
            if "memory" not in (parent / "cgroup.subtree_control").read_text().split():
                (parent / "cgroup.subtree_control").write_text("+memory")
            self.limit_name = "memory.max"
        elif v1.is_dir():
            relative = next(line.split(":", 2)[2] for line in own if "memory" in line.split(":")[1].split(","))
            parent = v1 / relative.lstrip("/")
            self.limit_name = "memory.limit_in_bytes"
        else:
            raise OSError("no memory controller under /sys/fs/cgroup")
        self.path = parent / f"{name}-{os.getpid()}"
        self.path.mkdir()
        self.limit_file = self.path / self.limit_name

    def limit(self, size):
        self.limit_file.write_text(str(size))

    def run(self, code, *args):
        """The child joins the cgroup before the interpreter starts."""
        return child(
            code,
            *args,
            prefix=["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', str(self.path)],
        )

    def close(self):
        if self.path is not None:
            self.path.rmdir()


@pytest.fixture
def cgroup():
    if os.geteuid() != 0:
        pytest.skip("creating a cgroup needs root")
    try:
        group = MemoryCgroup("morvel-test")
    except OSError as error:
        pytest.skip(f"no memory cgroup can be created here: {error}")
    yield group
    group.close()


IN_CONTAINER = """
ts = np.arange(200_000.0)
report = {
    # About 6 GB of floats, and 1.6 GB of letter rows, for 1 GiB.
    "paa": outcome(lambda: morvel.paa(ts, 2, 1, 1000)),
    "sax": outcome(lambda: morvel.sax(ts, 2, 1, 1000)),
    # About 300 MB: returned whole.
    "fits": outcome(lambda: morvel.paa(np.arange(440_000.0), 1, 1, 15)),
    # mindist's operands converted by numpy, and its 2.4 GB of distances,
    # weighed before numpy makes either.
    "mindist-text": outcome(lambda: morvel.mindist(np.broadcast_to(np.array(["abcd"]), (300_000_000,)), "abcd", 4, 4)),
    "mindist-float32": outcome(
        lambda: morvel.mindist(np.broadcast_to(np.zeros(4, np.float32), (300_000_000, 4)), "abcd", 4, 4)
    ),
    "mindist-windows": outcome(
        lambda: morvel.mindist(np.lib.stride_tricks.sliding_window_view(np.zeros(10**8, np.float32), 4), "abcd", 4, 4)
    ),
    # An index of 10^8 windows: 5.7 GB of tables at the build's peak, over
    # zeros that are mapped and never touched.
    "index": outcome(lambda: morvel.Index(np.zeros(10**8), 256)),
}
print(json.dumps(report))
"""


def test_container_limit_refuses_at_once_and_returns_what_fits(cgroup):
    cgroup.limit(GIB)
    report = cgroup.run(IN_CONTAINER)
    for call in ("paa", "sax", "mindist-text", "mindist-float32", "mindist-windows", "index"):
        assert report[call]["verdict"] == BAD, report
        assert report[call]["seconds"] < 1.0
    assert report["fits"]["verdict"] == "returned 440000 rows of 15"
    assert report["fits"]["peak_mib"] < 1024


# The share of a call's estimate that the guard keeps in reserve for what it
# cannot count (page tables, the allocator's slack): see memory_guard.cpp.
MARGIN = 0.06 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0.0125

# How close the guard's estimate is to what a call really takes: the call's
# peak memory is measured first; then, in the same cgroup, the child leaves
# itself just more, or just less, headroom than that peak (as the guard
# counts headroom: the limit less what is used, not counting reclaimable file
# cache). Just more must return the result; just less must be refused.
ESTIMATE = """
cgroup, call, factor = sys.argv[1], sys.argv[2], float(sys.argv[3])
ts = np.cumsum(np.random.default_rng(1).standard_normal(2_000_000))
def status(key):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(key + ":")) * 1024
def read(name):
    with open(f"{cgroup}/{name}") as file:
        return file.read()
if factor == 0:
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak restarts from here
    before = status("VmRSS")
    eval(call)
    print(json.dumps({"peak": status("VmHWM") - before}))
    sys.exit()
unified = "memory.max" in __import__("os").listdir(cgroup)
usage = int(read("memory.current" if unified else "memory.usage_in_bytes"))
stat = dict(line.split() for line in read("memory.stat").splitlines())
field = (lambda name: int(stat.get(name, 0))) if unified else (lambda name: int(stat.get("total_" + name, 0)))
clean = field("active_file") + field("inactive_file")
clean -= field("file_dirty") + field("file_writeback") if unified else field("dirty") + field("writeback")
used = usage - max(clean, 0)
with open(f"{cgroup}/{'memory.max' if unified else 'memory.limit_in_bytes'}", "w") as limit:
    limit.write(str(used + int(factor * int(sys.argv[4]))))
print(json.dumps(outcome(lambda: eval(call))))
"""

SHAPES = [
    pytest.param("morvel.paa(ts[:700_000], 8, 1, 15)", id="paa-many-rows"),
    pytest.param("morvel.paa(ts[:3_000], 8, 1, 20_000)", id="paa-long-rows"),
    pytest.param("morvel.sax(ts[:1_500_001], 8, 1, 16)", id="sax-many-rows"),
    pytest.param("morvel.sax(ts[:20], 16, 1, 50_000_000)", id="sax-one-window-long-rows"),
    pytest.param("morvel.paa_array(ts, 8, 1, 15)", id="paa-array"),
    pytest.param("morvel.sax_array(ts, 8, 1, 128)", id="sax-array"),
]


@pytest.mark.parametrize("call", SHAPES)
def test_estimate_is_within_five_percent_of_the_peak(cgroup, call):
    cgroup.limit(4 * GIB)
    peak = cgroup.run(ESTIMATE, cgroup.path, call, 0)["peak"]
    assert peak > 200 * MIB
    cgroup.limit(4 * GIB)
    above = cgroup.run(ESTIMATE, cgroup.path, call, 1.05 * (1 + MARGIN), peak)
    assert above["verdict"].startswith("returned"), (peak, above)
    cgroup.limit(4 * GIB)
    below = cgroup.run(ESTIMATE, cgroup.path, call, 0.95, peak)
    assert below["verdict"] == BAD, (peak, below)


# ---- Reclaimable cache and the margin -------------------------------------------

CACHED = """
data, cgroup = sys.argv[1], sys.argv[2]
for _ in range(3):  # read again and again: the kernel moves it to its active list
    with open(data, "rb") as file:
        while file.read(1 << 24):
            pass
stat = dict(line.split() for line in open(f"{cgroup}/memory.stat"))
active = int(stat.get("active_file", stat.get("total_active_file", 0)))
rows = int(sys.argv[3])
print(json.dumps({"active_mib": active >> 20, **outcome(lambda: morvel.paa(np.arange(float(rows)), 2, 1, 700))}))
"""


def test_clean_file_cache_counts_as_headroom(cgroup):
    # A pipeline reads its data first: 600 MB of clean page cache, mostly on
    # the active list, charged to the container. The kernel reclaims it
    # before it would kill anything, so a call of 800 to 880 MiB fits in 1 GiB
    # (a row costs more on cp314t).
    rows = 21_000 if sysconfig.get_config_var("Py_GIL_DISABLED") else 30_000
    data = pathlib.Path(__file__).resolve().parent.parent / "build" / f"cache-{os.getpid()}.bin"
    data.parent.mkdir(exist_ok=True)
    try:
        with open(data, "wb") as file:
            for _ in range(600):
                file.write(b"\x01" * MIB)
            file.flush()
            os.fsync(file.fileno())
            # Out of this process's cache, so that the child's reads charge
            # its own cgroup.
            os.posix_fadvise(file.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
        cgroup.limit(GIB)
        report = cgroup.run(CACHED, data, cgroup.path, rows)
        assert report["active_mib"] > 400, report
        assert report["verdict"] == f"returned {rows - 1} rows of 700", report
    finally:
        data.unlink(missing_ok=True)


def oom_kills(group):
    events = group.path / ("memory.events" if group.limit_name == "memory.max" else "memory.oom_control")
    return int(dict(line.split() for line in events.read_text().splitlines()).get("oom_kill", 0))


BAND = """
verdicts = []
for rows in range(*map(int, sys.argv[1:4])):
    verdicts.append((rows, outcome(lambda: morvel.paa(np.arange(float(rows)), 2, 1, 700))["verdict"]))
    if verdicts[-1][1] != "MemoryError bad allocation":
        break  # what follows would start from memory this call has left
print(json.dumps(verdicts))
"""


def test_no_call_near_the_limit_is_killed(cgroup):
    # paa(arange(R), 2, 1, 700) needs about 28 kB a row: the guard's verdict
    # turns from returned to refused near R = 37,000 in 1 GiB (26,000 on
    # cp314t). Coarsely down to find it, then every 25 rows above the largest
    # that returned, each call in a child of its own: every one must return
    # or raise MemoryError, none be killed.
    cgroup.limit(GIB)
    kills = oom_kills(cgroup)
    coarse = cgroup.run(BAND, 44_000, 10_000, -1_000)
    assert coarse[0][1] == BAD and coarse[-1][1] != BAD, coarse
    start = coarse[-1][0]
    fine = [cgroup.run(BAND, rows, rows + 1, 1)[0] for rows in range(start, start + 1_001, 25)]
    returned = [rows for rows, verdict in fine if verdict == f"returned {rows - 1} rows of 700"]
    print(f"largest call that returns in 1 GiB: paa(arange({max(returned)}), 2, 1, 700)")
    assert all(verdict == BAD for rows, verdict in fine if rows not in returned), fine
    assert BAD in {verdict for _, verdict in fine}
    assert oom_kills(cgroup) == kills
