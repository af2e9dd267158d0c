"""The module as the import system and Python's introspection see it."""

import shutil
import subprocess

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
    assert public == ["sax", "paa", "paa_array", "sax_array", "mindist"]


def test_docstring_carries_signature_and_text():
    assert morvel.paa.__doc__.splitlines()[:3] == [PAA_SIGNATURE, "", "Apply PAA to a single time series."]


def test_init_symbol_is_the_only_export():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", morvel.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_morvel"]
