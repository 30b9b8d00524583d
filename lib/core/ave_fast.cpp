// The azimuthal average's engine: which bin each sub-pixel of the image
// falls into, and the float sums of the bins.
//
// The result is exactly that of taking the sub-pixels one by one (columns,
// rows, then the 10 x 10 sub-pixels of each pixel), computing radius, bin
// and azimuth of each and adding to its bin's float sums (the tests hold it
// to that loop, pkt::literal_average).  It is reached with less work:
//  - Radius terms that depend only on the column or only on the row are
//    computed once per column and row, with the same double operations.
//  - The bin of a sub-pixel is a non-decreasing function of the double sum
//    of squares under its square root (rounding keeps order), so the sum at
//    which each bin starts is found once per call and a sub-pixel's bin is a
//    comparison with those thresholds; so is whether it lies beyond the
//    last bin, which refuses its pixel.
//  - The arc tangent is evaluated only for sub-pixels close to a sector limit
//    or to the azimuth's branch lines: a pixel (or a strip of ten sub-pixels)
//    whose angles lie, within one quadrant, more than 1e-5 rad inside or
//    outside the sector takes all or none of its sub-pixels.  The computed
//    azimuth differs from the exact angle by less than 4e-7 rad.
//  - All sub-pixels of a pixel add the same two numbers, so a pixel gives
//    each of its bins a count of equal additions, made in the original
//    order of the pixels; a run of equal rounded additions is taken in a few
//    steps where the rounding provably repeats (add_run), one by one
//    elsewhere (values that are not finite among them).  The area of a bin
//    depends only on its count.
// The walk over the pixels (walk()) gives each pixel's counts by bin; the
// average adds them at once (sum_bins), the plan of a series keeps them
// (pixel_bins, ave_plan.cpp) and adds them frame after frame.
//
// The writer's sums (ave_data_sums) come from the same counts, pixel by
// pixel; only the Q of the sub-pixels needs them one by one: a square root
// each (packed, eight at a time with AVX-512), times the slowly varying rest
// of the formula as a short Taylor series, summed by bin through the bin
// starts.
#include "ave_fast.h"

// The C library's record of the processor's features (GCC: the header is
// C, and clang's C++ does not take its _Bool).
#if __has_include(<sys/platform/x86.h>) && !defined(__clang__)
#include <sys/platform/x86.h>
#define PK_GLIBC_CPU_FEATURES 1
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "ave_plan.h"
#include "numbers.h"
#include "simd.h"

namespace pk {

namespace ave {

namespace {

constexpr int kSubs = kDetSide * kSub;          // sub-pixel positions per image side
constexpr unsigned kAllSub = (1u << kSub) - 1;  // a full strip of ten sub-pixels

// ---------------------------------------------------------------------------
// Bins from sums of squares.

// The smallest bit pattern in [0, hi] at which a non-decreasing predicate
// turns true, given that it is true at hi; the search starts near `guess`.
// Non-negative floating-point numbers are ordered like their bit patterns.
template <class U, class Pred>
U first_true(U guess, U hi, Pred pred) {
    if (guess > hi) guess = hi;
    U lo, up;  // pred(lo) false, pred(up) true
    if (pred(guess)) {
        up = guess;
        for (U step = 1;; step *= 2) {
            if (up < step) {
                if (pred(U(0))) return 0;
                lo = 0;
                break;
            }
            if (!pred(U(up - step))) {
                lo = U(up - step);
                break;
            }
            up = U(up - step);
        }
    } else {
        lo = guess;
        for (U step = 1;; step *= 2) {
            if (lo == hi) return hi;  // not reached for a predicate true at hi
            const U next = hi - lo <= step ? hi : U(lo + step);
            if (pred(next)) {
                up = next;
                break;
            }
            lo = next;
        }
    }
    while (up - lo > 1) {
        const U mid = U(lo + (up - lo) / 2);
        if (pred(mid)) up = mid;
        else lo = mid;
    }
    return up;
}

// start[b], b = 1 .. last: the smallest sum of squares that falls into bin b
// or beyond.  start[0] = -inf and start[last + 1] = +inf bound the search.
std::vector<double> bin_starts(int last, double s_last, int tot, float max) {
    std::vector<double> start(static_cast<std::size_t>(last) + 2);
    start[0] = -std::numeric_limits<double>::infinity();
    start[static_cast<std::size_t>(last) + 1] = std::numeric_limits<double>::infinity();
    const float r_last = pk::to_float(std::sqrt(s_last));
    for (int b = 1; b <= last; ++b) {
        // Smallest radius (a float) of bin b or beyond.
        const float guess_r = pk::to_float(static_cast<double>(b) * max / tot);
        const uint32_t rb = first_true<uint32_t>(pk::bits_of(guess_r), pk::bits_of(r_last), [&](uint32_t u) {
            // (the bin's integer part at least b; compared as a double, which
            // also holds beyond the last bin)
            return tot * static_cast<double>(pk::float_of(u)) / max >= b;
        });
        const float r_b = pk::float_of(rb);
        // Smallest sum whose root rounds to r_b or more: near the square of
        // the midpoint between r_b and the float below it.
        const double mid = 0.5 * (static_cast<double>(r_b) + pk::float_of(rb - 1));
        const uint64_t sb = first_true<uint64_t>(pk::bits_of(mid * mid), pk::bits_of(s_last), [&](uint64_t u) {
            return pk::to_float(std::sqrt(pk::double_of(u))) >= r_b;
        });
        start[static_cast<std::size_t>(b)] = pk::double_of(sb);
    }
    return start;
}

// Bin of s, searched from a nearby bin.
inline int find_bin(const double* start, double s, int b) {
    while (s >= start[b + 1]) ++b;
    while (s < start[b]) --b;
    return b;
}

// ---------------------------------------------------------------------------
// Sector decisions without the arc tangent.

// A number that grows with the angle of (x, y) from 0 to 2 pi as it runs
// from 0 to 4, one unit per quadrant; (x, y) must not be the origin.
inline double pseudo_angle(double x, double y) {
    if (y >= 0) return x > 0 ? y / (x + y) : 1 + (-x) / (y - x);
    return x < 0 ? 2 + (-y) / (-x - y) : 3 + x / (x - y);
}

constexpr double kMargin = 1e-5;  // rad; the computed azimuth is within 4e-7 of the angle
constexpr double kWrap = 1e-9;    // keeps limits away from the 0 / 2 pi seam

// Pseudo-angle limits for "angle >= phi" and "angle <= phi", each rounded
// to the safe side.
double pseudo_at_least(double phi) {
    if (!(phi > 0)) return -std::numeric_limits<double>::infinity();
    if (phi > kTwoPi - kWrap) return std::numeric_limits<double>::infinity();
    if (phi < kWrap) phi = kWrap;
    return pseudo_angle(std::cos(phi), std::sin(phi));
}
double pseudo_at_most(double phi) {
    if (phi >= kTwoPi) return std::numeric_limits<double>::infinity();
    if (!(phi >= kWrap)) return -std::numeric_limits<double>::infinity();
    if (phi > kTwoPi - kWrap) phi = kTwoPi - kWrap;
    return pseudo_angle(std::cos(phi), std::sin(phi));
}

enum class Take { none, all, some };

struct Sector {
    double thmin, thmax;
    Take global;                     // all or none for every sub-pixel, or decided per pixel
    double in_lo, in_hi;             // all taken when in_lo <= pseudo-angles <= in_hi
    double out_below, out_above;     // none taken when all <= out_below or all >= out_above

