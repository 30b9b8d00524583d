// pelkaro_sim: writes a complete, simulated small-angle neutron scattering
// measurement for the 128 x 128 detector, in Pelkaro's own file formats:
//
//   sphere_sample.dat   dilute monodisperse spheres in a solvent
//   solvent_buffer.dat  the solvent alone, in a cell of the same thickness
//   dark_current.dat    beam closed: electronic noise only
//   flat_field.dat      an isotropic scatterer (light water): the detector
//                       efficiencies times the cos^3 solid-angle falloff
//   direct_beam.dat     attenuated direct beam, beam stop out (beam centre)
//   detector.mask       beam stop shadow and the flat field's bad pixels
//   spheres.par         the reduction's parameter file
//   beam_centre.par     a beam-centre run on the direct-beam image
//
// The instrument, the sample and the counting are options (sim_options.h);
// their defaults are the bundled example in examples/.
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
// With Pelkaro's reduction I = 1000 (S - B * buffer) / (T * M * t * ABSF) and
// a flat field normalised to mean 1 over the pixels in use, the absolute
// scale factor that puts the curve in cm^-1 is
//   ABSF = 1000 * k * (pixel area / L^2) * <eff * T_flat(2theta) / T_flat>
// (mean over the pixels in use), which an instrument scientist would obtain
// from a calibration standard; the simulator knows its detector and writes it.
//
// Randomness comes only from our own xoshiro256** generator and Poisson
// sampler (no library distributions), so a seed regenerates the same files:
// the counts are bit-identical wherever the maths library rounds exp, log,
// sin, cos and atan alike (a last-bit difference could move a count only in
// a vanishingly rare draw).  The detector (efficiencies, dead and hot pixels)
// has its own fixed seed, so every measurement with the beam in the same
// place sees the same detector.
#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app.h"
#include "pelkaro/Pelkaro.h"
#include "pelkaro/files.h"
#include "sim_beam.h"
#include "sim_options.h"
#include "sim_resolution.h"

