"""The Dask example runs on a local cluster of worker processes and agrees
with a plain loop (the example checks that itself)."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest

from conftest import SANITIZED

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "dask_sax.py"


@pytest.mark.skipif(SANITIZED, reason="runs other interpreters; the sanitizer run covers the module in this one")
@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs dask.distributed")
def test_sax_words_on_a_local_cluster():
    done = subprocess.run([sys.executable, str(EXAMPLE), "12", "600"], capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-3000:]
    lines = done.stdout.splitlines()
    assert lines[0].startswith("12 series of 600 values: ")
    assert len(lines) == 6
