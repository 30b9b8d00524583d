// The azimuthal average by a plan: the sub-pixel decisions of one geometry
// and mask worked out once, then applied to any number of frames.
//
// The plan is made by the average's engine (ave_fast.cpp: the same walk
// over the pixels, the same bin of every sub-pixel), keeping each pixel's
// counts by bin instead of adding them.  All sub-pixels of a pixel add the
// same two terms, so a bin receives from each pixel a run of equal
// additions (add_run, as the engine adds them), and the runs of different
// pixels in the order of the walk: applying the plan makes the same rounded
// additions in the same order.  The bins' Q, resolution and
// area do not depend on the frame and are taken from an average of an
// empty image.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "ave_plan.h"
#include "ave_fast.h"
#include "ave_data.h"
#include "simd.h"

namespace pk {

namespace {

// Bins, Q, resolution and area of the curve, and the writer's sums of the
// geometry: an average of an empty image.
bool bin_table(const Param& p, const Data2D& mask, AvePlan& plan) {
    Data2D empty;
    empty.intens.assign(kImageValues, 0.0f);
    empty.uncert.assign(kImageValues, 0.0f);
    Data1D curve;
    if (!ave_data_sums(p, empty, curve, mask, plan.geometry, Console{nullptr, nullptr}).ok()) return false;
    plan.tot = curve.num;
    const std::size_t n = static_cast<std::size_t>(curve.num);
    plan.x.assign(curve.x.begin(), curve.x.begin() + static_cast<std::ptrdiff_t>(n));
    plan.dq.assign(curve.dq.begin(), curve.dq.begin() + static_cast<std::ptrdiff_t>(n));
    plan.area.assign(curve.area.begin(), curve.area.begin() + static_cast<std::ptrdiff_t>(n));
    return plan.tot > 0 && plan.tot < 65536;
}

using pk::ave::add_run;

// The entries one by one, in the order of the sub-pixel loop.
bool sum_entries(const AvePlan& plan, const Data2D& in, float* y, float* v) {
    for (const AveEntry& e : plan.entries) {
        const double val = in.intens[e.pixel];
        const double unc = in.uncert[e.pixel];
        if (!std::isfinite(val) || !std::isfinite(unc)) return false;
        y[e.bin] = add_run(y[e.bin], val * 0.01, e.count);
        v[e.bin] = add_run(v[e.bin], unc * 0.01 * unc, e.count);
    }
    return true;
}

}  // namespace

namespace {

#if PK_WIDE

constexpr std::size_t kLanes = 8;

// The entries regrouped bin by bin, eight bins side by side (AvePlan).
void make_lanes(AvePlan& plan) {
    const std::size_t tot = static_cast<std::size_t>(plan.tot);
    std::vector<std::vector<const AveEntry*>> by_bin(tot);
    for (const AveEntry& e : plan.entries) by_bin[e.bin].push_back(&e);
    // The bins from the most entries to the fewest: a group's bins then
    // take about as many steps, and few places stay empty.
    std::vector<std::size_t> order(tot);
    for (std::size_t b = 0; b < tot; ++b) order[b] = b;
    std::stable_sort(order.begin(), order.end(),
                     [&by_bin](std::size_t x, std::size_t y) { return by_bin[x].size() > by_bin[y].size(); });
    plan.group_start.push_back(0);
    for (std::size_t first = 0; first < tot; first += kLanes) {
        const std::size_t steps = by_bin[order[first]].size();
        for (std::size_t l = 0; l < kLanes; ++l)
            plan.lane_bin.push_back(first + l < tot ? static_cast<int32_t>(order[first + l]) : -1);
        for (std::size_t t = 0; t < steps; ++t) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                const std::vector<const AveEntry*>* bin = first + l < tot ? &by_bin[order[first + l]] : nullptr;
                const bool has = bin && t < bin->size();
                plan.lane_pixel.push_back(has ? (*bin)[t]->pixel : 0);
                plan.lane_count.push_back(has ? static_cast<int32_t>((*bin)[t]->count) : 0);
            }
        }
        plan.group_start.push_back(plan.group_start.back() + static_cast<uint32_t>(steps));
    }
}

