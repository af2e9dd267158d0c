"""The Dask example runs on a local cluster of worker processes and agrees
with a plain loop (the example checks that itself)."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest

import morvel

from conftest import SANITIZED

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
EXAMPLE = EXAMPLES / "dask_sax.py"
sys.path.insert(0, str(EXAMPLES))


@pytest.mark.skipif(SANITIZED, reason="runs other interpreters; the sanitizer run covers the module in this one")
@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs dask.distributed")
def test_sax_words_on_a_local_cluster():
    done = subprocess.run([sys.executable, str(EXAMPLE), "12", "600"], capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-3000:]
    lines = done.stdout.splitlines()
    assert lines[0].startswith("12 series of 600 values: ")
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


@pytest.mark.skipif(importlib.util.find_spec("dask") is None, reason="needs dask")
@pytest.mark.parametrize("values", [127, 128, 129, 160, 1000, 4099, 4161])
def test_chunks_see_every_window_once(tmp_path, values):
    import numpy as np

    import dask_paa

    path = tmp_path / "walk.npy"
    dask_paa.write_walk(path, values, block=1000)
    rows = dask_paa.reduced(path, chunks=40).compute(scheduler="sync")
    whole = morvel.paa_array(np.load(path), dask_paa.WINDOW, dask_paa.STRIDE, dask_paa.W)
    assert rows.shape == whole.shape and rows.tobytes() == whole.tobytes()
