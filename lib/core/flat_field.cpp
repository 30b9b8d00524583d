#include "pelkaro/flat_field.h"

#include <cmath>

#include "common.h"

namespace pk {

double flat_field_mean(const Data2D& flat, const Data2D& mask) {
    double sum = 0.0;
    int used = 0;
    for (int k = 0; k < kDetPixels; ++k) {
        if (!pk::pixel_used(mask.intens[static_cast<std::size_t>(k)])) continue;
        sum += flat.intens[static_cast<std::size_t>(k)];
        ++used;
    }
    return used == 0 ? std::nan("") : sum / used;
}

std::vector<int> flat_field_outliers(const Data2D& flat, const Data2D& mask, double lo, double hi) {
    std::vector<int> bad;
    const double mean = flat_field_mean(flat, mask);
    if (!(mean > 0) || !std::isfinite(mean)) return bad;
    for (int k = 0; k < kDetPixels; ++k) {
        if (!pk::pixel_used(mask.intens[static_cast<std::size_t>(k)])) continue;
        const double v = flat.intens[static_cast<std::size_t>(k)];
        if (v == 0 || v < lo * mean || v > hi * mean) bad.push_back(k);
    }
    return bad;
}

}  // namespace pk
