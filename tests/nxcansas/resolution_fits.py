#!/usr/bin/env python3
"""Sphere fits of simulations smeared by the instrument itself, seed by seed.

    resolution_fits.py PELKARO_SIM PELKARO_NXCANSAS [--seeds N] [--monitor M]
                       [--configs NAMES] [--before OLD_NXCANSAS] [--check]

Each configuration is simulated with pelkaro_sim --resolution (spheres of
radius 80 A, volume fraction 0.01, contrast 3.5e-6 / A^2), reduced by
pelkaro-nxcansas (with --no-gravity where the simulation has no fall) and
fitted with sasmodels' sphere in double precision (scale, radius and
background free; at 15 m the background is held at its true value, 0, since
there the curve ends at QR ~ 1.5 and scale, radius and background trade
against each other: one seed's scale scatters by 9 % with the background
free, 0.15 % with it held) in two ways:
  gauss   the file's Gaussian Qdev about its Q, integrated on a fine grid
          (201 nodes over +-5 sigma per point), so that the fitting
          program's own integration adds nothing;
  kernel  the file's resolution kernel: the model at its nodes, weighted.
  2d      (with --two-d) the image: every pixel in use at its Qx, Qy, smeared
          by the two-dimensional Gaussian of its Qdev along and across Q
          (7 x 7 Gauss-Hermite nodes; the sphere's intensity at |Q| of each).
With --before, the same simulations are also reduced by an older
pelkaro-nxcansas and fitted with its Gaussian.  Prints, per configuration
and way, the mean over seeds of the reduced chi-square, of the scale's and
the radius's errors with the standard error of each mean (the seeds'
scatter over the square root of their number), and the first point's
residual in sigmas.  With
--check, fails (status 1) unless, for the kernel, every configuration's mean
reduced chi-square lies in 0.8-1.3 and the mean scale and radius lie within
0.15 % and 0.1 % of the truth.  Status 77 when a module is missing (1 under
CI).
"""
import argparse
import os
import sys

import field_tools as ft

NAME = "resolution_fits"
RADIUS, SCALE = 80.0, 0.01
# name: (simulator options, with gravity, background held at 0)
CONFIGS = {
    "1.5m6A": (["--distance", "1500", "--wavelength", "6"], False, False),
    "5m6A": (["--distance", "5000", "--wavelength", "6"], False, False),
    "15m10A": (["--distance", "15000", "--collimation", "15000", "--wavelength", "10"], False, True),
    "15m10A-gravity": (["--distance", "15000", "--collimation", "15000", "--wavelength", "10", "--gravity"], True, True),
}


def read(h5py, np, path):
    with h5py.File(path, "r") as f:
        d = f["sasentry01/sasdata01"]
        out = {k: d[k][()].astype(float) for k in ("Q", "I", "Idev", "Qdev")}
        if "sasentry01/resolution_kernel" in f:
            k = f["sasentry01/resolution_kernel"]
            out["kq"], out["kw"] = k["Q"][()], k["weight"][()]
    return out


def gauss_nodes(np, c):
    """The Gaussian about each point's Q, on 201 nodes over +-5 sigma."""
    x = np.linspace(-5, 5, 201)
    w = np.exp(-0.5 * x * x)
    nodes = c["Q"][:, None] + c["Qdev"][:, None] * x[None, :]
    weight = np.where(nodes > 0, w[None, :], 0.0)
    return np.abs(nodes), weight / weight.sum(axis=1)[:, None]


def image_nodes(h5py, np, path):
    """The image's pixels in use, as a fit's points with 7 x 7 nodes each."""
    with h5py.File(path, "r") as f:
        d = f["sasentry01/sasdata02"]
        use = d["Mask"][()].ravel() == 0
        i, di = d["I"][()].ravel()[use].astype(float), d["Idev"][()].ravel()[use].astype(float)
        qx, qy = d["Qx"][()].ravel()[use], d["Qy"][()].ravel()[use]
        par, perp = (d["Qdev"][()][k].ravel()[use].astype(float) for k in (0, 1))
    x, w = np.polynomial.hermite_e.hermegauss(7)
    w = w / w.sum()
    q = np.hypot(qx, qy)
    ex, ey = qx / q, qy / q
    a, b = x[:, None], x[None, :]
    nx = qx[:, None, None] + par[:, None, None] * a * ex[:, None, None] - perp[:, None, None] * b * ey[:, None, None]
    ny = qy[:, None, None] + par[:, None, None] * a * ey[:, None, None] + perp[:, None, None] * b * ex[:, None, None]
    nodes = np.hypot(nx, ny).reshape(len(q), -1)
    weight = np.broadcast_to((w[:, None] * w[None, :]).ravel(), nodes.shape)
    return {"Q": q, "I": i, "Idev": di}, nodes, weight


