#!/usr/bin/env python3
"""The curve's Qdev against SasView's resolution calculator.

    resolution_calculator.py PELKARO_NXCANSAS EXAMPLES_DIR

Reduces the example (without gravity) and computes, for the instrument the
file describes (apertures as diameters, no gravity), the calculator's
one-dimensional sigma at the Q of every bin.  The calculator gives the
spread of a point of the detector; the file's Qdev is that of a bin, whose
detector area spreads over the bin's width and the pixels cut by its
edges: with that spread added in quadrature (the variance of Q over the
bin's area, k^2 (W^2 / 12 + (px^2 + py^2) / 24) / SDD^2, W the bin width),
Qdev must agree with it to 2 % in every bin but the first, whose inner part
lies in the beam stop's mask (its area spreads over less than W).  Status 0
when it does, 1 when not, 77 when SasView or h5py is missing (1 under CI).
"""
import shutil
import sys

import field_tools as ft

NAME = "resolution_calculator"


def calculator_sigmas(rc_module, f, q):
    ins = f["sasentry01/sasinstrument"]
    wavelength = float(ins["sassource/incident_wavelength"][()])
    spread = float(ins["sassource/incident_wavelength_spread"][()]) / wavelength  # FWHM, relative
    rc = rc_module.ResolutionCalculator()
    rc.set_wavelength(wavelength)
    rc.set_wavelength_spread(spread)
    rc.set_source_aperture_size([float(ins["sasaperture01/x_gap"][()])])
    rc.set_sample_aperture_size([float(ins["sasaperture02/x_gap"][()])])
    rc.set_source2sample_distance([float(ins["sascollimation/distance"][()])])
    rc.set_sample2sample_distance([0.0])
    rc.set_sample2detector_distance([float(ins["sasdetector/SDD"][()])])
    rc.set_detector_pix_size([float(ins["sasdetector/x_pixel_size"][()]), float(ins["sasdetector/y_pixel_size"][()])])
    rc.set_detector_size([128, 128])
    rc.set_neutron_mass(0.0)  # no gravity
    rc.get_all_instrument_params()  # the calculator computes from these copies
    return [rc.compute(wavelength, spread, x, 0.0, tof=False)[5] for x in q]


def bin_width(f):
    """The radial bin width the average used, from the process's terms."""
    for name, term in f["sasentry01/sasprocess"].items():
        if name.startswith("term") and term.attrs.get("name") in ("radial bin width", b"radial bin width"):
            return float(term[()])
    ft.fail(NAME, "the file names no radial bin width")


def main(nxcansas, examples):
    h5py, np, rc_module = ft.need(NAME, ["h5py", "numpy", "sas.sascalc.calculator.resolution_calculator"],
                                  "python3-sasview and python3-h5py")
    with ft.Scratch() as where:
        for name in ("spheres.par", "sphere_sample.dat", "solvent_buffer.dat", "dark_current.dat",
                     "flat_field.dat", "detector.mask"):
            shutil.copy(f"{examples}/{name}", where)
        ft.run(NAME, [nxcansas, "--no-gravity", "spheres.par"], cwd=where)
        with h5py.File(f"{where}/sphere_sample.h5", "r") as f:
            q, qdev = (f["sasentry01/sasdata01"][k][()].astype(float) for k in ("Q", "Qdev"))
            sigma = np.array(calculator_sigmas(rc_module, f, q))
            ins = f["sasentry01/sasinstrument"]
            k = 2 * np.pi / float(ins["sassource/incident_wavelength"][()])
            px, py = (float(ins["sasdetector"][n][()]) for n in ("x_pixel_size", "y_pixel_size"))
            sdd = float(ins["sasdetector/SDD"][()])
            width = bin_width(f)
            sigma = np.sqrt(sigma**2 + k**2 * (width**2 / 12 + (px**2 + py**2) / 24) / sdd**2)
    ratio = qdev[1:] / sigma[1:]
    q = q[1:]
    print(f"{NAME}: Qdev / SasView's sigma over {len(q)} bins: min {ratio.min():.4f} at Q {q[ratio.argmin()]:.4f}, "
          f"max {ratio.max():.4f} at Q {q[ratio.argmax()]:.4f}")
    if not np.all(np.abs(ratio - 1) <= 0.02):
        ft.fail(NAME, "Qdev differs from SasView's resolution calculator by more than 2 % in some bins")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1], sys.argv[2])
