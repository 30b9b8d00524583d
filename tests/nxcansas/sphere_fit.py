#!/usr/bin/env python3
"""A sphere fit of a simulation smeared by the instrument itself.

    sphere_fit.py PELKARO_SIM PELKARO_NXCANSAS

pelkaro_sim --resolution --gravity (the example's geometry and counts; each
neutron through the apertures, the triangular wavelength spread and the
pixels, falling on its way), reduced by pelkaro-nxcansas, fitted with
sasmodels' sphere in double precision (radius, scale and background free;
contrast 3.5e-6 / A^2 as simulated) three ways: smeared by the file's
resolution kernel (the model at its nodes, weighted), the radius must come
out within 0.3 % of the 80 A simulated with a reduced chi-square below 1.5;
smeared by the file's Gaussian Qdev integrated on a fine grid, printed for
comparison; unsmeared, the reduced chi-square must be at least 3 times the
kernel's.  Status 0, 1 on failure, 77 when sasmodels, scipy or h5py is
missing (1 under CI).
"""
import sys

import field_tools as ft

NAME = "sphere_fit"
RADIUS = 80.0


def fit(np, least_squares, model, i, di):
    def residuals(p):
        return (model(radius=p[0], scale=p[1], background=p[2], sld=3.5, sld_solvent=0.0) - i) / di

    r = least_squares(residuals, [70.0, 0.008, 0.0], x_scale=[1.0, 0.001, 0.01])
    return r.x, float(np.sum(r.fun ** 2) / (len(i) - 3))


def main(sim, nxcansas):
    h5py, np, optimize, core, direct, resolution = ft.need(
        NAME, ["h5py", "numpy", "scipy.optimize", "sasmodels.core", "sasmodels.direct_model", "sasmodels.resolution"],
        "python3-sasmodels, python3-scipy and python3-h5py")
    with ft.Scratch() as where:
        path = ft.simulate_and_reduce(NAME, sim, nxcansas, where, ["--resolution", "--gravity", "--seed", "2"])
        q, i, di, dq = ft.curve(h5py, path)
        with h5py.File(path, "r") as f:
            nodes, weight = (f["sasentry01/resolution_kernel/" + k][()].astype(float) for k in ("Q", "weight"))
    # Double precision, and the Gaussian integrated on a fine grid (see field_tools).
    results = {}
    for name, res in (("kernel", ft.KernelResolution(np, q, nodes, weight)),
                      ("gaussian", ft.fine_pinhole(np, resolution, q, dq)), ("unsmeared", resolution.Perfect1D(q))):
        p, chi2 = fit(np, optimize.least_squares, ft.smeared_sphere(core, direct, res), i, di)
        results[name] = (p, chi2)
        print(f"{NAME}: {name:9s} radius {p[0]:.3f} A ({100 * (p[0] / RADIUS - 1):+.2f} %), scale {p[1]:.5f}, "
              f"background {p[2]:+.4f} 1/cm, reduced chi-square {chi2:.2f} ({len(q)} points)")
    (p, chi2), (_, chi2_bare) = results["kernel"], results["unsmeared"]
    if abs(p[0] / RADIUS - 1) > 0.003:
        ft.fail(NAME, f"the kernel fit's radius {p[0]:.3f} is not within 0.3 % of {RADIUS}")
    if not chi2 < 1.5:
        ft.fail(NAME, f"the kernel fit's reduced chi-square {chi2:.2f} is not below 1.5")
    if not chi2_bare >= 3 * chi2:
        ft.fail(NAME, f"the unsmeared fit's reduced chi-square {chi2_bare:.2f} is not 3 times {chi2:.2f}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1], sys.argv[2])
