#!/usr/bin/python3
"""pyFAI as the peer of Pelkaro's timings: the example's geometry (pixel size,
distance, wavelength and beam centre of a Pelkaro parameter file), its mask
and the radial bins of Pelkaro's average (the same number of bins of the same
width, out to the same largest radius).

  pyfai_peer.py csr PAR FRAMES N          frames/s of a cached csr integrate1d
                                          with Poisson errors of N frames
                                          taken in turn from the detector
                                          files FRAMES... (held in memory),
                                          then frames per second of processor
                                          time (all threads)
  pyfai_peer.py splitpixel PAR D2D N      median seconds of N cached splitpixel
                                          integrate1d of the image of a .d2d

Prints its figures on one line of standard output.  Exit status 3 (and a message on
standard error) when pyFAI cannot be imported.
"""
import math
import os
import sys
import time


def read_par(path):
    """The keywords of a parameter file, each with its values as strings."""
    keys = {}
    with open(path) as f:
        for line in f:
            words = line.split()
            if words and not words[0].startswith("#"):
                keys.setdefault(words[0], words[1:])
    return keys


def counts(path):
    """The 128 x 128 values of a detector or mask file, row y, column x."""
    import numpy
    values = []
    with open(path) as f:
        for line in f:
            s = line.strip()
            if not s or s[0] in "#<":
                continue
            values.extend(float(w) for w in s.split())
    return numpy.array(values[:128 * 128], dtype=numpy.float32).reshape(128, 128)


def radial_bins(keys):
    """The number of bins and the largest radius (mm) of Pelkaro's average."""
    bx, by = (float(v) for v in keys["CNTR"][:2])
    px, py = (float(v) for v in keys["PXSP"][:2])
    width = float(keys.get("BINS", ["1"])[0]) * (py if px > py else px)
    x = bx + 0.5 if bx > 95 else 191.5 - bx
    y = by + 0.5 if by > 95 else 191.5 - by
    rmax = math.hypot(x * px, y * py)
    return int(rmax / width) + 1, rmax


def integrator(keys):
    from pyFAI.azimuthalIntegrator import AzimuthalIntegrator
    from pyFAI.detectors import Detector
    bx, by = (float(v) for v in keys["CNTR"][:2])
    px, py = (float(v) * 1e-3 for v in keys["PXSP"][:2])
    det = Detector(pixel1=py, pixel2=px, max_shape=(128, 128))
    return AzimuthalIntegrator(dist=float(keys["SM2D"][0]) * 1e-3, poni1=by * py, poni2=bx * px,
                               detector=det, wavelength=float(keys["WAVE"][0]) * 1e-10)


def mask_of(par, keys):
    """pyFAI's mask (non-zero: left out) from the parameter file's mask file."""
    import numpy
    name = keys["MASK"][0]
    return (counts(os.path.join(os.path.dirname(par), name)) == 0).astype(numpy.int8)


def main(argv):
    try:
        import pyFAI  # noqa: F401
    except ImportError as e:
        sys.stderr.write("pyFAI is not installed (%s): the peer is skipped\n" % e)
        return 3
    import logging
    logging.disable(logging.WARNING)
    how, par = argv[1], argv[2]
    keys = read_par(par)
    ai = integrator(keys)
    mask = mask_of(par, keys)
    npt, rmax = radial_bins(keys)
    kw = dict(mask=mask, unit="r_mm", radial_range=(0.0, rmax), correctSolidAngle=False)
    if how == "csr":
        frames = [counts(f) for f in argv[3:-1]]
        n = int(argv[-1])
        ai.integrate1d(frames[0], npt, method="csr", error_model="poisson", **kw)  # the engine made once
        t0, c0 = time.perf_counter(), time.process_time()
        for i in range(n):
            ai.integrate1d(frames[i % len(frames)], npt, method="csr", error_model="poisson", **kw)
        print("%.1f %.1f" % (n / (time.perf_counter() - t0), n / (time.process_time() - c0)))
        return 0
    image = counts(argv[3])
    n = int(argv[4])
    ai.integrate1d(image, npt, method="splitpixel", **kw)
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        ai.integrate1d(image, npt, method="splitpixel", **kw)
        times.append(time.perf_counter() - t0)
    times.sort()
    print("%.6f" % times[len(times) // 2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
