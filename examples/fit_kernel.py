"""Reduces a measurement of dilute spheres with Pelkaro's Python module and
fits sasmodels' sphere to its curve smeared by the instrument's resolution
kernel (pelkaro.resolution): the model evaluated at the kernel's nodes
(q_calc), then apply.  Prints the radius and forward intensity found beside
those the simulation wrote into the parameter file's first line.

Run it in a copy of examples/, or, for counts that carry the instrument's
resolution, in the directory of a run of
    pelkaro-sim --resolution --out run
(the bundled example is simulated with an ideal instrument)."""
import re

import numpy
from scipy.optimize import least_squares
from sasmodels.core import load_model
from sasmodels.direct_model import call_kernel
import pelkaro

run = pelkaro.reduce("spheres.par")
curve = run.curve
resolution = pelkaro.resolution(run)  # or pelkaro.resolution("sphere_sample.h5"), pelkaro-nxcansas's file
# Double precision: with pyopencl installed sasmodels compiles its models in
# single precision by default, and the fit's finite-difference derivatives are
# then rounding noise: it stays at its start.  The model is evaluated at the
# kernel's nodes, not at the curve's Q: apply integrates it over each point's
# distribution of Q.
model = load_model("sphere", dtype="double")
at_nodes, at_zero = model.make_kernel([resolution.q_calc]), model.make_kernel([numpy.array([1e-6])])
SLD = 3.5  # contrast 3.5e10 cm^-2 in sasmodels' 1e-6/A^2: the scale is the volume fraction


def smeared(p):
    pars = dict(radius=p[0], scale=p[1], background=p[2], sld=SLD, sld_solvent=0)
    return resolution.apply(call_kernel(at_nodes, pars))


fit = least_squares(lambda p: (smeared(p) - curve.i) / curve.i_dev, [70.0, 0.008, 0.0], x_scale=[1.0, 0.001, 0.01])
radius, scale, background = fit.x
chi2 = float(numpy.sum(fit.fun ** 2)) / (len(curve) - 3)
error = numpy.sqrt(numpy.diag(numpy.linalg.inv(fit.jac.T @ fit.jac)) * chi2)
forward = float(call_kernel(at_zero, dict(radius=radius, scale=scale, background=0, sld=SLD, sld_solvent=0))[0])
with open("spheres.par") as f:
    truth = re.search(r"radius ([0-9.]+) A, I\(0\) = ([0-9.]+)", f.readline())
print(f"radius = {radius:.3f} +- {error[0]:.3f} angstrom, I(0) = {forward:.4f} 1/cm, "
      f"background = {background:.5f} 1/cm, reduced chi-square {chi2:.2f} ({len(curve)} points)")
if truth:
    print(f"simulated: radius {truth.group(1)} angstrom, I(0) = {truth.group(2)} 1/cm")
