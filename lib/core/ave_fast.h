// Internals of the azimuthal average (ave_data.cpp): the sub-pixel geometry
// that its two ways of summing share, the fast sums (ave_fast.cpp), and the
// whole average with the plain sub-pixel loop taken for every input, which
// the benchmarks time the fast sums against.
#ifndef PELKARO_AVE_FAST_H
#define PELKARO_AVE_FAST_H

#include <cmath>
#include <cstdint>

#include "pelkaro/Pelkaro.h"
#include "common.h"

namespace pk {

namespace ave {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr int kSub = 10;  // sub-pixels per pixel side

constexpr float kHalfPi = static_cast<float>(kPi / 2);
constexpr float kThreeHalfPi = static_cast<float>(3 * kPi / 2);

// Azimuth of a sub-pixel from its offsets from the beam centre, from 0 to
// the float nearest 2 pi.
inline float azimuth(float tx, float ty) {
    if (tx == 0) return ty >= 0 ? kHalfPi : kThreeHalfPi;
    float az = pk::to_float(std::atan(static_cast<double>(ty) / tx));
    if (tx < 0) az = pk::to_float(az + kPi);
    if (az < 0) az = pk::to_float(az + kTwoPi);
    return az;
}

// The sums of the sub-pixel loop (y, dy and area of bins 0 .. tot - 1, which
// hold zeros on entry), with the progress marks, reached with less work.
// Returns false, having changed nothing and printed nothing, for inputs the
// shortcuts are not worked out for: the sub-pixel loop takes those.
bool sum_fast(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, int tot, float max,
              const Console& con);

// The float s after n additions of c, each rounded to a float as in
// pk::to_float(s + c): the same value as the n additions one by one.
float add_repeated(float s, double c, uint32_t n);

}  // namespace ave

// The whole average, exactly as ave_data, with the sub-pixel loop taken for
// every input instead of the fast sums.
Status ave_data_literal(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask,
                     const Console& con = Console{});

}  // namespace pk

#endif