    explicit Sector(const Param& p) : thmin(p.thmin), thmax(p.thmax) {
        // Every azimuth lies between -0 and the float nearest 2 pi.
        const double az_max = static_cast<float>(kTwoPi);
        if (!(thmin <= thmax) || !(thmin <= az_max) || !(thmax >= 0)) global = Take::none;
        else if (thmin <= 0 && thmax >= az_max) global = Take::all;
        else global = Take::some;
        in_lo = pseudo_at_least(thmin + kMargin);
        in_hi = pseudo_at_most(thmax - kMargin);
        out_below = pseudo_at_most(thmin - kMargin);
        out_above = pseudo_at_least(thmax + kMargin);
    }

    bool takes(float az) const { return thmin <= az && az <= thmax; }

    // Decision for the pixel with sub-pixel offsets txi[0..9], tyj[0..9].
    Take pixel(const float* txi, const float* tyj) const {
        if (global != Take::some) return global;
        return box(txi[0], txi[kSub - 1], tyj[0], tyj[kSub - 1]);
    }

    // Decision for the offsets in [x0, x1] x [y0, y1], from the corners
    // when the box lies strictly inside one quadrant.
    Take box(float x0, float x1, float y0, float y1) const {
        if (!((x0 > 0 || x1 < 0) && (y0 > 0 || y1 < 0))) return Take::some;
        const double a = pseudo_angle(x0, y0), b = pseudo_angle(x0, y1);
        const double c = pseudo_angle(x1, y0), d = pseudo_angle(x1, y1);
        const double lo = std::fmin(std::fmin(a, b), std::fmin(c, d));
        const double hi = std::fmax(std::fmax(a, b), std::fmax(c, d));
        if (lo >= in_lo && hi <= in_hi) return Take::all;
        if (hi <= out_below || lo >= out_above) return Take::none;
        return Take::some;
    }

