#include "geometry.h"

namespace pk {

namespace {

// The term of each pixel centre (x + 0.5 - centre)^2 spacing^2 and the
// first index with the same term, found at the mirrored index.
void terms_of(double spacing, double centre, std::vector<double>& term, std::vector<int>& first) {
    term.assign(kDetSide, 0.0);
    first.assign(kDetSide, 0);
    for (int i = 0; i < kDetSide; ++i) {
        const double d = i + 0.5 - centre;
        term[static_cast<std::size_t>(i)] = d * d * spacing * spacing;
        first[static_cast<std::size_t>(i)] = i;
        const double mirror = 2 * centre - 1 - i;  // the index with -d, when a whole number
        if (!(mirror >= 0 && mirror < i)) continue;
        for (int c : {static_cast<int>(std::floor(mirror)), static_cast<int>(std::ceil(mirror))}) {
            if (c >= 0 && c < i && term[static_cast<std::size_t>(c)] == term[static_cast<std::size_t>(i)]) {
                first[static_cast<std::size_t>(i)] = first[static_cast<std::size_t>(c)];
                break;
            }
        }
    }
}

}  // namespace

PixelTerms::PixelTerms(double px, double py, double bx, double by) {
    terms_of(px, bx, col_term, first_col);
    terms_of(py, by, row_term, first_row);
}

}  // namespace pk