using simd::kAll8;
using simd::narrow8;
using simd::rounded8;
using simd::widen8;
using simd::widen_int8;

PK_AVX512 inline __m512d flip(__m512d x, __m512d sign) {
    return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(x), _mm512_castpd_si512(sign)));
}

// The first addition of c to s in eight lanes, as add_repeated_inline
// looks at it: s mirrored to positive values (a, cm), its binade [L, U],
// the rounded sum and its step, and whether the addition is regular (in
// s's binade, no tie from an odd start).
struct First8 {
    __m512d sign, a, cm, L, U, next, dm;
    __mmask8 regular;
};

PK_AVX512 inline First8 first8(__m512d s, __m512d c) {
    First8 f;
    const __m512i one = _mm512_set1_epi64(1);
    f.sign = _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(s), _mm512_set1_epi64(INT64_MIN)));
    const __m512i bits = widen_int8(_mm256_castps_si256(narrow8(s)));
    const __m512i e = _mm512_and_epi64(_mm512_maskz_srli_epi64(kAll8, bits, 23), _mm512_set1_epi64(0xff));
    // 2^(e - 127) as a double: the binade's lower end.
    f.L = _mm512_castsi512_pd(_mm512_maskz_slli_epi64(kAll8, _mm512_add_epi64(e, _mm512_set1_epi64(896)), 52));
    f.U = _mm512_add_pd(f.L, f.L);
    f.a = _mm512_abs_pd(s);
    f.cm = flip(c, f.sign);
    const __m512d sum = _mm512_add_pd(s, c);
    const __m512i below = _mm512_and_epi64(_mm512_castpd_si512(sum), _mm512_set1_epi64((int64_t{1} << 29) - 1));
    const __mmask8 tie = _mm512_cmpeq_epi64_mask(below, _mm512_set1_epi64(int64_t{1} << 28)) &
                         _mm512_test_epi64_mask(bits, one);
    f.regular = _mm512_cmpge_epu64_mask(e, one) & _mm512_cmplt_epu64_mask(e, _mm512_set1_epi64(254)) & ~tie;
    f.regular &= _mm512_cmp_pd_mask(_mm512_sub_pd(f.L, f.a), f.cm, _CMP_LE_OQ) &
                 _mm512_cmp_pd_mask(f.cm, _mm512_sub_pd(f.U, f.a), _CMP_LE_OQ);
    f.next = rounded8(sum);
    f.dm = _mm512_sub_pd(flip(f.next, f.sign), f.a);
    return f;
}

// Whether addition number k (from 0) of a run whose first is regular is
// regular too: it starts at a + k dm, and its sum stays within [L, U]
// (exact doubles, as in add_repeated).
PK_AVX512 inline __mmask8 regular_at8(const First8& f, __m512d k) {
    const __m512d start = _mm512_add_pd(f.a, _mm512_mul_pd(k, f.dm));
    const __mmask8 up = _mm512_cmp_pd_mask(f.dm, _mm512_setzero_pd(), _CMP_GT_OQ);
    return (up & _mm512_cmp_pd_mask(f.cm, _mm512_sub_pd(f.U, start), _CMP_LE_OQ)) |
           (~up & _mm512_cmp_pd_mask(f.cm, _mm512_sub_pd(f.L, start), _CMP_GE_OQ));
}

