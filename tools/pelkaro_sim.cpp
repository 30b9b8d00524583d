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
// The forward model, for the pixel at angle 2theta from the beam:
//
//   counts = k * M * t * dS/dW(Q) * T(2theta) * dW * eff + dark rate * time
//
// k: neutrons on the sample per monitor count; M: monitor counts; t: sample
// thickness (cm); dS/dW: macroscopic differential cross-section (cm^-1 sr^-1);
// T(2theta): the fraction of neutrons scattered at 2theta that leave the slab,
// exp(-mu) * (1 - exp(-mu d)) / (mu d) with mu = Sigma_t * t and
// d = 1/cos(2theta) - 1 (depth of scattering uniform through the slab; Pelkaro's
// midpoint form T^(0.5/cos + 0.5) agrees to 1e-7 at these angles); dW: the
// solid angle of the pixel on a flat detector, pixel area * cos^3(2theta) / L^2;
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
// has its own fixed seed, so every measurement sees the same detector.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// ---- Instrument; lengths in millimetres, the parameter file's unit -------
constexpr int kSide = 128;
constexpr int kPixels = kSide * kSide;
constexpr double kPi = 3.141592653589793;
constexpr double kPixel = 5.0;            // pixel pitch along x and y
constexpr double kDistance = 5000.0;      // sample to detector
constexpr double kCollimation = 5000.0;   // source to sample
constexpr double kSourceAperture = 30.0;  // diameters
constexpr double kSampleAperture = 10.0;
constexpr double kLambda = 6.0;           // angstrom
constexpr double kSpread = 0.1;           // relative wavelength spread
// Beam centre in pixel coordinates: pixel (x, y) covers [x, x+1] x [y, y+1],
// so this is the centre of pixel (65, 62).
constexpr double kBeamX = 65.5, kBeamY = 62.5;
constexpr double kStopRadius = 4.0;       // beam stop shadow, pixels
constexpr double kMaskRadius = 5.5;       // masked around the centre, pixels
constexpr double kSpotRadius = 2.9;       // direct beam at the detector, pixels
constexpr int kSub = 8;                   // integration points per pixel side

// ---- Detector ---------------------------------------------------------------
constexpr uint64_t kDetectorSerial = 0x50454c4b41524f31ULL;
constexpr double kEfficiency = 0.85;      // mean efficiency of a good pixel
constexpr double kEffSpread = 0.03;       // pixel-to-pixel spread
constexpr int kDeadPixels = 4, kHotPixels = 4;
constexpr double kDarkRate = 5e-4;        // counts per second per pixel
constexpr double kPerMonitor = 2.0e4;     // neutrons on the sample per monitor count
constexpr double kMonitorRate = 1000.0;   // monitor counts per second

// ---- Samples ----------------------------------------------------------------
constexpr double kRadius = 80.0;          // sphere radius, angstrom
constexpr double kVolumeFraction = 0.01;
constexpr double kContrast = 3.5e10;      // scattering length density difference, cm^-2
constexpr double kSolvent = 0.08;         // solvent incoherent dS/dW, cm^-1 sr^-1
constexpr double kSolventSigma = 1.0;     // solvent total cross-section, cm^-1
constexpr double kSampleSigma = 1.06;     // sample: solvent plus the spheres' scattering
constexpr double kWater = 0.9;            // flat-field water, cm^-1 sr^-1
constexpr double kWaterSigma = 5.6;       // cm^-1
constexpr double kWaterThickness = 0.1;   // cm
constexpr double kFlatMonitor = 4.8e7;    // an overnight flat field
constexpr double kDarkTime = 7200.0, kBeamTime = 30.0;
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
double forward_intensity() {
    const double volume = 4.0 / 3.0 * kPi * kRadius * kRadius * kRadius * 1e-24;  // cm^3
    return kVolumeFraction * volume * kContrast * kContrast;
}

// Fraction of neutrons scattered at 2theta inside a slab of optical thickness
// mu that leave it (see the header comment).
double slab_transmission(double mu, double cos2t) {
    const double d = mu * (1.0 / cos2t - 1.0);
    return std::exp(-mu) * (d > 1e-12 ? -std::expm1(-d) / d : 1.0);
}

