// Background subtraction and absolute scaling.
//
// All sample images are summed into one long measurement, likewise all
// buffer (background) images in use.  Per pixel the dark current, scaled by
// counting time, is taken from both sums; the buffer sum is scaled by the
// ratio of monitor counts and of the angle-dependent transmissions
// T^(0.5/cos(theta) + 0.5) and subtracted; the result is divided by the
// sample's monitor counts, transmission, thickness and the absolute scaling
// factor (times 1000).  Masked pixels are set to 0.
//
// The rule of a pixel is written once (sub_rule.inc) over a lane type and
// compiled here for one pixel, four (SSE2) and eight (AVX-512) at a time.
// It is applied by a plan of the pixels' distances (make_sub_plan: each
// pixel in use names its distance, each distance has the transmissions at
// it worked out once): a single run makes the plan for its own
// transmissions and applies it once (sub_sums), a series makes it once and
// applies it to each row (sub_sums_planned).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "sub_data.h"
#include "ave_fast.h"
#include "geometry.h"
#include "keywords.h"
#include "simd.h"

namespace pk {

namespace {

inline float add(float acc, double v) { return pk::to_float(static_cast<double>(acc) + v); }

// A refusal concerning the first line of keyword `kw` (-1: none).
Status refuse(const char* what, int kw, Code code = Code::bad_parameter) {
    return failure_at(Stage::subtraction, code, kw, kw == DATS || kw == DATB ? 0 : -1, "sub_data",
                      pk::format("%s; the data cannot be reduced", what));
}

// Totals of the entries and what the subtraction will use.
struct Totals {
    float stot_time = 0.0f;
    float stot_monitor = 0.0f;
    float btot_time = 0.0f;
    float btot_monitor = 0.0f;
    // The buffer entries in use are those that were loaded (time not 0).
    // Only they enter the buffer scale: their monitor total and the
    // transmission of the first of them.
    std::vector<const Data2D*> used;
    float bused_monitor = 0.0f;
    bool with_buffer = false;
    bool with_dark = false;
};

Totals totals_of(const std::vector<Data2D>& d, const std::vector<Data2D>& buf, const Data2D& dc) {
    Totals t;
    for (const Data2D& s : d) {
        t.stot_time = add(t.stot_time, s.tm);
        t.stot_monitor = add(t.stot_monitor, s.monitor);
    }
    for (const Data2D& b : buf) {
        t.btot_time = add(t.btot_time, b.tm);
        t.btot_monitor = add(t.btot_monitor, b.monitor);
    }
    for (const Data2D& b : buf)
        if (b.tm != 0) t.used.push_back(&b);
    for (const Data2D* b : t.used) t.bused_monitor = add(t.bused_monitor, b->monitor);
    t.with_buffer = t.btot_time > 0.5f;
    t.with_dark = dc.tm > 0 && !dc.intens.empty();
    return t;
}

// Refuses inputs that would give no number or a meaningless one.
Status check_inputs(const Param& p, const std::vector<Data2D>& d, const PixelSums& samples, const Totals& t) {
    if (d.empty() || samples.images == 0) return refuse("no sample image is loaded", DATS);
    if (!(d[0].trans > 0)) return refuse("the transmission of the first sample is not positive", DATS);
    if (!(d[0].thick > 0)) return refuse("the thickness of the first sample is not positive", DATS);
    if (!(p.abs_fact > 0)) return refuse("the absolute intensity scaling factor is not positive", ABSF);
    for (const Data2D& s : d)
        if (s.tm < 0) return refuse("a sample has a negative counting time", DATS);
    for (const Data2D* b : t.used)
        if (b->tm < 0) return refuse("a buffer in use has a negative counting time", DATB);
    if (!(t.stot_monitor > 0) || !std::isfinite(t.stot_monitor))
        return refuse("the total sample monitor count is not positive and finite", DATS);
    if (!std::isfinite(t.stot_time) || !std::isfinite(t.btot_time) || !std::isfinite(t.btot_monitor))
        return refuse("a counting time or monitor total is not finite", -1, Code::not_finite);
    if (t.with_buffer) {
        if (t.used.empty()) return refuse("no buffer image is loaded", DATB);
        if (!(t.bused_monitor > 0) || !std::isfinite(t.bused_monitor))
            return refuse("the monitor total of the buffers in use is not positive and finite", DATB);
        if (!(t.used.front()->trans > 0))
            return refuse("the transmission of the first buffer in use is not positive", DATB);
    }
    return ok_status();
}

// 1000 / (T d M ABSF): the first sample's transmission and thickness, the
// samples' monitor total and the absolute scale.
float prefactor(const Param& p, const std::vector<Data2D>& d, const Totals& t) {
    return pk::to_float(1000.0 / (static_cast<double>(d[0].trans) * t.stot_monitor * d[0].thick * p.abs_fact));
}

// The exponent of the transmissions at distance r from the beam centre:
// 0.5/cos(theta) + 0.5 of the scattering angle theta.
double exponent(const Param& p, float r) {
    const float theta = pk::scatter_angle(r, p.sam2det);
    return 0.5 / std::cos(static_cast<double>(theta)) + 0.5;
}

// What a pixel's reduction takes from its distance to the beam centre: the
// transmissions of sample and buffer at its scattering angle and the
// buffer's scale factors that follow from them.
struct AtRadius {
    float strans = 0.0f;  // sample transmission T^(0.5/cos(theta) + 0.5)
    float btrans = 0.0f;  // the first buffer's, likewise
    double scale = 0.0;   // monitor and transmission ratio of sample to buffer
    float a = 0.0f;       // weight of the dark current's variance
    float b = 0.0f;       // scale as a float, weight of the buffer's variance
};

// The factors that hold for every pixel.
struct Factors {
    const Param& p;
    const std::vector<Data2D>& d;
    const PixelSums& ss;  // the samples' sums
    const PixelSums& bs;  // the sums of the buffers in use
    const Data2D& dc;
    const Totals& t;
    float prefac;
    double btrans0;
    double dtm;
    double fs;  // the dark current's share in the sums
    double fb;