    // Sub-pixels taken of a strip with offset tx and row offsets ty[0..9]
    // (non-decreasing), as bits 0 to 9.
    unsigned strip(float tx, const float* ty) const {
        unsigned taken = 0;
        int n = 0;
        while (n < kSub) {
            if (tx == 0 || ty[n] == 0) {
                if (takes(azimuth(tx, ty[n]))) taken |= 1u << n;
                ++n;
                continue;
            }
            // The run of sub-pixels on the same side of the centre line.
            int e = n + 1;
            while (e < kSub && (ty[e] > 0) == (ty[n] > 0) && ty[e] != 0) ++e;
            const unsigned run = ((1u << (e - n)) - 1) << n;
            const Take t = box(tx, tx, ty[n], ty[e - 1]);
            if (t == Take::all) {
                taken |= run;
            } else if (t == Take::some) {
                for (int q = n; q < e; ++q)
                    if (takes(azimuth(tx, ty[q]))) taken |= 1u << q;
            }
            n = e;
        }
        return taken;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Sums of the bins.

// The float s after n additions of c, each rounded to a float as in
// pk::to_float(s + c), the same value as the n additions one by one.
//
// Let |s| be a normal float in the binade [L, U), U = 2L <= 2^127, with ulp
// u, and let s + c (exactly) lie in the closed binade [L, U] (same sign):
// call that addition regular.  Then the double sum is s plus c rounded to
// the double grid of the binade (s is a multiple of u, an even multiple of
// that grid), and the float result is s plus that rounded to a multiple of
// u; both roundings are the same for every s of the binade, except at an
// exact tie of the second, where the even neighbour is taken and the step
// depends on the parity of s / u.  Whether there is a tie depends only on c
// and the binade, and a tie always leaves an even multiple.  So without a
// tie from any s, and with one from an even multiple or from the result of
// a regular addition in the same binade (which is even after a tie), every
// regular addition adds the same step d: the additions are taken together
// while they stay regular (tested exactly: the differences to L and U are
// exact doubles).  The double sum is a tie when its bits below the float's
// last place are exactly one half of it: the low 29 of the 52 fraction bits.
float add_repeated(float s, double c, uint32_t n) {
    constexpr uint64_t kBelowFloat = (uint64_t{1} << 29) - 1;
    constexpr uint64_t kHalfFloatUlp = uint64_t{1} << 28;
    if (n == 0) return s;
    if (c == 0) return pk::to_float(s + c);  // one addition of a zero is all of them
    uint32_t settled = 0;  // sign and exponent bits of s after a regular addition
    while (n >= 3) {
        const uint32_t bits = pk::bits_of(s);
        const uint32_t e = bits >> 23 & 0xffu;
        bool regular = false;
        const bool neg = bits >> 31;
        double L = 0, U = 0, a = 0, cm = 0;
        if (e != 0 && e < 254) {
            // Mirrored to positive values (rounding to nearest is symmetric).
            L = static_cast<double>(pk::float_of(e << 23));
            U = 2 * L;
            a = neg ? -static_cast<double>(s) : static_cast<double>(s);
            cm = neg ? -c : c;
            regular = L - a <= cm && cm <= U - a;
        }
        const double sum = s + c;
        const float next = pk::to_float(sum);
        const bool tie = (pk::bits_of(sum) & kBelowFloat) == kHalfFloatUlp;
        if (!regular || (tie && (bits & 1u) != 0 && settled != bits >> 23)) {
            settled = regular ? bits >> 23 : 0;
            s = next;
            --n;
            continue;
        }
        const double dm = (neg ? -static_cast<double>(next) : static_cast<double>(next)) - a;
        uint32_t t = n;  // additions taken together
        // Addition number k (from 0) starts at a + k dm; it is regular
        // while that plus cm stays within [L, U], which holds for every k
        // below some bound (the computed start moves monotonically with k).
        auto regular_at = [&](uint32_t k) {
            const double start = a + static_cast<double>(k) * dm;
            return dm > 0 ? cm <= U - start : cm >= L - start;
        };
        // Usually all n are regular; else the bound is found from the
        // quotient, then exactly.
        if (dm != 0 && !regular_at(n - 1)) {
            const double q = dm > 0 ? ((U - a) - cm) / dm : ((a - L) + cm) / -dm;
            t = q >= static_cast<double>(n - 1) ? n : static_cast<uint32_t>(q) + 1;
            while (t > 1 && !regular_at(t - 1)) --t;
            while (t < n && regular_at(t)) ++t;
        }
        const double end = a + static_cast<double>(t) * dm;
        s = static_cast<float>(neg ? -end : end);
        n -= t;
        settled = bits >> 23;
    }
    for (; n > 0; --n) s = pk::to_float(s + c);
    return s;
}

namespace {

// ---------------------------------------------------------------------------
// One pixel at a time.

// Offsets from the beam centre and squared distance terms of the sub-pixel
// columns and rows, with the range of the terms within each pixel column
// and row.
struct Offsets {
    double px, py;
    std::vector<double> ax, ay;  // dx dx px px of each sub-pixel column, dy dy py py of each row
    std::vector<float> tx, ty;   // dx and dy rounded to floats
    std::vector<double> ax_lo, ax_hi, ay_lo, ay_hi;  // least and greatest term of each pixel column and row
    double ax_max = 0, ay_max = 0;
    bool wide = false;  // the AVX-512 loops may be taken

    Offsets(double px_, double py_, double bx, double by)
        : px(px_), py(py_), ax(kSubs), ay(kSubs), tx(kSubs), ty(kSubs), ax_lo(kDetSide), ax_hi(kDetSide),
          ay_lo(kDetSide), ay_hi(kDetSide) {
        for (int i = 0; i < kDetSide; ++i) {
            for (int m = 0; m < kSub; ++m) {
                const std::size_t s = static_cast<std::size_t>(i * kSub + m);
                const double dx = pk::to_float(i + (m + 0.5) * 0.1) - bx;
                ax[s] = dx * dx * px * px;
                tx[s] = pk::to_float(dx);
                const double dy = pk::to_float(i + (m + 0.5) * 0.1) - by;
                ay[s] = dy * dy * py * py;
                ty[s] = pk::to_float(dy);
            }
        }
        for (int i = 0; i < kDetSide; ++i) {
            const double* a = col(i);
            const double* b = row(i);
            ax_lo[i] = ax_hi[i] = a[0];
            ay_lo[i] = ay_hi[i] = b[0];
            for (int m = 1; m < kSub; ++m) {
                ax_lo[i] = std::fmin(ax_lo[i], a[m]), ax_hi[i] = std::fmax(ax_hi[i], a[m]);
                ay_lo[i] = std::fmin(ay_lo[i], b[m]), ay_hi[i] = std::fmax(ay_hi[i], b[m]);
            }
            ax_max = std::fmax(ax_max, ax_hi[i]);
            ay_max = std::fmax(ay_max, ay_hi[i]);
        }
    }
    // The ten terms and offsets of pixel column i and pixel row j.
    const double* col(int i) const { return &ax[static_cast<std::size_t>(i * kSub)]; }
    const double* row(int j) const { return &ay[static_cast<std::size_t>(j * kSub)]; }
    const float* col_offsets(int i) const { return &tx[static_cast<std::size_t>(i * kSub)]; }
    const float* row_offsets(int j) const { return &ty[static_cast<std::size_t>(j * kSub)]; }
};

#if PK_WIDE
// count_at_least where the processor has AVX-512: the sums a[q] + b[r] of
// r < 8 eight at a time for each q, those of r = 8, 9 eight at a time for
// q < 8 and the four others one by one, the comparisons' masks gathered
// into two words and their bits counted.
PK_AVX512 inline uint64_t at_least_mask(__m512d sums, __m512d t8) {
    return static_cast<uint64_t>(_mm512_cmp_pd_mask(sums, t8, _CMP_GE_OS));
}
__attribute__((target("avx512f,popcnt"))) uint32_t count_at_least_wide(const double* a, const double* b, double t) {
    static_assert(kSub == 10, "ten sub-pixels a side: eight in a register and two more");
    const __m512d t8 = _mm512_set1_pd(t), b8 = _mm512_loadu_pd(b), a8 = _mm512_loadu_pd(a);
    uint64_t rows = 0;  // bit 8 q + r: a[q] + b[r] >= t, q, r < 8
    for (int q = 0; q < 8; ++q) rows |= at_least_mask(_mm512_add_pd(_mm512_set1_pd(a[q]), b8), t8) << (8 * q);
    const uint64_t rest = at_least_mask(_mm512_add_pd(_mm512_set1_pd(a[8]), b8), t8) |
                          at_least_mask(_mm512_add_pd(_mm512_set1_pd(a[9]), b8), t8) << 8 |
                          at_least_mask(_mm512_add_pd(a8, _mm512_set1_pd(b[8])), t8) << 16 |
                          at_least_mask(_mm512_add_pd(a8, _mm512_set1_pd(b[9])), t8) << 24;
    const uint32_t corner = (a[8] + b[8] >= t) + (a[8] + b[9] >= t) + (a[9] + b[8] >= t) + (a[9] + b[9] >= t);
    return static_cast<uint32_t>(__builtin_popcountll(rows) + __builtin_popcountll(rest)) + corner;
}
#endif

// Number of sums a[q] + b[r] (q, r = 0..9) at or above t, given the least
// and greatest of b; with `wide`, by the AVX-512 loop.
inline uint32_t count_at_least(bool wide, const double* a, const double* b, double b_lo, double b_hi, double t) {
#if PK_WIDE
    if (wide) return count_at_least_wide(a, b, t);
#else
    (void)wide;
#endif
#if PK_SIMD
    // All hundred sums, two at a time, without a branch (rows wholly above
    // or below t count 10 or 0 as the tests below find).
    (void)b_lo, (void)b_hi;
    const __m128d t2 = _mm_set1_pd(t);
    __m128d br[kSub / 2];
    __m128i n[kSub / 2];  // minus the counts, per pair of b, in two halves
    for (int r = 0; r < kSub / 2; ++r) br[r] = _mm_loadu_pd(b + 2 * r), n[r] = _mm_setzero_si128();
    for (int q = 0; q < kSub; ++q) {
        const __m128d aq = _mm_set1_pd(a[q]);
        for (int r = 0; r < kSub / 2; ++r)
            n[r] = _mm_add_epi64(n[r], _mm_castpd_si128(_mm_cmpge_pd(_mm_add_pd(aq, br[r]), t2)));
    }
    const __m128i sum = _mm_add_epi64(_mm_add_epi64(_mm_add_epi64(n[0], n[1]), _mm_add_epi64(n[2], n[3])), n[4]);
    return static_cast<uint32_t>(-(_mm_cvtsi128_si64(sum) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum))));
#else
    uint32_t count = 0;
    for (int q = 0; q < kSub; ++q) {
        if (a[q] + b_lo >= t) {
            count += kSub;
        } else if (a[q] + b_hi >= t) {
            for (int r = 0; r < kSub; ++r) count += a[q] + b[r] >= t;
        }
    }
    return count;
#endif
}

// The Q of a pixel's sub-pixels for the writer's sums: their sums of
// squares s and Q values v (index kSub m + n, m the column), and the sums
// of Q by bin.
struct SubQ {
    double s[kSub * kSub];
    double v[kSub * kSub];
    std::vector<double> sums;  // per bin, zero between pixels
};

// beyond[t], t = 0 .. S: the sum of the sub-pixels' Q at or beyond the
// start of bin b_lo + t (T[b_lo] for t = 0, which every sub-pixel of the
// pixel reaches), taken in two alternating partial sums: the lanes of the
// packed loop.
template <int S>
void q_beyond(const SubQ& q, const double* T, int b_lo, double* beyond) {
#if PK_SIMD
    __m128d acc[S + 1], t2[S + 1];
    for (int t = 0; t <= S; ++t) acc[t] = _mm_setzero_pd(), t2[t] = _mm_set1_pd(T[b_lo + t]);
    for (int k = 0; k < kSub * kSub; k += 2) {
        const __m128d sk = _mm_loadu_pd(q.s + k), vk = _mm_loadu_pd(q.v + k);
        acc[0] = _mm_add_pd(acc[0], vk);
        for (int t = 1; t <= S; ++t) acc[t] = _mm_add_pd(acc[t], _mm_and_pd(_mm_cmpge_pd(sk, t2[t]), vk));
    }
    for (int t = 0; t <= S; ++t) beyond[t] = _mm_cvtsd_f64(acc[t]) + _mm_cvtsd_f64(_mm_unpackhi_pd(acc[t], acc[t]));
#else
    double acc[S + 1][2] = {};
    for (int k = 0; k < kSub * kSub; ++k) {
        acc[0][k & 1] += q.v[k];
        for (int t = 1; t <= S; ++t) acc[t][k & 1] += q.s[k] >= T[b_lo + t] ? q.v[k] : 0.0;
    }
    for (int t = 0; t <= S; ++t) beyond[t] = acc[t][0] + acc[t][1];
#endif
}

// Adds to q.sums[b], b = b_lo .. b_hi (at most 5 bins), the Q of the
// sub-pixels with T[b] <= s < T[b + 1], those find_bin puts into bin b:
// the differences of the sums beyond each bin start.
void bin_q_sums(SubQ& q, const double* T, int b_lo, int b_hi) {
    double beyond[6] = {};
    switch (b_hi - b_lo) {
        case 0: q_beyond<0>(q, T, b_lo, beyond); break;
        case 1: q_beyond<1>(q, T, b_lo, beyond); break;
        case 2: q_beyond<2>(q, T, b_lo, beyond); break;
        case 3: q_beyond<3>(q, T, b_lo, beyond); break;
        default: q_beyond<4>(q, T, b_lo, beyond); break;
    }
    for (int t = 0; t <= b_hi - b_lo; ++t) q.sums[static_cast<std::size_t>(b_lo + t)] += beyond[t] - beyond[t + 1];
}

// Counts the sub-pixels of pixel (i, j), which lies in bins b_lo .. b_hi
// and takes `take` of the sector, into counts[b_lo .. b_hi]; with `q`, the
// pixel's sub-pixel Q values, their sums by bin too.
void pixel_counts(const Offsets& o, const Sector& sector, const double* T, int i, int j, Take take, int b_lo,
                  int b_hi, std::vector<uint32_t>& counts, SubQ* q) {
    const double* axi = o.col(i);
    const double* ayj = o.row(j);
    const float* txi = o.col_offsets(i);
    const float* tyj = o.row_offsets(j);
    uint32_t* cnt = &counts[static_cast<std::size_t>(b_lo)];
    if (b_lo == b_hi && take == Take::all) {
        cnt[0] = kSub * kSub;
    } else if (take == Take::all && b_hi - b_lo <= 4) {
        // Sub-pixels at or beyond each bin start, by strips across the
        // circles (fewer strips are cut).
        const bool row_strips = std::fabs(txi[0]) * o.px < std::fabs(tyj[0]) * o.py;
        uint32_t beyond = kSub * kSub;
        for (int b = b_lo + 1; b <= b_hi; ++b) {
            const uint32_t n = row_strips ? count_at_least(o.wide, ayj, axi, o.ax_lo[i], o.ax_hi[i], T[b])
                                          : count_at_least(o.wide, axi, ayj, o.ay_lo[j], o.ay_hi[j], T[b]);
            cnt[b - 1 - b_lo] = beyond - n;
            beyond = n;
        }
        cnt[b_hi - b_lo] = beyond;
    } else {
        for (int m = 0; m < kSub; ++m) {
            const unsigned taken = take == Take::all ? kAllSub : sector.strip(txi[m], tyj);
            int b = b_lo;
            for (int n = 0; n < kSub; ++n) {
                if (!(taken >> n & 1u)) continue;
                b = find_bin(T, axi[m] + ayj[n], b);
                ++counts[static_cast<std::size_t>(b)];
                if (q) q->sums[static_cast<std::size_t>(b)] += q->v[m * kSub + n];
            }
        }
        return;
    }
    if (q) bin_q_sums(*q, T, b_lo, b_hi);
}

// The Q of a pixel's sub-pixels from their sums of squares as
// k sqrt(s) (h0 + d (h1 + d h2)), d = s inv_l2 - t0 (ave_rule.inc): each the
// same operations on one number, whatever the width of the loop that makes
// them.
struct Taylor {
    double k, inv_l2, t0, h0, h1, h2;
};

#define PK_RULE_FILE "ave_rule.inc"
#include "rule_widths.inc"

void taylor_q(const double* s, double* v, const Taylor& c) {
#if PK_SIMD
    for (int k = 0; k < kSub * kSub; k += 4) {
        const simd::Wide sk{_mm_loadu_pd(s + k), _mm_loadu_pd(s + k + 2)};
        const simd::Wide q = rule::taylor_q_lanes<simd::Four>(sk, c);
        _mm_storeu_pd(v + k, q.lo);
        _mm_storeu_pd(v + k + 2, q.hi);
    }
#else
    for (int k = 0; k < kSub * kSub; ++k) v[k] = rule::taylor_q_lanes<simd::One>(s[k], c);
#endif
}

#if PK_WIDE
// The same eight at a time where the processor has AVX-512 (the square
// root, which bounds the loop, four times as fast as two at a time).
PK_AVX512 void taylor_q_wide(const double* s, double* v, const Taylor& c) {
    int k = 0;
    for (; k + 8 <= kSub * kSub; k += 8)
        _mm512_storeu_pd(v + k, rule_wide::taylor_q_lanes<simd::Eight>(_mm512_loadu_pd(s + k), c));
    for (; k < kSub * kSub; ++k) v[k] = rule::taylor_q_lanes<simd::One>(s[k], c);
}
#endif

// s[10 m + n] = a[m] + b[n].
inline void sums_of_squares(const double* a, const double* b, double* s) {
#if PK_SIMD
    __m128d bn[kSub / 2];
    for (int n = 0; n < kSub / 2; ++n) bn[n] = _mm_loadu_pd(b + 2 * n);
    for (int m = 0; m < kSub; ++m) {
        const __m128d am = _mm_set1_pd(a[m]);
        for (int n = 0; n < kSub / 2; ++n) _mm_storeu_pd(s + m * kSub + 2 * n, _mm_add_pd(am, bn[n]));
    }
#else
    for (int m = 0; m < kSub; ++m)
        for (int n = 0; n < kSub; ++n) s[m * kSub + n] = a[m] + b[n];
#endif
}

// The Q of the sub-pixels of a pixel.  H is taken as its Taylor series of
// degree 2 about the nearest of nodes kNodeStep apart in t = s / L^2, whose
// coefficients are worked out once, where every sub-pixel of the pixel lies
// within kReach of the node: the next term, at most |H'''| / 6 kReach^3 with
// |H'''| < 0.63 and H > 0.28 for t < 3, is then below 1e-10 of H.  Elsewhere
// (pixels wide against their distance, far beyond the last node) H is
// evaluated for each sub-pixel.
class SubPixelQ {
public:
    SubPixelQ(const Param& p, double t_max, bool wide) : q_of_(p), wide_(wide) {
        const double last = t_max / kNodeStep + 1;
        const std::size_t count = last >= 0 && last < kMostNodes ? static_cast<std::size_t>(last) + 1 : 0;
        for (std::size_t n = 0; n < count; ++n) {
            std::array<double, 3> h{};
            QOfSquare::taylor(static_cast<double>(n) * kNodeStep, h[0], h[1], h[2]);
            h[2] *= 0.5;
            nodes_.push_back(h);
        }
    }

