#!/usr/bin/env python3
"""SasView's own loader on a file of pelkaro-nxcansas.

    sasview_load.py FILE.h5

Checks that both data sets load: the curve with its Q resolution (dQ), the
image with exactly the pixels of its Mask left out and its resolution along
and across Q as dqx_data and dqy_data (which sasmodels smears with as the
sigmas parallel and perpendicular to Q), each holding the values of the
file; and that no pixel's uncertainty is zero.  Exit status 0 when they do, 1 when not, 77 when SasView or
h5py is not installed (Debian: python3-sasview, python3-h5py).
"""
import sys

try:
    import h5py
    import numpy as np
    from sas.sascalc.dataloader.data_info import Data1D, Data2D
    from sas.sascalc.dataloader.loader import Loader
except ImportError as exc:
    print(f"sasview_load: {exc}; install python3-sasview and python3-h5py", file=sys.stderr)
    sys.exit(77)


def fail(message):
    print(f"sasview_load: {message}", file=sys.stderr)
    sys.exit(1)


def same(a, b):
    return np.array_equal(np.asarray(a, dtype=np.float64).ravel(), np.asarray(b, dtype=np.float64).ravel())


def main(path):
    loaded = Loader().load(path)
    curves = [d for d in loaded if isinstance(d, Data1D)]
    images = [d for d in loaded if isinstance(d, Data2D)]
    if len(curves) != 1 or len(images) != 1:
        fail(f"expected one curve and one image, SasView loaded {len(curves)} and {len(images)}")
    for d in curves + images:
        if d.errors:
            fail(f"SasView reports errors: {d.errors}")
    with h5py.File(path, "r") as f:
        c = f["sasentry01/sasdata01"]
        im = f["sasentry01/sasdata02"]
        q, i, idev, qdev = (c[k][()] for k in ("Q", "I", "Idev", "Qdev"))
        image, excluded = im["I"][()], im["Mask"][()].astype(bool)
        image_dev, image_qdev = im["Idev"][()], im["Qdev"][()]
    curve = curves[0]
    if not (same(curve.x, q) and same(curve.y, i) and same(curve.dy, idev)):
        fail("the curve's Q, I or dI differ from the file's")
    if curve.dx is None or not same(curve.dx, qdev):
        fail("the curve's dQ is missing or differs from the file's Qdev")
    img = images[0]
    if not same(img.data, image):
        fail("the image's intensities differ from the file's")
    # SasView's mask marks the pixels it uses.
    left_out = ~np.asarray(img.mask, dtype=bool).ravel()
    if not np.array_equal(left_out, excluded.ravel()):
        fail(f"SasView leaves out {left_out.sum()} pixels, the file's Mask {excluded.sum()}")
    if img.dqx_data is None or img.dqy_data is None:
        fail("the image's resolution (dqx_data, dqy_data) did not load")
    if not (same(img.dqx_data, image_qdev[0]) and same(img.dqy_data, image_qdev[1])):
        fail("the image's dqx_data and dqy_data are not the file's Qdev[0] (along Q) and Qdev[1] (across Q)")
    if not same(img.err_data, image_dev) or not np.all(np.asarray(img.err_data) > 0):
        fail("the image's uncertainties differ from the file's or are not all above zero")
    if not excluded.any():
        fail("the file masks no pixel; the check would prove nothing")
    print(f"sasview_load: curve of {len(curve.x)} points with dQ, image of {img.data.size} pixels "
          f"with {left_out.sum()} left out and its resolution along and across Q")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: sasview_load.py FILE.h5", file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1])
