"""The resolution kernel of a curve as a sasmodels resolution function.

The kernel gives, for each point i of a curve, the distribution of |Q| that
the instrument makes contribute to it, tabulated on nodes Q[i, j] with
weights w[i, j] (each row increasing in Q, its weights summing to 1): the
model smeared as the instrument smears it is sum_j w[i, j] I(Q[i, j]).
pelkaro-nxcansas writes it into the NXcanSAS file as the group
sasentry01/resolution_kernel; a reduction carries it as the curve's
kernel_q and kernel_weight.
"""

import os

import numpy

_GROUP = "sasentry01/resolution_kernel"
# How far a row's weights may sum from 1: the file stores them in double
# precision, summed in any order.
_SUM_TOLERANCE = 1e-9


def _text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def _from_file(path):
    """Q of the curve, the kernel's nodes and weights from an NXcanSAS file."""
    try:
        import h5py  # type: ignore  # (no types of its own)
    except ImportError as exc:
        raise ImportError(f"reading the resolution kernel of {path} needs h5py (Debian: python3-h5py)") from exc
    try:
        with h5py.File(path, "r") as f:
            group = f.get(_GROUP)
            if not isinstance(group, h5py.Group):
                version = f.attrs.get("pelkaro_format_version")
                why = ("it was written before the kernel (pelkaro_format_version 2)" if version is None or
                       int(numpy.asarray(version).ravel()[0]) < 2 else "the group is missing")
                raise ValueError(f"{path}: no resolution kernel ({_GROUP}): {why}")
            data = "sasentry01/" + _text(group.attrs.get("data", "sasdata01"))
            arrays = []
            for where, name in ((data, "Q"), (_GROUP, "Q"), (_GROUP, "weight")):
                item = f.get(f"{where}/{name}")
                if not isinstance(item, h5py.Dataset):
                    raise ValueError(f"{path}: no dataset {where}/{name}")
                arrays.append(numpy.array(item[()], dtype=numpy.float64))
    except OSError as exc:
        raise ValueError(f"{path}: not an HDF5 file that can be read ({exc})") from exc
    return arrays[0], arrays[1], arrays[2], path


def _from_object(source):
    """The same from a reduction (its curve) or a curve of the module."""
    curve = getattr(source, "curve", source)
    if curve is None:
        raise ValueError("the reduction has no curve (AVGM 0 writes only the image)")
    try:
        q, nodes, weight = curve.q, curve.kernel_q, curve.kernel_weight
    except AttributeError:
        raise TypeError(f"pelkaro.resolution takes an NXcanSAS file's path, a Run or a Curve, "
                        f"not {type(source).__name__}") from None
    return (numpy.asarray(q, dtype=numpy.float64), numpy.asarray(nodes, dtype=numpy.float64),
            numpy.asarray(weight, dtype=numpy.float64), "the curve")


def _check(q, nodes, weight, where):
    """Refuses a kernel that does not fit its curve or is not a distribution."""
    if q.ndim != 1 or nodes.ndim != 2 or weight.shape != nodes.shape or nodes.shape[0] != q.size:
        raise ValueError(f"{where}: the kernel's Q {nodes.shape} and weight {weight.shape} are not "
                         f"[points, nodes] for the curve's {q.size} points")
    if nodes.shape[1] == 0 or not (numpy.all(numpy.isfinite(nodes)) and numpy.all(numpy.isfinite(weight))):
        raise ValueError(f"{where}: the kernel has no nodes, or values that are not finite")
    if numpy.any(weight < 0) or numpy.any(nodes < 0):
        raise ValueError(f"{where}: the kernel has a negative weight or Q")
    if numpy.any(numpy.diff(nodes, axis=1) < 0):
        raise ValueError(f"{where}: the kernel's Q does not increase along a row")
    sums = weight.sum(axis=1)
    worst = int(numpy.argmax(numpy.abs(sums - 1)))
    if abs(sums[worst] - 1) > _SUM_TOLERANCE:
        raise ValueError(f"{where}: the kernel's weights of point {worst} sum to {sums[worst]!r}, not 1")


class _KernelResolution:
    """The instrument's resolution kernel: I(q[i]) = sum_j weight[i, j] I(q_calc[i, j])."""

    def __init__(self, q, nodes, weight):
        self.q = q
        self.q_calc = nodes.ravel()
        self.weight = weight

    def apply(self, theory):
        theory = numpy.asarray(theory, dtype=numpy.float64)
        if theory.shape != self.q_calc.shape:
            raise ValueError(f"the theory has {theory.size} values; the kernel has {self.q_calc.size} nodes")
        return numpy.einsum("ij,ij->i", self.weight, theory.reshape(self.weight.shape))


def resolution(source):
    """The resolution kernel of a curve as a sasmodels.resolution.Resolution.

    source: the path of an NXcanSAS file pelkaro-nxcansas wrote (read with
    h5py), or a Run or Curve of this module.  The result has q (the curve's
    Q, one per point), q_calc (the kernel's nodes, row after row: evaluate
    the model there) and apply(theory), which turns the model at q_calc into
    the smeared model at q.  Needs sasmodels.
    """
    try:
        from sasmodels.resolution import Resolution  # type: ignore  # (no types of its own)
    except ImportError as exc:
        raise ImportError("pelkaro.resolution needs sasmodels (Debian: python3-sasmodels)") from exc
    if isinstance(source, (str, bytes, os.PathLike)):
        q, nodes, weight, where = _from_file(os.fsdecode(source))
    else:
        q, nodes, weight, where = _from_object(source)
    _check(q, nodes, weight, where)

    # The class is made here, from sasmodels' base, so that importing
    # pelkaro does not import sasmodels.
    kind = type("KernelResolution", (Resolution,), {"__doc__": _KernelResolution.__doc__,
                                                    "__init__": _KernelResolution.__init__,
                                                    "apply": _KernelResolution.apply})
    return kind(q, nodes, weight)
