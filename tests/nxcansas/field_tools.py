"""What the field's-tools tests of pelkaro-nxcansas share: the modules they
need (a missing one skips the test with status 77, or fails it under
continuous integration, CI=true), running the programs in a scratch
directory and reading the curve of a file."""
import os
import shutil
import subprocess
import sys
import tempfile


def in_ci():
    return os.environ.get("CI", "") not in ("", "false", "0")


def need(name, modules, package):
    """Imports `modules` (names); exits 77, or 1 under CI, when one is missing."""
    loaded = []
    for module in modules:
        try:
            loaded.append(__import__(module, fromlist=["_"]))
        except ImportError as exc:
            print(f"{name}: {exc}; install {package}", file=sys.stderr)
            sys.exit(1 if in_ci() else 77)
    return loaded


def fail(name, message):
    print(f"{name}: {message}", file=sys.stderr)
    sys.exit(1)


def run(name, args, cwd=None):
    done = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        fail(name, f"{' '.join(args)} exited with {done.returncode}: {done.stderr.strip()}")
    return done.stdout


class Scratch:
    """A scratch directory, removed afterwards."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="pelkaro-field-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def simulate_and_reduce(name, sim, nxcansas, where, options):
    """pelkaro_sim with `options` into `where`, then pelkaro-nxcansas on it;
    returns the file's path."""
    run(name, [sim, "--out", where] + options)
    run(name, [nxcansas, "spheres.par"], cwd=where)
    return os.path.join(where, "sphere_sample.h5")


def curve(h5py, path, names=("Q", "I", "Idev", "Qdev")):
    with h5py.File(path, "r") as f:
        c = f["sasentry01/sasdata01"]
        return [c[k][()].astype(float) for k in names]