double cos2theta(double x, double y) {  // at pixel coordinates (x, y)
    const double r = std::hypot((x - kBeamX) * kPixel, (y - kBeamY) * kPixel);
    return std::cos(std::atan(r / kDistance));
}

// Per pixel, the mean over the pixel of dS/dW(Q) * T(2theta) * cos^3(2theta),
// zero in the beam stop's shadow.  xs(Q) is the cross-section, mu = Sigma_t * t.
template <class Xs>
std::vector<double> scatter_image(Xs xs, double mu) {
    std::vector<double> img(kPixels);
    for (int k = 0; k < kPixels; ++k) {
        double sum = 0.0;
        for (int a = 0; a < kSub; ++a)
            for (int b = 0; b < kSub; ++b) {
                const double x = k % kSide + (a + 0.5) / kSub, y = k / kSide + (b + 0.5) / kSub;
                if (std::hypot(x - kBeamX, y - kBeamY) < kStopRadius) continue;
                const double c = cos2theta(x, y);
                const double q = 4.0 * kPi / kLambda * std::sin(0.5 * std::acos(c));
                sum += xs(q) * slab_transmission(mu, c) * c * c * c;
            }
        img[k] = sum / (kSub * kSub);
    }
    return img;
}

// Efficiencies: a few per cent pixel to pixel, a 2 % gradient across the
// detector, dead pixels (0) and hot pixels whose amplifier multiplies the
// counts four- to eightfold, none of them near the beam.
std::vector<double> make_detector() {
    Rng g(kDetectorSerial);
    std::vector<double> eff(kPixels);
    for (int k = 0; k < kPixels; ++k)
        eff[k] = kEfficiency * (1.0 + kEffSpread * g.normal()) * (1.0 + 0.02 * (k % kSide - 63.5) / 64.0);
    for (int n = 0; n < kDeadPixels + kHotPixels;) {
        const int x = static_cast<int>(g.next() % 120) + 4, y = static_cast<int>(g.next() % 120) + 4;
        const int k = x + kSide * y;
        if (std::hypot(x + 0.5 - kBeamX, y + 0.5 - kBeamY) < 10.0 || eff[k] == 0.0 || eff[k] > 2.0) continue;
        eff[k] = n < kDeadPixels ? 0.0 : eff[k] * (4.0 + 4.0 * g.uniform());
        ++n;
    }
    return eff;
}

struct Counts {
    std::vector<int64_t> n;
    double time = 0.0, monitor = 0.0;  // monitor 0: not written
};

// Poisson counts of k * monitor * t * pixel solid angle * eff * image + dark.
Counts expose(Rng& g, const std::vector<double>& eff, const std::vector<double>& image, double scale,
              double time, double monitor) {
    Counts c{std::vector<int64_t>(kPixels), time, monitor};
    for (int k = 0; k < kPixels; ++k) c.n[k] = poisson(g, scale * eff[k] * image[k] + kDarkRate * time);
    return c;
}

bool write_detector(const std::string& path, const char* what, const char* origin, const Counts& c) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    int64_t total = 0;
    for (int64_t v : c.n) total += v;
    std::fprintf(f, "# %s, simulated by %s\n<time>%lld</time>\n", what, origin,
                 static_cast<long long>(std::llround(c.time)));
    if (c.monitor > 0.0) std::fprintf(f, "<monitor>%lld</monitor>\n", static_cast<long long>(std::llround(c.monitor)));
    if (total <= INT32_MAX) std::fprintf(f, "<psd counts>%lld</psd counts>\n", static_cast<long long>(total));
    for (int k = 0; k < kPixels; ++k)
        std::fprintf(f, "%lld%c", static_cast<long long>(c.n[k]), k % kSide == kSide - 1 ? '\n' : '\t');
    return std::fclose(f) == 0;
}

std::string format(const char* fmt, ...) {
    std::va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    std::string s(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, fmt, args)) + 1, '\0');
    va_end(args);
    std::vsnprintf(s.data(), s.size(), fmt, again);
    va_end(again);
    s.pop_back();
    return s;
}