    Factors(const Param& p_, const std::vector<Data2D>& d_, const PixelSums& ss_, const PixelSums& bs_,
            const Data2D& dc_, const Totals& t_, float prefac_)
        : p(p_), d(d_), ss(ss_), bs(bs_), dc(dc_), t(t_), prefac(prefac_),
          btrans0(t.used.empty() ? 0.0 : static_cast<double>(t.used.front()->trans)), dtm(dc.tm),
          fs(t.stot_time / dtm), fb(t.btot_time / dtm) {}

    // The factors from the transmissions of sample and buffer at a distance.
    AtRadius with(float strans, float btrans) const {
        AtRadius v;
        v.strans = strans;
        if (!t.with_buffer) return v;
        v.btrans = btrans;
        v.scale = (static_cast<double>(t.stot_monitor) * v.strans) / (static_cast<double>(t.bused_monitor) * v.btrans);
        v.a = pk::to_float((static_cast<double>(t.stot_monitor) * v.strans * t.btot_time) /
                               (static_cast<double>(t.bused_monitor) * v.btrans * dtm) -
                           t.stot_time / dtm);
        v.b = pk::to_float(v.scale);
        return v;
    }
};

// The constants of the rule (sub_rule.inc) for these totals.
struct Rule {
    double prefac, fs, fb;
    double st2, dtm2;  // the samples' counting time and the dark current's, squared
    bool with_buffer, with_dark;
};
Rule rule_of(const Factors& f) {
    const double st = f.t.stot_time;
    return Rule{f.prefac, f.fs, f.fb, st * st, f.dtm * f.dtm, f.t.with_buffer, f.t.with_dark};
}

// What the rule takes of the pixels of the lanes of L.
template <class L>
struct Terms {
    using V = typename L::V;
    V tot, sq;         // the samples' sum and summed squared uncertainties
    V btot, bsq;       // the same of the buffers in use
    V dark, sdark;     // the dark current and its uncertainty
    V scale, a, b;     // AtRadius's factors at the pixels' distances
};

// The rule of a pixel (sub_rule.inc), for the loops of every width.
#define PK_RULE_FILE "sub_rule.inc"
#include "rule_widths.inc"

#if !PK_SIMD
// The pixels by the plan, each reduced by the rule with the factors `at`
// of its distance, those outside the mask 0; one at a time.  False when a
// pixel in use comes out not finite (all are written all the same).
bool plan_pixels(const SubPlan& plan, const Factors& f, const std::vector<AtRadius>& at, Data2D& res) {
    const Rule c = rule_of(f);
    bool finite = true;
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); ++m) {
        if (plan.at[m] == SubPlan::kOff) {
            res.intens[m] = res.uncert[m] = 0.0f;
            continue;
        }
        const AtRadius& v = at[plan.at[m]];
        Terms<simd::One> x{f.ss.tot[m], f.ss.sq[m], 0, 0, 0, 0, v.scale, v.a, v.b};
        if (c.with_buffer) x.btot = f.bs.tot[m], x.bsq = f.bs.sq[m];
        if (c.with_dark) x.dark = f.dc.intens[m], x.sdark = f.dc.uncert[m];
        double out, unc;
        rule::reduce_lanes<simd::One>(c, x, out, unc);
        res.intens[m] = static_cast<float>(out);
        res.uncert[m] = static_cast<float>(unc);
        finite = finite && std::isfinite(res.intens[m]) && std::isfinite(res.uncert[m]);
    }
    return finite;
}
#endif

