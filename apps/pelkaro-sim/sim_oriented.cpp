// The oriented sample of the simulator (sim_oriented.h).
#include "sim_oriented.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "sim_model.h"
#include "sim_options.h"

namespace sim {

namespace {
constexpr int kAxisSteps = 90;  // two degrees apart
constexpr int kWraps = 3;        // periods of the wrapped Gaussian on either side
}  // namespace

AxisSpread axis_spread(const Settings& s) {
    AxisSpread a;
    const double deg = kPi / 180.0, w = s.orientation * deg, mean = s.axis * deg;
    double total = 0;
    for (int k = 0; k < kAxisSteps; ++k) {
        const double offset = (k + 0.5 - 0.5 * kAxisSteps) * kPi / kAxisSteps;  // from the mean direction
        double g = 0;
        for (int n = -kWraps; n <= kWraps; ++n) {
            const double d = offset + n * kPi;
            g += std::exp(-0.5 * d * d / (w * w));
        }
        a.alpha.push_back(mean + offset);
        a.weight.push_back(g);
        total += g;
    }
    // Directions of negligible weight are left out.
    AxisSpread kept;
    for (std::size_t k = 0; k < a.weight.size(); ++k)
        if (a.weight[k] > 1e-7 * total) kept.alpha.push_back(a.alpha[k]), kept.weight.push_back(a.weight[k]);
    double sum = 0;
    for (double g : kept.weight) sum += g;
    for (double& g : kept.weight) g /= sum;
    return kept;
}

double ellipsoid_forward(const Settings& s) {
    const double volume = 4.0 / 3.0 * kPi * s.aspect * s.radius * s.radius * s.radius * 1e-24;  // cm^3
    return s.volume_fraction * volume * s.contrast * s.contrast;
}

double oriented_xs(const Settings& s, const AxisSpread& spread, double q, double phi) {
    double sum = 0;
    const double a2 = s.aspect * s.aspect;
    for (std::size_t k = 0; k < spread.alpha.size(); ++k) {
        const double c = std::cos(phi - spread.alpha[k]);
        const double r = s.radius * std::sqrt(a2 * c * c + (1.0 - c * c));
        sum += spread.weight[k] * sphere_form(q * r);
    }
    return ellipsoid_forward(s) * sum;
}

std::vector<double> oriented_image(const Settings& s, double mu) {
    const AxisSpread spread = axis_spread(s);
    std::vector<double> img(kPixels);
    for (int k = 0; k < kPixels; ++k) {
        double sum = 0.0;
        for (int a = 0; a < kSub; ++a)
            for (int b = 0; b < kSub; ++b) {
                const double x = k % kSide + (a + 0.5) / kSub, y = k / kSide + (b + 0.5) / kSub;
                if (std::hypot(x - s.centre_x, y - s.centre_y) < kStopRadius) continue;
                const double c = cos2theta(s, x, y);
                const double q = 4.0 * kPi / s.wavelength * std::sin(0.5 * std::acos(c));
                const double phi = std::atan2((y - s.centre_y) * s.pixel_y, (x - s.centre_x) * s.pixel_x);
                sum += (oriented_xs(s, spread, q, phi) + kSolvent) * slab_transmission(mu, c) * c * c * c;
            }
        img[k] = sum / (kSub * kSub);
    }
    return img;
}

}  // namespace sim