namespace {

using pk::format;
using sim::Settings;
using sim::shortest;

// ---- Fixed parts of the instrument; the rest are options -------------------
constexpr int kSide = 128;
constexpr int kPixels = kSide * kSide;
constexpr double kPi = 3.141592653589793;
constexpr double kStopRadius = 4.0;       // beam stop shadow, pixels
constexpr double kMaskRadius = 5.5;       // masked around the centre, pixels
constexpr double kSpotRadius = 2.9;       // direct beam at the detector, pixels
constexpr int kSub = 8;                   // integration points per pixel side

// ---- Detector ---------------------------------------------------------------
constexpr uint64_t kDetectorSerial = 0x50454c4b41524f31ULL;
constexpr double kEfficiency = 0.85;      // mean efficiency of a good pixel
constexpr int kDeadPixels = 4, kHotPixels = 4;
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

// ---- Random numbers ---------------------------------------------------------
uint64_t splitmix64(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// xoshiro256** seeded through splitmix64.
class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (auto& w : s_) w = splitmix64(seed);
    }
    uint64_t next() {
        const uint64_t r = rotl(s_[1] * 5, 7) * 9, t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return r;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    // Near-normal deviate (sum of twelve uniforms less 6): exact arithmetic only.
    double normal() {
        double s = -6.0;
        for (int i = 0; i < 12; ++i) s += uniform();
        return s;
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
};

// log Gamma(x), x >= 1: Stirling series after shifting x up to 10 (error < 1e-12).
double log_gamma(double x) {
    double shift = 0.0;
    for (; x < 10.0; x += 1.0) shift += std::log(x);
    const double z = 1.0 / (x * x);
    const double series = (1.0 / 12.0 - z * (1.0 / 360.0 - z * (1.0 / 1260.0 - z / 1680.0))) / x;
    return (x - 0.5) * std::log(x) - x + 0.91893853320467274 + series - shift;
}

// Poisson deviate: multiplication of uniforms below a mean of 10, Hormann's
// transformed rejection (PTRS, exact) above it.
int64_t poisson(Rng& g, double mean) {
    if (!(mean > 0.0)) return 0;
    if (mean < 10.0) {
        const double limit = std::exp(-mean);
        int64_t k = 0;
        for (double p = g.uniform(); p > limit; p *= g.uniform()) ++k;
        return k;
    }
    const double slam = std::sqrt(mean), loglam = std::log(mean);
    const double b = 0.931 + 2.53 * slam, a = -0.059 + 0.02483 * b;
    const double inv_alpha = 1.1239 + 1.1328 / (b - 3.4), vr = 0.9277 - 3.6224 / (b - 2.0);
    for (;;) {
        const double u = g.uniform() - 0.5, v = g.uniform(), us = 0.5 - std::fabs(u);
        if (us < 1e-300) continue;
        const double k = std::floor((2.0 * a / us + b) * u + mean + 0.43);
        if (us >= 0.07 && v <= vr) return static_cast<int64_t>(k);
        if (k < 0.0 || (us < 0.013 && v > us)) continue;
        if (std::log(v) + std::log(inv_alpha) - std::log(a / (us * us) + b) <=
            -mean + k * loglam - log_gamma(k + 1.0))
            return static_cast<int64_t>(k);
    }
}

// ---- Physics ----------------------------------------------------------------
// Sphere form factor [3 (sin x - x cos x) / x^3]^2, x = QR.
double sphere_form(double x) {
    if (x < 1e-3) return 1.0 - x * x / 5.0;
    const double f = 3.0 * (std::sin(x) - x * std::cos(x)) / (x * x * x);
    return f * f;
}

// Forward scattering of the spheres: volume fraction * volume * contrast^2.
double forward_intensity(const Settings& s) {
    const double volume = 4.0 / 3.0 * kPi * s.radius * s.radius * s.radius * 1e-24;  // cm^3
    return s.volume_fraction * volume * s.contrast * s.contrast;
}

// Fraction of neutrons scattered at 2theta inside a slab of optical thickness
// mu that leave it (see the header comment).
double slab_transmission(double mu, double cos2t) {
    const double d = mu * (1.0 / cos2t - 1.0);
    return std::exp(-mu) * (d > 1e-12 ? -std::expm1(-d) / d : 1.0);
}

double cos2theta(const Settings& s, double x, double y) {  // at pixel coordinates (x, y)
    const double r = std::hypot((x - s.centre_x) * s.pixel_x, (y - s.centre_y) * s.pixel_y);
    return std::cos(std::atan(r / s.distance));
}

// Per pixel, the mean over the pixel of dS/dW(Q) * T(2theta) * cos^3(2theta),
// zero in the beam stop's shadow.  xs(Q) is the cross-section, mu = Sigma_t * t.
template <class Xs>
std::vector<double> scatter_image(const Settings& s, Xs xs, double mu) {
    std::vector<double> img(kPixels);
    for (int k = 0; k < kPixels; ++k) {
        double sum = 0.0;
        for (int a = 0; a < kSub; ++a)
            for (int b = 0; b < kSub; ++b) {
                const double x = k % kSide + (a + 0.5) / kSub, y = k / kSide + (b + 0.5) / kSub;
                if (std::hypot(x - s.centre_x, y - s.centre_y) < kStopRadius) continue;
                const double c = cos2theta(s, x, y);
                const double q = 4.0 * kPi / s.wavelength * std::sin(0.5 * std::acos(c));
                sum += xs(q) * slab_transmission(mu, c) * c * c * c;
            }
        img[k] = sum / (kSub * kSub);
    }
    return img;
}

// The fraction of each pixel that the direct beam, a disc about the beam
// centre, covers.
std::vector<double> beam_spot(const Settings& s) {
    std::vector<double> spot(kPixels, 0.0);
    for (int k = 0; k < kPixels; ++k)
        for (int a = 0; a < 20; ++a)
            for (int b = 0; b < 20; ++b)
                if (std::hypot(k % kSide + (a + 0.5) / 20 - s.centre_x, k / kSide + (b + 0.5) / 20 - s.centre_y) <
                    kSpotRadius)
                    spot[k] += 1.0 / 400.0;
    return spot;
}

// Efficiencies: a few per cent pixel to pixel, a 2 % gradient across the
// detector, dead pixels (0) and hot pixels whose amplifier multiplies the
// counts four- to eightfold, none of them near the beam.
std::vector<double> make_detector(const Settings& s) {
    Rng g(kDetectorSerial);
    std::vector<double> eff(kPixels);
    for (int k = 0; k < kPixels; ++k)
        eff[k] = kEfficiency * (1.0 + s.flat_spread * g.normal()) * (1.0 + 0.02 * (k % kSide - 63.5) / 64.0);
    for (int n = 0; n < kDeadPixels + kHotPixels;) {
        const int x = static_cast<int>(g.next() % 120) + 4, y = static_cast<int>(g.next() % 120) + 4;
        const int k = x + kSide * y;
        if (std::hypot(x + 0.5 - s.centre_x, y + 0.5 - s.centre_y) < 10.0 || eff[k] == 0.0 || eff[k] > 2.0)
            continue;
        eff[k] = n < kDeadPixels ? 0.0 : eff[k] * (4.0 + 4.0 * g.uniform());
        ++n;
    }
    return eff;
}

// ---- One measurement --------------------------------------------------------
// Values that follow from the settings: the counting of sample and buffer and
// the optical thickness of their cells.
struct Run {
    std::string origin;  // the command that regenerates the files
    double sam_monitor = 0, buf_monitor = 0, sam_time = 0, buf_time = 0;
    double mu_sam = 0, mu_buf = 0, t_sam = 0, t_buf = 0;
    std::string t_sam_text, t_buf_text;  // as the parameter file gives them
};

// A cell of transmission `given` (0: of total cross-section sigma per cm).
void cell(double given, double sigma, double thick, double& mu, double& trans, std::string& text) {
    mu = given > 0.0 ? -std::log(given) : sigma * thick;
    trans = given > 0.0 ? given : std::exp(-sigma * thick);
    text = given > 0.0 ? shortest(given) : format("%.6f", trans);
}

Run derive(const Settings& s) {
    Run r;
    r.origin = sim::command_line(s);
    r.sam_monitor = std::round(s.monitor);
    r.buf_monitor = s.buffer_monitor > 0.0 ? s.buffer_monitor : std::round(0.75 * s.monitor);
    r.sam_time = s.time > 0.0 ? s.time : std::max(1.0, std::round(r.sam_monitor / kMonitorRate));
    r.buf_time = s.buffer_time > 0.0 ? s.buffer_time : std::max(1.0, std::round(r.buf_monitor / kMonitorRate));
    cell(s.sample_transmission, kSampleSigma, s.thickness, r.mu_sam, r.t_sam, r.t_sam_text);
    cell(s.buffer_transmission, kSolventSigma, s.thickness, r.mu_buf, r.t_buf, r.t_buf_text);
    return r;
}

// The noiseless pictures that the exposures count.
struct Images {
    std::vector<double> sample, buffer, dark, water, spot;
    double spot_area = 0.0;
};

Images make_images(const Settings& s, const Run& r) {
    const double i0 = forward_intensity(s), radius = s.radius;
    Images m;
    m.sample = scatter_image(
        s, [i0, radius](double q) { return i0 * sphere_form(q * radius) + kSolvent; }, r.mu_sam);
    m.buffer = scatter_image(s, [](double) { return kSolvent; }, r.mu_buf);
    m.dark.assign(kPixels, 0.0);
    m.water = scatter_image(s, [](double) { return kWater; }, kWaterSigma * kWaterThickness);
    m.spot = beam_spot(s);
    for (double v : m.spot) m.spot_area += v;
    return m;
}

struct Counts {
    std::vector<int64_t> n;
    double time = 0.0, monitor = 0.0;  // monitor 0: not written
};

// One detector file to expose: Poisson counts of scale * eff * image + dark.
struct Exposure {
    const char* file;
    const char* what;
    const std::vector<double>* image;
    double scale, time, monitor;
};

// The five exposures, in the order they draw from the random generator.
std::vector<Exposure> plan(const Settings& s, const Run& r, const Images& m) {
    const double omega = s.pixel_x * s.pixel_y / (s.distance * s.distance);  // solid angle of a pixel on axis
    return {
        {"sphere_sample.dat", "dilute spheres in solvent", &m.sample,
         kPerMonitor * r.sam_monitor * s.thickness * omega, r.sam_time, r.sam_monitor},
        {"solvent_buffer.dat", "solvent buffer", &m.buffer, kPerMonitor * r.buf_monitor * s.thickness * omega,
         r.buf_time, r.buf_monitor},
        {"dark_current.dat", "dark current, beam closed", &m.dark, 0.0, s.dark_time, 0.0},
        {"flat_field.dat", "flat field, 1 mm light water", &m.water,
         kPerMonitor * s.flat_monitor * kWaterThickness * omega, std::round(s.flat_monitor / kMonitorRate),
         s.flat_monitor},
        {"direct_beam.dat", "attenuated direct beam, beam stop out", &m.spot, kBeamNeutrons / m.spot_area,
         kBeamTime, 0.0},
    };
}

double mean_count(const Exposure& e, const std::vector<double>& eff, int k, double dark_rate) {
    return e.scale * eff[k] * (*e.image)[k] + dark_rate * e.time;
}

// The most counts a pixel of the exposure expects.
double peak_count(const Exposure& e, const std::vector<double>& eff, double dark_rate) {
    double peak = 0.0;
    for (int k = 0; k < kPixels; ++k) peak = std::max(peak, mean_count(e, eff, k, dark_rate));
    return peak;
}

// "" when every pixel of every exposure expects a count the file can hold.
std::string check_counts(const std::vector<Exposure>& shots, const std::vector<double>& eff, double dark_rate) {
    for (const Exposure& e : shots) {
        const double peak = peak_count(e, eff, dark_rate);
        if (peak > kMaxMean)
            return format("a pixel of %s would expect %.3g counts, more than the %.0e a detector file may "
                          "hold; lower the monitor counts, the times, the dark rate or the contrast, or "
                          "lengthen the distance", e.file, peak, kMaxMean);
    }
    return "";
}

Counts expose(Rng& g, const std::vector<double>& eff, const Exposure& e, double dark_rate) {
    Counts c{std::vector<int64_t>(kPixels), e.time, e.monitor};
    for (int k = 0; k < kPixels; ++k) c.n[k] = poisson(g, mean_count(e, eff, k, dark_rate));
    return c;
}

// ---- Mask and scale ---------------------------------------------------------
struct Mask {
    std::vector<int> use;  // 1 = pixel used
    int bad = 0;           // bad pixels found in the flat field
    double absf = 0.0;     // absolute scale factor for the pixels in use
};

// The mask an instrument scientist draws: the beam stop with a margin, and
// every pixel whose flat-field count, freed of the cos^3 falloff, is more
// than 30 % off the median (dead and hot pixels).  Then the scale factor
// over the pixels it keeps.
Mask draw_mask(const Settings& s, const std::vector<double>& eff, const Counts& flat_field) {
    std::vector<double> flat(kPixels);
    for (int k = 0; k < kPixels; ++k) {
        const double c = cos2theta(s, k % kSide + 0.5, k / kSide + 0.5);
        flat[k] = static_cast<double>(flat_field.n[k]) / (c * c * c);
    }
    std::vector<double> sorted = flat;
    std::nth_element(sorted.begin(), sorted.begin() + kPixels / 2, sorted.end());
    const double median = sorted[kPixels / 2];
    Mask m;
    m.use.resize(kPixels);
    double eff_sum = 0.0, n_used = 0.0;
    for (int k = 0; k < kPixels; ++k) {
        const double x = k % kSide + 0.5, y = k / kSide + 0.5;
        const bool stop = std::hypot(x - s.centre_x, y - s.centre_y) < kMaskRadius;
        const bool odd = flat[k] < 0.7 * median || flat[k] > 1.3 * median;
        m.use[k] = !(stop || odd);
        m.bad += !stop && odd;
        if (m.use[k]) {
            const double mu = kWaterSigma * kWaterThickness;
            eff_sum += eff[k] * slab_transmission(mu, cos2theta(s, x, y)) / std::exp(-mu);
            n_used += 1.0;
        }
    }
    const double omega = s.pixel_x * s.pixel_y / (s.distance * s.distance);
    m.absf = 1000.0 * kPerMonitor * omega * eff_sum / n_used;
    return m;
}

// A bound from above on the reduced intensity Pelkaro makes of the counts,
// cm^-1: the sample's counts, the dark current scaled to the sample's and
// the buffer's times and the buffer scaled to the sample's monitor counts
// (each at least 1, the uncertainty of a Poisson draw), over the sample's
// monitor counts, its transmission at 60 degrees, thickness and the
// absolute scale.  The solid-angle and flat-field corrections add less than
// a factor of 20.
double reduced_bound(const Settings& s, const Run& r, const std::vector<Exposure>& shots,
                     const std::vector<double>& eff, double absf) {
    const auto count = [&](std::size_t i) { return std::max(1.0, peak_count(shots[i], eff, s.dark_rate)); };
    const double dark = count(2);
    const double ratio = r.t_sam / r.t_buf;
    const double buffer_scale = r.sam_monitor / r.buf_monitor * std::max(ratio, std::pow(ratio, 1.5));
    const double counts = count(0) + r.sam_time / s.dark_time * dark +
                          buffer_scale * (count(1) + r.buf_time / s.dark_time * dark);
    return 1000.0 * counts / (std::pow(r.t_sam, 1.5) * r.sam_monitor * s.thickness * absf);
}

// "" when Pelkaro can reduce the measurement: the flat field counts
// something in the pixels the mask keeps (Pelkaro normalises the detector by
// their mean), and the squares of the reduced uncertainties, summed over a
// ring of the curve, stay within single precision.
std::string check_reduction(const Settings& s, const Run& r, const std::vector<Exposure>& shots,
                            const std::vector<double>& eff, const Counts& flat_field, const Mask& m) {
    // With the corrections' factor 20 and the thousand pixels of the widest
    // ring, the squares stay below 1e32, well within the float range.
    constexpr double kMostReduced = 1e13;
    int kept = 0;
    int64_t counted = 0;
    for (int k = 0; k < kPixels; ++k)
        if (m.use[k]) {
            ++kept;
            counted += flat_field.n[k];
        }
    if (counted == 0)
        return format("the flat field would hold no counts in the %d pixels the mask keeps, so Pelkaro could not "
                      "normalise the detector with it; raise --flat-monitor or --dark-rate, or shorten --distance",
                      kept);
    const double bound = reduced_bound(s, r, shots, eff, m.absf);
    if (!(bound <= kMostReduced))
        return format("the reduced intensity could reach %.2g cm^-1 (ABSF %.3g), more than the %.0e that Pelkaro's "
                      "single-precision sums of its uncertainties hold; raise --monitor, --dark-time or "
                      "--thickness, or lower --time, --buffer-time or --dark-rate", bound, m.absf, kMostReduced);
    return "";
}

// ---- Files ------------------------------------------------------------------
std::string detector_file(const char* what, const std::string& origin, const Counts& c) {
    int64_t total = 0;
    for (int64_t v : c.n) total += v;
    std::string text = format("# %s, simulated by %s\n<time>%lld</time>\n", what, origin.c_str(),
                              static_cast<long long>(std::llround(c.time)));
    if (c.monitor > 0.0) text += format("<monitor>%lld</monitor>\n", static_cast<long long>(std::llround(c.monitor)));
    if (total <= INT32_MAX) text += format("<psd counts>%lld</psd counts>\n", static_cast<long long>(total));
    for (int k = 0; k < kPixels; ++k) {
        text += std::to_string(static_cast<long long>(c.n[k]));
        text += k % kSide == kSide - 1 ? '\n' : '\t';
    }
    return text;
}

std::string mask_file(const Run& r, const Mask& m) {
    std::string text = format("# Mask for the simulated example (%s): 1 = pixel used, 0 = masked.\n"
                              "# One value per line for pixel x + 128 y (x fastest): the beam stop and %d bad "
                              "pixels.\n", r.origin.c_str(), m.bad);
    for (int v : m.use) text += v ? "1\n" : "0\n";
    return text;
}

// The instrument lines of the parameter file.
std::string geometry_lines(const Settings& s) {
    const auto n = [](double v) { return shortest(v); };
    return format(
        "# Beam centre x (column) and y (row), pixels; pixel (x, y) has its centre at (x + 0.5, y + 0.5).\n"
        "CNTR %s %s\n"
        "# Pixel spacing along x and y, millimetres (the one length unit of this file).\n"
        "PXSP %s %s\n"
        "# Sample-to-detector distance, mm.\n"
        "SM2D %s\n"
        "# Source-to-sample distance, source and sample aperture diameters, mm (Q resolution only).\n"
        "SMRP %s %s %s\n"
        "# Wavelength in angstrom and relative wavelength spread (Q resolution only).\n"
        "WAVE %s %s\n",
        n(s.centre_x).c_str(), n(s.centre_y).c_str(), n(s.pixel_x).c_str(), n(s.pixel_y).c_str(),
        n(s.distance).c_str(), n(s.collimation).c_str(), n(s.source_aperture).c_str(),
        n(s.sample_aperture).c_str(), n(s.wavelength).c_str(), n(s.spread).c_str());
}

std::string parameter_file(const Settings& s, const Run& r, const Mask& m) {
    const std::string head = format(
        "# Pelkaro parameter file: dilute spheres, radius %s A, I(0) = %.4f cm^-1, in a solvent.\n"
        "# Written by %s.  Comments stand on lines of their own.\n"
        "# Run mode: 0 reduces the data, 1 writes mask.d2d, 2 measures the beam centre.\n"
        "MODE 0\n",
        shortest(s.radius).c_str(), forward_intensity(s), r.origin.c_str());
    const std::string t = shortest(s.thickness);
    return head + geometry_lines(s) + format(
        "# Sample file, counting time (s), monitor counts, thickness (cm), transmission.\n"
        "DATS sphere_sample.dat %.0f %.0f %s %s\n"
        "# Buffer: the solvent alone in a cell of the same thickness; same five values.\n"
        "DATB solvent_buffer.dat %.0f %.0f %s %s\n"
        "# Dark current file and its counting time (s); its monitor count is not used.\n"
        "DATD dark_current.dat %.0f 0\n"
        "# Flat field file; flag 1 corrects it and the data for the pixels' solid angle (1/cos^3).\n"
        "SENS 1 flat_field.dat\n"
        "# Mask file, then 1 (the file must exist) and 1 (use it instead of the internal mask).\n"
        "MASK detector.mask 1 1\n"
        "# Absolute scale factor: the reduced intensity comes out in cm^-1.\n"
        "ABSF %.7g\n"
        "# Averaging: 0 writes the 2D image, 1 the I(Q) curve, 2 both.\n"
        "AVGM 2\n"
        "# Azimuthal sector, degrees: 0 360 is the full circle.\n"
        "ANGS 0 360\n"
        "# Radial bin width, pixels.\n"
        "BINS 1\n",
        r.sam_time, r.sam_monitor, t.c_str(), r.t_sam_text.c_str(), r.buf_time, r.buf_monitor, t.c_str(),
        r.t_buf_text.c_str(), s.dark_time, m.absf);
}

std::string centre_file() {
    return format(
        "# Pelkaro beam-centre run on the attenuated direct beam (beam stop out).\n"
        "# It prints the mean ROW as X and the mean COLUMN as Y, in whole-pixel indices:\n"
        "# enter the result as \"CNTR <Y + 0.5> <X + 0.5>\".\n"
        "MODE 2\n"
        "# The image to measure: the first sample line.\n"
        "DATS direct_beam.dat %.0f 0 1 1\n"
        "# A buffer line is required by the parameter file; time 0, never read.\n"
        "DATB solvent_buffer.dat 0 0 1 1\n",
        kBeamTime);
}

// One file of the run: its name in the output directory and its text.
struct OutFile {
    std::string name, text;
};

// The files of the run in the order they are put in place: the data, the
// mask, and the parameter files that name them last.
std::vector<OutFile> run_files(const Settings& s, const Run& r, const std::vector<Exposure>& shots,
                               const std::vector<Counts>& counts, const Mask& m) {
    std::vector<OutFile> files;
    for (size_t i = 0; i < shots.size(); ++i)
        files.push_back({shots[i].file, detector_file(shots[i].what, r.origin, counts[i])});
    files.push_back({"detector.mask", mask_file(r, m)});
    files.push_back({"spheres.par", parameter_file(s, r, m)});
    files.push_back({"beam_centre.par", centre_file()});
    return files;
}

std::string reason(int e) { return e != 0 ? std::strerror(e) : "unknown cause"; }

// Writes the run into `dir` all or nothing: every file goes under a
// temporary name beside its target, and only when all are complete are they
// renamed over the targets.  A run cut short (a full disk, a file-size
// limit, a signal) leaves no file of its own and the files of an earlier
// run as they were.  "" when written, else why not.
std::string write_run(const std::string& dir, const std::vector<OutFile>& files) {
    std::error_code ec, there;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, there))
        return "cannot make the directory " + dir + " (" + (ec ? ec.message() : "not a directory") + ")";
    const std::string unchanged = "; nothing written, the files already in " + dir + " are unchanged";
    std::vector<pk::AtomicFile> out(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = dir + "/" + files[i].name;
        errno = 0;
        if (!pk::atomic_open(path, out[i]))
            return "cannot create " + path + " (" +
                   (errno != 0 ? reason(errno) : std::string("the name is taken by something other than a file")) +
                   ")" + unchanged;
        errno = 0;
        const std::string& text = files[i].text;
        if (std::fwrite(text.data(), 1, text.size(), out[i].f) != text.size() || std::fflush(out[i].f) != 0)
            return "could not write " + path + " (" + reason(errno) + ")" + unchanged;
    }
    std::string placed;  // the files of the new run already in place
    for (size_t i = 0; i < files.size(); ++i) {
        errno = 0;
        if (!pk::atomic_commit(out[i])) {
            const std::string why = "could not put " + dir + "/" + files[i].name + " in place (" + reason(errno) + ")";
            return placed.empty() ? why + unchanged : why + "; already replaced by the new run:" + placed;
        }
        placed += " " + files[i].name;
    }
    return "";
}

}  // namespace