// add_run in eight lanes: n additions of c to s, each rounded to a float,
// through add_repeated_inline's step of n times the first addition where
// every addition stays in s's binade and no tie intervenes.  The lanes with
// three or more additions where that does not hold are marked in `redo`
// and left for split_run8.
PK_AVX512 inline __m512d add_run8(__m512d s, __m512d c, __m256i count, const First8& f, __mmask8& redo) {
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i n = widen_int8(count);
    const __m512d nd = _mm512_maskz_cvtepi32_pd(kAll8, count);
    const __mmask8 moved = _mm512_cmp_pd_mask(f.dm, _mm512_setzero_pd(), _CMP_NEQ_OQ);
    const __mmask8 ok = f.regular & (~moved | regular_at8(f, _mm512_sub_pd(nd, _mm512_set1_pd(1.0))));
    __m512d r = rounded8(flip(_mm512_add_pd(f.a, _mm512_mul_pd(nd, f.dm)), f.sign));
    const __mmask8 n1 = _mm512_cmpeq_epi64_mask(n, one);
    const __mmask8 n2 = _mm512_cmpeq_epi64_mask(n, _mm512_set1_epi64(2));
    const __mmask8 n0 = _mm512_cmpeq_epi64_mask(n, _mm512_setzero_si512());
    r = _mm512_mask_mov_pd(r, n1 | n2, f.next);
    r = _mm512_mask_mov_pd(r, n2, rounded8(_mm512_add_pd(f.next, c)));
    r = _mm512_mask_mov_pd(r, n0, s);
    redo = static_cast<__mmask8>(~(n0 | n1 | n2) & ~ok);
    return r;
}

// The lanes of `redo` taken by add_run, one by one: count[l] additions of
// c[l] to s[l].
PK_AVX512 __m512d redo_lanes(__m512d r, __m512d s, __m512d c, __m256i count, __mmask8 redo) {
    alignas(64) double rv[kLanes], sv[kLanes], cv[kLanes];
    alignas(32) int32_t nv[kLanes];
    _mm512_store_pd(rv, r);
    _mm512_store_pd(sv, s);
    _mm512_store_pd(cv, c);
    _mm256_store_si256(reinterpret_cast<__m256i*>(nv), count);
    for (std::size_t l = 0; l < kLanes; ++l)
        if (redo >> l & 1u) rv[l] = add_run(static_cast<float>(sv[l]), cv[l], static_cast<uint32_t>(nv[l]));
    return _mm512_load_pd(rv);
}

// The lanes of `redo` of add_run8 (a run that leaves its binade, or whose
// first addition is not regular), still eight at a time: the regular
// additions at its start (t of them, 0 where the first is not regular)
// taken together as one step, the next alone, the rest as a new run.  t is
// the quotient of the room left in the binade by the step, held to the
// exact test on both sides of it; a lane where that fails, or whose new run
// is not regular either, is taken by add_run.
PK_AVX512 __m512d split_run8(__m512d r, __m512d s, __m512d c, __m256i count, const First8& f, __mmask8 redo) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d nd = _mm512_maskz_cvtepi32_pd(kAll8, count);
    const __mmask8 up = _mm512_cmp_pd_mask(f.dm, _mm512_setzero_pd(), _CMP_GT_OQ);
    const __m512d room = _mm512_mask_blend_pd(up, _mm512_add_pd(_mm512_sub_pd(f.a, f.L), f.cm),
                                              _mm512_sub_pd(_mm512_sub_pd(f.U, f.a), f.cm));
    const __m512d q = _mm512_div_pd(room, _mm512_abs_pd(f.dm));
    __m512d t = _mm512_add_pd(_mm512_maskz_roundscale_pd(kAll8, q, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC), one);
    t = _mm512_maskz_max_pd(kAll8, _mm512_maskz_min_pd(kAll8, t, _mm512_sub_pd(nd, one)), one);
    t = _mm512_maskz_mov_pd(f.regular, t);  // the first not regular: none taken together
    const __mmask8 some = f.regular;
    const __mmask8 exact = static_cast<__mmask8>(~some | (regular_at8(f, _mm512_sub_pd(t, one)) & ~regular_at8(f, t)));
    const __m512d s1 = _mm512_mask_mov_pd(s, some, flip(_mm512_add_pd(f.a, _mm512_mul_pd(t, f.dm)), f.sign));
    const __m512d s2 = rounded8(_mm512_add_pd(s1, c));
    const __m512d rest = _mm512_sub_pd(_mm512_sub_pd(nd, t), one);  // exact: whole numbers below 2^31
    __mmask8 again = 0;
    const __m512d r2 = add_run8(s2, c, _mm512_maskz_cvttpd_epi32(kAll8, rest), first8(s2, c), again);
    r = _mm512_mask_mov_pd(r, redo & exact, r2);
    // What is left to add_run: the whole run where t did not hold, the rest
    // where the new run is not regular either.
    const __mmask8 whole = redo & ~exact, tail = redo & exact & again;
    if ((whole | tail) == 0) return r;
    const __m512d from = _mm512_mask_mov_pd(s, tail, s2);
    const __m256i left = _mm512_maskz_cvttpd_epi32(kAll8, _mm512_mask_mov_pd(nd, tail, rest));
    return redo_lanes(r, from, c, left, whole | tail);
}

