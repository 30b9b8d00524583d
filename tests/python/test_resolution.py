"""pelkaro.resolution: the instrument's resolution kernel as a sasmodels
Resolution.  A simulation drawn neutron by neutron through the instrument
(pelkaro_sim --resolution --gravity, the example's geometry and counts) fitted with
sasmodels' sphere smeared by the kernel gives back the spheres simulated;
the kernel read from the NXcanSAS file is the reduction's; kernels that are
not a distribution for their curve are refused with the reason."""

import os
import re
import subprocess
import sys

import numpy
import pytest

import pelkaro
from conftest import SOURCE, program, run_program

RADIUS = 80.0
VOLUME_FRACTION = 0.01  # the simulator's default; with sld 3.5 (its contrast) sasmodels' scale


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    """A --resolution simulation at the example's counts, the neutrons falling
    as the module's kernel has them, reduced in memory."""
    where = tmp_path_factory.mktemp("kernel")
    status, _ = run_program("PELKARO_SIM_EXE", "--resolution", "--gravity", "--seed", "4", "--out", where,
                            cwd=where)
    assert status == 0
    return where, pelkaro.reduce("spheres.par", cwd=where)


def kernel_fit(res, i, di):
    """sasmodels' sphere in double precision (its single-precision default
    with pyopencl leaves the fit at its start), evaluated at the kernel's
    nodes and smeared by it: radius, scale, background and chi2_r."""
    core = pytest.importorskip("sasmodels.core")
    from sasmodels.direct_model import call_kernel
    from scipy.optimize import least_squares
    kernel = core.load_model("sphere", dtype="double").make_kernel([res.q_calc])

    def residuals(p):
        pars = dict(radius=p[0], scale=p[1], background=p[2], sld=3.5, sld_solvent=0.0)
        return (res.apply(call_kernel(kernel, pars)) - i) / di

    fit = least_squares(residuals, [70.0, 0.008, 0.0], x_scale=[1.0, 0.001, 0.01])
    return fit.x, float(numpy.sum(fit.fun ** 2)) / (len(i) - 3)


def test_kernel_fit_finds_the_simulated_spheres(simulated):
    resolution_module = pytest.importorskip("sasmodels.resolution")
    _, run = simulated
    res = pelkaro.resolution(run)
    assert isinstance(res, resolution_module.Resolution)
    curve = run.curve
    assert numpy.array_equal(res.q, curve.q)
    assert res.q_calc.size % len(curve) == 0 and res.q_calc.size > len(curve)
    (radius, scale, _), chi2 = kernel_fit(res, curve.i.astype(float), curve.i_dev.astype(float))
    print(f"kernel fit: radius {radius:.3f} A, scale {scale:.6f}, chi2_r {chi2:.3f}")
    assert chi2 < 1.5
    assert abs(radius / RADIUS - 1) < 0.003, radius
    assert abs(scale / VOLUME_FRACTION - 1) < 0.01, scale
    # A constant is smeared to itself, and the smeared model is the same
    # whichever way the kernel was obtained.
    assert numpy.allclose(res.apply(numpy.full(res.q_calc.shape, 2.5)), 2.5, rtol=1e-12, atol=0)


def test_file_kernel_is_the_reductions(simulated, tmp_path):
    pytest.importorskip("sasmodels")
    pytest.importorskip("h5py")
    if not pelkaro.has_nxcansas:
        pytest.skip("the module is built without HDF5")
    _, run = simulated
    path = run.write_nxcansas(str(tmp_path / "sample.h5"))
    from_file, from_run = pelkaro.resolution(path), pelkaro.resolution(run)
    assert numpy.array_equal(from_file.q, from_run.q)
    assert numpy.array_equal(from_file.q_calc, from_run.q_calc)
    theory = numpy.cos(300 * from_run.q_calc) + 2
    assert numpy.array_equal(from_file.apply(theory), from_run.apply(theory))
    with pytest.raises(ValueError, match="the theory has 3 values"):
        from_run.apply([1.0, 2.0, 3.0])


def test_the_kernel_example_measures_and_fits_the_example_spheres(example):
    pytest.importorskip("sasmodels")
    env = dict(os.environ, PELKARO_SIM=program("PELKARO_SIM_EXE"))
    done = subprocess.run([sys.executable, str(SOURCE / "examples" / "fit_kernel.py")], cwd=example,
                          capture_output=True, text=True, env=env, timeout=500)
    assert done.returncode == 0, done.stderr
    found = re.search(r"radius = ([0-9.]+) .* reduced chi-square ([0-9.]+)", done.stdout)
    assert found, done.stdout
    assert abs(float(found.group(1)) / RADIUS - 1) < 0.003 and float(found.group(2)) < 1.5, done.stdout


def write_kernel(h5py, path, q, nodes, weight, version=2):
    with h5py.File(path, "w") as f:
        f.attrs["pelkaro_format_version"] = version
        f["sasentry01/sasdata01/Q"] = q
        if nodes is not None:
            g = f.create_group("sasentry01/resolution_kernel")
            g.attrs["data"] = "sasdata01"
            g["Q"], g["weight"] = nodes, weight


def test_refuses_what_is_not_a_kernel_of_the_curve(tmp_path):
    pytest.importorskip("sasmodels")
    h5py = pytest.importorskip("h5py")
    q = numpy.array([0.01, 0.02])
    nodes = numpy.array([[0.009, 0.01, 0.011], [0.019, 0.02, 0.021]])
    weight = numpy.array([[0.25, 0.5, 0.25], [0.2, 0.6, 0.2]])
    write_kernel(h5py, tmp_path / "good.h5", q, nodes, weight)
    good = pelkaro.resolution(tmp_path / "good.h5")
    assert numpy.allclose(good.apply(numpy.arange(6.0)), [1.0, 4.0], rtol=1e-15)
    cases = {
        "old": (q, None, None, 1, "no resolution kernel .* written before the kernel"),
        "rows": (q[:1], nodes, weight, 2, r"not \[points, nodes\] for the curve's 1 points"),
        "sum": (q, nodes, weight * 1.01, 2, "weights of point 0 sum to 1.01"),
        "order": (q, nodes[:, ::-1], weight, 2, "does not increase along a row"),
        "negative": (q, nodes, weight * [[1, -1, 3]], 2, "negative weight"),
        "nan": (q, nodes * numpy.array([1, numpy.nan, 1]), weight, 2, "not finite"),
    }
    for name, (cq, cn, cw, version, why) in cases.items():
        write_kernel(h5py, tmp_path / f"{name}.h5", cq, cn, cw, version)
        with pytest.raises(ValueError, match=why):
            pelkaro.resolution(tmp_path / f"{name}.h5")
    (tmp_path / "text.h5").write_text("not HDF5\n")
    with pytest.raises(ValueError, match="not an HDF5 file"):
        pelkaro.resolution(tmp_path / "text.h5")
    with pytest.raises(TypeError, match="not int"):
        pelkaro.resolution(3)