// The sample, the buffer and the direct beam drawn again, neutron by
// neutron through the instrument; false when that would take too many.
bool smear(const Settings& s, const Run& run, const std::vector<double>& eff, Rng& g, std::vector<Counts>& counts) {
    sim::Draws d{[&g](uint64_t* w, size_t n) { std::generate(w, w + n, [&g] { return g.next(); }); },
                 [&g](double mean) { return poisson(g, mean); }};
    const double i0 = forward_intensity(s), per_cm = kPerMonitor * s.thickness;
    const sim::Scattering cells[2] = {
        {[&](double q) { return i0 * sphere_form(q * s.radius) + kSolvent; }, per_cm * run.sam_monitor,
         run.mu_sam, kStopRadius, s.dark_rate * run.sam_time},
        {[](double) { return kSolvent; }, per_cm * run.buf_monitor, run.mu_buf, kStopRadius,
         s.dark_rate * run.buf_time}};
    for (int i = 0; i < 2; ++i)
        if ((counts[i].n = sim::scatter_through(s, cells[i], eff, d)).empty()) return false;
    counts[4].n = sim::beam_through(s, kBeamNeutrons, s.dark_rate * kBeamTime, eff, d);
    return true;
}

// The direct-beam runs, from their own generator, placed after the
// detector files of the `detectors` exposures.
std::vector<sim::BeamRun> add_beam_runs(const Settings& s, const Run& run, const Images& images,
                                        const std::vector<double>& eff, std::size_t detectors,
                                        std::vector<OutFile>& files) {
    const std::vector<sim::BeamRun> beams =
        s.transmission_runs ? sim::beam_runs(kPerMonitor, run.t_sam, run.t_buf) : std::vector<sim::BeamRun>{};
    Rng beam_counts(s.seed ^ sim::kBeamStream);
    for (size_t i = 0; i < beams.size(); ++i) {
        const sim::BeamRun& b = beams[i];
        const Exposure e{b.file.c_str(), b.what.c_str(), &images.spot, b.neutrons / images.spot_area, b.time,
                         b.monitor};
        const Counts c = expose(beam_counts, eff, e, s.dark_rate);
        files.insert(files.begin() + static_cast<std::ptrdiff_t>(detectors + i),
                     {b.file, detector_file(e.what, run.origin + " --transmission-runs", c)});
    }
    return beams;
}