bool write_text(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

int usage() {
    std::printf("usage: pelkaro_sim [--seed N] [--thickness CM] [--monitor COUNTS] [--out DIR]\n"
                "  Writes a simulated sphere measurement with its buffer, dark current, flat field,\n"
                "  direct beam, mask and parameter files into DIR (default: the working directory).\n"
                "  Defaults: seed 1, thickness 0.1 cm, sample monitor 1500000 (buffer: 3/4 of it).\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1;
    double thick = 0.1, monitor = 1.5e6;
    std::string out = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        const char* val = argv[++i];
        char* end = nullptr;
        if (arg == "--out") {
            out = val;
            continue;
        }
        if (arg == "--seed") seed = std::strtoull(val, &end, 10);
        else if (arg == "--thickness") thick = std::strtod(val, &end);
        else if (arg == "--monitor") monitor = std::strtod(val, &end);
        else return usage();
        if (end == val || *end != '\0') return usage();
    }
    // Header values and counts must stay within the 32-bit integers of the file format.
    if (!(thick > 0.0 && thick <= 10.0 && monitor >= 1.0 && monitor <= 1e9)) return usage();
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    const std::string origin_text = format("pelkaro_sim --seed %llu --thickness %g --monitor %.0f",
                                           static_cast<unsigned long long>(seed), thick, monitor);
    const char* origin = origin_text.c_str();

    const std::vector<double> eff = make_detector();
    const double omega = kPixel * kPixel / (kDistance * kDistance);  // solid angle of a pixel on axis
    const double i0 = forward_intensity();
    const double sam_monitor = std::round(monitor), buf_monitor = std::round(0.75 * monitor);
    const double t_sam = std::exp(-kSampleSigma * thick), t_buf = std::exp(-kSolventSigma * thick);

    const auto sample = scatter_image(
        [i0](double q) { return i0 * sphere_form(q * kRadius) + kSolvent; }, kSampleSigma * thick);
    const auto buffer = scatter_image([](double) { return kSolvent; }, kSolventSigma * thick);
    const auto water = scatter_image([](double) { return kWater; }, kWaterSigma * kWaterThickness);
    std::vector<double> spot(kPixels, 0.0);  // fraction of each pixel the direct beam covers
    for (int k = 0; k < kPixels; ++k)
        for (int a = 0; a < 20; ++a)
            for (int b = 0; b < 20; ++b)
                if (std::hypot(k % kSide + (a + 0.5) / 20 - kBeamX, k / kSide + (b + 0.5) / 20 - kBeamY) < kSpotRadius)
                    spot[k] += 1.0 / 400.0;
    double spot_area = 0.0;
    for (double v : spot) spot_area += v;

    Rng g(seed);
    const Counts c_sam = expose(g, eff, sample, kPerMonitor * sam_monitor * thick * omega,
                                std::round(sam_monitor / kMonitorRate), sam_monitor);
    const Counts c_buf = expose(g, eff, buffer, kPerMonitor * buf_monitor * thick * omega,
                                std::round(buf_monitor / kMonitorRate), buf_monitor);
    const Counts c_dark = expose(g, eff, std::vector<double>(kPixels, 0.0), 0.0, kDarkTime, 0.0);
    const Counts c_flat = expose(g, eff, water, kPerMonitor * kFlatMonitor * kWaterThickness * omega,
                                 std::round(kFlatMonitor / kMonitorRate), kFlatMonitor);
    const Counts c_beam = expose(g, eff, spot, kBeamNeutrons / spot_area, kBeamTime, 0.0);

    // The mask an instrument scientist draws: the beam stop with a margin, and
    // every pixel whose flat-field count, freed of the cos^3 falloff, is more
    // than 30 % off the median (dead and hot pixels).
    std::vector<double> flat(kPixels);
    for (int k = 0; k < kPixels; ++k) {
        const double c = cos2theta(k % kSide + 0.5, k / kSide + 0.5);
        flat[k] = static_cast<double>(c_flat.n[k]) / (c * c * c);
    }
    std::vector<double> sorted = flat;
    std::nth_element(sorted.begin(), sorted.begin() + kPixels / 2, sorted.end());
    const double median = sorted[kPixels / 2];
    std::vector<int> mask(kPixels);
    int bad = 0;
    double eff_sum = 0.0, n_used = 0.0;
    for (int k = 0; k < kPixels; ++k) {
        const double x = k % kSide + 0.5, y = k / kSide + 0.5;
        const bool stop = std::hypot(x - kBeamX, y - kBeamY) < kMaskRadius;
        const bool odd = flat[k] < 0.7 * median || flat[k] > 1.3 * median;
        mask[k] = !(stop || odd);
        bad += !stop && odd;
        if (mask[k]) {
            const double mu = kWaterSigma * kWaterThickness;
            eff_sum += eff[k] * slab_transmission(mu, cos2theta(x, y)) / std::exp(-mu);
            n_used += 1.0;
        }
    }
    const double absf = 1000.0 * kPerMonitor * omega * eff_sum / n_used;

    const std::string dir = out + "/";
    std::string mask_text = format("# Mask for the simulated example (%s): 1 = pixel used, 0 = masked.\n"
                                   "# One value per line for pixel x + 128 y (x fastest): the beam stop and %d bad "
                                   "pixels.\n", origin, bad);
    for (int v : mask) mask_text += v ? "1\n" : "0\n";
    const std::string par = format(
        "# Pelkaro parameter file: dilute spheres, radius %.0f A, I(0) = %.4f cm^-1, in a solvent.\n"
        "# Written by %s.  Comments stand on lines of their own.\n"
        "# Run mode: 0 reduces the data, 1 writes mask.d2d, 2 measures the beam centre.\n"
        "MODE 0\n"
        "# Beam centre x (column) and y (row), pixels; pixel (x, y) has its centre at (x + 0.5, y + 0.5).\n"
        "CNTR %.1f %.1f\n"
        "# Pixel spacing along x and y, millimetres (the one length unit of this file).\n"
        "PXSP %.0f %.0f\n"
        "# Sample-to-detector distance, mm.\n"
        "SM2D %.0f\n"
        "# Source-to-sample distance, source and sample aperture diameters, mm (Q resolution only).\n"
        "SMRP %.0f %.0f %.0f\n"
        "# Wavelength in angstrom and relative wavelength spread (Q resolution only).\n"
        "WAVE %.0f %.1f\n"
        "# Sample file, counting time (s), monitor counts, thickness (cm), transmission.\n"
        "DATS sphere_sample.dat %.0f %.0f %g %.6f\n"
        "# Buffer: the solvent alone in a cell of the same thickness; same five values.\n"
        "DATB solvent_buffer.dat %.0f %.0f %g %.6f\n"
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
        kRadius, i0, origin, kBeamX, kBeamY, kPixel, kPixel, kDistance, kCollimation, kSourceAperture,
        kSampleAperture, kLambda, kSpread, c_sam.time, sam_monitor, thick, t_sam, c_buf.time, buf_monitor, thick,
        t_buf, kDarkTime, absf);
    const std::string centre_par = format(
        "# Pelkaro beam-centre run on the attenuated direct beam (beam stop out).\n"
        "# It prints the mean ROW as X and the mean COLUMN as Y, in whole-pixel indices:\n"
        "# enter the result as \"CNTR <Y + 0.5> <X + 0.5>\".\n"
        "MODE 2\n"
        "# The image to measure: the first sample line.\n"
        "DATS direct_beam.dat %.0f 0 1 1\n"
        "# A buffer line is required by the parameter file; time 0, never read.\n"
        "DATB solvent_buffer.dat 0 0 1 1\n",
        kBeamTime);
    const bool ok = write_detector(dir + "sphere_sample.dat", "dilute spheres in solvent", origin, c_sam) &&
                    write_detector(dir + "solvent_buffer.dat", "solvent buffer", origin, c_buf) &&
                    write_detector(dir + "dark_current.dat", "dark current, beam closed", origin, c_dark) &&
                    write_detector(dir + "flat_field.dat", "flat field, 1 mm light water", origin, c_flat) &&
                    write_detector(dir + "direct_beam.dat", "attenuated direct beam, beam stop out", origin, c_beam) &&
                    write_text(dir + "detector.mask", mask_text) && write_text(dir + "spheres.par", par) &&
                    write_text(dir + "beam_centre.par", centre_par);
    if (!ok) {
        std::printf("pelkaro_sim: could not write the files into %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: wrote %s\n  spheres R = %.1f A, I(0) = %.4f cm^-1; transmissions sample %.6f, buffer %.6f\n"
                "  mask: beam stop and %d bad pixels; ABSF %.7g\n",
                origin, out.c_str(), kRadius, i0, t_sam, t_buf, bad, absf);
    return 0;
}