#if PK_SIMD
// What the loops of four pixels at a time read and write, taken once
// before the loop: a packed store may alias anything, so the vectors'
// data would otherwise be looked up again at every step.
struct FourArrays {
    const uint16_t* at_of;  // each pixel's distance (SubPlan::at)
    const AtRadius* at;     // the factors of each distance, then zeros for pixels off the mask
    std::size_t off;        // the index of the zeros
    const float *tot, *sq, *btot, *bsq, *dark, *sdark;
    float *intens, *uncert;
};

// `at` ends with the zeros of pixels off the mask.
FourArrays four_arrays(const SubPlan& plan, const Factors& f, const std::vector<AtRadius>& at, Data2D& res) {
    return FourArrays{plan.at.data(),     at.data(),         at.size() - 1,     f.ss.tot.data(),
                      f.ss.sq.data(),     f.bs.tot.data(),   f.bs.sq.data(),    f.dc.intens.data(),
                      f.dc.uncert.data(), res.intens.data(), res.uncert.data()};
}

inline simd::Wide load4(const float* a, std::size_t m) { return simd::widen(_mm_loadu_ps(a + m)); }

// The factors of pixels m to m + 3 into v: the zeros for those outside the
// mask (their distance kOff, above every index).
inline void four_factors(const FourArrays& q, std::size_t m, const AtRadius* v[4]) {
    for (std::size_t l = 0; l < 4; ++l) v[l] = q.at + std::min<std::size_t>(q.at_of[m + l], q.off);
}

// The reduced values o and uncertainties u of pixels m to m + 3 stored,
// those outside the mask 0; `bad` gathers the lanes not finite.
inline void store_four(const FourArrays& q, std::size_t m, __m128 o, __m128 u, __m128& bad) {
    const __m128i at4 = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q.at_of + m)),
                                           _mm_setzero_si128());
    const __m128i off4 = _mm_cmpeq_epi32(at4, _mm_set1_epi32(SubPlan::kOff));
    o = _mm_andnot_ps(_mm_castsi128_ps(off4), o), u = _mm_andnot_ps(_mm_castsi128_ps(off4), u);
    _mm_storeu_ps(q.intens + m, o);
    _mm_storeu_ps(q.uncert + m, u);
    // x - x is 0 for a finite x, NaN for any other
    bad = _mm_or_ps(bad, _mm_cmpunord_ps(_mm_sub_ps(o, o), _mm_sub_ps(u, u)));
}

// plan_pixels four at a time.
bool plan_pixels_four(const SubPlan& plan, const Factors& f, const std::vector<AtRadius>& at, Data2D& res) {
    static_assert(kDetPixels % 4 == 0, "whole groups of four pixels");
    const Rule c = rule_of(f);
    const simd::Wide zero = simd::all(0.0);
    const FourArrays q = four_arrays(plan, f, at, res);
    __m128 bad = _mm_setzero_ps();
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); m += 4) {
        const AtRadius* v[4];
        four_factors(q, m, v);
        Terms<simd::Four> x{load4(q.tot, m), load4(q.sq, m), zero, zero, zero, zero,
                            {_mm_setr_pd(v[0]->scale, v[1]->scale), _mm_setr_pd(v[2]->scale, v[3]->scale)},
                            simd::widen(_mm_setr_ps(v[0]->a, v[1]->a, v[2]->a, v[3]->a)),
                            simd::widen(_mm_setr_ps(v[0]->b, v[1]->b, v[2]->b, v[3]->b))};
        if (c.with_buffer) x.btot = load4(q.btot, m), x.bsq = load4(q.bsq, m);
        if (c.with_dark) x.dark = load4(q.dark, m), x.sdark = load4(q.sdark, m);
        simd::Wide out, unc;
        rule::reduce_lanes<simd::Four>(c, x, out, unc);
        store_four(q, m, simd::narrow(out), simd::narrow(unc), bad);
    }
    return _mm_movemask_ps(bad) == 0;
}
#endif