// One step of a group: the next entry of each of its eight bins added to
// the bins' sums (y: intensities, v: variances).  False at a pixel in use
// whose value or uncertainty is not finite.
PK_AVX512 inline bool lane_step(const AvePlan& plan, const Data2D& in, std::size_t t, __m512d& y, __m512d& v) {
    const __m256i pix = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&plan.lane_pixel[t * kLanes]));
    const __m256i count = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&plan.lane_count[t * kLanes]));
    const __m512d val = widen8(_mm256_i32gather_ps(in.intens.data(), pix, 4));
    const __m512d unc = widen8(_mm256_i32gather_ps(in.uncert.data(), pix, 4));
    const __m512d inf = _mm512_set1_pd(INFINITY);
    const __mmask8 used =
        static_cast<__mmask8>(~_mm512_cmpeq_epi64_mask(widen_int8(count), _mm512_setzero_si512()));
    const __mmask8 finite = _mm512_cmp_pd_mask(_mm512_abs_pd(val), inf, _CMP_LT_OQ) &
                            _mm512_cmp_pd_mask(_mm512_abs_pd(unc), inf, _CMP_LT_OQ);
    if ((used & ~finite) != 0) return false;
    const __m512d hundredth = _mm512_set1_pd(0.01);
    const __m512d cy = _mm512_mul_pd(val, hundredth);
    const __m512d cv = _mm512_mul_pd(_mm512_mul_pd(unc, hundredth), unc);
    const First8 fy = first8(y, cy), fv = first8(v, cv);
    __mmask8 redo_y = 0, redo_v = 0;
    __m512d ny = add_run8(y, cy, count, fy, redo_y);
    __m512d nv = add_run8(v, cv, count, fv, redo_v);
    if (redo_y) ny = split_run8(ny, y, cy, count, fy, redo_y);
    if (redo_v) nv = split_run8(nv, v, cv, count, fv, redo_v);
    y = ny, v = nv;
    return true;
}

constexpr std::size_t kGroupsAtOnce = 4;  // independent chains of additions in flight

// Eight bins' sums at a time, each bin's additions in the entries' order,
// several groups of bins stepping together: the same roundings as
// sum_entries.  False at a pixel in use that is not finite.
PK_AVX512 bool sum_lanes_wide(const AvePlan& plan, const Data2D& in, float* y, float* v) {
    const std::size_t groups = plan.group_start.size() - 1;
    for (std::size_t g0 = 0; g0 < groups; g0 += kGroupsAtOnce) {
        const std::size_t n = std::min(kGroupsAtOnce, groups - g0);
        __m512d sy[kGroupsAtOnce], sv[kGroupsAtOnce];
        std::size_t longest = 0;
        for (std::size_t k = 0; k < n; ++k) {
            sy[k] = sv[k] = _mm512_setzero_pd();
            longest = std::max<std::size_t>(longest, plan.group_start[g0 + k + 1] - plan.group_start[g0 + k]);
        }
        for (std::size_t t = 0; t < longest; ++t)
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t step = plan.group_start[g0 + k] + t;
                if (step < plan.group_start[g0 + k + 1] && !lane_step(plan, in, step, sy[k], sv[k])) return false;
            }
        for (std::size_t k = 0; k < n; ++k) {
            alignas(64) double oy[kLanes], ov[kLanes];
            _mm512_store_pd(oy, sy[k]);
            _mm512_store_pd(ov, sv[k]);
            for (std::size_t l = 0; l < kLanes; ++l) {
                const int32_t b = plan.lane_bin[(g0 + k) * kLanes + l];
                if (b < 0) continue;
                y[b] = static_cast<float>(oy[l]);
                v[b] = static_cast<float>(ov[l]);
            }
        }
    }
    return true;
}

