"""The module as the import system and Python's introspection see it."""

import shutil
import subprocess
import sys

import pytest

import morvel

PAA_SIGNATURE = (
    "paa(ts: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], "
    "window: typing.SupportsInt | typing.SupportsIndex, "
    "stride: typing.SupportsInt | typing.SupportsIndex = 1, "
    "w: typing.SupportsInt | typing.SupportsIndex = 15) -> list[list[float]]"
)


def test_exposes_exactly_its_functions():
    public = [name for name in vars(morvel) if not name.startswith("__")]
    assert public == ["sax", "paa"]


def test_docstring_carries_signature_and_text():
    assert morvel.paa.__doc__.splitlines()[:3] == [PAA_SIGNATURE, "", "Apply PAA to a single time series."]


def test_init_symbol_is_the_only_export():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", morvel.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_morvel"]


IMPORT_UNDER_VERSION = """
import ctypes, sys
version = ctypes.pythonapi.Py_GetVersion
version.restype = ctypes.c_void_p
buffer = version()  # the interpreter keeps one buffer and hands it out again
fake = sys.argv[1].encode()
ctypes.memmove(buffer, fake + b"\\0", len(fake) + 1)
try:
    import morvel
except ImportError as error:
    print(error)
else:
    print("imported")
"""


@pytest.mark.parametrize("version", ["3.13.9 (main)", "3.140.0 (main)", "3.1 (main)"], ids=["3.13", "3.140", "3.1"])
def test_refuses_other_interpreter_versions(version):
    out = subprocess.run(
        [sys.executable, "-c", IMPORT_UNDER_VERSION, version], capture_output=True, text=True, check=True
    )
    assert out.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.14, "
        f"but the interpreter version is incompatible: {version}."
    )


def test_accepts_any_3_14_release():
    out = subprocess.run(
        [sys.executable, "-c", IMPORT_UNDER_VERSION, "3.14.0rc1 (x)"], capture_output=True, text=True, check=True
    )
    assert out.stdout.strip() == "imported"
