// The simulator's forward model (sim_model.h): the physics, the detector,
// the counting of one measurement and its noiseless pictures.
#include "sim_model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pelkaro/Pelkaro.h"
#include "sim_oriented.h"
#include "sim_random.h"

namespace sim {
namespace {

constexpr uint64_t kDetectorSerial = 0x50454c4b41524f31ULL;
constexpr double kEfficiency = 0.85;      // mean efficiency of a good pixel
constexpr int kDeadPixels = 4, kHotPixels = 4;

// Per pixel, the mean over the pixel of dS/dW(Q) * T(2theta) * cos^3(2theta),
// zero in the shadow of the beam stop at (stop_x, stop_y).  xs(Q) is the
// cross-section, mu = Sigma_t * t.
template <class Xs>
std::vector<double> scatter_image(const Settings& s, Xs xs, double mu, double stop_x, double stop_y) {
    std::vector<double> img(kPixels);
    for (int k = 0; k < kPixels; ++k) {
        double sum = 0.0;
        for (int a = 0; a < kSub; ++a)
            for (int b = 0; b < kSub; ++b) {
                const double x = k % kSide + (a + 0.5) / kSub, y = k / kSide + (b + 0.5) / kSub;
                if (std::hypot(x - stop_x, y - stop_y) < kStopRadius) continue;
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

// A cell of transmission `given` (0: of total cross-section sigma per cm).
void cell(double given, double sigma, double thick, double& mu, double& trans, std::string& text) {
    mu = given > 0.0 ? -std::log(given) : sigma * thick;
    trans = given > 0.0 ? given : std::exp(-sigma * thick);
    text = given > 0.0 ? shortest(given) : pk::format("%.6f", trans);
}

}  // namespace

double sphere_form(double x) {
    if (x < 1e-3) return 1.0 - x * x / 5.0;
    const double f = 3.0 * (std::sin(x) - x * std::cos(x)) / (x * x * x);
    return f * f;
}

double forward_intensity(const Settings& s) {
    const double volume = 4.0 / 3.0 * kPi * s.radius * s.radius * s.radius * 1e-24;  // cm^3
    return s.volume_fraction * volume * s.contrast * s.contrast;
}

double slab_transmission(double mu, double cos2t) {
    const double d = mu * (1.0 / cos2t - 1.0);
    return std::exp(-mu) * (d > 1e-12 ? -std::expm1(-d) / d : 1.0);
}

double cos2theta(const Settings& s, double x, double y) {
    const double r = std::hypot((x - s.centre_x) * s.pixel_x, (y - s.centre_y) * s.pixel_y);
    return std::cos(std::atan(r / s.distance));
}

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

Run derive(const Settings& s) {
    Run r;
    r.origin = command_line(s);
    r.sam_monitor = std::round(s.monitor);
    r.buf_monitor = s.buffer_monitor > 0.0 ? s.buffer_monitor : std::round(0.75 * s.monitor);
    r.sam_time = s.time > 0.0 ? s.time : std::max(1.0, std::round(r.sam_monitor / kMonitorRate));
    r.buf_time = s.buffer_time > 0.0 ? s.buffer_time : std::max(1.0, std::round(r.buf_monitor / kMonitorRate));
    cell(s.sample_transmission, kSampleSigma, s.thickness, r.mu_sam, r.t_sam, r.t_sam_text);
    cell(s.buffer_transmission, kSolventSigma, s.thickness, r.mu_buf, r.t_buf, r.t_buf_text);
    return r;
}

std::vector<double> water_image(const Settings& s, double stop_x, double stop_y) {
    return scatter_image(s, [](double) { return kWater; }, kWaterSigma * kWaterThickness, stop_x, stop_y);
}

Images make_images(const Settings& s, const Run& r) {
    const double i0 = forward_intensity(s), radius = s.radius;
    Images m;
    if (s.orientation > 0) {
        m.sample = oriented_image(s, r.mu_sam);
    } else {
        m.sample = scatter_image(
            s, [i0, radius](double q) { return i0 * sphere_form(q * radius) + kSolvent; }, r.mu_sam, s.centre_x,
            s.centre_y);
    }
    m.buffer = scatter_image(s, [](double) { return kSolvent; }, r.mu_buf, s.centre_x, s.centre_y);
    m.dark.assign(kPixels, 0.0);
    m.water = water_image(s, s.centre_x, s.centre_y);
    m.spot = beam_spot(s);
    for (double v : m.spot) m.spot_area += v;
    return m;
}

}  // namespace sim