#endif

bool sum_lanes(const AvePlan& plan, const Data2D& in, float* y, float* v) {
#if PK_WIDE
    // (the lanes are made only where the AVX-512 loop is to be taken)
    if (pk::ave::wide_loop(Simd::widest)) return sum_lanes_wide(plan, in, y, v);
#endif
    return sum_entries(plan, in, y, v);
}

}  // namespace

AvePlan make_ave_plan(const Param& p, const Data2D& mask) {
    AvePlan plan;
    CurveBins bins;
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels) || !curve_bins(p, bins).ok()) return plan;
    try {
        if (!bin_table(p, mask, plan)) return AvePlan{};
        if (!pk::ave::pixel_bins(p, mask, plan.tot, bins.max, plan.entries).ok()) return AvePlan{};
    } catch (const std::bad_alloc&) {
        return AvePlan{};
    }
#if PK_WIDE
    if (pk::ave::wide_loop(p.simd)) make_lanes(plan);
#endif
    plan.usable = true;
    return plan;
}

namespace {

// Mean and uncertainty of each bin, as ave_data finishes them.
bool finish_bins(Data1D& out) {
    float* y = out.y.data();
    float* v = out.dy.data();
    for (std::size_t i = 0; i < static_cast<std::size_t>(out.num); ++i) {
        const float a = out.area[i];
        y[i] = pk::to_float(static_cast<double>(y[i]) / a);
        v[i] = a != 0 ? pk::to_float(std::sqrt(static_cast<double>(v[i])) / a)
                      : pk::to_float(std::sqrt(static_cast<double>(v[i])));
        if (a != 0 && !(std::isfinite(out.x[i]) && std::isfinite(y[i]) && std::isfinite(v[i]) &&
                        std::isfinite(out.dq[i])))
            return false;
    }
    return true;
}

}  // namespace

bool average_by_plan(const AvePlan& plan, const Data2D& in, Data1D& out, bool lanes) {
    if (!plan.usable || in.intens.size() < static_cast<std::size_t>(kDetPixels) ||
        in.uncert.size() < static_cast<std::size_t>(kDetPixels))
        return false;
    const std::size_t tot = static_cast<std::size_t>(plan.tot);
    out.num = plan.tot;
    out.x = plan.x;
    out.dq = plan.dq;
    out.area = plan.area;
    out.y.assign(tot, 0.0f);
    out.dy.assign(tot, 0.0f);
    const bool summed = lanes && !plan.group_start.empty() ? sum_lanes(plan, in, out.y.data(), out.dy.data())
                                                           : sum_entries(plan, in, out.y.data(), out.dy.data());
    return summed && finish_bins(out);
}

bool average_by_plan(const AvePlan& plan, const Data2D& in, Data1D& out) {
    return average_by_plan(plan, in, out, true);
}

// The variances go in as add_pixel_sums adds them: pixel by pixel, each
// bin of the pixel in turn, with the covariance of the bin and the next
// one (a bin the pixel does not reach adds nothing).
bool sums_by_plan(const AvePlan& plan, const Data2D& in, BinSums& out) {
    if (!plan.usable || in.uncert.size() < static_cast<std::size_t>(kDetPixels)) return false;
    try {
        out = plan.geometry;
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::vector<AveEntry>& e = plan.entries;
    for (std::size_t k = 0; k < e.size(); ++k) {
        const double unc = in.uncert[e[k].pixel];
        const double var = unc * unc;
        const double w = e[k].count;
        out.w2var[e[k].bin] += w * w * var;
        if (k + 1 < e.size() && e[k + 1].pixel == e[k].pixel && e[k + 1].bin == e[k].bin + 1)
            out.next_cov[e[k].bin] += w * e[k + 1].count * var;
    }
    return true;
}

}  // namespace pk
