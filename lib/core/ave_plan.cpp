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

// The same table without the writer's sums: the bins' Q and resolution
// as the average works them out, their areas from the entries' counts.
bool lean_table(const Param& p, AvePlan& plan) {
    Data1D curve;
    if (!curve_table(p, plan.entries, curve).ok()) return false;
    plan.tot = curve.num;
    plan.x = std::move(curve.x);
    plan.dq = std::move(curve.dq);
    plan.area = std::move(curve.area);
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

// A float held in a double keeps its exponent, and its last place is bit
// 29 of the double: the quick ways test a sum by the double's bits
// (positive doubles order as their bits).
constexpr int64_t kMinNormalBits = int64_t{1023 - 126} << 52;  // 2^-126
constexpr int64_t kTopBits = int64_t{1023 + 127} << 52;        // 2^127
constexpr int64_t kExponentBits = int64_t{0x7FF} << 52;
constexpr int64_t kLastPlace = int64_t{1} << 29, kBelowLastPlace = kLastPlace - 1, kHalfLastPlace = kLastPlace >> 1;

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

// The quick ways of the AVX2 loop below (regular_up4, quick_up4,
// quick_run4, cross_up4: see there) on eight lanes, the lanes taken as the
// bits of `ok`.
PK_AVX512 inline __mmask8 regular_up8(__m512d s, __m512d sum) {
    const __m512i bits = _mm512_castpd_si512(s);
    const __mmask8 normal = _mm512_cmpgt_epi64_mask(bits, _mm512_set1_epi64(kMinNormalBits - 1)) &
                            _mm512_cmpgt_epi64_mask(_mm512_set1_epi64(kTopBits), bits);
    const __mmask8 tie_odd = _mm512_cmpeq_epi64_mask(
        _mm512_or_si512(_mm512_and_si512(_mm512_castpd_si512(sum), _mm512_set1_epi64(kBelowLastPlace)),
                        _mm512_maskz_andnot_epi64(kAll8, bits, _mm512_set1_epi64(kLastPlace))),
        _mm512_set1_epi64(kHalfLastPlace));
    return normal & static_cast<__mmask8>(~tie_odd);
}

PK_AVX512 inline __m512d binade_top8(__m512d s) {
    const __m512d L = _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(s), _mm512_set1_epi64(kExponentBits)));
    return _mm512_add_pd(L, L);
}

PK_AVX512 inline __mmask8 le8(__m512d x, __m512d y) { return _mm512_cmp_pd_mask(x, y, _CMP_LE_OQ); }

PK_AVX512 inline __m512d quick_up8(__m512d s, __m512d c, __m512d nd, __mmask8 n0, __mmask8& ok) {
    const __m512d sum = _mm512_add_pd(s, c);
    const __m512d dm = _mm512_sub_pd(rounded8(sum), s);
    const __m512d last = _mm512_add_pd(s, _mm512_mul_pd(_mm512_sub_pd(nd, _mm512_set1_pd(1.0)), dm));
    const __mmask8 fits = le8(c, _mm512_sub_pd(binade_top8(s), last)) & le8(_mm512_setzero_pd(), c);
    ok = (regular_up8(s, sum) & fits) | n0;
    return _mm512_mask_mov_pd(_mm512_add_pd(s, _mm512_mul_pd(nd, dm)), n0, s);
}

PK_AVX512 inline __m512d quick_run8(__m512d s, __m512d c, __m512d nd, __mmask8 n0, __mmask8& ok) {
    const First8 f = first8(s, c);
    const __m512d last = _mm512_add_pd(f.a, _mm512_mul_pd(_mm512_sub_pd(nd, _mm512_set1_pd(1.0)), f.dm));
    ok = (f.regular & le8(_mm512_sub_pd(f.L, last), f.cm) & le8(f.cm, _mm512_sub_pd(f.U, last))) | n0;
    return _mm512_mask_mov_pd(flip(_mm512_add_pd(f.a, _mm512_mul_pd(nd, f.dm)), f.sign), n0, s);
}

PK_AVX512 inline __mmask8 up_at8(__m512d s, __m512d c, __m512d dm, __m512d U, __m512d k) {
    return le8(c, _mm512_sub_pd(U, _mm512_add_pd(s, _mm512_mul_pd(k, dm))));
}

PK_AVX512 inline __m512d cross_up8(__m512d s, __m512d c, __m512d nd, __mmask8& ok) {
    const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
    const __m512d U = binade_top8(s);
    const __m512d sum = _mm512_add_pd(s, c);
    const __m512d dm = _mm512_sub_pd(rounded8(sum), s);
    const __m512d q = _mm512_div_pd(_mm512_sub_pd(_mm512_sub_pd(U, s), c), dm);
    __m512d t = _mm512_add_pd(_mm512_maskz_roundscale_pd(kAll8, q, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC), one);
    t = _mm512_maskz_max_pd(kAll8, _mm512_maskz_min_pd(kAll8, t, _mm512_sub_pd(nd, one)), one);
    const __mmask8 exact =
        static_cast<__mmask8>(~up_at8(s, c, dm, U, t)) & up_at8(s, c, dm, U, _mm512_sub_pd(t, one));
    const __m512d s2 = rounded8(_mm512_add_pd(_mm512_add_pd(s, _mm512_mul_pd(t, dm)), c));
    const __m512d rest = _mm512_sub_pd(_mm512_sub_pd(nd, t), one);
    __mmask8 ok_rest = 0;
    const __m512d r = quick_up8(s2, c, rest, _mm512_cmp_pd_mask(rest, zero, _CMP_EQ_OQ), ok_rest);
    const __mmask8 first = regular_up8(s, sum) & le8(c, _mm512_sub_pd(U, s)) & le8(zero, c);
    const __mmask8 up = _mm512_cmp_pd_mask(dm, zero, _CMP_GT_OQ) & le8(_mm512_set1_pd(3.0), nd);
    ok = ok_rest & first & up & exact;
    return r;
}

