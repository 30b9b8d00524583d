// The simulator's forward model: the fixed parts of the instrument, the
// detector, the samples, and the noiseless pictures that the exposures count.
//
// The forward model, for the pixel at angle 2theta from the beam:
//
//   counts = k * M * t * dS/dW(Q) * T(2theta) * dW * eff + dark rate * time
//
// k: neutrons on the sample per monitor count; M: monitor counts; t: sample
// thickness (cm); dS/dW: macroscopic differential cross-section (cm^-1 sr^-1);
// T(2theta): the fraction of neutrons scattered at 2theta that leave the slab,
// exp(-mu) * (1 - exp(-mu d)) / (mu d) with mu = -ln(transmission) and
// d = 1/cos(2theta) - 1 (depth of scattering uniform through the slab; Pelkaro's
// midpoint form T^(0.5/cos + 0.5) agrees to 1e-7 at the example's angles); dW:
// the solid angle of the pixel on a flat detector, pixel area * cos^3(2theta) / L^2;
// eff: the pixel's efficiency.  Q = 4 pi / lambda * sin(theta).  The product
// is averaged over 8 x 8 points of each pixel, and each count is a Poisson
// draw of that mean.  The beam is monochromatic and ideally collimated: the
// program reports the Q resolution but does not desmear, so the curve is
// checked against the unsmeared model.  The solvent displaced by the spheres
// is folded into the spheres' excess scattering (dilute limit).
//
// The detector (efficiencies, dead and hot pixels) has its own fixed seed,
// so every measurement with the beam in the same place sees the same
// detector.
#ifndef PELKARO_SIM_MODEL_H
#define PELKARO_SIM_MODEL_H

#include <string>
#include <vector>

#include "sim_options.h"

namespace sim {

// ---- Fixed parts of the instrument; the rest are options -------------------
constexpr int kSide = 128;
constexpr int kPixels = kSide * kSide;
constexpr double kPi = 3.141592653589793;
constexpr double kStopRadius = 4.0;       // beam stop shadow, pixels
constexpr double kMaskRadius = 5.5;       // masked around the centre, pixels
constexpr double kSpotRadius = 2.9;       // direct beam at the detector, pixels
constexpr int kSub = 8;                   // integration points per pixel side

// ---- Detector ---------------------------------------------------------------
constexpr double kPerMonitor = 2.0e4;     // neutrons on the sample per monitor count
constexpr double kMonitorRate = 1000.0;   // monitor counts per second
constexpr double kMaxMean = 1e9;          // expected counts of one pixel: the file stores 32-bit integers

// ---- Samples ----------------------------------------------------------------
constexpr double kSolvent = 0.08;         // solvent incoherent dS/dW, cm^-1 sr^-1
constexpr double kSolventSigma = 1.0;     // solvent total cross-section, cm^-1
constexpr double kSampleSigma = 1.06;     // sample: solvent plus the spheres' scattering
constexpr double kWater = 0.9;            // flat-field water, cm^-1 sr^-1
constexpr double kWaterSigma = 5.6;       // cm^-1
constexpr double kWaterThickness = 0.1;   // cm
constexpr double kBeamTime = 30.0;
constexpr double kBeamNeutrons = 5.0e4;   // attenuated beam reaching the detector

// ---- Physics ----------------------------------------------------------------
// Sphere form factor [3 (sin x - x cos x) / x^3]^2, x = QR.
double sphere_form(double x);

// Forward scattering of the spheres: volume fraction * volume * contrast^2.
double forward_intensity(const Settings& s);

// Fraction of neutrons scattered at 2theta inside a slab of optical thickness
// mu that leave it (T(2theta) of the forward model above).
double slab_transmission(double mu, double cos2t);

// cos(2theta) at pixel coordinates (x, y).
double cos2theta(const Settings& s, double x, double y);

// Efficiencies: a few per cent pixel to pixel, a 2 % gradient across the
// detector, dead pixels (0) and hot pixels whose amplifier multiplies the
// counts four- to eightfold, none of them near the beam.
std::vector<double> make_detector(const Settings& s);

// ---- One measurement --------------------------------------------------------
// Values that follow from the settings: the counting of sample and buffer and
// the optical thickness of their cells.
struct Run {
    std::string origin;  // the command that regenerates the files
    double sam_monitor = 0, buf_monitor = 0, sam_time = 0, buf_time = 0;
    double mu_sam = 0, mu_buf = 0, t_sam = 0, t_buf = 0;
    std::string t_sam_text, t_buf_text;  // as the parameter file gives them
};

Run derive(const Settings& s);

// The noiseless pictures that the exposures count.
struct Images {
    std::vector<double> sample, buffer, dark, water, spot;
    double spot_area = 0.0;
};

// The flat field's water with the beam stop's shadow about (stop_x, stop_y).
std::vector<double> water_image(const Settings& s, double stop_x, double stop_y);

Images make_images(const Settings& s, const Run& r);

}  // namespace sim

#endif
