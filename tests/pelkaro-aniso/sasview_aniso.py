#!/usr/bin/env python3
"""SasView's own loader, and h5py, on an NXcanSAS file of pelkaro-aniso.

    sasview_aniso.py FILE.h5 PAIRS.txt PHI.txt

Checks that SasView loads the two curves of the sector pairs (along, then
across), each with the Q, I, dI and dQ of the sector table PAIRS.txt (to its
printed digits), and nothing else; that I(phi) is an NXdata group whose
signal is I over the axis phi, holding the values of the table PHI.txt; and
that the process states phi0 and the order parameters of PHI.txt.  Exit
status 0 when they do, 1 when not, 77 when SasView or h5py is not
installed (Debian: python3-sasview, python3-h5py).
"""
import sys

try:
    import h5py
    import numpy as np
    from sas.sascalc.dataloader.data_info import Data1D
    from sas.sascalc.dataloader.loader import Loader
except ImportError as exc:
    print(f"sasview_aniso: {exc}; install python3-sasview and python3-h5py", file=sys.stderr)
    sys.exit(77)


def fail(message):
    print(f"sasview_aniso: {message}", file=sys.stderr)
    sys.exit(1)


def rows(path):
    return np.array([[float(v) for v in line.split()] for line in open(path) if line.strip() and line[0] != "#"])


def close(a, b, what):
    if not np.allclose(np.asarray(a, dtype=np.float64), b, rtol=6e-6, atol=0, equal_nan=True):
        fail(f"{what} differ from the table's")


def check_curves(path, pairs):
    loaded = Loader().load(path)
    curves = [d for d in loaded if isinstance(d, Data1D)]
    if len(curves) != 2 or len(loaded) != 2:
        fail(f"expected the two curves of the pairs, SasView loaded {len(loaded)} data sets")
    for curve, column in zip(curves, (1, 3)):
        if curve.errors:
            fail(f"SasView reports errors: {curve.errors}")
        held = ~np.isnan(pairs[:, column])
        close(curve.x, pairs[held, 5], "a curve's Q (bin centres)")
        close(curve.y, pairs[held, column], "a curve's I")
        close(curve.dy, pairs[held, column + 1], "a curve's dI")
        if curve.dx is None:
            fail("a curve's dQ did not load")
        close(curve.dx, pairs[held, 6], "a curve's dQ")


def check_profile(path, phi):
    with h5py.File(path, "r") as f:
        g = f["sasentry01/azimuthal"]
        if g.attrs["NX_class"] != "NXdata" or g.attrs["signal"] != "I" or g.attrs["axes"] != "phi":
            fail("sasentry01/azimuthal is not NXdata with the signal I over the axis phi")
        if g["phi"].attrs["units"] != "degrees" or g["I"].attrs["uncertainties"] != "Idev":
            fail("phi is not in degrees or I names no uncertainties")
        for name, column in (("phi", 0), ("I", 1), ("Idev", 2), ("area", 3)):
            close(g[name][()], phi[:, column], f"I(phi)'s {name}")
        terms = {t.attrs["name"]: t[()] for t in f["sasentry01/sasprocess"].values()
                 if isinstance(t, h5py.Dataset) and "name" in t.attrs}
    if "phi0" not in terms or "order parameter <cos 2(phi - phi0)>" not in terms or "Hermans <P2>" not in terms:
        fail(f"the process does not state the orientation: {sorted(terms)}")
    return terms


def main(path, pairs_path, phi_path):
    check_curves(path, rows(pairs_path))
    terms = check_profile(path, rows(phi_path))
    text = open(phi_path).read()
    order = float(text.split("<cos 2(phi - phi0)> ")[1].split()[0])
    if abs(terms["order parameter <cos 2(phi - phi0)>"] - order) > 6e-7:
        fail("the process's order parameter differs from the table's")
    print("sasview_aniso: two curves loaded with dQ; I(phi) over phi; the orientation stated")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print("usage: sasview_aniso.py FILE.h5 PAIRS.txt PHI.txt", file=sys.stderr)
        sys.exit(2)
    main(*sys.argv[1:])