// The lanes not in `ok` that cross_up8 takes, taken.
PK_AVX512 inline __m512d crossed8(__m512d s, __m512d c, __m512d nd, __m512d q, __mmask8& ok) {
    __mmask8 ok_cross = 0;
    const __m512d r = cross_up8(s, c, nd, ok_cross);
    const __mmask8 take = ok_cross & static_cast<__mmask8>(~ok);
    ok |= take;
    return _mm512_mask_mov_pd(q, take, r);
}

// add_run8, and split_run8 where it leaves lanes.
PK_AVX512 __m512d full_run8(__m512d s, __m512d c, __m256i count) {
    const First8 f = first8(s, c);
    __mmask8 redo = 0;
    const __m512d r = add_run8(s, c, count, f, redo);
    return redo ? split_run8(r, s, c, count, f, redo) : r;
}

// One step of a group: the next entry of each of its eight bins added to
// the bins' sums (y: intensities, v: variances), the lanes taken by the
// quick ways where they can be, as in lane_step4.  With `checked` false,
// every pixel is known to be finite; else false at a pixel in use whose
// value or uncertainty is not finite.
template <bool checked>
PK_AVX512 inline bool lane_step(const AvePlan& plan, const Data2D& in, std::size_t t, __m512d& y, __m512d& v) {
    const __m256i count = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&plan.lane_count[t * kLanes]));
    // Eight loads each rather than a gather (slower on some processors).
    const int32_t* px = &plan.lane_pixel[t * kLanes];
    const float* iv = in.intens.data();
    const float* iu = in.uncert.data();
    const __m512d val =
        widen8(_mm256_setr_ps(iv[px[0]], iv[px[1]], iv[px[2]], iv[px[3]], iv[px[4]], iv[px[5]], iv[px[6]], iv[px[7]]));
    const __m512d unc =
        widen8(_mm256_setr_ps(iu[px[0]], iu[px[1]], iu[px[2]], iu[px[3]], iu[px[4]], iu[px[5]], iu[px[6]], iu[px[7]]));
    const __m512d nd = _mm512_maskz_cvtepi32_pd(kAll8, count);
    const __mmask8 n0 = _mm512_cmp_pd_mask(nd, _mm512_setzero_pd(), _CMP_EQ_OQ);
    if (checked) {
        const __m512d inf = _mm512_set1_pd(INFINITY);
        const __mmask8 finite = _mm512_cmp_pd_mask(_mm512_abs_pd(val), inf, _CMP_LT_OQ) &
                                _mm512_cmp_pd_mask(_mm512_abs_pd(unc), inf, _CMP_LT_OQ);
        if ((~n0 & ~finite & kAll8) != 0) return false;
    }
    const __m512d hundredth = _mm512_set1_pd(0.01);
    const __m512d cy = _mm512_mul_pd(val, hundredth);
    const __m512d cv = _mm512_mul_pd(_mm512_mul_pd(unc, hundredth), unc);
    __mmask8 ok_y = 0, ok_v = 0;
    __m512d qy = quick_up8(y, cy, nd, n0, ok_y);
    __m512d qv = quick_up8(v, cv, nd, n0, ok_v);
    if (ok_y != kAll8) qy = quick_run8(y, cy, nd, n0, ok_y);
    if (ok_y != kAll8) qy = crossed8(y, cy, nd, qy, ok_y);
    if (ok_v != kAll8) qv = crossed8(v, cv, nd, qv, ok_v);
    y = ok_y == kAll8 ? qy : full_run8(y, cy, count);
    v = ok_v == kAll8 ? qv : full_run8(v, cv, count);
    return true;
}

constexpr std::size_t kGroupsAtOnce = 4;  // independent chains of additions in flight

// The sums of group g's lanes (oy, ov) stored as its bins' floats.
inline void store_group(const AvePlan& plan, std::size_t g, const double* oy, const double* ov, float* y, float* v) {
    for (std::size_t l = 0; l < kLanes; ++l) {
        const int32_t b = plan.lane_bin[g * kLanes + l];
        if (b < 0) continue;
        y[b] = static_cast<float>(oy[l]);
        v[b] = static_cast<float>(ov[l]);
    }
}

