"""The Dask examples run on a local cluster of worker processes and agree
with one call (each example checks that itself)."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest

from conftest import SANITIZED

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
EXAMPLE = EXAMPLES / "dask_sax.py"
sys.path.insert(0, str(EXAMPLES))


@pytest.mark.skipif(SANITIZED, reason="runs other interpreters; the sanitizer run covers the module in this one")
@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs dask.distributed")
def test_sax_words_on_a_local_cluster(tmp_path):
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), "20000", str(tmp_path / "walk.npy")], capture_output=True, text=True, timeout=180
    )
    assert done.returncode == 0, done.stderr[-3000:]
    lines = done.stdout.splitlines()
    assert lines[0].startswith("20,000 values: 2,493 words, ")
    assert len(lines) == 6


@pytest.mark.skipif(SANITIZED, reason="runs other interpreters; the sanitizer run covers the module in this one")
@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs dask.distributed")
def test_memory_mapped_series_reduced_on_a_local_cluster(tmp_path):
    path = tmp_path / "walk.npy"
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "dask_paa.py"), "1000000", str(path)],
        capture_output=True,
        text=True,
        timeout=180,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert "1,000,000 values, window 128, stride 32, w 8: 31,247 rows, equal bit for bit" in done.stdout
