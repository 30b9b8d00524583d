"""Shared fixtures of the module's tests: a scratch copy of the bundled
example, and the programs whose files the module must equal (their paths
come from ctest's environment: PELKARO_EXE, PELKARO_NXCANSAS_EXE,
PELKARO_TRANS_EXE, PELKARO_MERGE_EXE, PELKARO_SIM_EXE, PELKARO_SOURCE_DIR)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("PELKARO_SOURCE_DIR", Path(__file__).resolve().parents[2]))
EXAMPLES = SOURCE / "examples"


def program(variable):
    path = os.environ.get(variable)
    if not path or not os.path.exists(path):
        if os.environ.get("CI") == "true" and variable not in ("PELKARO_NXCANSAS_EXE", "PELKARO_MERGE_EXE"):
            pytest.fail(f"{variable} is not set to a built program")
        pytest.skip(f"{variable}: the program is not built")
    return path


def run_program(variable, *args, cwd, stderr=False):
    """The program's exit status and standard output (and standard error)."""
    done = subprocess.run([program(variable), *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          errors="surrogateescape")
    return (done.returncode, done.stdout, done.stderr) if stderr else (done.returncode, done.stdout)


@pytest.fixture
def example(tmp_path):
    """A scratch copy of examples/, its parameter file spheres.par."""
    for f in EXAMPLES.iterdir():
        shutil.copy(f, tmp_path / f.name)
    return tmp_path


def read_counts(path):
    """A detector file's counts as a 128 x 128 array, read independently of
    the library: every number of the lines that begin with a digit."""
    import numpy
    values = []
    for line in Path(path).read_text().splitlines():
        if line[:1].isdigit():
            values.extend(int(v) for v in line.split())
    return numpy.array(values, dtype=numpy.int64).reshape(128, 128)


def read_mask(path):
    """A mask file (one value per line) as numpy.ma's mask: True excluded."""
    import numpy
    values = [int(v) for v in Path(path).read_text().splitlines() if v.strip() and not v.startswith("#")]
    return numpy.array(values).reshape(128, 128) < 1