// Runs of steps taken at once while each lane's sum stays inside the
// binade it starts in.  There the floats lie u apart, and adding a term c
// to a sum s of the binade (rounded to a double, then to a float) moves it
// by the same d whatever s is, as long as the sum before rounding stays
// inside the binade and is no tie: d is c rounded to the double's places
// of the binade, then to a multiple of u (s is a multiple of both, and of
// an even number of each).  A run works d out against the binade's middle
// m (t = m + c, d = float(t) - m) and adds n d exactly, step after step,
// while every lane that adds holds to what makes that true: no tie in t,
// |c| at most a quarter of the binade (t stays in it), and its sum before
// and after at least u inside the binade's lower end and 2u below its upper
// end (a sum before rounding lies within u of the one after), starting from
// a normal float below 2^127.  The step where a lane does not is taken by
// lane_step, and a new run starts after it.
constexpr std::size_t kRunSteps = 16;

struct RunSum {
    __m512d s, m;         // the running sums; the binade's middle, with their sign
    __m512d low, high;    // the bounds of the sums
    __m512d quarter;      // a quarter of the binade
    __mmask8 start_ok;    // the lanes whose starting sum is one a run may take
};

PK_AVX512 inline RunSum run_start(__m512d s) {
    RunSum r;
    const __m512d L = _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(s), _mm512_set1_epi64(kExponentBits)));
    const __m512d sign = _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(s), _mm512_set1_epi64(INT64_MIN)));
    const __m512d u = _mm512_mul_pd(L, _mm512_set1_pd(0x1p-23));
    const __m512d inner = _mm512_add_pd(L, u), outer = _mm512_sub_pd(_mm512_add_pd(L, L), _mm512_add_pd(u, u));
    const __mmask8 up = _mm512_cmp_pd_mask(s, _mm512_setzero_pd(), _CMP_GT_OQ);
    r.s = s;
    r.m = flip(_mm512_mul_pd(L, _mm512_set1_pd(1.5)), sign);
    r.low = _mm512_mask_blend_pd(up, flip(outer, sign), inner);
    r.high = _mm512_mask_blend_pd(up, flip(inner, sign), outer);
    r.quarter = _mm512_mul_pd(L, _mm512_set1_pd(0.25));
    r.start_ok = _mm512_cmp_pd_mask(L, _mm512_set1_pd(0x1p-126), _CMP_GE_OQ) &
                 _mm512_cmp_pd_mask(L, _mm512_set1_pd(0x1p126), _CMP_LE_OQ) & le8(r.low, s) & le8(s, r.high);
    return r;
}

// Adds c n times (nd as doubles) in the lanes of `some`, and returns the
// lanes where that held.
PK_AVX512 inline __mmask8 run_add(RunSum& r, __m512d c, __m512d nd, __mmask8 some) {
    const __m512d t = _mm512_add_pd(r.m, c);
    const __m512i below = _mm512_and_si512(_mm512_castpd_si512(t), _mm512_set1_epi64(kBelowLastPlace));
    const __mmask8 tie = _mm512_cmpeq_epi64_mask(below, _mm512_set1_epi64(kHalfLastPlace));
    const __m512d d = _mm512_sub_pd(rounded8(t), r.m);
    r.s = _mm512_mask_add_pd(r.s, some, r.s, _mm512_mul_pd(nd, d));  // others keep theirs, -0 too
    return r.start_ok & static_cast<__mmask8>(~tie) & le8(_mm512_abs_pd(c), r.quarter) & le8(r.low, r.s) &
           le8(r.s, r.high);
}

// Steps `first` onwards of a group, at most n of them, as one run: the
// number taken (y and v moved on by them), which stops short of n at the
// first step where a lane that adds leaves the run's conditions.  Every
// pixel finite.
PK_AVX512 std::size_t run_steps(const AvePlan& plan, const Data2D& in, std::size_t first, std::size_t n, __m512d& y,
                                __m512d& v) {
    RunSum ry = run_start(y), rv = run_start(v);
    const float* iv = in.intens.data();
    const float* iu = in.uncert.data();
    const __m512d hundredth = _mm512_set1_pd(0.01);
    for (std::size_t t = first; t < first + n; ++t) {
        const __m256i count = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&plan.lane_count[t * kLanes]));
        const int32_t* px = &plan.lane_pixel[t * kLanes];
        const __m512d val = widen8(
            _mm256_setr_ps(iv[px[0]], iv[px[1]], iv[px[2]], iv[px[3]], iv[px[4]], iv[px[5]], iv[px[6]], iv[px[7]]));
        const __m512d unc = widen8(
            _mm256_setr_ps(iu[px[0]], iu[px[1]], iu[px[2]], iu[px[3]], iu[px[4]], iu[px[5]], iu[px[6]], iu[px[7]]));
        const __m512d nd = _mm512_maskz_cvtepi32_pd(kAll8, count);
        const __mmask8 some = _mm512_cmp_pd_mask(nd, _mm512_setzero_pd(), _CMP_NEQ_OQ);
        const __m512d before_y = ry.s, before_v = rv.s;
        // A lane without additions has a term of 0 (its pixel may hold any
        // finite value) and is not held to the run.
        const __mmask8 held = run_add(ry, _mm512_maskz_mul_pd(some, val, hundredth), nd, some) &
                              run_add(rv, _mm512_maskz_mul_pd(some, _mm512_mul_pd(unc, hundredth), unc), nd, some);
        if ((held & some) != some) {
            y = before_y;
            v = before_v;
            return t - first;
        }
    }
    y = ry.s;
    v = rv.s;
    return n;
}

