// The mask and the absolute scale of a simulated measurement (sim_mask.h).
#include "sim_mask.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "pelkaro/Pelkaro.h"

namespace sim {
namespace {

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

}  // namespace

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
        return pk::format("the flat field would hold no counts in the %d pixels the mask keeps, so Pelkaro "
                          "could not normalise the detector with it; raise --flat-monitor or --dark-rate, or "
                          "shorten --distance", kept);
    const double bound = reduced_bound(s, r, shots, eff, m.absf);
    if (!(bound <= kMostReduced))
        return pk::format("the reduced intensity could reach %.2g cm^-1 (ABSF %.3g), more than the %.0e that "
                          "Pelkaro's single-precision sums of its uncertainties hold; raise --monitor, --dark-time "
                          "or --thickness, or lower --time, --buffer-time or --dark-rate", bound, m.absf,
                          kMostReduced);
    return "";
}

}  // namespace sim
