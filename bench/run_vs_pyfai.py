#!/usr/bin/python3
"""One Pelkaro run on the bundled example, whole process, side by side with
pyFAI's cached splitpixel integrate1d of the reduced image it writes (same
geometry, mask and bins; bench/pyfai_peer.py), and where a run's time goes.

  bench/run_vs_pyfai.py [-n RUNS] BUILD [OLD_BUILD]

Every round runs, in turn: Pelkaro spheres.par (in a scratch copy of
examples/, standard output to /dev/null) with the previous run's .d1d and
.d2d removed first (untimed), Pelkaro spheres.par replacing them, one pyFAI
integration, `Pelkaro --version` (starting and ending the process),
/bin/true, OLD_BUILD's Pelkaro (outputs removed first) when given, and one
more run of Pelkaro (outputs removed first) with PELKARO_STAGE_TIMES, which
has the process itself note the end of each stage.  Medians of RUNS rounds
(default 40), and the ratios Pelkaro / pyFAI (of the medians, and round by
round: each run against the integration of its round).  On a file system
mounted with `discard` (ext4 here) replacing a file makes the kernel free
and discard the old one's blocks, about 3 ms, which the first figure leaves
out: it is the file system's cost, not the reduction's.  Where a run's time
goes: the medians of the stages the runs with PELKARO_STAGE_TIMES noted
(memory, parameters, reading, reduction, average, writing), and what they
leave of the first figure (starting and ending the process; noting the
stages costs those runs some time of their own, which is left out); a build
whose Pelkaro does not note them gets no such split.  Without pyFAI the peer
is skipped with a message.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import pyfai_peer  # noqa: E402


def timed(argv, cwd, fresh=False, env=None):
    if fresh:
        for name in ("sphere_sample.d1d", "sphere_sample.d2d"):
            try:
                os.unlink(os.path.join(cwd, name))
            except FileNotFoundError:
                pass
    t0 = time.perf_counter()
    subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                   env=dict(os.environ, **env) if env else None)
    return time.perf_counter() - t0


def peer(par, d2d):
    """A function that times one cached splitpixel integration, or None."""
    try:
        import pyFAI  # noqa: F401
    except ImportError as e:
        print("pyFAI is not installed (%s): the peer is skipped" % e)
        return None
    import logging
    logging.disable(logging.WARNING)
    keys = pyfai_peer.read_par(par)
    ai = pyfai_peer.integrator(keys)
    mask = pyfai_peer.mask_of(par, keys)
    npt, rmax = pyfai_peer.radial_bins(keys)
    image = pyfai_peer.counts(d2d)
    kw = dict(mask=mask, unit="r_mm", radial_range=(0.0, rmax), correctSolidAngle=False, method="splitpixel")
    ai.integrate1d(image, npt, **kw)

    def one():
        t0 = time.perf_counter()
        ai.integrate1d(image, npt, **kw)
        return time.perf_counter() - t0
    return one


def staged(exe, cwd, times):
    """One run with its stages timed by the process: (whole, {stage: s})."""
    if os.path.exists(times):
        os.unlink(times)  # not replaced by the run: the file system's cost of that is not the run's
    whole = timed([exe, "spheres.par"], cwd, True, {"PELKARO_STAGE_TIMES": times})
    stages = {}
    if not os.path.exists(times):
        return whole, None  # a build from before the stages were noted
    with open(times) as f:
        for line in f:
            name, seconds = line.split()
            stages[name] = stages.get(name, 0.0) + float(seconds)
    return whole, stages


def where(runs, plain):
    """Where a run's time goes: the medians of its stages, and the rest of
    the plain runs' median `plain` (noting the stages costs a run some time
    of its own, which is left out)."""
    runs = [r for r in runs if r[1] is not None]
    if not runs:
        print("where a run's time goes: this build's Pelkaro does not note its stages (PELKARO_STAGE_TIMES)")
        return
    labels = {"memory": "memory arranged (the first huge page)", "parameters": "parameter file read and parsed",
              "reading": "detector files and mask read", "reduction": "solid angle, flat field, subtraction",
              "average": "average", "writing": "writing (.d2d, .d1d)"}
    inside = statistics.median(sum(s.values()) for _, s in runs)
    print("where a run's %.3f ms go, as the process notes its stages (PELKARO_STAGE_TIMES; medians of %d runs):"
          % (plain * 1e3, len(runs)))
    print("  %-50s %8.3f ms" % ("starting and ending the process (the rest)", (plain - inside) * 1e3))
    names = [k for k in labels if k in runs[0][1]] + [k for k in runs[0][1] if k not in labels]
    for name in names:
        print("  %-50s %8.3f ms" % (labels.get(name, name), statistics.median(s.get(name, 0.0) for _, s in runs) * 1e3))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-n", type=int, default=40)
    ap.add_argument("build")
    ap.add_argument("old", nargs="?")
    a = ap.parse_args()
    for d in [a.build] + ([a.old] if a.old else []):
        if not os.access(os.path.join(d, "Pelkaro"), os.X_OK):
            ap.error(f"{d} is not a build directory (no Pelkaro in it)")
    if a.n < 1:
        ap.error("-n takes a whole number above 0")
    exe = os.path.join(os.path.abspath(a.build), "Pelkaro")
    old = os.path.join(os.path.abspath(a.old), "Pelkaro") if a.old else None
    scratch = tempfile.mkdtemp(prefix="run_vs_pyfai.")
    # The stage times on tmpfs where there is one: on this ext4 creating a
    # file just after removing one costs more than the run's whole writing.
    times = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else scratch, "run_vs_pyfai.%d.stages" % os.getpid())
    try:
        dirs = {}
        for name in ("new", "old"):
            dirs[name] = os.path.join(scratch, name)
            shutil.copytree(os.path.join(HERE, "..", "examples"), dirs[name])
        subprocess.run([exe, "spheres.par"], cwd=dirs["new"], stdout=subprocess.DEVNULL, check=True)
        one_peer = peer(os.path.join(dirs["new"], "spheres.par"), os.path.join(dirs["new"], "sphere_sample.d2d"))
        print("load at start: %s" % open("/proc/loadavg").read().strip())
        t = {"Pelkaro spheres.par": [], "the same, replacing its files": [], "pyFAI splitpixel integrate1d": [],
             "Pelkaro --version": [], "/bin/true": [], "old Pelkaro spheres.par": []}
        runs = []
        for _ in range(a.n):
            t["Pelkaro spheres.par"].append(timed([exe, "spheres.par"], dirs["new"], True))
            t["the same, replacing its files"].append(timed([exe, "spheres.par"], dirs["new"]))
            if one_peer:
                t["pyFAI splitpixel integrate1d"].append(one_peer())
            t["Pelkaro --version"].append(timed([exe, "--version"], dirs["new"]))
            t["/bin/true"].append(timed(["/bin/true"], dirs["new"]))
            if old:
                t["old Pelkaro spheres.par"].append(timed([old, "spheres.par"], dirs["old"], True))
            runs.append(staged(exe, dirs["new"], times))
        print("load at end:   %s" % open("/proc/loadavg").read().strip())
        med = {k: statistics.median(v) for k, v in t.items() if v}
        print("medians of %d rounds, taken in turn:" % a.n)
        for k, v in med.items():
            print("  %-32s %8.3f ms" % (k, v * 1e3))
        run = med["Pelkaro spheres.par"]
        if "pyFAI splitpixel integrate1d" in med:
            peer_s = med["pyFAI splitpixel integrate1d"]
            print("Pelkaro / pyFAI: %.2f (replacing its files: %.2f)" % (run / peer_s,
                                                                       med["the same, replacing its files"] / peer_s))
            # Each round's run against the integration timed a moment
            # later: the host's speed drifts from round to round.
            paired = sorted(r / p for r, p in zip(t["Pelkaro spheres.par"], t["pyFAI splitpixel integrate1d"]))
            print("  round by round: median %.2f, quartiles %.2f - %.2f" % (
                statistics.median(paired), paired[len(paired) // 4], paired[(3 * len(paired)) // 4]))
        if old:
            print("old / new Pelkaro: %.2f" % (med["old Pelkaro spheres.par"] / run))
        where(runs, run)
    finally:
        shutil.rmtree(scratch)
        if os.path.exists(times):
            os.unlink(times)


if __name__ == "__main__":
    main()
