#!/usr/bin/env python3
"""The curve's error bars against the scatter of repeated measurements.

    repeats.py PELKARO_SIM PELKARO_NXCANSAS [SEEDS]

Simulates the example SEEDS times (default 24), every file anew from its own
seed, and reduces each with pelkaro-nxcansas.  Over the seeds, the scatter of
each bin's I about its mean (SEEDS - 1 degrees of freedom) divided by the
file's Idev gives chi-square / dof, which must lie within 0.9 to 1.1 over the
whole curve; the neighbouring bins' correlation over the seeds must be the
one the file's note states to 0.1.  Status 0, 1 on failure, 77 when h5py is
missing (1 under CI).
"""
import re
import sys

import field_tools as ft

NAME = "repeats"


def main(sim, nxcansas, seeds):
    h5py, np = ft.need(NAME, ["h5py", "numpy"], "python3-h5py")
    values, errors = [], []
    stated = None
    with ft.Scratch() as where:
        for seed in range(1, seeds + 1):
            path = ft.simulate_and_reduce(NAME, sim, nxcansas, f"{where}/{seed}", ["--seed", str(seed)])
            _, i, idev = ft.curve(h5py, path, ("Q", "I", "Idev"))
            values.append(i), errors.append(idev)
            with h5py.File(path, "r") as f:
                note = f["sasentry01/sasnote/data"][()].decode()
            found = re.search(r"the next bin's, .*?, is (-?[0-9.]+) \(the median", note, re.S)
            stated = float(found.group(1)) if found else None
    values, errors = np.array(values), np.array(errors)
    if len({v.shape for v in values}) != 1:
        ft.fail(NAME, "the curves of the seeds have different lengths")
    deviation = values - values.mean(axis=0)
    chi2 = np.sum((deviation / errors) ** 2) / (values.shape[1] * (seeds - 1))
    per_bin = np.sum((deviation / errors) ** 2, axis=0) / (seeds - 1)
    corr = [np.corrcoef(values[:, b], values[:, b + 1])[0, 1] for b in range(values.shape[1] - 1)]
    print(f"{NAME}: {seeds} seeds, {values.shape[1]} bins: chi-square / dof {chi2:.3f} (bins: median "
          f"{np.median(per_bin):.3f}, 10 % to 90 % {np.percentile(per_bin, 10):.3f} to "
          f"{np.percentile(per_bin, 90):.3f}); neighbours' correlation median {np.median(corr):+.3f}, "
          f"stated {stated}")
    if not 0.9 <= chi2 <= 1.1:
        ft.fail(NAME, f"chi-square / dof {chi2:.3f} lies outside 0.9 to 1.1")
    if stated is None:
        ft.fail(NAME, "the file's note states no correlation of neighbouring bins")
    if abs(np.median(corr) - stated) > 0.1:
        ft.fail(NAME, f"the neighbours' correlation {np.median(corr):+.3f} is not the stated {stated:+.2f}")


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) == 4 else 24)