// The sample's transmission at each distance of the plan: the plan's own
// where the sample's transmission is the plan's, else worked out into `own`.
const float* sample_transmissions(const SubPlan& plan, const Factors& f, std::vector<float>& own) {
    if (pk::bits_of(f.d[0].trans) == plan.sample_trans) return plan.strans.data();
    own.resize(plan.e.size());
    for (std::size_t k = 0; k < plan.e.size(); ++k)
        own[k] = pk::to_float(std::pow(static_cast<double>(f.d[0].trans), plan.e[k]));
    return own.data();
}

// False where the plan was made for another buffer than these totals'.
bool plan_fits(const SubPlan& plan, const Factors& f) {
    return !f.t.with_buffer || (plan.btrans.size() == plan.e.size() &&
                                pk::bits_of(static_cast<float>(f.btrans0)) == plan.buffer_trans);
}

#if PK_WIDE

PK_AVX512 inline __m512d load8(const std::vector<float>& a, std::size_t m) { return simd::load8(&a[m]); }

// The factors at each distance as arrays of doubles, for gathering.
struct FactorArrays {
    std::vector<double> scale, a, b;
};

// planned_factors straight into the arrays plan_pixels_eight gathers from,
// eight distances at a time, each the operations of Factors::with in its
// order (the last entry the zeros of the pixels off the mask).  False where
// the plan was made for another buffer.
PK_AVX512 bool planned_arrays(const SubPlan& plan, const Factors& f, FactorArrays& out) {
    const Totals& t = f.t;
    if (!plan_fits(plan, f)) return false;
    const std::size_t n = plan.e.size();
    out.scale.assign(n + 1, 0.0), out.a.assign(n + 1, 0.0), out.b.assign(n + 1, 0.0);
    if (!t.with_buffer) return true;
    std::vector<float> own;
    const float* st = sample_transmissions(plan, f, own);
    const float* bt = plan.btrans.data();
    const __m512d ms = _mm512_set1_pd(static_cast<double>(t.stot_monitor));
    const __m512d mb = _mm512_set1_pd(static_cast<double>(t.bused_monitor));
    const __m512d btime = _mm512_set1_pd(static_cast<double>(t.btot_time)), dtm = _mm512_set1_pd(f.dtm);
    const __m512d st_dtm = _mm512_set1_pd(static_cast<double>(t.stot_time) / f.dtm);
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m512d ss = _mm512_mul_pd(ms, simd::widen8(_mm256_loadu_ps(st + k)));
        const __m512d bb = _mm512_mul_pd(mb, simd::widen8(_mm256_loadu_ps(bt + k)));
        const __m512d scale = _mm512_div_pd(ss, bb);
        const __m512d a =
            _mm512_sub_pd(_mm512_div_pd(_mm512_mul_pd(ss, btime), _mm512_mul_pd(bb, dtm)), st_dtm);
        _mm512_storeu_pd(&out.scale[k], scale);
        _mm512_storeu_pd(&out.a[k], simd::rounded8(a));
        _mm512_storeu_pd(&out.b[k], simd::rounded8(scale));
    }
    for (; k < n; ++k) {
        const AtRadius v = f.with(st[k], bt[k]);
        out.scale[k] = v.scale, out.a[k] = v.a, out.b[k] = v.b;
    }
    return true;
}

