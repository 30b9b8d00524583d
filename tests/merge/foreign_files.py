#!/usr/bin/env python3
"""pelkaro-merge on NXcanSAS files written by another program (h5py).

    foreign_files.py PELKARO_MERGE

Two curves of I = 1e-3 / Q^2 written with h5py as other software writes
NXcanSAS: attributes as fixed-length byte strings, no root "default", the
entry and data groups found by their canSAS_class, Q in 1/nm, I in cm^-1,
the uncertainty named by I@uncertainties ("dI"), no Qdev in one of them.
The second curve is spoiled by 1/1.2: the merge must give the factor 1.2
back, the power law on every point, and no Qdev (one input has none).
Status 0, 1 on failure, 77 without h5py or numpy (1 under CI=true).
"""
import os
import re
import subprocess
import sys
import tempfile
import shutil

NAME = "foreign_files"


def need():
    try:
        import h5py
        import numpy
        return h5py, numpy
    except ImportError as exc:
        print(f"{NAME}: {exc}; install python3-h5py", file=sys.stderr)
        sys.exit(1 if os.environ.get("CI", "") not in ("", "false", "0") else 77)


def fail(message):
    print(f"{NAME}: {message}", file=sys.stderr)
    sys.exit(1)


def write(h5py, np, path, q_nm, factor, with_qdev):
    fixed = np.bytes_
    with h5py.File(path, "w") as f:
        e = f.create_group("run_a")
        e.attrs["canSAS_class"] = fixed("SASentry")
        e.attrs["NX_class"] = fixed("NXentry")
        g = e.create_group("data1")
        g.attrs["canSAS_class"] = fixed("SASdata")
        g.attrs["signal"] = fixed("I")
        g.attrs["I_axes"] = fixed("Q")
        q_a = q_nm / 10.0
        i = factor * 1e-3 / q_a ** 2
        dq = g.create_dataset("Q", data=q_nm.astype(np.float32))
        dq.attrs["units"] = fixed("1/nm")
        di = g.create_dataset("I", data=i)
        di.attrs["units"] = fixed("cm^-1")
        di.attrs["uncertainties"] = fixed("dI")
        g.create_dataset("dI", data=0.01 * i).attrs["units"] = fixed("1/cm")
        if with_qdev:
            dq.attrs["resolutions"] = fixed("dQ")
            g.create_dataset("dQ", data=0.05 * q_nm).attrs["units"] = fixed("1/nm")


def main(merge):
    h5py, np = need()
    where = tempfile.mkdtemp(prefix="pelkaro-merge-")
    try:
        a, b, out = (os.path.join(where, n) for n in ("a.h5", "b.h5", "m.h5"))
        write(h5py, np, a, np.geomspace(0.01, 0.2, 30), 1.0, True)
        write(h5py, np, b, np.geomspace(0.1, 2.0, 30), 1 / 1.2, False)
        done = subprocess.run([merge, "-o", out, a, b], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            fail(f"status {done.returncode}: {done.stderr.strip()}")
        print(done.stdout, end="")
        m = re.search(re.escape(b) + r": Q 0\.01-0\.2 1/angstrom, .* scale ([0-9.]+) \+- ", done.stdout)
        if not m or abs(float(m.group(1)) / 1.2 - 1) > 1e-5:
            fail(f"the factor of b.h5 is not 1.2: {done.stdout}")
        with h5py.File(out, "r") as f:
            g = f["sasentry01/sasdata01"]
            q, i = g["Q"][()], g["I"][()]
            if "Qdev" in g:
                fail("a Qdev is written although b.h5 has none")
            if len(q) != 60 or np.max(np.abs(i * q ** 2 / 1e-3 - 1)) > 1e-5:
                fail("the merged curve is not the power law on 60 points")
    finally:
        shutil.rmtree(where, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1])
