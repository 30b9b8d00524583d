"""The module's arrays in a fit: the bundled example (dilute spheres of radius
80 angstrom, simulated without resolution) fitted with sasmodels' sphere,
unsmeared at the mean Q of each bin's detector area, gives the radius within
0.3 %; so does examples/fit_spheres.py."""

import os
import re
import subprocess
import sys

import numpy
import pytest

import pelkaro
from conftest import SOURCE

SIMULATED_RADIUS = 80.0


def test_unsmeared_sphere_fit_finds_the_simulated_radius(example):
    sasmodels_core = pytest.importorskip("sasmodels.core")
    from sasmodels.direct_model import call_kernel
    from scipy.optimize import curve_fit
    curve = pelkaro.reduce("spheres.par", cwd=example).curve
    # The example is simulated without the instrument's resolution: its points
    # lie at the mean Q of the detector area they average (q_mean), not where
    # the instrument would put them (q).  Double precision: sasmodels'
    # single-precision default (with pyopencl) leaves a least-squares fit at
    # its start.
    kernel = sasmodels_core.load_model("sphere", dtype="double").make_kernel([curve.q_mean])

    def sphere(q, scale, radius, background):
        return call_kernel(kernel, dict(scale=scale, radius=radius, background=background, sld=1, sld_solvent=0))

    found, _ = curve_fit(sphere, curve.q_mean, curve.i, p0=(0.01, 60, 0), sigma=curve.i_dev)
    assert abs(found[1] / SIMULATED_RADIUS - 1) < 0.003, found
    chi2 = numpy.sum(((sphere(curve.q_mean, *found) - curve.i) / curve.i_dev) ** 2) / (len(curve) - 3)
    assert 0.3 < chi2 < 2, chi2


def test_the_fitting_example_runs_and_finds_the_radius(example):
    pytest.importorskip("sasmodels")
    done = subprocess.run([sys.executable, str(SOURCE / "examples" / "fit_spheres.py")], cwd=example,
                          capture_output=True, text=True, env=dict(os.environ), timeout=300)
    assert done.returncode == 0, done.stderr
    radius = float(re.search(r"radius\s*=?\s*([0-9.]+)", done.stdout).group(1))
    assert abs(radius / SIMULATED_RADIUS - 1) < 0.003, done.stdout