// One group's steps, in runs where they hold, else step by step; every
// pixel finite.
PK_AVX512 void group_in_runs(const AvePlan& plan, const Data2D& in, std::size_t g, __m512d& y, __m512d& v) {
    const std::size_t end = plan.group_start[g + 1];
    std::size_t t = plan.group_start[g];
    if (t < end) lane_step<false>(plan, in, t++, y, v);  // from sums of 0
    while (t < end) {
        const std::size_t n = std::min(kRunSteps, end - t);
        const std::size_t taken = run_steps(plan, in, t, n, y, v);
        t += taken;
        if (taken < n) lane_step<false>(plan, in, t++, y, v);
    }
}

// Eight bins' sums at a time, each bin's additions in the entries' order:
// the same roundings as sum_entries.  A frame whose pixels are all finite
// takes each group in runs; any other frame takes every step by lane_step,
// several groups stepping together, and gives false at a pixel in use that
// is not finite.
template <bool checked>
PK_AVX512 bool sum_lanes_wide(const AvePlan& plan, const Data2D& in, float* y, float* v) {
    const std::size_t groups = plan.group_start.size() - 1;
    if (!checked) {
        for (std::size_t g = 0; g < groups; ++g) {
            __m512d sy = _mm512_setzero_pd(), sv = _mm512_setzero_pd();
            group_in_runs(plan, in, g, sy, sv);
            alignas(64) double oy[kLanes], ov[kLanes];
            _mm512_store_pd(oy, sy);
            _mm512_store_pd(ov, sv);
            store_group(plan, g, oy, ov, y, v);
        }
        return true;
    }
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
                if (step < plan.group_start[g0 + k + 1] && !lane_step<checked>(plan, in, step, sy[k], sv[k]))
                    return false;
            }
        for (std::size_t k = 0; k < n; ++k) {
            alignas(64) double oy[kLanes], ov[kLanes];
            _mm512_store_pd(oy, sy[k]);
            _mm512_store_pd(ov, sv[k]);
            store_group(plan, g0 + k, oy, ov, y, v);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// The same loop with AVX2, for processors without AVX-512: each group's
// eight bins in two halves of four lanes, every step the same operations
// as the eight-lane one on each half (masks are lanes of all bits set).

PK_AVX2 inline __m256d rounded4(__m256d x) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(x)); }
PK_AVX2 inline __m256d flip4(__m256d x, __m256d sign) { return _mm256_xor_pd(x, sign); }
PK_AVX2 inline __m256d mask4(__m256i m) { return _mm256_castsi256_pd(m); }
PK_AVX2 inline __m256d ones4() { return mask4(_mm256_set1_epi64x(-1)); }
PK_AVX2 inline __m256d le4(__m256d x, __m256d y) { return _mm256_cmp_pd(x, y, _CMP_LE_OQ); }
PK_AVX2 inline __m256d ge4(__m256d x, __m256d y) { return _mm256_cmp_pd(x, y, _CMP_GE_OQ); }

// The lanes of the bits of `m` (as _mm256_movemask_pd gives them) as a mask.
PK_AVX2 inline __m256d lane_bits4(int m) {
    return mask4(_mm256_cmpgt_epi64(_mm256_and_si256(_mm256_set1_epi64x(m), _mm256_setr_epi64x(1, 2, 4, 8)),
                                    _mm256_setzero_si256()));
}

// first8 on four lanes.
struct First4 {
    __m256d sign, a, cm, L, U, next, dm, regular;
};

PK_AVX2 inline First4 first4(__m256d s, __m256d c) {
    First4 f;
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256d sign_bit = _mm256_set1_pd(-0.0);
    f.sign = _mm256_and_pd(s, sign_bit);
    const __m256i bits = _mm256_cvtepu32_epi64(_mm_castps_si128(_mm256_cvtpd_ps(s)));
    const __m256i e = _mm256_and_si256(_mm256_srli_epi64(bits, 23), _mm256_set1_epi64x(0xff));
    f.L = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_add_epi64(e, _mm256_set1_epi64x(896)), 52));
    f.U = _mm256_add_pd(f.L, f.L);
    f.a = _mm256_andnot_pd(sign_bit, s);
    f.cm = flip4(c, f.sign);
    const __m256d sum = _mm256_add_pd(s, c);
    const __m256i below = _mm256_and_si256(_mm256_castpd_si256(sum), _mm256_set1_epi64x((int64_t{1} << 29) - 1));
    const __m256i tie = _mm256_and_si256(_mm256_cmpeq_epi64(below, _mm256_set1_epi64x(int64_t{1} << 28)),
                                         _mm256_cmpeq_epi64(_mm256_and_si256(bits, one), one));
    const __m256i normal = _mm256_andnot_si256(_mm256_cmpgt_epi64(e, _mm256_set1_epi64x(253)),
                                               _mm256_cmpgt_epi64(e, _mm256_setzero_si256()));
    f.regular = mask4(_mm256_andnot_si256(tie, normal));
    f.regular = _mm256_and_pd(f.regular, _mm256_and_pd(le4(_mm256_sub_pd(f.L, f.a), f.cm),
                                                       le4(f.cm, _mm256_sub_pd(f.U, f.a))));
    f.next = rounded4(sum);
    f.dm = _mm256_sub_pd(flip4(f.next, f.sign), f.a);
    return f;
}

