#!/usr/bin/env python3
"""Merges of three configurations whose resolutions differ, over sphere sizes.

    resolution_merge.py PELKARO_SIM PELKARO_NXCANSAS PELKARO_MERGE [--radii 40,60,80,95]
                        [--monitor 3000000] [--check]

For each sphere radius, pelkaro_sim --resolution simulates the same dilute
spheres at 1.5 m / 6 A, 5 m / 6 A and 15 m / 10 A (collimation 15 m there),
each reduced by pelkaro-nxcansas (without gravity, as simulated).
pelkaro-merge joins them (reference: the 15 m curve), then again with each
configuration in turn spoiled by 7 % (its I and Idev multiplied by 1.07 in a
copy of its file).  Printed per radius: the unspoiled factors with their
uncertainties, the factor each spoil comes back with against the one
expected (1/1.07 for a curve joined to the reference, 1.07 for the others
when the reference is spoiled), and a sasmodels sphere fit (double
precision) of the unspoiled merged curve through its kernel rows.  With
--check, fails (status 1) unless every unspoiled factor is within 0.3 % of
1 with sigma at most 0.5 %, every spoil comes back within max(0.3 %,
3 sigma), and every merged fit gives the radius within 0.1 %, the scale
within 0.3 % and a reduced chi-square at most 1.5.  Status 77 when a module
is missing (1 under CI).
"""
import argparse
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "nxcansas"))
import field_tools as ft  # noqa: E402

NAME = "resolution_merge"
SPOIL = 1.07
SCALE = 0.01
CONFIGS = (("near", ["--distance", "1500", "--wavelength", "6"]),
           ("mid", ["--distance", "5000", "--wavelength", "6"]),
           ("far", ["--distance", "15000", "--collimation", "15000", "--wavelength", "10"]))


def factors(h5py, path):
    """The scale factor and its uncertainty of each input, by file name."""
    out = {}
    with h5py.File(path, "r") as f:
        p = f["sasentry01/sasprocess"]
        for key in p:
            name = p[key].attrs.get("name", "")
            name = name.decode() if isinstance(name, bytes) else name
            for prefix, slot in (("scale factor uncertainty of ", 1), ("scale factor of ", 0)):
                if key.startswith("term") and name.startswith(prefix):
                    out.setdefault(os.path.basename(name[len(prefix):]), [None, None])[slot] = float(p[key][()])
                    break
    return out


def spoiled_copy(h5py, path, out):
    shutil.copy(path, out)
    with h5py.File(out, "r+") as f:
        d = f["sasentry01/sasdata01"]
        for key in ("I", "Idev"):
            d[key][...] = d[key][()] * SPOIL
    return out


def kernel_fit(h5py, np, optimize, model, call_kernel, path):
    with h5py.File(path, "r") as f:
        d, k = f["sasentry01/sasdata01"], f["sasentry01/resolution_kernel"]
        i, di = d["I"][()].astype(float), d["Idev"][()].astype(float)
        nodes, weight = k["Q"][()], k["weight"][()]
    kernel = model.make_kernel([nodes.ravel()])

    def residuals(p):
        theory = call_kernel(kernel, dict(scale=p[0], radius=p[1], background=0.0, sld=3.5, sld_solvent=0.0))
        return ((theory.reshape(nodes.shape) * weight).sum(axis=1) + p[2] - i) / di

    r = optimize.least_squares(residuals, [0.008, 0.9 * RADIUS[0], 0.0], x_scale=[0.001, 1.0, 0.01])
    return r.x, float(np.sum(r.fun ** 2) / (len(i) - 3))


RADIUS = [80.0]  # the radius being fitted, for the fit's start


def one_radius(mods, a, radius, where, failures):
    h5py, np, optimize, model, call_kernel = mods
    files = {}
    for k, (name, options) in enumerate(CONFIGS):
        d = os.path.join(where, name)
        os.mkdir(d)
        ft.run(NAME, [a.sim, "--out", d, "--resolution", "--radius", str(radius), "--monitor", a.monitor,
                      "--seed", str(int(radius) * 10 + k)] + options)
        files[name] = os.path.join(where, name + ".h5")
        ft.run(NAME, [a.nxcansas, "--no-gravity", "-o", files[name], "spheres.par"], cwd=d)
    merged = os.path.join(where, "merged.h5")
    ft.run(NAME, [a.merge, "--reference", files["far"], "-o", merged, files["near"], files["mid"], files["far"]])
    f = factors(h5py, merged)
    for name in ("near", "mid"):
        s, ds = f[name + ".h5"]
        ok = abs(s - 1) <= 0.003 and ds <= 0.005
        print(f"{NAME}: R {radius:5.1f}  unspoiled {name:4s} factor {s:.5f} +- {ds:.5f}  {'ok' if ok else 'MISSED'}")
        if not ok:
            failures.append(f"R {radius} unspoiled {name}")
    for spoiled in ("near", "mid", "far"):
        inputs = dict(files)
        inputs[spoiled] = spoiled_copy(h5py, files[spoiled], os.path.join(where, f"spoiled_{spoiled}.h5"))
        out = os.path.join(where, f"merged_{spoiled}.h5")
        ft.run(NAME, [a.merge, "--reference", inputs["far"], "-o", out, inputs["near"], inputs["mid"], inputs["far"]])
        g = factors(h5py, out)
        for name in ("near", "mid"):
            if spoiled != "far" and name != spoiled:
                continue
            s, ds = g[os.path.basename(inputs[name])]
            want = 1 / SPOIL if name == spoiled else SPOIL
            ok = abs(s - want) <= max(0.003 * want, 3 * ds)
            print(f"{NAME}: R {radius:5.1f}  {spoiled:4s} spoiled: {name:4s} factor {s:.5f} +- {ds:.5f}, "
                  f"expected {want:.5f}  {'ok' if ok else 'MISSED'}")
            if not ok:
                failures.append(f"R {radius} {spoiled} spoiled, {name}")
    RADIUS[0] = radius
    p, chi2 = kernel_fit(h5py, np, optimize, model, call_kernel, merged)
    ok = abs(p[1] / radius - 1) <= 0.001 and abs(p[0] / SCALE - 1) <= 0.003 and chi2 <= 1.5
    print(f"{NAME}: R {radius:5.1f}  merged fit with the kernel: radius {100 * (p[1] / radius - 1):+.3f} %, "
          f"scale {100 * (p[0] / SCALE - 1):+.3f} %, chi2_r {chi2:.2f}  {'ok' if ok else 'MISSED'}", flush=True)
    if not ok:
        failures.append(f"R {radius} merged fit")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("sim")
    ap.add_argument("nxcansas")
    ap.add_argument("merge")
    ap.add_argument("--radii", default="40,60,80,95")
    ap.add_argument("--monitor", default="3000000")
    ap.add_argument("--check", action="store_true")
    a = ap.parse_args()
    h5py, np, optimize, core, direct = ft.need(
        NAME, ["h5py", "numpy", "scipy.optimize", "sasmodels.core", "sasmodels.direct_model"],
        "python3-sasmodels, python3-scipy and python3-h5py")
    # Double precision: sasmodels' float32 default (with pyopencl) never leaves a fit's start.
    mods = (h5py, np, optimize, core.load_model("sphere", dtype="double"), direct.call_kernel)
    failures = []
    for radius in (float(r) for r in a.radii.split(",")):
        with ft.Scratch() as where:
            one_radius(mods, a, radius, where, failures)
    if a.check and failures:
        ft.fail(NAME, "missed: " + "; ".join(failures))


if __name__ == "__main__":
    main()