    // The sums of squares and Q of the sub-pixels of pixel (i, j) into q.s and q.v.
    void make(const Offsets& o, int i, int j, SubQ& q) const {
        sums_of_squares(o.col(i), o.row(j), q.s);
        const double t_lo = (o.ax_lo[i] + o.ay_lo[j]) * q_of_.inv_l2, t_hi = (o.ax_hi[i] + o.ay_hi[j]) * q_of_.inv_l2;
        const double x = 0.5 * (t_lo + t_hi) / kNodeStep + 0.5;
        const std::size_t node = x >= 0 && x < static_cast<double>(nodes_.size()) ? static_cast<std::size_t>(x) : 0;
        const double t0 = static_cast<double>(node) * kNodeStep;
        if (nodes_.empty() || !(t_hi - t0 <= kReach && t0 - t_lo <= kReach)) {
            for (int k = 0; k < kSub * kSub; ++k) q.v[k] = q_of_(q.s[k]);
            return;
        }
        const std::array<double, 3>& h = nodes_[node];
        const Taylor c{q_of_.k, q_of_.inv_l2, t0, h[0], h[1], h[2]};
#if PK_WIDE
        if (wide_) {
            taylor_q_wide(q.s, q.v, c);
            return;
        }
#endif
        taylor_q(q.s, q.v, c);
    }

private:
    static constexpr double kNodeStep = 2.5e-4, kReach = 5e-4;
    static constexpr double kMostNodes = 65536;
    QOfSquare q_of_;
    bool wide_;
    std::vector<std::array<double, 3>> nodes_;  // H, H' and H'' / 2 at each node
};

// The running sums of the image's bins.
struct Sums {
    float* y;                      // of the intensity terms
    float* v;                      // of the variance terms
    std::vector<uint32_t> total;   // sub-pixels of the image, per bin