// regular_at8 on four lanes.
PK_AVX2 inline __m256d regular_at4(const First4& f, __m256d k) {
    const __m256d start = _mm256_add_pd(f.a, _mm256_mul_pd(k, f.dm));
    const __m256d up = _mm256_cmp_pd(f.dm, _mm256_setzero_pd(), _CMP_GT_OQ);
    return _mm256_or_pd(_mm256_and_pd(up, le4(f.cm, _mm256_sub_pd(f.U, start))),
                        _mm256_andnot_pd(up, ge4(f.cm, _mm256_sub_pd(f.L, start))));
}

// add_run8 on four lanes; `redo` as the bits of _mm256_movemask_pd.
PK_AVX2 inline __m256d add_run4(__m256d s, __m256d c, __m128i count, const First4& f, int& redo) {
    const __m256i n = _mm256_cvtepu32_epi64(count);
    const __m256d nd = _mm256_cvtepi32_pd(count);
    const __m256d moved = _mm256_cmp_pd(f.dm, _mm256_setzero_pd(), _CMP_NEQ_OQ);
    const __m256d ok = _mm256_and_pd(f.regular, _mm256_or_pd(_mm256_andnot_pd(moved, ones4()),
                                                             regular_at4(f, _mm256_sub_pd(nd, _mm256_set1_pd(1.0)))));
    __m256d r = rounded4(flip4(_mm256_add_pd(f.a, _mm256_mul_pd(nd, f.dm)), f.sign));
    const __m256d n1 = mask4(_mm256_cmpeq_epi64(n, _mm256_set1_epi64x(1)));
    const __m256d n2 = mask4(_mm256_cmpeq_epi64(n, _mm256_set1_epi64x(2)));
    const __m256d n0 = mask4(_mm256_cmpeq_epi64(n, _mm256_setzero_si256()));
    r = _mm256_blendv_pd(r, f.next, _mm256_or_pd(n1, n2));
    r = _mm256_blendv_pd(r, rounded4(_mm256_add_pd(f.next, c)), n2);
    r = _mm256_blendv_pd(r, s, n0);
    redo = ~_mm256_movemask_pd(_mm256_or_pd(_mm256_or_pd(n0, n1), _mm256_or_pd(n2, ok))) & 0xF;
    return r;
}

// redo_lanes on four lanes.
PK_AVX2 __m256d redo_lanes4(__m256d r, __m256d s, __m256d c, __m128i count, int redo) {
    alignas(32) double rv[4], sv[4], cv[4];
    alignas(16) int32_t nv[4];
    _mm256_store_pd(rv, r);
    _mm256_store_pd(sv, s);
    _mm256_store_pd(cv, c);
    _mm_store_si128(reinterpret_cast<__m128i*>(nv), count);
    for (int l = 0; l < 4; ++l)
        if (redo >> l & 1) rv[l] = add_run(static_cast<float>(sv[l]), cv[l], static_cast<uint32_t>(nv[l]));
    return _mm256_load_pd(rv);
}

// split_run8 on four lanes.
PK_AVX2 __m256d split_run4(__m256d r, __m256d s, __m256d c, __m128i count, const First4& f, int redo) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d nd = _mm256_cvtepi32_pd(count);
    const __m256d up = _mm256_cmp_pd(f.dm, _mm256_setzero_pd(), _CMP_GT_OQ);
    const __m256d room = _mm256_blendv_pd(_mm256_add_pd(_mm256_sub_pd(f.a, f.L), f.cm),
                                          _mm256_sub_pd(_mm256_sub_pd(f.U, f.a), f.cm), up);
    const __m256d q = _mm256_div_pd(room, _mm256_andnot_pd(_mm256_set1_pd(-0.0), f.dm));
    __m256d t = _mm256_add_pd(_mm256_round_pd(q, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC), one);
    t = _mm256_max_pd(_mm256_min_pd(t, _mm256_sub_pd(nd, one)), one);
    t = _mm256_and_pd(f.regular, t);  // the first not regular: none taken together
    const __m256d exact = _mm256_or_pd(_mm256_andnot_pd(f.regular, ones4()),
                                       _mm256_andnot_pd(regular_at4(f, t), regular_at4(f, _mm256_sub_pd(t, one))));
    const __m256d s1 = _mm256_blendv_pd(s, flip4(_mm256_add_pd(f.a, _mm256_mul_pd(t, f.dm)), f.sign), f.regular);
    const __m256d s2 = rounded4(_mm256_add_pd(s1, c));
    const __m256d rest = _mm256_sub_pd(_mm256_sub_pd(nd, t), one);  // exact: whole numbers below 2^31
    int again = 0;
    const __m256d r2 = add_run4(s2, c, _mm256_cvttpd_epi32(rest), first4(s2, c), again);
    const int exact_bits = _mm256_movemask_pd(exact);
    r = _mm256_blendv_pd(r, r2, lane_bits4(redo & exact_bits));
    // What is left to add_run, as in split_run8.
    const int whole = redo & ~exact_bits, tail = redo & exact_bits & again;
    if ((whole | tail) == 0) return r;
    const __m256d tail_lanes = lane_bits4(tail);
    const __m256d from = _mm256_blendv_pd(s, s2, tail_lanes);
    const __m128i left = _mm256_cvttpd_epi32(_mm256_blendv_pd(nd, rest, tail_lanes));
    return redo_lanes4(r, from, c, left, whole | tail);
}