// plan_pixels eight at a time, where the processor has AVX-512.
PK_AVX512 bool plan_pixels_eight(const SubPlan& plan, const Factors& f, const FactorArrays& at, Data2D& res) {
    static_assert(kDetPixels % 8 == 0, "whole groups of eight pixels");
    using simd::kAll8;
    const Rule c = rule_of(f);
    const __m512d zero = _mm512_setzero_pd(), inf = _mm512_set1_pd(INFINITY);
    __mmask8 finite = kAll8;
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); m += 8) {
        const __m256i idx = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&plan.at[m])));
        const __mmask8 in = _mm512_cmpneq_epi64_mask(_mm512_maskz_cvtepu32_epi64(kAll8, idx),
                                                     _mm512_set1_epi64(SubPlan::kOff));
        Terms<simd::Eight> x{load8(f.ss.tot, m), load8(f.ss.sq, m), zero, zero, zero, zero,
                         _mm512_mask_i32gather_pd(zero, in, idx, at.scale.data(), 8),
                         _mm512_mask_i32gather_pd(zero, in, idx, at.a.data(), 8),
                         _mm512_mask_i32gather_pd(zero, in, idx, at.b.data(), 8)};
        if (c.with_buffer) x.btot = load8(f.bs.tot, m), x.bsq = load8(f.bs.sq, m);
        if (c.with_dark) x.dark = load8(f.dc.intens, m), x.sdark = load8(f.dc.uncert, m);
        __m512d out, unc;
        rule_wide::reduce_lanes<simd::Eight>(c, x, out, unc);
        out = _mm512_maskz_mov_pd(in, out), unc = _mm512_maskz_mov_pd(in, unc);
        finite &= _mm512_cmp_pd_mask(_mm512_abs_pd(out), inf, _CMP_LT_OQ) &
                  _mm512_cmp_pd_mask(_mm512_abs_pd(unc), inf, _CMP_LT_OQ);
        _mm256_storeu_ps(&res.intens[m], simd::narrow8(out));
        _mm256_storeu_ps(&res.uncert[m], simd::narrow8(unc));
    }
    return finite == kAll8;
}

// plan_pixels_four in one AVX register, where the processor has AVX2 but
// not AVX-512.
PK_AVX2 inline __m256d load4_avx(const float* a, std::size_t m) { return _mm256_cvtps_pd(_mm_loadu_ps(a + m)); }

PK_AVX2 bool plan_pixels_avx2(const SubPlan& plan, const Factors& f, const std::vector<AtRadius>& at, Data2D& res) {
    const Rule c = rule_of(f);
    const __m256d zero = _mm256_setzero_pd();
    const FourArrays q = four_arrays(plan, f, at, res);
    __m128 bad = _mm_setzero_ps();
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); m += 4) {
        const AtRadius* v[4];
        four_factors(q, m, v);
        Terms<simd::FourAvx> x{load4_avx(q.tot, m), load4_avx(q.sq, m), zero, zero, zero, zero,
                               _mm256_setr_pd(v[0]->scale, v[1]->scale, v[2]->scale, v[3]->scale),
                               _mm256_cvtps_pd(_mm_setr_ps(v[0]->a, v[1]->a, v[2]->a, v[3]->a)),
                               _mm256_cvtps_pd(_mm_setr_ps(v[0]->b, v[1]->b, v[2]->b, v[3]->b))};
        if (c.with_buffer) x.btot = load4_avx(q.btot, m), x.bsq = load4_avx(q.bsq, m);
        if (c.with_dark) x.dark = load4_avx(q.dark, m), x.sdark = load4_avx(q.sdark, m);
        __m256d out, unc;
        rule_avx2::reduce_lanes<simd::FourAvx>(c, x, out, unc);
        store_four(q, m, _mm256_cvtpd_ps(out), _mm256_cvtpd_ps(unc), bad);
    }
    return _mm_movemask_ps(bad) == 0;
}

#endif

// The factors of every distance of the plan for these totals; false where
// the plan was made for another buffer.
bool planned_factors(const SubPlan& plan, const Factors& f, std::vector<AtRadius>& at) {
    if (!plan_fits(plan, f)) return false;
    std::vector<float> own;
    const float* strans = sample_transmissions(plan, f, own);
    at.resize(plan.e.size());
    for (std::size_t k = 0; k < plan.e.size(); ++k)
        at[k] = f.with(strans[k], f.t.with_buffer ? plan.btrans[k] : 0.0f);
    return true;
}

