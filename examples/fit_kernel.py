"""Fits sasmodels' sphere to a measurement of the bundled example's spheres
smeared by the instrument's resolution kernel (pelkaro.resolution): the
model evaluated at the kernel's nodes (q_calc), then apply.  Prints the
radius and forward intensity found beside those the simulation wrote into
the parameter file's first line.

    python3 fit_kernel.py [DIR]

The bundled example is simulated with an ideal instrument, whose counts
carry no resolution to fit with.  Run in a copy of examples/ without DIR,
the script measures the same spheres through the instrument: it runs the
command in spheres.par's header again with --resolution --gravity (each
neutron through the apertures, the wavelength spread and the pixels,
falling on its way), with pelkaro-sim from $PELKARO_SIM or the PATH, into a
scratch directory, and fits that.  With DIR it fits DIR/spheres.par as it
is, e.g. the directory of a run of pelkaro-sim --resolution --gravity."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy
from scipy.optimize import least_squares
from sasmodels.core import load_model
from sasmodels.direct_model import call_kernel
import pelkaro

SLD = 3.5  # the contrast, 3.5e10 cm^-2, in sasmodels' 1e-6/A^2: the scale is the volume fraction


def header(directory):
    with open(os.path.join(directory, "spheres.par")) as f:
        return f.readline() + f.readline()


def through_the_instrument(scratch):
    """The example's command again, drawn through the instrument, into `scratch`."""
    sim = os.environ.get("PELKARO_SIM") or shutil.which("pelkaro-sim") or shutil.which("pelkaro_sim")
    command = re.search(r"Written by pelkaro_sim (.*?)\.  ", header("."))
    if not sim or not command:
        sys.exit("fit_kernel.py: needs pelkaro-sim (on the PATH or as $PELKARO_SIM) and the example's spheres.par")
    subprocess.run([sim, *command.group(1).split(), "--resolution", "--gravity", "--out", scratch], check=True,
                   stdout=subprocess.DEVNULL)
    return scratch


def fit(directory):
    run = pelkaro.reduce("spheres.par", cwd=directory)
    curve = run.curve
    resolution = pelkaro.resolution(run)  # or pelkaro.resolution("sphere_sample.h5"), pelkaro-nxcansas's file
    # Double precision: with pyopencl installed sasmodels compiles its models
    # in single precision by default, and the fit's finite-difference
    # derivatives are then rounding noise: it stays at its start.  The model
    # is evaluated at the kernel's nodes, not at the curve's Q: apply
    # integrates it over each point's distribution of Q.
    model = load_model("sphere", dtype="double")
    at_nodes, at_zero = model.make_kernel([resolution.q_calc]), model.make_kernel([numpy.array([1e-6])])

    def smeared(p):
        pars = dict(radius=p[0], scale=p[1], background=p[2], sld=SLD, sld_solvent=0)
        return resolution.apply(call_kernel(at_nodes, pars))

    found = least_squares(lambda p: (smeared(p) - curve.i) / curve.i_dev, [70.0, 0.008, 0.0],
                          x_scale=[1.0, 0.001, 0.01])
    radius, scale, background = found.x
    chi2 = float(numpy.sum(found.fun ** 2)) / (len(curve) - 3)
    error = numpy.sqrt(numpy.diag(numpy.linalg.inv(found.jac.T @ found.jac)) * chi2)
    forward = float(call_kernel(at_zero, dict(radius=radius, scale=scale, background=0, sld=SLD, sld_solvent=0))[0])
    print(f"radius = {radius:.3f} +- {error[0]:.3f} angstrom, I(0) = {forward:.4f} 1/cm, "
          f"background = {background:.5f} 1/cm, reduced chi-square {chi2:.2f} ({len(curve)} points)")
    truth = re.search(r"radius ([0-9.]+) A, I\(0\) = ([0-9.]+)", header(directory))
    if truth:
        print(f"simulated: radius {truth.group(1)} angstrom, I(0) = {truth.group(2)} 1/cm")


if len(sys.argv) > 1:
    fit(sys.argv[1])
else:
    with tempfile.TemporaryDirectory(prefix="fit_kernel-") as scratch:
        fit(through_the_instrument(scratch))
