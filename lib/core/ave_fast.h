// Internals of the azimuthal average (ave_data.cpp): its engine
// (ave_fast.cpp), which finds the bin of every sub-pixel and adds the bins'
// sums, for one average (sum_bins) or for a plan of a series (pixel_bins,
// ave_plan.cpp), and the rounded additions both make.
#ifndef PELKARO_AVE_FAST_H
#define PELKARO_AVE_FAST_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "geometry.h"

namespace pk {

struct AveEntry;  // ave_plan.h

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

// Q of a point at squared distance s from the beam centre (in the
// parameter file's length unit), 4 pi / lambda * sin(atan(sqrt(s) / L) / 2)
// with L the sample-to-detector distance, written as k sqrt(s) H(s / L^2):
// k = 4 pi / (lambda L), and H(t) = 1 / sqrt(2 c (1 + c)) with
// c = sqrt(1 + t), since sin(atan(x) / 2) = x / sqrt(2 c (1 + c)) for
// c = sqrt(1 + x^2).  H varies slowly (from 1/2 at t = 0), so near a point
// it is a short Taylor series (taylor()).
struct QOfSquare {
    double k, inv_l2;
    explicit QOfSquare(const Param& p)
        : k(12.566370614359172 / (static_cast<double>(p.wavelen) * p.sam2det)),
          inv_l2(1.0 / (static_cast<double>(p.sam2det) * p.sam2det)) {}
    static double h(double t) {
        const double c = std::sqrt(1 + t);
        return 1 / std::sqrt(2 * c * (1 + c));
    }
    double operator()(double s) const { return k * std::sqrt(s) * h(s * inv_l2); }
    // H and its first two derivatives at t, from u = 2 c (1 + c), H = u^-1/2:
    // u' = 2 + 1/c, u'' = -1 / (2 c^3), H' = -u^-3/2 u' / 2,
    // H'' = 3 u^-5/2 u'^2 / 4 - u^-3/2 u'' / 2.
    static void taylor(double t, double& h0, double& h1, double& h2) {
        const double c = std::sqrt(1 + t), ic = 1 / c;
        const double u = 2 * c * (1 + c), du = 2 + ic, ddu = -0.5 * ic * ic * ic;
        h0 = 1 / std::sqrt(u);
        const double h3 = h0 * h0 * h0, h5 = h3 * h0 * h0;  // u^-3/2, u^-5/2
        h1 = -0.5 * h3 * du;
        h2 = 0.75 * h5 * du * du - 0.5 * h3 * ddu;
    }
};

// The sums of the sub-pixel average (y, dy and area of bins 0 .. tot - 1
// out to radius max, which hold zeros on entry), with the progress marks on
// the console; with `sums` (zeros on entry) the writer's sums of the bins
// too.  Refuses, as the average does, a pixel in use with a sub-pixel
// beyond the last bin (every pixel, for a spacing or beam centre that is
// not finite).
Status sum_bins(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, int tot, float max,
                const Console& con, BinSums* sums = nullptr);

// The same walk over the pixels, each pixel's sub-pixels in the sector
// counted by bin into `entries` (in the order the average adds them) instead
// of added; the same refusal.
Status pixel_bins(const Param& p, const Data2D& mask, int tot, float max, std::vector<AveEntry>& entries);

// The Q of the 100 sub-pixels of pixel (i, j) (index 10 m + n) as the
// writer's sums take them, by the AVX-512 loop when `wide` and the
// processor has it (wide_loop(Simd::widest)); for the tests, which hold
// the loops to the same bits.
void subpixel_q_values(const Param& p, int i, int j, bool wide, double* q);
// Whether the AVX-512 loops are to be taken: `simd` allows them and the
// processor has them.
bool wide_loop(Simd simd);
// Whether the average's AVX2 loop may be taken where the AVX-512 one is
// not: `simd` allows it and the processor has AVX2.
bool avx2_loop(Simd simd);

// Adds one pixel of uncertainty unc to the writer's sums of bins
// b_lo .. b_hi: counts[b] of its sub-pixels fell into bin b, with Q
// summing to q[b].
void add_pixel_sums(const uint32_t* counts, const double* q, double unc, int b_lo, int b_hi, BinSums& sums);

// The float s after n additions of c, each rounded to a float as in
// pk::to_float(s + c): the same value as the n additions one by one.
float add_repeated(float s, double c, uint32_t n);

// add_repeated's common case taken inline: s normal, every addition in
// s's binade and no tie from an odd start, so the n additions are one step
// of n times the first one's; any other case goes to add_repeated.
inline float add_repeated_inline(float s, double c, uint32_t n) {
    constexpr uint64_t kBelowFloat = (uint64_t{1} << 29) - 1;
    constexpr uint64_t kHalfFloatUlp = uint64_t{1} << 28;
    const uint32_t bits = pk::bits_of(s);
    // First a positive sum and term (the variances always, the intensities
    // mostly): s in its binade [L, U) and c >= 0 make L - s <= c hold.
    if (n >= 3 && bits - 0x00800000u < 0x7F000000u - 0x00800000u && c >= 0) {
        const double a = s;
        const double U = 2 * static_cast<double>(pk::float_of(bits & 0x7F800000u));
        const double sum = a + c;
        if (c <= U - a && ((pk::bits_of(sum) & kBelowFloat) != kHalfFloatUlp || (bits & 1u) == 0)) {
            const double dm = static_cast<double>(pk::to_float(sum)) - a;
            if (dm == 0 || c <= U - (a + static_cast<double>(n - 1) * dm))
                return static_cast<float>(a + static_cast<double>(n) * dm);
        }
        return add_repeated(s, c, n);
    }
    const uint32_t e = bits >> 23 & 0xffu;
    if (n < 3 || e == 0 || e >= 254) return add_repeated(s, c, n);
    const bool neg = bits >> 31;
    const double L = static_cast<double>(pk::float_of(e << 23));
    const double U = 2 * L;
    const double a = neg ? -static_cast<double>(s) : static_cast<double>(s);
    const double cm = neg ? -c : c;
    const double sum = s + c;
    const bool tie = (pk::bits_of(sum) & kBelowFloat) == kHalfFloatUlp;
    if (!(L - a <= cm && cm <= U - a) || (tie && (bits & 1u) != 0)) return add_repeated(s, c, n);
    const float next = pk::to_float(sum);
    const double dm = (neg ? -static_cast<double>(next) : static_cast<double>(next)) - a;
    const double last = a + static_cast<double>(n - 1) * dm;  // where the last addition starts
    if (dm != 0 && !(dm > 0 ? cm <= U - last : cm >= L - last)) return add_repeated(s, c, n);
    const double end = a + static_cast<double>(n) * dm;
    return static_cast<float>(neg ? -end : end);
}

// n additions of c to s, each rounded to a float as in pk::to_float(s + c):
// one or two taken directly, more through add_repeated_inline.
inline float add_run(float s, double c, uint32_t n) {
    if (n <= 2) return n == 0 ? s : n == 1 ? pk::to_float(s + c) : pk::to_float(pk::to_float(s + c) + c);
    return add_repeated_inline(s, c, n);
}

}  // namespace ave

}  // namespace pk

#endif