// Every pixel reduced by the plan, by the widest loop `simd` allows: false
// where the plan does not fit these totals or a pixel in use comes out not
// finite.
bool apply_plan(const SubPlan& plan, const Factors& f, Data2D& res) {
    if (plan.at.size() != static_cast<std::size_t>(kDetPixels)) return false;
#if PK_WIDE
    if (pk::ave::wide_loop(f.p.simd)) {
        FactorArrays arrays;
        if (!planned_arrays(plan, f, arrays)) return false;
        res.trans = f.d[0].trans;
        return plan_pixels_eight(plan, f, arrays, res);
    }
#endif
    std::vector<AtRadius> at;
    if (!planned_factors(plan, f, at)) return false;
    at.push_back(AtRadius{});  // the zeros of the pixels off the mask
    res.trans = f.d[0].trans;
#if PK_WIDE
    if (pk::ave::avx2_loop(f.p.simd)) return plan_pixels_avx2(plan, f, at, res);
#endif
#if PK_SIMD
    return plan_pixels_four(plan, f, at, res);
#else
    return plan_pixels(plan, f, at, res);
#endif
}

// The refusal of the first pixel in use, columns then rows, whose reduced
// value or uncertainty is not finite.
Status not_finite(const Data2D& mask, const Data2D& res) {
    for (int i = 0; i < kDetSide; ++i)
        for (int j = 0; j < kDetSide; ++j) {
            const std::size_t m = static_cast<std::size_t>(i + kDetSide * j);
            if (pk::pixel_used(mask.intens[m]) && !(std::isfinite(res.intens[m]) && std::isfinite(res.uncert[m])))
                return failure(Stage::subtraction, Code::not_finite, "sub_data",
                               pk::format("the reduced value of pixel (%d, %d) is not finite "
                                          "(transmission, geometry or counts out of range); the data cannot be "
                                          "reduced",
                                          i, j));
        }
    return refuse("a reduced value is not finite", -1, Code::not_finite);
}

}  // namespace

#if PK_WIDE
namespace {

// add_image's sums eight pixels at a time, where the processor has AVX-512.
PK_AVX512 void add_eight_at_a_time(float* tot, float* sq, const float* in, const float* un) {
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); m += 8) {
        const __m512d u = simd::load8(un + m);
        _mm256_storeu_ps(tot + m, simd::narrow8(_mm512_add_pd(simd::load8(tot + m), simd::load8(in + m))));
        _mm256_storeu_ps(sq + m, simd::narrow8(_mm512_add_pd(simd::load8(sq + m), _mm512_mul_pd(u, u))));
    }
}

// The same four pixels at a time, with AVX2.
PK_AVX2 void add_four_at_a_time(float* tot, float* sq, const float* in, const float* un) {
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); m += 4) {
        const __m256d u = _mm256_cvtps_pd(_mm_loadu_ps(un + m));
        const __m256d t = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(tot + m)), _mm256_cvtps_pd(_mm_loadu_ps(in + m)));
        _mm_storeu_ps(tot + m, _mm256_cvtpd_ps(t));
        _mm_storeu_ps(sq + m, _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(sq + m)), _mm256_mul_pd(u, u))));
    }
}

}  // namespace
#endif

void add_image(PixelSums& s, const Data2D& image, Simd simd) {
    if (s.tot.empty()) {
        s.tot.assign(kDetPixels, 0.0f);
        s.sq.assign(kDetPixels, 0.0f);
    }
    const float* in = image.intens.data();
    const float* un = image.uncert.data();
#if PK_WIDE
    const bool whole = image.intens.size() >= static_cast<std::size_t>(kDetPixels) &&
                       image.uncert.size() >= static_cast<std::size_t>(kDetPixels);
    if (whole && pk::ave::wide_loop(simd)) {
        add_eight_at_a_time(s.tot.data(), s.sq.data(), in, un);
        ++s.images;
        return;
    }
    if (whole && pk::ave::avx2_loop(simd)) {
        add_four_at_a_time(s.tot.data(), s.sq.data(), in, un);
        ++s.images;
        return;
    }
#else
    (void)simd;
#endif
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); ++m) {
        s.tot[m] = add(s.tot[m], in[m]);
        const double u = un[m];
        s.sq[m] = add(s.sq[m], u * u);
    }
    ++s.images;
}

