"""Reduces the bundled example with Pelkaro's Python module and fits its curve
with sasmodels' sphere (unsmeared: the example is simulated without
resolution, so each point lies at the mean Q of the detector area it
averages, q_mean, not where the instrument would put it, q).  Run it in a
copy of examples/."""
from scipy.optimize import curve_fit
from sasmodels.core import load_model
from sasmodels.direct_model import call_kernel
import pelkaro

curve = pelkaro.reduce("spheres.par").curve
# Double precision: with pyopencl installed sasmodels compiles its models in
# single precision by default, and the fit's finite-difference derivatives are
# then rounding noise: it stays at its start.  (A curve measured with the
# resolution is fitted with pelkaro.resolution: see fit_kernel.py.)
kernel = load_model("sphere", dtype="double").make_kernel([curve.q_mean])
def sphere(q, scale, radius, background):
    return call_kernel(kernel, dict(scale=scale, radius=radius, background=background, sld=1, sld_solvent=0))
(scale, radius, background), cov = curve_fit(sphere, curve.q_mean, curve.i, p0=(0.01, 60, 0), sigma=curve.i_dev)
print(f"radius = {radius:.3f} +- {cov[1, 1] ** 0.5:.3f} angstrom, background = {background:.5f} 1/cm")
