"""The sdist and wheel round trip, the installed stub, and the typed example.

Slow (two builds of the module): about half a minute."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

from conftest import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r'^version = "(.+)"', (ROOT / "pyproject.toml").read_text(), re.MULTILINE).group(1)


def missing(*modules):
    return [name for name in modules if importlib.util.find_spec(name) is None]


def run(*command, cwd=None, env=None):
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    return done.stdout


def clean_env():
    """The environment without the build tree on the module search path."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return env


@pytest.mark.skipif(SANITIZED, reason="runs other interpreters; the sanitizer run covers the module in this one")
@pytest.mark.skipif(
    bool(missing("build", "scikit_build_core", "pybind11", "venv")), reason="needs build, scikit-build-core, pybind11"
)
def test_sdist_builds_a_wheel_that_installs_and_runs(tmp_path):
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", str(tmp_path), str(ROOT))
    (sdist,) = tmp_path.glob("morvel-*.tar.gz")
    assert sdist.name == f"morvel-{VERSION}.tar.gz"
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", str(tmp_path), str(sdist))
    (wheel,) = tmp_path.glob("morvel-*.whl")
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = tag + ("t" if "t" in sys.abiflags else "")  # cp314t on free-threaded builds
    assert wheel.name.startswith(f"morvel-{VERSION}-{tag}-{abi}-"), wheel.name
    names = set(zipfile.ZipFile(wheel).namelist())
    dask_layer = {f"morvel_dask/{path.name}" for path in (ROOT / "module" / "morvel_dask").glob("*.py*")}
    assert {"morvel.pyi", "morvel-stubs/__init__.pyi", *dask_layer} <= names
    assert any(re.fullmatch(r"morvel\.cpython-314t?-.*\.so", name) for name in names)

    venv = tmp_path / "venv"
    # numpy for the typed example comes from the system; morvel only from the wheel.
    run(sys.executable, "-m", "venv", "--system-site-packages", str(venv))
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", "-q", str(wheel), env=clean_env())
    out = run(
        python,
        "-c",
        "import importlib.metadata, morvel; "
        "print(morvel.__file__); print(importlib.metadata.version('morvel')); "
        "print([n for n in vars(morvel) if not n.startswith('__')]); "
        "print(morvel.sax([1, 2, 3, 4], 4, 1, 2))",
        cwd=tmp_path,
        env=clean_env(),
    ).splitlines()
    assert out[0].startswith(str(venv)), out[0]
    assert out[1:] == [VERSION, "['sax', 'paa', 'paa_array', 'sax_array', 'mindist', 'Index']", "[['a', 'd']]"]

    if not missing("mypy"):
        # The installed stub package is what a type checker finds.
        checked = subprocess.run(
            [
                sys.executable,
                "-m",
                "mypy",
                "--strict",
                "--python-executable",
                python,
                str(ROOT / "examples" / "typed_usage.py"),
            ],
            capture_output=True,
            text=True,
            env=clean_env(),
            cwd=tmp_path,
        )
        assert checked.returncode == 0, checked.stdout


@pytest.mark.skipif(bool(missing("mypy")), reason="needs mypy")
def test_stub_matches_the_built_module():
    built = str(pathlib.Path(importlib.util.find_spec("morvel").origin).parent)
    env = dict(os.environ, MYPYPATH=built)
    # The binding library's classes have its own metaclass, which a stub
    # cannot name.
    allowlist = ROOT / "module" / "stubtest-allowlist.txt"
    run(sys.executable, "-m", "mypy.stubtest", "morvel", "--allowlist", str(allowlist), env=env)
    run(sys.executable, "-m", "mypy", "--strict", str(ROOT / "examples" / "typed_usage.py"), env=env)


# What the README lists as accepted and as refused, as a type checker sees it.
TYPED_CALLS = """
import array
from decimal import Decimal
import numpy as np
import morvel
accepted = [
    morvel.paa([1.0, 2.0], 2),
    morvel.paa((1, 2, Decimal(3)), 2),
    morvel.paa(range(10), 2),
    morvel.paa(np.arange(10.0), 2),
    morvel.paa(np.arange(10, dtype=np.int16), 2),
    morvel.paa(np.memmap("series.f8", dtype=np.float64, mode="r"), 2),
    morvel.paa(array.array("d", [1.0, 2.0]), 2),
    morvel.paa(memoryview(array.array("d", [1.0, 2.0])), 2),
    morvel.paa(bytearray(b"abc"), 2),
    morvel.paa((x * 0.5 for x in range(10)), 2),
    morvel.paa({1.0, 2.0}, 2),
    morvel.paa({1: 2.0}.values(), 2),
    morvel.paa({1.0: 2}.keys(), 2),
    morvel.paa(map(float, "12"), 2),
    morvel.sax([1.0, 2.0], 2, 1, 2, 4),
    morvel.paa_array(np.arange(10.0), 2, out=np.empty((9, 15))).sum(),
    morvel.mindist(morvel.sax_array([1.0, 2.0, 3.0], 2)[0], "abcdabcdabcdabc", 2, 4),
]
morvel.paa([1.0, 2.0], 2.0)
morvel.sax([1.0, 2.0], 2, stride=1.5)
morvel.paa(iter([1.0, 2.0]), 2)
morvel.paa(["1.0", "2.0"], 2)
morvel.paa(b"abc", 1)
morvel.paa("abc", 1)
morvel.paa({1: 2.0}, 1)
"""


@pytest.mark.skipif(bool(missing("mypy")), reason="needs mypy")
def test_stub_accepts_what_the_module_accepts_and_refuses_what_it_refuses(tmp_path):
    built = str(pathlib.Path(importlib.util.find_spec("morvel").origin).parent)
    program = tmp_path / "typed_calls.py"
    program.write_text(TYPED_CALLS)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(program)],
        capture_output=True,
        text=True,
        env=dict(os.environ, MYPYPATH=built),
    )
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    refused = set(range(25, 32))
    assert flagged == refused, done.stdout
