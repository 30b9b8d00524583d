#include "pelkaro/flat_field.h"

#include <cmath>

#include "mask_gen.h"
#include "read_sans.h"

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

Status read_image_file(Data2D& out, bool mask) {
    return mask ? read_mask(Param{}, out) : read_data(out, Console{nullptr, nullptr});
}

void internal_mask(Data2D& mask) { make_mask(Param{}, mask); }

}  // namespace pk
