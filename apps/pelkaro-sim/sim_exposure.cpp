// The exposures of a simulated measurement (sim_exposure.h).
#include "sim_exposure.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "pelkaro/Pelkaro.h"
#include "sim_resolution.h"

namespace sim {
namespace {

double mean_count(const Exposure& e, const std::vector<double>& eff, int k, double dark_rate) {
    return e.scale * eff[k] * (*e.image)[k] + dark_rate * e.time;
}

}  // namespace

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

double peak_count(const Exposure& e, const std::vector<double>& eff, double dark_rate) {
    double peak = 0.0;
    for (int k = 0; k < kPixels; ++k) peak = std::max(peak, mean_count(e, eff, k, dark_rate));
    return peak;
}

std::string check_counts(const std::vector<Exposure>& shots, const std::vector<double>& eff, double dark_rate) {
    for (const Exposure& e : shots) {
        const double peak = peak_count(e, eff, dark_rate);
        if (peak > kMaxMean)
            return pk::format("a pixel of %s would expect %.3g counts, more than the %.0e a detector file may "
                              "hold; lower the monitor counts, the times, the dark rate or the contrast, or "
                              "lengthen the distance", e.file, peak, kMaxMean);
    }
    return "";
}

Counts expose(Rng& g, const std::vector<double>& eff, const Exposure& e, double dark_rate, double dead_time) {
    Counts c{std::vector<int64_t>(kPixels), e.time, e.monitor};
    if (dead_time > 0) {
        double total = 0.0;
        for (int k = 0; k < kPixels; ++k) total += mean_count(e, eff, k, dark_rate);
        const double live = 1.0 / (1.0 + total / e.time * dead_time);
        for (int k = 0; k < kPixels; ++k) c.n[k] = poisson(g, live * mean_count(e, eff, k, dark_rate));
        return c;
    }
    for (int k = 0; k < kPixels; ++k) c.n[k] = poisson(g, mean_count(e, eff, k, dark_rate));
    return c;
}

bool smear(const Settings& s, const Run& run, const std::vector<double>& eff, Rng& g, std::vector<Counts>& counts) {
    Draws d{[&g](uint64_t* w, std::size_t n) { std::generate(w, w + n, [&g] { return g.next(); }); },
            [&g](double mean) { return poisson(g, mean); }};
    const double i0 = forward_intensity(s), per_cm = kPerMonitor * s.thickness;
    const Scattering cells[2] = {
        {[&](double q) { return i0 * sphere_form(q * s.radius) + kSolvent; }, per_cm * run.sam_monitor,
         run.mu_sam, kStopRadius, s.dark_rate * run.sam_time},
        {[](double) { return kSolvent; }, per_cm * run.buf_monitor, run.mu_buf, kStopRadius,
         s.dark_rate * run.buf_time}};
    for (int i = 0; i < 2; ++i)
        if ((counts[i].n = scatter_through(s, cells[i], eff, d)).empty()) return false;
    counts[4].n = beam_through(s, kBeamNeutrons, s.dark_rate * kBeamTime, eff, d);
    return true;
}

}  // namespace sim