def fit(np, least_squares, kernel_of, held, c, nodes, weight):
    """Scale, radius and (unless `held`) background; the reduced chi-square
    and the first point's residual."""
    kernel = kernel_of(nodes.ravel())

    def model(p):
        theory = kernel(dict(scale=p[0], radius=p[1], background=0.0, sld=3.5, sld_solvent=0.0))
        return (theory.reshape(nodes.shape) * weight).sum(axis=1) + (0.0 if held else p[2])

    start, x_scale = ([0.008, 70.0], [0.001, 1.0]) if held else ([0.008, 70.0, 0.0], [0.001, 1.0, 0.01])
    r = least_squares(lambda p: (model(p) - c["I"]) / c["Idev"], start, x_scale=x_scale)
    chi2 = float(np.sum(r.fun ** 2) / (len(c["Q"]) - len(start)))
    return r.x, chi2, float(r.fun[0])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("sim")
    ap.add_argument("nxcansas")
    ap.add_argument("--seeds", type=int, default=4)
    ap.add_argument("--first-seed", type=int, default=11)
    ap.add_argument("--monitor", default="1500000")
    ap.add_argument("--configs", default=",".join(CONFIGS))
    ap.add_argument("--before")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--two-d", action="store_true")
    a = ap.parse_args()
    h5py, np, optimize, core, direct = ft.need(
        NAME, ["h5py", "numpy", "scipy.optimize", "sasmodels.core", "sasmodels.direct_model"],
        "python3-sasmodels, python3-scipy and python3-h5py")
    # Double precision: with pyopencl installed sasmodels' default is float32,
    # in which a fit never leaves its start.
    model = core.load_model("sphere", dtype="double")

    def kernel_of(q):
        k = model.make_kernel([q])
        return lambda pars: direct.call_kernel(k, pars)

    failed = []
    for name in a.configs.split(","):
        options, gravity, held = CONFIGS[name]
        rows = {"gauss": [], "kernel": [], "2d": [], "before": []}
        for seed in range(a.first_seed, a.first_seed + a.seeds):
            with ft.Scratch() as where:
                ft.run(NAME, [a.sim, "--out", where, "--resolution", "--seed", str(seed), "--monitor", a.monitor]
                       + options)
                ft.run(NAME, [a.nxcansas, "-o", "new.h5"] + ([] if gravity else ["--no-gravity"]) + ["spheres.par"],
                       cwd=where)
                c = read(h5py, np, os.path.join(where, "new.h5"))
                rows["gauss"].append(fit(np, optimize.least_squares, kernel_of, held, c, *gauss_nodes(np, c)))
                rows["kernel"].append(fit(np, optimize.least_squares, kernel_of, held, c, c["kq"], c["kw"]))
                if a.two_d:
                    rows["2d"].append(fit(np, optimize.least_squares, kernel_of, held,
                                          *image_nodes(h5py, np, os.path.join(where, "new.h5"))))
                if a.before:
                    ft.run(NAME, [a.before, "-o", "old.h5", "spheres.par"], cwd=where)
                    old = read(h5py, np, os.path.join(where, "old.h5"))
                    rows["before"].append(fit(np, optimize.least_squares, kernel_of, held, old, *gauss_nodes(np, old)))
        for way, r in rows.items():
            if not r:
                continue
            p = np.array([x[0] for x in r])
            chi2 = np.array([x[1] for x in r])
            first = np.array([x[2] for x in r])
            scale, radius = 100 * (p[:, 0].mean() / SCALE - 1), 100 * (p[:, 1].mean() / RADIUS - 1)
            spread = 100 * p.std(axis=0, ddof=1) / np.sqrt(len(r)) if len(r) > 1 else np.full(3, np.nan)
            print(f"{NAME}: {name:15s} {way:6s} seeds {len(r):2d}  chi2_r mean {chi2.mean():8.2f} "
                  f"(min {chi2.min():.2f}, max {chi2.max():.2f})  scale {scale:+.3f} +- {spread[0] / SCALE:.3f} %  "
                  f"radius {radius:+.3f} +- {spread[1] / RADIUS:.3f} %  "
                  f"first point {first.mean():+.2f} sigma", flush=True)
            if a.check and way == "kernel" and not (0.8 <= chi2.mean() <= 1.3 and abs(scale) <= 0.15
                                                    and abs(radius) <= 0.1):
                failed.append(name)
    if failed:
        ft.fail(NAME, "the kernel's fits miss their goals at " + ", ".join(failed))


if __name__ == "__main__":
    main()
