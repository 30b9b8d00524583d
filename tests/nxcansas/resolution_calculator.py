#!/usr/bin/env python3
"""The curve's Qdev against SasView's resolution calculator.

    resolution_calculator.py PELKARO_NXCANSAS EXAMPLES_DIR

Reduces the example and computes, for the instrument the file describes
(apertures as diameters, no gravity), the calculator's one-dimensional sigma
at the Q of every bin; the file's Qdev must agree to 2 % in every bin (the
calculator leaves out the bin width, most of the difference).  Status 0
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


def main(nxcansas, examples):
    h5py, np, rc_module = ft.need(NAME, ["h5py", "numpy", "sas.sascalc.calculator.resolution_calculator"],
                                  "python3-sasview and python3-h5py")
    with ft.Scratch() as where:
        for name in ("spheres.par", "sphere_sample.dat", "solvent_buffer.dat", "dark_current.dat",
                     "flat_field.dat", "detector.mask"):
            shutil.copy(f"{examples}/{name}", where)
        ft.run(NAME, [nxcansas, "spheres.par"], cwd=where)
        with h5py.File(f"{where}/sphere_sample.h5", "r") as f:
            q, qdev = (f["sasentry01/sasdata01"][k][()].astype(float) for k in ("Q", "Qdev"))
            sigma = np.array(calculator_sigmas(rc_module, f, q))
    ratio = qdev / sigma
    print(f"{NAME}: Qdev / SasView's sigma over {len(q)} bins: min {ratio.min():.4f} at Q {q[ratio.argmin()]:.4f}, "
          f"max {ratio.max():.4f} at Q {q[ratio.argmax()]:.4f}")
    if not np.all(np.abs(ratio - 1) <= 0.02):
        ft.fail(NAME, "Qdev differs from SasView's resolution calculator by more than 2 % in some bins")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1], sys.argv[2])
