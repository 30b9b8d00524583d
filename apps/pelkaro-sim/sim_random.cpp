// The Poisson sampler of the simulator (sim_random.h).
#include "sim_random.h"

#include <cmath>

namespace sim {
namespace {

// log Gamma(x), x >= 1: Stirling series after shifting x up to 10 (error < 1e-12).
double log_gamma(double x) {
    double shift = 0.0;
    for (; x < 10.0; x += 1.0) shift += std::log(x);
    const double z = 1.0 / (x * x);
    const double series = (1.0 / 12.0 - z * (1.0 / 360.0 - z * (1.0 / 1260.0 - z / 1680.0))) / x;
    return (x - 0.5) * std::log(x) - x + 0.91893853320467274 + series - shift;
}

}  // namespace

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

}  // namespace sim