Status sub_sums(const Param& p, const std::vector<Data2D>& d, const std::vector<Data2D>& buf,
                const PixelSums& samples, const PixelSums& buffers, const Data2D& dc, const Data2D& mask, Data2D& res,
                const Console& con) {
    pk::say(con, "Entered sub_data()\n");
    const Totals t = totals_of(d, buf, dc);
    pk::say(con, "stot_time = %f, stot_monitor = %f, btot_time = %f, btot_monitor = %f\n",
            static_cast<double>(t.stot_time), static_cast<double>(t.stot_monitor), static_cast<double>(t.btot_time),
            static_cast<double>(t.btot_monitor));
    Status st = check_inputs(p, d, samples, t);
    if (!st.ok()) return st;

    res.trans = d[0].trans;
    const float prefac = prefactor(p, d, t);
    if (!std::isfinite(prefac)) return refuse("the normalisation prefactor is not finite", -1, Code::not_finite);
    pk::say(con, "finished setting up the prefactor nonsense\n");
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels))
        return refuse("the mask of the detector's pixels is not loaded", -1);
    // The single run takes the series' way: the plan for its own
    // transmissions, applied once.
    const SubPlan plan = make_sub_plan(p, mask, d[0].trans, buf);
    if (apply_plan(plan, Factors(p, d, samples, buffers, dc, t, prefac), res)) return ok_status();
    return not_finite(mask, res);
}

SubPlan make_sub_plan(const Param& p, const Data2D& mask, float sample_trans, const std::vector<Data2D>& buf) {
    SubPlan plan;
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels)) return plan;
    const pk::PixelTerms terms(p.px, p.py, p.bx, p.by);
    // Each distance once where it recurs (a table of them; once that is
    // full, a distance that recurs is another entry with the same values).
    pk::RadiusCache<uint16_t> seen;
    std::vector<float> radii;
    plan.at.assign(kDetPixels, SubPlan::kOff);
    for (int j = 0; j < kDetSide; ++j)
        for (int i = 0; i < kDetSide; ++i) {
            const std::size_t m = static_cast<std::size_t>(i + kDetSide * j);
            if (!pk::pixel_used(mask.intens[m])) continue;
            // The pixel mirrored about the beam centre, met before, has the
            // same distance to the bit: its entry where it has one.
            const int mirror_col = terms.first_col[static_cast<std::size_t>(i)];
            const int mirror_row = terms.first_row[static_cast<std::size_t>(j)];
            const std::size_t mirror = static_cast<std::size_t>(mirror_col + kDetSide * mirror_row);
            if (mirror != m && plan.at[mirror] != SubPlan::kOff) {
                plan.at[m] = plan.at[mirror];
                continue;
            }
            plan.at[m] = seen.get(terms.radius_of(i, j), [&radii](float r) {
                radii.push_back(r);
                return static_cast<uint16_t>(radii.size() - 1);
            });
        }
    const Data2D* first_used = nullptr;
    for (const Data2D& b : buf)
        if (b.tm != 0 && !first_used) first_used = &b;
    plan.sample_trans = pk::bits_of(sample_trans);
    plan.buffer_trans = first_used ? pk::bits_of(first_used->trans) : 0;
    for (const float r : radii) {
        const double e = exponent(p, r);
        plan.e.push_back(e);
        plan.strans.push_back(pk::to_float(std::pow(static_cast<double>(sample_trans), e)));
        if (first_used) plan.btrans.push_back(pk::to_float(std::pow(static_cast<double>(first_used->trans), e)));
    }
    return plan;
}

bool sub_sums_planned(const SubPlan& plan, const Param& p, const std::vector<Data2D>& d,
                      const std::vector<Data2D>& buf, const PixelSums& samples, const PixelSums& buffers,
                      const Data2D& dc, Data2D& res) {
    const Totals t = totals_of(d, buf, dc);
    if (!check_inputs(p, d, samples, t).ok()) return false;
    const float prefac = prefactor(p, d, t);
    if (!std::isfinite(prefac)) return false;
    return apply_plan(plan, Factors(p, d, samples, buffers, dc, t, prefac), res);
}

Status sub_data(const Param& p, const std::vector<Data2D>& d, const std::vector<Data2D>& buf, const Data2D& dc,
                const Data2D& mask, Data2D& res, const Console& con) {
    // The images held by the entries: every sample, the buffers in use.
    PixelSums samples, buffers;
    for (const Data2D& s : d)
        if (!s.intens.empty()) add_image(samples, s, p.simd);
    for (const Data2D& b : buf)
        if (b.tm != 0 && !b.intens.empty()) add_image(buffers, b, p.simd);
    return sub_sums(p, d, buf, samples, buffers, dc, mask, res, con);
}

}  // namespace pk
