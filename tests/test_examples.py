"""The examples run, and the dask example gives exactly what one unpack_many
of the whole file gives."""

import subprocess
import sys
from pathlib import Path

import dask
import numpy as np

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import dask_archive  # noqa: E402
from archive import HOUSEKEEPING, housekeeping_columns  # noqa: E402


def test_dask_matches_one_unpack_many(tmp_path):
    path = tmp_path / "housekeeping.bin"
    archive = HOUSEKEEPING.pack_many(housekeeping_columns(2_500))
    path.write_bytes(archive)
    lazy = dask_archive.decode_with_dask(str(path), HOUSEKEEPING, packets_per_chunk=1_000)
    assert lazy["temperature"].npartitions == 3
    with dask.config.set(scheduler="threads"):
        (computed,) = dask.compute(lazy)
    whole = HOUSEKEEPING.unpack_many(archive)
    assert list(computed) == list(whole)
    for name, column in whole.items():
        assert computed[name].dtype == column.dtype
        assert np.array_equal(computed[name], column), name


def test_examples_run():
    for script, argument in [("telemetry_packet.py", None), ("archive.py", "3000")]:
        command = [sys.executable, str(EXAMPLES / script)] + ([argument] if argument else [])
        completed = subprocess.run(command, capture_output=True, text=True, check=False)
        assert completed.returncode == 0, completed.stderr
    assert "3,000 housekeeping packets, 30 events" in completed.stdout
