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


def sphere_model(core):
    """sasmodels' sphere in double precision.  With pyopencl installed
    sasmodels compiles its models in single precision by default; a
    least-squares fit's finite-difference derivatives are then rounding noise
    and the fit never leaves its start."""
    return core.load_model("sphere", dtype="double")


def fine_pinhole(np, resolution, q, dq, per_sigma=8):
    """The curve's Gaussian resolution (sigma dq at each q) evaluated on an
    even Q grid of per_sigma points per narrowest sigma, 5 sigma beyond each
    end.  sasmodels' default Pinhole1D evaluates the model only at the data's
    own Q points (extended beyond the ends): with bins a fraction of sigma
    apart its integral of a sphere's flanks makes steps of several tenths of
    a percent between neighbouring bins."""
    lo, hi = max(q.min() - 5 * dq.max(), 0.05 * q.min()), q.max() + 5 * dq.max()
    grid = np.arange(lo, hi, dq.min() / per_sigma)
    return resolution.Pinhole1D(q, dq, q_calc=grid)


def smeared_sphere(core, direct, res):
    """The double-precision sphere at res.q_calc smeared by res: a function
    of the model's parameters (keywords) giving the intensity at res.q."""
    kernel = sphere_model(core).make_kernel([res.q_calc])
    return lambda **pars: res.apply(direct.call_kernel(kernel, pars))


class KernelResolution:
    """A file's resolution kernel (nodes and weights, points x nodes) with
    the face of a sasmodels resolution: q, q_calc and apply."""

    def __init__(self, np, q, nodes, weight):
        self.np, self.q, self.q_calc, self.weight = np, q, nodes.ravel(), weight

    def apply(self, theory):
        return self.np.einsum("ij,ij->i", self.weight, self.np.reshape(theory, self.weight.shape))
