// Pixel geometry shared by the stages: distances of pixel centres from the
// beam centre, scattering angles, and values kept per distance.
#ifndef PELKARO_GEOMETRY_H
#define PELKARO_GEOMETRY_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "numbers.h"
#include "pelkaro/Pelkaro.h"

namespace pk {

// Distance from the beam centre of a point at offsets (dx, dy) pixels, for
// pixel spacings px and py, rounded to a float.
inline float radius(double dx, double dy, double px, double py) {
    return to_float(std::sqrt(dx * dx * px * px + dy * dy * py * py));
}

// The squared distance terms of the pixel centres, dx dx px px of every
// column and dy dy py py of every row as radius() forms them (the distance
// of pixel (x, y) is radius_of(x, y)), and for each column and row the
// first one with the same term: the one mirrored about the beam centre,
// where there is one, else itself.  A pixel is as far from the beam centre
// as the pixel at its columns's and row's first ones, which comes before
// it in any scan of columns and rows in increasing order.
struct PixelTerms {
    std::vector<double> col_term, row_term;
    std::vector<int> first_col, first_row;

    PixelTerms(double px, double py, double bx, double by);
    float radius_of(int x, int y) const {
        return to_float(std::sqrt(col_term[static_cast<std::size_t>(x)] + row_term[static_cast<std::size_t>(y)]));
    }
};

// Scattering angle of a point at distance r from the beam centre on a
// detector at distance l from the sample, rounded to a float.
inline float scatter_angle(float r, double l) { return to_float(std::atan(static_cast<double>(r) / l)); }

// Values that depend on a pixel only through its distance from the beam
// centre, worked out once per distance: with the beam centre on a pixel's
// centre or corner, most distances recur four or eight times.  A table of
// 8192 places, open addressing; once three quarters are taken, values are
// worked out anew (an off-centre beam, where distances rarely recur).  On
// the heap, not the stack: a run's heap lies on huge pages.
template <class V>
class RadiusCache {
public:
    RadiusCache() : keys_(kSlots, kEmpty), values_(kSlots) {}
    // The value for the distance r: as kept, or make(r), kept for next time.
    template <class Make>
    V get(float r, Make make) {
        const uint32_t key = bits_of(r);
        if (full_ || key == kEmpty) return make(r);
        uint32_t at = (key * 0x9E3779B1u) >> (32 - kBits);
        for (int probe = 0; probe < kProbes; ++probe, at = (at + 1) & (kSlots - 1)) {
            if (keys_[at] == key) return values_[at];
            if (keys_[at] == kEmpty) {
                keys_[at] = key;
                values_[at] = make(r);
                full_ = ++used_ >= kSlots / 4 * 3;
                return values_[at];
            }
        }
        return make(r);
    }

private:
    static constexpr int kBits = 13;
    static constexpr uint32_t kSlots = 1u << kBits;
    static constexpr int kProbes = 8;
    static constexpr uint32_t kEmpty = 0xffffffffu;  // a NaN no distance is
    std::vector<uint32_t> keys_;
    std::vector<V> values_;
    uint32_t used_ = 0;
    bool full_ = false;
};

}  // namespace pk

#endif
