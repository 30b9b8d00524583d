#!/usr/bin/env python3
"""The uncertainty of the transmissions and ABSF in the file against repeats.

    systematic_repeats.py PELKARO_SIM PELKARO_TRANS PELKARO_NXCANSAS [SEEDS]

Simulates a measurement at 0.8 m with its direct beams SEEDS times (default
40), every file anew from its own seed; measures the transmissions and ABSF
with pelkaro-trans each time and reduces the same counts twice with
pelkaro-nxcansas: with the measured values (and --trans, the table) and with
the simulation's true ones.  The difference of the two curves, over the
systematic uncertainty the first file states (its Isys_* datasets in
quadrature), gives chi-square / dof in four Q ranges of equal point counts:
at most 1.3 in every range and at least 0.5 in the highest.  Status 0, 1 on
failure, 77 when h5py is missing (1 under CI).
"""
import os
import re
import sys

import field_tools as ft

NAME = "systematic_repeats"
RANGES = 4


def measured_par(true_par, table):
    """The parameter file with the transmissions and ABSF of the table."""
    rows = [line.split("\t") for line in table.splitlines()[1:]]
    value = {}
    for r in rows:
        key = r[4] if r[0] == "transmission" else r[0]
        value[key] = r[2]
    out = []
    for line in true_par.splitlines():
        f = line.split()
        if f and f[0] in ("DATS", "DATB"):
            f[5] = value[f[1]]
            line = " ".join(f)
        elif f and f[0] == "ABSF":
            line = "ABSF " + value["absf"]
        out.append(line)
    return "\n".join(out) + "\n"


def one_seed(h5py, np, programs, where, seed):
    sim, trans, nxcansas = programs
    said = ft.run(NAME, [sim, "--out", where, "--seed", str(seed), "--transmission-runs", "--distance", "800"])
    command = re.search(r"^pelkaro-trans (.*)$", said, re.M).group(1).split()
    table = ft.run(NAME, [trans, "--format", "tsv"] + command, cwd=where)
    with open(os.path.join(where, "trans.tsv"), "w") as f:
        f.write(table)
    with open(os.path.join(where, "spheres.par")) as f:
        true_par = f.read()
    with open(os.path.join(where, "measured.par"), "w") as f:
        f.write(measured_par(true_par, table))
    ft.run(NAME, [nxcansas, "--trans", "trans.tsv", "-o", "measured.h5", "measured.par"], cwd=where)
    ft.run(NAME, [nxcansas, "-o", "true.h5", "spheres.par"], cwd=where)
    with h5py.File(os.path.join(where, "measured.h5"), "r") as f:
        c = f["sasentry01/sasdata01"]
        i = c["I"][()].astype(float)
        systematic = np.sqrt(sum(c[k][()].astype(float) ** 2 for k in c.keys() if k.startswith("Isys_")))
    (i_true,) = ft.curve(h5py, os.path.join(where, "true.h5"), ("I",))
    return (i - i_true) / systematic


def main(programs, seeds):
    h5py, np = ft.need(NAME, ["h5py", "numpy"], "python3-h5py")
    ratios = []
    with ft.Scratch() as where:
        for seed in range(1, seeds + 1):
            ratios.append(one_seed(h5py, np, programs, f"{where}/{seed}", seed))
    ratios = np.array(ratios)
    if len({r.shape for r in ratios}) != 1 or not np.all(np.isfinite(ratios)):
        ft.fail(NAME, "the curves of the seeds differ in length or hold a point without uncertainty")
    chi2 = [float(np.mean(part ** 2)) for part in np.array_split(ratios, RANGES, axis=1)]
    print(f"{NAME}: {seeds} seeds at 0.8 m, {ratios.shape[1]} points: chi-square / dof of the curve's change over "
          f"its stated systematic uncertainty, lowest to highest Q in {RANGES} ranges: "
          + ", ".join(f"{c:.3f}" for c in chi2))
    if max(chi2) > 1.3:
        ft.fail(NAME, f"chi-square / dof {max(chi2):.3f} is above 1.3")
    if chi2[-1] < 0.5:
        ft.fail(NAME, f"chi-square / dof at the highest Q {chi2[-1]:.3f} is below 0.5")


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1:4], int(sys.argv[4]) if len(sys.argv) == 5 else 40)