// add_run4's common case alone, in a third of its instructions: every
// lane's n additions regular (the first, by first4, and the last within
// s's binade; the starts move one way, so every addition between is), or
// n = 0.  The lanes where that holds are the bits of `ok` (as
// _mm256_movemask_pd gives them), holding the sums add_run4 gives; the
// others are unspecified.
PK_AVX2 inline __m256d quick_run4(__m256d s, __m256d c, __m256d nd, __m256d n0, int& ok) {
    const First4 f = first4(s, c);
    const __m256d last = _mm256_add_pd(f.a, _mm256_mul_pd(_mm256_sub_pd(nd, _mm256_set1_pd(1.0)), f.dm));
    const __m256d last_in = _mm256_and_pd(le4(_mm256_sub_pd(f.L, last), f.cm), le4(f.cm, _mm256_sub_pd(f.U, last)));
    ok = _mm256_movemask_pd(_mm256_or_pd(_mm256_and_pd(f.regular, last_in), n0));
    return _mm256_blendv_pd(flip4(_mm256_add_pd(f.a, _mm256_mul_pd(nd, f.dm)), f.sign), s, n0);
}

// The runs of a positive sum and a term c >= 0.  s holds a float, so its
// double has the float's exponent, and the float's last place is bit 29 of
// the double's: the tests read the double's bits (positive doubles order
// as their bits).  regular_up4: the lanes where s is a normal float below
// 2^127 and its first addition (`sum`) no tie from an odd start, as
// first4's regular without the binade.
PK_AVX2 inline __m256d regular_up4(__m256d s, __m256d sum) {
    const __m256i bits = _mm256_castpd_si256(s);
    // Positive, normal, and a binade below 2^127 (as first4's normal).
    const __m256i normal = _mm256_and_si256(_mm256_cmpgt_epi64(bits, _mm256_set1_epi64x(kMinNormalBits - 1)),
                                            _mm256_cmpgt_epi64(_mm256_set1_epi64x(kTopBits), bits));
    // A tie from an odd start: the sum's bits below the float's last place
    // exactly half of it, and that place of s set (else bit 29 spoils it).
    const __m256i tie_odd = _mm256_cmpeq_epi64(
        _mm256_or_si256(_mm256_and_si256(_mm256_castpd_si256(sum), _mm256_set1_epi64x(kBelowLastPlace)),
                        _mm256_andnot_si256(bits, _mm256_set1_epi64x(kLastPlace))),
        _mm256_set1_epi64x(kHalfLastPlace));
    return mask4(_mm256_andnot_si256(tie_odd, normal));
}

// The upper end of s's binade (s a normal float): twice 2^e, from the
// double's exponent.
PK_AVX2 inline __m256d binade_top4(__m256d s) {
    const __m256d L = _mm256_and_pd(s, _mm256_castsi256_pd(_mm256_set1_epi64x(kExponentBits)));
    return _mm256_add_pd(L, L);
}

// quick_run4 for a positive sum and a term c >= 0, in half of its
// instructions; lanes with a negative sum or term are not taken (not in
// `ok`).  Each step then moves up, so the first addition is in s's binade
// when the last one is.
PK_AVX2 inline __m256d quick_up4(__m256d s, __m256d c, __m256d nd, __m256d n0, int& ok) {
    const __m256d sum = _mm256_add_pd(s, c);
    const __m256d regular = regular_up4(s, sum);
    const __m256d dm = _mm256_sub_pd(rounded4(sum), s);
    const __m256d last = _mm256_add_pd(s, _mm256_mul_pd(_mm256_sub_pd(nd, _mm256_set1_pd(1.0)), dm));
    const __m256d fits = _mm256_and_pd(le4(c, _mm256_sub_pd(binade_top4(s), last)), ge4(c, _mm256_setzero_pd()));
    ok = _mm256_movemask_pd(_mm256_or_pd(_mm256_and_pd(regular, fits), n0));
    return _mm256_blendv_pd(_mm256_add_pd(s, _mm256_mul_pd(nd, dm)), s, n0);
}

// Whether addition k (from 0) of c to s by steps dm upwards stays in
// s's binade, below U: c <= U - (s + k dm).
PK_AVX2 inline __m256d up_at4(__m256d s, __m256d c, __m256d dm, __m256d U, __m256d k) {
    return le4(c, _mm256_sub_pd(U, _mm256_add_pd(s, _mm256_mul_pd(k, dm))));
}

