// The sample's own wide-angle attenuation (pelkaro/attenuation.h).
#include "pelkaro/attenuation.h"

#include <cmath>
#include <cstddef>

namespace pk {

namespace {

constexpr double kPi = 3.141592653589793;

}  // namespace

double slab_attenuation(double transmission, double cos2theta) {
    if (!(transmission > 0 && transmission <= 1) || !(cos2theta > 0 && cos2theta <= 1)) return 1.0;
    const double mu = -std::log(transmission), d = mu * (1.0 / cos2theta - 1.0);
    return d > 1e-12 ? -std::expm1(-d) / d : 1.0;
}

std::vector<double> curve_attenuation(const Param& p, double transmission, const std::vector<double>& q) {
    std::vector<double> f;
    const double lambda = p.wavelen;
    for (double v : q) {
        const double s = v * lambda / (4 * kPi);  // sin theta
        f.push_back(s >= 0 && s < 1 ? 1.0 / slab_attenuation(transmission, std::cos(2 * std::asin(s))) : 1.0);
    }
    return f;
}

std::vector<double> image_attenuation(const Param& p, double transmission) {
    std::vector<double> f(static_cast<std::size_t>(kDetPixels));
    const double L = p.sam2det;
    for (int k = 0; k < kDetPixels; ++k) {
        const double dx = (k % kDetSide + 0.5 - static_cast<double>(p.bx)) * static_cast<double>(p.px);
        const double dy = (k / kDetSide + 0.5 - static_cast<double>(p.by)) * static_cast<double>(p.py);
        f[static_cast<std::size_t>(k)] = 1.0 / slab_attenuation(transmission, L / std::sqrt(L * L + dx * dx + dy * dy));
    }
    return f;
}

void apply_factors(std::vector<float>& values, const std::vector<double>& factors) {
    for (std::size_t k = 0; k < values.size() && k < factors.size(); ++k)
        values[k] = static_cast<float>(static_cast<double>(values[k]) * factors[k]);
}

std::string attenuation_note(bool corrected, double transmission) {
    if (!corrected)
        return "I and Idev are as Pelkaro computes them: they keep the sample's own wide-angle attenuation, the "
               "share (1 - exp(-mu d)) / (mu d) with mu = -ln T and d = 1/cos(2 theta) - 1 of the neutrons scattered "
               "at 2 theta that leave its slab, relative to the plain transmission T its prefactor divides by.\n";
    return format("The I and Idev this file holds are Pelkaro's values described above freed of the sample's own "
                  "wide-angle attenuation: multiplied by (mu d) / (1 - exp(-mu d)) with mu = -ln T, T = %.9g the "
                  "sample's transmission, and d = 1/cos(2 theta) - 1 (2 theta of the bin's Q, or of the pixel's "
                  "centre); Pelkaro's prefactor divides by the plain T and leaves that share in. The .d1d and .d2d "
                  "files hold the values without this correction.\n",
                  transmission);
}

}  // namespace pk
