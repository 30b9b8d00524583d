"""Run.azimuthal and Run.sector_pairs: the numbers pelkaro-aniso writes for
the same reduction (its tables, to their printed digits), and the refusals
as pelkaro.Error."""

import math
import os
import subprocess
from pathlib import Path

import numpy
import pytest

import pelkaro

from conftest import program


def aniso_program():
    """pelkaro-aniso, beside Pelkaro in the build tree."""
    path = Path(program("PELKARO_EXE")).parent / "pelkaro-aniso"
    if not path.exists():
        pytest.skip("pelkaro-aniso is not built")
    return str(path)


def table(text):
    """The data lines of a table as rows of floats, and its comment lines."""
    rows = [[float(v) for v in line.split()] for line in text.splitlines() if line and not line.startswith("#")]
    return numpy.array(rows), [line for line in text.splitlines() if line.startswith("#")]


def comment_value(comments, label):
    line = next(c for c in comments if label in c)
    words = line[line.index(label) + len(label):].split()
    return float(words[0]), float(words[2])


def test_the_numbers_of_pelkaro_aniso(example):
    done = subprocess.run([aniso_program(), "--q-ring", "0.012,0.02", "--bins", "24", "--sectors", "40",
                           "--sector-axis", "15", "--sector-out", "pairs.txt", "spheres.par"],
                          cwd=example, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    rows, comments = table(done.stdout)
    run = pelkaro.reduce("spheres.par", cwd=example)
    a = run.azimuthal(q_ring=(0.012, 0.02), bins=24)
    for column, values in enumerate((a.phi, a.i, a.i_dev, a.area)):
        numpy.testing.assert_allclose(values, rows[:, column], rtol=6e-6)
    o = a.orientation
    assert o is not None and a.no_orientation == ""
    for label, value, dev in (("# phi0 ", o.phi0, o.phi0_dev), ("<cos 2(phi - phi0)> ", o.order, o.order_dev),
                              ("<P2> ", o.hermans, o.hermans_dev)):
        want, want_dev = comment_value(comments, label)
        assert value == pytest.approx(want, abs=6e-5 if label == "# phi0 " else 6e-7)
        assert dev == pytest.approx(want_dev, rel=0.06)
    pairs = run.sector_pairs(40, 15)
    rows, _ = table((example / "pairs.txt").read_text())
    assert (pairs.axis, pairs.width) == (15, 40)
    numpy.testing.assert_allclose(pairs.along.q_edge, rows[:, 0], rtol=6e-6)
    numpy.testing.assert_allclose(pairs.along.i, rows[:, 1], rtol=6e-6)
    numpy.testing.assert_allclose(pairs.across.i_dev, rows[:, 4], rtol=6e-6)
    assert not a.i.flags.writeable


def test_refusals(example):
    run = pelkaro.reduce("spheres.par", cwd=example)
    cases = [(dict(q_ring=(0.04, 0.02)), "bad_parameter"), (dict(pixel_ring=(200, 300)), "no_pixels"),
             (dict(pixel_ring=(0, 3)), "no_pixels"), (dict(q_ring=(0.01, 0.02), bins=1), "bad_parameter"),
             (dict(), "bad_parameter"), (dict(q_ring=(0.01, 0.02), pixel_ring=(1, 2)), "bad_parameter"),
             (dict(q_ring=(math.nan, 0.02)), "bad_parameter")]
    for kwargs, code in cases:
        with pytest.raises(pelkaro.Error) as e:
            run.azimuthal(**kwargs)
        assert e.value.code == code, kwargs
        assert e.value.stage == "average"
    with pytest.raises(pelkaro.Error) as e:
        run.sector_pairs(180, 0)
    assert e.value.code == "bad_parameter"