// A run of n >= 3 additions of c >= 0 to a positive s that leaves s's
// binade once, as split_run4 takes it but only upwards: the regular
// additions at its start (t of them, by the quotient of the room left in
// the binade by the step, held to the exact test on both sides), the next
// alone, the rest by quick_up4 from there.  The lanes where all of that
// holds are the bits of `ok`, with the sums split_run4 gives; the others
// are unspecified.
PK_AVX2 inline __m256d cross_up4(__m256d s, __m256d c, __m256d nd, int& ok) {
    const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
    const __m256d U = binade_top4(s);
    const __m256d sum = _mm256_add_pd(s, c);
    const __m256d dm = _mm256_sub_pd(rounded4(sum), s);
    const __m256d q = _mm256_div_pd(_mm256_sub_pd(_mm256_sub_pd(U, s), c), dm);
    __m256d t = _mm256_add_pd(_mm256_round_pd(q, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC), one);
    t = _mm256_max_pd(_mm256_min_pd(t, _mm256_sub_pd(nd, one)), one);
    const __m256d exact = _mm256_andnot_pd(up_at4(s, c, dm, U, t), up_at4(s, c, dm, U, _mm256_sub_pd(t, one)));
    const __m256d s2 = rounded4(_mm256_add_pd(_mm256_add_pd(s, _mm256_mul_pd(t, dm)), c));
    const __m256d rest = _mm256_sub_pd(_mm256_sub_pd(nd, t), one);
    int ok_rest = 0;
    const __m256d r = quick_up4(s2, c, rest, _mm256_cmp_pd(rest, zero, _CMP_EQ_OQ), ok_rest);
    // The first addition regular and within the binade, moving up.
    const __m256d first = _mm256_and_pd(regular_up4(s, sum), _mm256_and_pd(le4(c, _mm256_sub_pd(U, s)), ge4(c, zero)));
    const __m256d up = _mm256_and_pd(_mm256_cmp_pd(dm, zero, _CMP_GT_OQ), ge4(nd, _mm256_set1_pd(3.0)));
    ok = ok_rest & _mm256_movemask_pd(_mm256_and_pd(_mm256_and_pd(first, up), exact));
    return r;
}

// add_run4, and split_run4 where it leaves lanes.
PK_AVX2 __m256d full_run4(__m256d s, __m256d c, __m128i count) {
    const First4 f = first4(s, c);
    int redo = 0;
    const __m256d r = add_run4(s, c, count, f, redo);
    return redo ? split_run4(r, s, c, count, f, redo) : r;
}

// The lanes not in `ok` that cross_up4 takes, taken: their sums into q,
// their bits into ok.
PK_AVX2 inline __m256d crossed(__m256d s, __m256d c, __m256d nd, __m256d q, int& ok) {
    int ok_cross = 0;
    const __m256d r = cross_up4(s, c, nd, ok_cross);
    const int take = ok_cross & ~ok;
    ok |= take;
    return _mm256_blendv_pd(q, r, lane_bits4(take));
}

// Whether every pixel's value and uncertainty is finite: then the steps
// need not look at each pixel they take.
PK_AVX2 bool all_finite4(const Data2D& in) {
    const __m256 inf = _mm256_set1_ps(INFINITY), sign_bit = _mm256_set1_ps(-0.0f);
    __m256 finite = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    for (const std::vector<float>* a : {&in.intens, &in.uncert})
        for (std::size_t k = 0; k + 8 <= static_cast<std::size_t>(kDetPixels); k += 8)
            finite = _mm256_and_ps(finite, _mm256_cmp_ps(_mm256_andnot_ps(sign_bit, _mm256_loadu_ps(a->data() + k)),
                                                         inf, _CMP_LT_OQ));
    return _mm256_movemask_ps(finite) == 0xFF;
}