int main(int argc, char** argv) {
    // Temporary files removed on a termination signal, a file-size limit a
    // failed write rather than death.
    pk::init_process();
    Settings s;
    const sim::Parsed parsed = sim::parse_options(argc, argv, s);
    if (parsed.action == sim::Parsed::Action::Exit) return parsed.status;

    const Run run = derive(s);
    const std::vector<double> eff = make_detector(s);
    const Images images = make_images(s, run);
    const std::vector<Exposure> shots = plan(s, run, images);
    const std::string why = check_counts(shots, eff, s.dark_rate);
    if (!why.empty()) {
        std::fprintf(stderr, "pelkaro_sim: error: %s\n", why.c_str());
        return 2;
    }
    Rng g(s.seed);
    std::vector<Counts> counts;
    for (const Exposure& e : shots) counts.push_back(expose(g, eff, e, s.dark_rate));
    if (s.resolution && !smear(s, run, eff, g, counts)) {
        std::fprintf(stderr, "pelkaro_sim: error: --resolution would follow more than %.0e neutrons "
                             "through the instrument; lower --monitor or --buffer-monitor\n", sim::kMostNeutrons);
        return 2;
    }
    const Mask mask = draw_mask(s, eff, counts[3]);
    const std::string unreducible = check_reduction(s, run, shots, eff, counts[3], mask);
    if (!unreducible.empty()) {
        std::fprintf(stderr, "pelkaro_sim: error: %s\n", unreducible.c_str());
        return 2;
    }

    std::vector<OutFile> files = run_files(s, run, shots, counts, mask);
    const std::vector<sim::BeamRun> beams = add_beam_runs(s, run, images, eff, shots.size(), files);
    const std::string failed = write_run(s.out, files);
    if (!failed.empty()) {
        std::fprintf(stderr, "pelkaro_sim: error: %s\n", failed.c_str());
        return 1;
    }
    std::printf("%s: wrote %s\n  spheres R = %.1f A, I(0) = %.4f cm^-1; transmissions sample %.6f, buffer %.6f\n"
                "  mask: beam stop and %d bad pixels; ABSF %.7g\n",
                run.origin.c_str(), s.out.c_str(), s.radius, forward_intensity(s), run.t_sam, run.t_buf, mask.bad,
                mask.absf);
    if (!beams.empty()) std::printf("%s", sim::beam_summary(s, beams).c_str());
    const double lo = 3.0 + kSpotRadius, hi = 125.0 - kSpotRadius;  // Pelkaro looks in rows and columns 3..124
    if (s.centre_x < lo || s.centre_x > hi || s.centre_y < lo || s.centre_y > hi)
        std::printf("  note: the direct beam reaches outside rows and columns 3 to 124, where Pelkaro's\n"
                    "  beam-centre run looks for it, so that run will not find its true centre\n");
    return 0;
}