    Sums(Data1D& out, int last) : y(out.y.data()), v(out.dy.data()), total(static_cast<std::size_t>(last) + 1, 0) {}

    // Adds the terms of a pixel of value val and uncertainty unc to its bins
    // b_lo .. b_hi, counts[b] equal additions to bin b.
    void add_pixel(const uint32_t* counts, double val, double unc, int b_lo, int b_hi) {
        const double add_y = val * 0.01;
        const double add_v = unc * 0.01 * unc;
        for (int b = b_lo; b <= b_hi; ++b) {
            const uint32_t n = counts[b];
            if (n == 0) continue;
            total[static_cast<std::size_t>(b)] += n;
            y[b] = add_run(y[b], add_y, n);
            v[b] = add_run(v[b], add_v, n);
        }
    }
};

// The writer's sums along the pixels: the Q of the current pixel's
// sub-pixels (sums by bin zero between pixels).
struct WriterSums {
    BinSums& out;
    SubPixelQ q_of;
    SubQ q;

    WriterSums(BinSums& sums, const Param& p, int last, double t_max) : out(sums), q_of(p, t_max, wide_loop(p.simd)) {
        q.sums.assign(static_cast<std::size_t>(last) + 1, 0.0);
    }
    // Adds the current pixel, of uncertainty unc, whose sub-pixels counts[b]
    // tallies by bin, and clears its Q sums.
    void add_pixel(const uint32_t* counts, double unc, int b_lo, int b_hi) {
        add_pixel_sums(counts, q.sums.data(), unc, b_lo, b_hi, out);
        for (int b = b_lo; b <= b_hi; ++b) q.sums[static_cast<std::size_t>(b)] = 0.0;
    }
};

// The bins of one geometry: the sub-pixel offsets, the sector, the sums of
// squares at which bins 1 .. last start, and the sum from which a
// sub-pixel lies beyond the curve's last bin (the average then refuses its
// pixel).  With a spacing or beam centre that is not finite, every
// sub-pixel lies beyond: its bin is not a number.
struct Layout {
    Offsets o;
    Sector sector;
    std::vector<double> start;
    int last = 0;  // the last bin a sub-pixel of the image can reach, at most tot - 1
    double beyond = std::numeric_limits<double>::infinity();
    double s_last = 0;  // the largest sum of squares of the image