// One step of a group as lane_step, its eight lanes as two halves; with
// `checked` false, every pixel is known to be finite.
template <bool checked>
PK_AVX2 inline bool lane_step4(const AvePlan& plan, const Data2D& in, std::size_t t, __m256d* y, __m256d* v) {
    for (std::size_t h = 0; h < 2; ++h) {
        const std::size_t at = t * kLanes + 4 * h;
        const __m128i count = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&plan.lane_count[at]));
        // Four loads each rather than a gather (slow on some processors).
        const int32_t* px = &plan.lane_pixel[at];
        const float* iv = in.intens.data();
        const float* iu = in.uncert.data();
        const __m256d val = _mm256_cvtps_pd(_mm_setr_ps(iv[px[0]], iv[px[1]], iv[px[2]], iv[px[3]]));
        const __m256d unc = _mm256_cvtps_pd(_mm_setr_ps(iu[px[0]], iu[px[1]], iu[px[2]], iu[px[3]]));
        if (checked) {
            const __m256d inf = _mm256_set1_pd(INFINITY), sign_bit = _mm256_set1_pd(-0.0);
            const __m256d unused = mask4(_mm256_cmpeq_epi64(_mm256_cvtepu32_epi64(count), _mm256_setzero_si256()));
            const __m256d finite = _mm256_and_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign_bit, val), inf, _CMP_LT_OQ),
                                                 _mm256_cmp_pd(_mm256_andnot_pd(sign_bit, unc), inf, _CMP_LT_OQ));
            if (_mm256_movemask_pd(_mm256_or_pd(finite, unused)) != 0xF) return false;
        }
        const __m256d hundredth = _mm256_set1_pd(0.01);
        const __m256d cy = _mm256_mul_pd(val, hundredth);
        const __m256d cv = _mm256_mul_pd(_mm256_mul_pd(unc, hundredth), unc);
        const __m256d nd = _mm256_cvtepi32_pd(count);
        const __m256d n0 = _mm256_cmp_pd(nd, _mm256_setzero_pd(), _CMP_EQ_OQ);
        // The variances by quick_up4 alone; the intensities too, where no
        // lane's sum or term is negative (most steps), else by quick_run4.
        // Lanes whose run leaves its binade once upwards (most of the
        // rest) by cross_up4, any still left with the others by full_run4.
        int ok_y = 0, ok_v = 0;
        __m256d qy = quick_up4(y[h], cy, nd, n0, ok_y);
        __m256d qv = quick_up4(v[h], cv, nd, n0, ok_v);
        if (ok_y != 0xF) qy = quick_run4(y[h], cy, nd, n0, ok_y);
        if (ok_y != 0xF) qy = crossed(y[h], cy, nd, qy, ok_y);
        if (ok_v != 0xF) qv = crossed(v[h], cv, nd, qv, ok_v);
        y[h] = ok_y == 0xF ? qy : full_run4(y[h], cy, count);
        v[h] = ok_v == 0xF ? qv : full_run4(v[h], cv, count);
    }
    return true;
}

constexpr std::size_t kGroupsAtOnce4 = 2;  // sixteen registers: two groups, eight sums

// sum_lanes_wide with AVX2.
template <bool checked>
PK_AVX2 bool sum_lanes_avx2(const AvePlan& plan, const Data2D& in, float* y, float* v) {
    const std::size_t groups = plan.group_start.size() - 1;
    for (std::size_t g0 = 0; g0 < groups; g0 += kGroupsAtOnce4) {
        const std::size_t n = std::min(kGroupsAtOnce4, groups - g0);
        __m256d sy[kGroupsAtOnce4][2], sv[kGroupsAtOnce4][2];
        std::size_t longest = 0;
        for (std::size_t k = 0; k < n; ++k) {
            sy[k][0] = sy[k][1] = sv[k][0] = sv[k][1] = _mm256_setzero_pd();
            longest = std::max<std::size_t>(longest, plan.group_start[g0 + k + 1] - plan.group_start[g0 + k]);
        }
        for (std::size_t t = 0; t < longest; ++t)
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t step = plan.group_start[g0 + k] + t;
                if (step < plan.group_start[g0 + k + 1] && !lane_step4<checked>(plan, in, step, sy[k], sv[k]))
                    return false;
            }
        for (std::size_t k = 0; k < n; ++k) {
            alignas(32) double oy[kLanes], ov[kLanes];
            for (std::size_t h = 0; h < 2; ++h) {
                _mm256_store_pd(oy + 4 * h, sy[k][h]);
                _mm256_store_pd(ov + 4 * h, sv[k][h]);
            }
            store_group(plan, g0 + k, oy, ov, y, v);
        }
    }
    return true;
}

#endif

bool sum_lanes(const AvePlan& plan, const Data2D& in, float* y, float* v) {
#if PK_WIDE
    if (plan.lanes == AvePlan::Lanes::avx512)
        return all_finite4(in) ? sum_lanes_wide<false>(plan, in, y, v) : sum_lanes_wide<true>(plan, in, y, v);
    if (plan.lanes == AvePlan::Lanes::avx2)
        return all_finite4(in) ? sum_lanes_avx2<false>(plan, in, y, v) : sum_lanes_avx2<true>(plan, in, y, v);
#endif
    return sum_entries(plan, in, y, v);
}

}  // namespace

AvePlan make_ave_plan(const Param& p, const Data2D& mask, bool writer_sums) {
    AvePlan plan;
    CurveBins bins;
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels) || !curve_bins(p, bins).ok()) return plan;
    try {
        if (!pk::ave::pixel_bins(p, mask, bins.tot, bins.max, plan.entries).ok()) return AvePlan{};
        if (writer_sums ? !bin_table(p, mask, plan) : !lean_table(p, plan)) return AvePlan{};
    } catch (const std::bad_alloc&) {
        return AvePlan{};
    }
    plan.has_geometry = writer_sums;
#if PK_WIDE
    plan.lanes = pk::ave::wide_loop(p.simd)   ? AvePlan::Lanes::avx512
                 : pk::ave::avx2_loop(p.simd) ? AvePlan::Lanes::avx2
                                              : AvePlan::Lanes::none;
    if (plan.lanes != AvePlan::Lanes::none) make_lanes(plan);
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
    if (!plan.usable || !plan.has_geometry || in.uncert.size() < static_cast<std::size_t>(kDetPixels)) return false;
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