    Layout(const Param& p, int tot, float max) : o(p.px, p.py, p.bx, p.by), sector(p) {
        o.wide = wide_loop(p.simd);
        // The largest sum of squares decides how far the bins reach (the
        // sums grow with each term, so every other one lies as far or less).
        s_last = o.ax_max + o.ay_max;
        const double where_last = tot * static_cast<double>(pk::to_float(std::sqrt(s_last))) / max;
        const bool finite = std::isfinite(p.px) && std::isfinite(p.py) && std::isfinite(p.bx) && std::isfinite(p.by);
        if (!finite || !(where_last >= 0)) {
            beyond = -std::numeric_limits<double>::infinity();
            start = {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
            return;
        }
        const int reach = where_last < tot ? static_cast<int>(where_last) : tot;
        start = bin_starts(reach, s_last, tot, max);
        if (reach == tot) beyond = start[static_cast<std::size_t>(tot)];
        last = reach < tot ? reach : tot - 1;
    }
    // Whether a sub-pixel of pixel (i, j) lies beyond the last bin.
    bool refuses(int i, int j) const { return !(o.ax_hi[i] + o.ay_hi[j] < beyond); }
};

Status beyond_radius(int i, int j) {
    return failure(Stage::average, Code::not_finite, "ave_data",
                   pk::format("pixel (%d, %d) lies beyond the averaging radius; the curve cannot be averaged", i, j));
}

// The average's walk over the image: every pixel in use, columns then
// rows, with its sub-pixels in the sector counted by bin into counts[b_lo ..
// b_hi] and handed to visit(k, counts, b_lo, b_hi) (pixel k = i + 128 j),
// which clears them; with `writer`, the pixel's sub-pixel Q too.  A star on
// the console every eight columns; a pixel with a sub-pixel beyond the last
// bin stops the walk with the refusal.
template <class Visit>
Status walk(const Layout& g, const Data2D& mask, const Console& con, WriterSums* writer, Visit&& visit) {
    std::vector<uint32_t> counts(static_cast<std::size_t>(g.last) + 1, 0);
    const double* T = g.start.data();
    int b_lo = 0, b_hi = 0;
    for (int i = 0; i < kDetSide; ++i) {
        if (std::fmod(static_cast<double>(i), 8.0) == 0) pk::say(con, "*");
        for (int j = 0; j < kDetSide; ++j) {
            const int k = i + kDetSide * j;
            if (!pk::pixel_used(mask.intens[k])) continue;
            if (g.refuses(i, j)) return beyond_radius(i, j);
            const Take take = g.sector.pixel(g.o.col_offsets(i), g.o.row_offsets(j));
            if (take == Take::none) continue;
            b_lo = find_bin(T, g.o.ax_lo[i] + g.o.ay_lo[j], b_lo);
            b_hi = find_bin(T, g.o.ax_hi[i] + g.o.ay_hi[j], b_hi);
            if (writer) writer->q_of.make(g.o, i, j, writer->q);
            pixel_counts(g.o, g.sector, T, i, j, take, b_lo, b_hi, counts, writer ? &writer->q : nullptr);
            visit(k, counts.data(), b_lo, b_hi);
        }
    }
    pk::say(con, "\n");
    return ok_status();
}

}  // namespace

bool wide_loop(Simd simd) {
#if PK_WIDE && PK_GLIBC_CPU_FEATURES
    // The C library has asked the processor already, as the program
    // started: no second round of cpuid (slow in a virtual machine).
    return simd == Simd::widest && CPU_FEATURE_ACTIVE(AVX512F);
#elif PK_WIDE
    return simd == Simd::widest && __builtin_cpu_supports("avx512f");
#else
    (void)simd;
    return false;
#endif
}

bool avx2_loop(Simd simd) {
#if PK_WIDE && PK_GLIBC_CPU_FEATURES
    return simd != Simd::sse2 && CPU_FEATURE_ACTIVE(AVX2);
#elif PK_WIDE
    return simd != Simd::sse2 && __builtin_cpu_supports("avx2");
#else
    (void)simd;
    return false;
#endif
}

void subpixel_q_values(const Param& p, int i, int j, bool wide, double* q) {
    const Offsets o(p.px, p.py, p.bx, p.by);
    SubQ sub;
    SubPixelQ(p, (o.ax_max + o.ay_max) * QOfSquare(p).inv_l2, wide && wide_loop(Simd::widest)).make(o, i, j, sub);
    std::copy(sub.v, sub.v + kSub * kSub, q);
}

void add_pixel_sums(const uint32_t* counts, const double* q, double unc, int b_lo, int b_hi, BinSums& sums) {
    const double var = unc * unc;
    for (int b = b_lo; b <= b_hi; ++b) {
        const std::size_t k = static_cast<std::size_t>(b);
        const double w = counts[k];
        if (w == 0) continue;
        sums.n[k] += w;
        sums.q[k] += q[k];
        sums.w2[k] += w * w;
        sums.w2var[k] += w * w * var;
        if (b < b_hi) sums.next_cov[k] += w * counts[k + 1] * var;
    }
}

Status sum_bins(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, int tot, float max,
                const Console& con, BinSums* bin_sums) {
    const Layout g(p, tot, max);
    Sums sums(out, g.last);
    std::optional<WriterSums> writer;
    if (bin_sums) writer.emplace(*bin_sums, p, g.last, g.s_last * QOfSquare(p).inv_l2);
    const Status st = walk(g, mask, con, writer ? &*writer : nullptr,
                           [&](int k, uint32_t* counts, int b_lo, int b_hi) {
                               if (writer) writer->add_pixel(counts, in.uncert[k], b_lo, b_hi);
                               sums.add_pixel(counts, in.intens[k], in.uncert[k], b_lo, b_hi);
                               std::fill(counts + b_lo, counts + b_hi + 1, 0u);
                           });
    if (!st.ok()) return st;
    for (int b = 0; b <= g.last; ++b)
        out.area[static_cast<std::size_t>(b)] = add_repeated(0.0f, 0.01, sums.total[static_cast<std::size_t>(b)]);
    return ok_status();
}

Status pixel_bins(const Param& p, const Data2D& mask, int tot, float max, std::vector<AveEntry>& entries) {
    const Layout g(p, tot, max);
    return walk(g, mask, Console{nullptr, nullptr}, nullptr, [&](int k, uint32_t* counts, int b_lo, int b_hi) {
        for (int b = b_lo; b <= b_hi; ++b) {
            if (counts[b] == 0) continue;
            entries.push_back(AveEntry{static_cast<uint16_t>(k), static_cast<uint16_t>(b), counts[b]});
            counts[b] = 0;
        }
    });
}

}  // namespace ave

}  // namespace pk
