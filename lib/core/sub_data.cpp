// Background subtraction and absolute scaling.
//
// All sample images are summed into one long measurement, likewise all
// buffer (background) images in use.  Per pixel the dark current, scaled by
// counting time, is taken from both sums; the buffer sum is scaled by the
// ratio of monitor counts and of the angle-dependent transmissions
// T^(0.5/cos(theta) + 0.5) and subtracted; the result is divided by the
// sample's monitor counts, transmission, thickness and the absolute scaling
// factor (times 1000).  Masked pixels are set to 0.
#include <cmath>
#include <cstdio>
#include <unordered_map>

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
    pk::RadiusCache<AtRadius>* known;  // AtRadius of the distances met so far (none: not looked up)
    // The squared distance terms of each pixel column and row, as
    // pk::radius forms them for the pixel centres.
    std::vector<double> col_term, row_term;

    Factors(const Param& p_, const std::vector<Data2D>& d_, const PixelSums& ss_, const PixelSums& bs_,
            const Data2D& dc_, const Totals& t_, float prefac_, pk::RadiusCache<AtRadius>* known_)
        : p(p_), d(d_), ss(ss_), bs(bs_), dc(dc_), t(t_), prefac(prefac_),
          btrans0(t.used.empty() ? 0.0 : static_cast<double>(t.used.front()->trans)), dtm(dc.tm),
          fs(t.stot_time / dtm), fb(t.btot_time / dtm), known(known_), col_term(kDetSide), row_term(kDetSide) {
        const double px = p.px, py = p.py;
        for (int i = 0; i < kDetSide; ++i) {
            const double dx = (i + 0.5) - static_cast<double>(p.bx);
            const double dy = (i + 0.5) - static_cast<double>(p.by);
            col_term[static_cast<std::size_t>(i)] = dx * dx * px * px;
            row_term[static_cast<std::size_t>(i)] = dy * dy * py * py;
        }
    }

    AtRadius at(float r) const {
        const double e = exponent(p, r);
        const float strans = pk::to_float(std::pow(static_cast<double>(d[0].trans), e));
        return with(strans, t.with_buffer ? pk::to_float(std::pow(btrans0, e)) : 0.0f);
    }
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

// Sum of one pixel over the images and the root of its summed variances.
void sum_pixel(const PixelSums& s, std::size_t m, float& tot, float& uncert) {
    tot = s.tot[m];
    uncert = pk::to_float(std::sqrt(static_cast<double>(s.sq[m])));
}

// Reduces one unmasked pixel m from its sums and the factors at its
// distance: dark current, buffer scaled by monitor counts and the
// transmissions at the pixel's angle, absolute scale.
void pixel_value(const Factors& f, std::size_t m, const AtRadius& v, float& out, float& out_uncert) {
    const Totals& t = f.t;
    float stot, stot_uncert;
    sum_pixel(f.ss, m, stot, stot_uncert);

    const double dtm = f.dtm;
    const double dark = t.with_dark ? static_cast<double>(f.dc.intens[m]) : 0.0;
    const double sdark = t.with_dark ? static_cast<double>(f.dc.uncert[m]) : 0.0;
    const double prefac = f.prefac;
    double intens = 0.0;
    float var = pk::to_float(static_cast<double>(stot_uncert) * stot_uncert);
    if (t.with_buffer) {
        float btot, btot_uncert;
        sum_pixel(f.bs, m, btot, btot_uncert);
        if (t.with_dark) {
            intens = prefac * ((stot - f.fs * dark) - v.scale * (btot - f.fb * dark));
            var = add(var, static_cast<double>(v.a) * v.a * sdark * sdark);
        } else {
            intens = prefac * (stot - v.scale * btot);
        }
        var = add(var, static_cast<double>(v.b) * v.b * btot_uncert * btot_uncert);
    } else if (t.with_dark) {
        intens = prefac * (stot - f.fs * dark);
        var = add(var, static_cast<double>(t.stot_time) * t.stot_time * sdark * sdark / (dtm * dtm));
    } else {
        intens = prefac * stot;
    }
    out = pk::to_float(intens);
    out_uncert = pk::to_float(std::sqrt(static_cast<double>(var)) * prefac);
}

// Reduces pixel (i, j), in use, finding the factors at its distance.
void reduce_pixel(Factors& f, int i, int j, float& out, float& out_uncert) {
    const std::size_t m = static_cast<std::size_t>(i + kDetSide * j);
    const double x = i + 0.5;
    const double y = j + 0.5;
    const float r = pk::radius(x - static_cast<double>(f.p.bx), y - static_cast<double>(f.p.by), f.p.px, f.p.py);
    pixel_value(f, m, f.known->get(r, [&f](float dist) { return f.at(dist); }), out, out_uncert);
}

#if PK_SIMD

// The values of four pixels of one column, rows j to j + 3, from an array.
inline __m128 column4(const float* a, std::size_t m) {
    return _mm_setr_ps(a[m], a[m + kDetSide], a[m + 2 * kDetSide], a[m + 3 * kDetSide]);
}

// sum_pixel for four pixels of one column.
void sum_four(const PixelSums& s, std::size_t m, simd::Wide& tot, simd::Wide& uncert) {
    tot = simd::widen(column4(s.tot.data(), m));
    uncert = simd::widen(simd::narrow(simd::sqrt(simd::widen(column4(s.sq.data(), m)))));
}

// reduce_pixel for pixels (i, j) to (i, j + 3); the values of those outside
// the mask (`used` false) are left out.
void reduce_four(Factors& f, const simd::Wide& radius_sq, const bool* used, std::size_t m, float* out,
                 float* out_uncert) {
    const Totals& t = f.t;
    float r[4];
    _mm_storeu_ps(r, simd::narrow(simd::sqrt(radius_sq)));
    AtRadius v[4];
    for (int k = 0; k < 4; ++k)
        if (used[k]) v[k] = f.known->get(r[k], [&f](float dist) { return f.at(dist); });
    simd::Wide stot, su;
    sum_four(f.ss, m, stot, su);
    const simd::Wide prefac = simd::all(f.prefac);
    const simd::Wide zero = simd::all(0.0);
    const simd::Wide dark = t.with_dark ? simd::widen(column4(f.dc.intens.data(), m)) : zero;
    const simd::Wide sdark = t.with_dark ? simd::widen(column4(f.dc.uncert.data(), m)) : zero;
    simd::Wide intens = simd::mul(prefac, stot);
    __m128 var = simd::narrow(simd::mul(su, su));
    if (t.with_buffer) {
        simd::Wide btot, bu;
        sum_four(f.bs, m, btot, bu);
        const simd::Wide scale{_mm_setr_pd(v[0].scale, v[1].scale), _mm_setr_pd(v[2].scale, v[3].scale)};
        const simd::Wide b = simd::widen(_mm_setr_ps(v[0].b, v[1].b, v[2].b, v[3].b));
        if (t.with_dark) {
            const simd::Wide a = simd::widen(_mm_setr_ps(v[0].a, v[1].a, v[2].a, v[3].a));
            intens = simd::mul(prefac, simd::sub(simd::sub(stot, simd::mul(simd::all(f.fs), dark)),
                                                 simd::mul(scale, simd::sub(btot, simd::mul(simd::all(f.fb), dark)))));
            var = simd::narrow(simd::add(simd::widen(var), simd::mul(simd::mul(simd::mul(a, a), sdark), sdark)));
        } else {
            intens = simd::mul(prefac, simd::sub(stot, simd::mul(scale, btot)));
        }
        var = simd::narrow(simd::add(simd::widen(var), simd::mul(simd::mul(simd::mul(b, b), bu), bu)));
    } else if (t.with_dark) {
        intens = simd::mul(prefac, simd::sub(stot, simd::mul(simd::all(f.fs), dark)));
        const simd::Wide st2 = simd::all(static_cast<double>(t.stot_time) * t.stot_time);
        const simd::Wide term = simd::div(simd::mul(simd::mul(st2, sdark), sdark), simd::all(f.dtm * f.dtm));
        var = simd::narrow(simd::add(simd::widen(var), term));
    }
    _mm_storeu_ps(out, simd::narrow(intens));
    _mm_storeu_ps(out_uncert, simd::narrow(simd::mul(simd::sqrt(simd::widen(var)), prefac)));
}
#endif

// The pixels of column i, rows j to j + n - 1 (n at most 4), reduced (four
// at a time where the processor can) and stored in order up to the first
// value that is not finite: returns its row, or -1.
int reduce_rows(Factors& f, const Data2D& mask, Data2D& res, int i, int j, int n) {
    bool used[4] = {false, false, false, false};
    for (int k = 0; k < n; ++k) used[k] = pk::pixel_used(mask.intens[static_cast<std::size_t>(i + kDetSide * (j + k))]);
    float out[4] = {0, 0, 0, 0}, out_uncert[4] = {0, 0, 0, 0};
    bool computed = false;
#if PK_SIMD
    if (n == 4 && (used[0] || used[1] || used[2] || used[3])) {
        const simd::Wide y{_mm_loadu_pd(&f.row_term[static_cast<std::size_t>(j)]),
                           _mm_loadu_pd(&f.row_term[static_cast<std::size_t>(j + 2)])};
        reduce_four(f, simd::add(simd::all(f.col_term[static_cast<std::size_t>(i)]), y), used,
                    static_cast<std::size_t>(i + kDetSide * j), out, out_uncert);
        computed = true;
    }
#endif
    for (int k = 0; k < n; ++k) {
        const std::size_t m = static_cast<std::size_t>(i + kDetSide * (j + k));
        if (!used[k]) {
            res.intens[m] = res.uncert[m] = 0.0f;
            continue;
        }
        if (!computed) reduce_pixel(f, i, j + k, out[k], out_uncert[k]);
        res.intens[m] = out[k];
        res.uncert[m] = out_uncert[k];
        if (!std::isfinite(res.intens[m]) || !std::isfinite(res.uncert[m])) return j + k;
    }
    return -1;
}

// Every pixel, column by column, four rows at a time; the first that is
// not finite stops the subtraction.
Status reduce_pixels(Factors&& f, const Data2D& mask, Data2D& res) {
    for (int i = 0; i < kDetSide; ++i) {
        for (int j = 0; j < kDetSide; j += 4) {
            const int bad = reduce_rows(f, mask, res, i, j, kDetSide - j < 4 ? kDetSide - j : 4);
            if (bad >= 0)
                return failure(Stage::subtraction, Code::not_finite, "sub_data",
                               pk::format("the reduced value of pixel (%d, %d) is not finite "
                                          "(transmission, geometry or counts out of range); the data cannot be "
                                          "reduced",
                                          i, bad));
        }
    }
    return ok_status();
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
    if (pk::ave::wide_loop(simd) && image.intens.size() >= static_cast<std::size_t>(kDetPixels) &&
        image.uncert.size() >= static_cast<std::size_t>(kDetPixels)) {
        add_eight_at_a_time(s.tot.data(), s.sq.data(), in, un);
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
    pk::RadiusCache<AtRadius> known;
    return reduce_pixels(Factors(p, d, samples, buffers, dc, t, prefac, &known), mask, res);
}

SubPlan make_sub_plan(const Param& p, const Data2D& mask, float sample_trans, const std::vector<Data2D>& buf) {
    SubPlan plan;
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels)) return plan;
    const pk::PixelTerms terms(p.px, p.py, p.bx, p.by);
    std::unordered_map<uint32_t, uint16_t> seen;
    std::vector<float> radii;
    plan.at.assign(kDetPixels, SubPlan::kOff);
    for (int j = 0; j < kDetSide; ++j)
        for (int i = 0; i < kDetSide; ++i) {
            const std::size_t m = static_cast<std::size_t>(i + kDetSide * j);
            if (!pk::pixel_used(mask.intens[m])) continue;
            const float r = terms.radius_of(i, j);
            const auto found = seen.emplace(pk::bits_of(r), static_cast<uint16_t>(radii.size()));
            if (found.second) radii.push_back(r);
            plan.at[m] = found.first->second;
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

namespace {

// The factors of every distance of the plan for these totals; false where
// the plan was made for another buffer.
bool planned_factors(const SubPlan& plan, const Factors& f, std::vector<AtRadius>& at) {
    if (f.t.with_buffer && (plan.btrans.size() != plan.e.size() || pk::bits_of(static_cast<float>(f.btrans0)) !=
                                                                          plan.buffer_trans))
        return false;
    const bool same_sample = pk::bits_of(f.d[0].trans) == plan.sample_trans;
    at.resize(plan.e.size());
    for (std::size_t k = 0; k < plan.e.size(); ++k) {
        const float strans =
            same_sample ? plan.strans[k] : pk::to_float(std::pow(static_cast<double>(f.d[0].trans), plan.e[k]));
        at[k] = f.with(strans, f.t.with_buffer ? plan.btrans[k] : 0.0f);
    }
    return true;
}

#if PK_WIDE

using simd::kAll8;
using simd::narrow8;
using simd::rounded8;
using simd::sqrt8;
PK_AVX512 inline __m512d load8(const std::vector<float>& a, std::size_t m) { return simd::load8(&a[m]); }
PK_AVX512 inline __m512d set8(double x) { return _mm512_set1_pd(x); }

// The factors at each distance as arrays of doubles, for gathering.
struct FactorArrays {
    std::vector<double> scale, a, b;
    explicit FactorArrays(const std::vector<AtRadius>& at) {
        for (const AtRadius& v : at) scale.push_back(v.scale), a.push_back(v.a), b.push_back(v.b);
    }
};

// pixel_value for eight pixels m to m + 7 with the factors of `at` at
// their distances (lanes `in` in use), the operations in its order.
template <bool kBuffer, bool kDark>
PK_AVX512 inline void eight_values(const Factors& f, const FactorArrays& at, std::size_t m, __m256i idx, __mmask8 in,
                                   __m512d& intens, __m512d& var) {
    const __m512d stot = load8(f.ss.tot, m);
    const __m512d su = rounded8(sqrt8(load8(f.ss.sq, m)));
    const __m512d prefac = set8(f.prefac);
    var = rounded8(_mm512_mul_pd(su, su));
    intens = _mm512_mul_pd(prefac, stot);
    const __m512d dark = kDark ? load8(f.dc.intens, m) : _mm512_setzero_pd();
    const __m512d sdark = kDark ? load8(f.dc.uncert, m) : _mm512_setzero_pd();
    if (kBuffer) {
        const __m512d zero = _mm512_setzero_pd();
        const __m512d scale = _mm512_mask_i32gather_pd(zero, in, idx, at.scale.data(), 8);
        const __m512d b = _mm512_mask_i32gather_pd(zero, in, idx, at.b.data(), 8);
        const __m512d btot = load8(f.bs.tot, m);
        const __m512d bu = rounded8(sqrt8(load8(f.bs.sq, m)));
        if (kDark) {
            const __m512d a = _mm512_mask_i32gather_pd(zero, in, idx, at.a.data(), 8);
            const __m512d s = _mm512_sub_pd(stot, _mm512_mul_pd(set8(f.fs), dark));
            const __m512d bd = _mm512_sub_pd(btot, _mm512_mul_pd(set8(f.fb), dark));
            intens = _mm512_mul_pd(prefac, _mm512_sub_pd(s, _mm512_mul_pd(scale, bd)));
            var = rounded8(_mm512_add_pd(var, _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(a, a), sdark), sdark)));
        } else {
            intens = _mm512_mul_pd(prefac, _mm512_sub_pd(stot, _mm512_mul_pd(scale, btot)));
        }
        var = rounded8(_mm512_add_pd(var, _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(b, b), bu), bu)));
    } else if (kDark) {
        intens = _mm512_mul_pd(prefac, _mm512_sub_pd(stot, _mm512_mul_pd(set8(f.fs), dark)));
        const double st = f.t.stot_time;
        const __m512d term = _mm512_div_pd(_mm512_mul_pd(_mm512_mul_pd(set8(st * st), sdark), sdark),
                                           set8(f.dtm * f.dtm));
        var = rounded8(_mm512_add_pd(var, term));
    }
}

// Every pixel, eight at a time: pixels outside the mask 0, the others as
// pixel_value reduces them.  False at a value that is not finite.
template <bool kBuffer, bool kDark>
PK_AVX512 bool planned_pixels(const SubPlan& plan, const Factors& f, const FactorArrays& at, Data2D& res) {
    const __m512d inf = set8(INFINITY);
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); m += 8) {
        const __m128i at16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&plan.at[m]));
        const __m256i idx = _mm256_cvtepu16_epi32(at16);
        const __mmask8 in = _mm512_cmpneq_epi64_mask(_mm512_maskz_cvtepu32_epi64(kAll8, idx),
                                                     _mm512_set1_epi64(SubPlan::kOff));
        __m512d intens, var;
        eight_values<kBuffer, kDark>(f, at, m, idx, in, intens, var);
        const __m512d out = _mm512_maskz_mov_pd(in, rounded8(intens));
        const __m512d unc = _mm512_maskz_mov_pd(in, rounded8(_mm512_mul_pd(sqrt8(var), set8(f.prefac))));
        if ((_mm512_cmp_pd_mask(_mm512_abs_pd(out), inf, _CMP_LT_OQ) &
             _mm512_cmp_pd_mask(_mm512_abs_pd(unc), inf, _CMP_LT_OQ)) != kAll8)
            return false;
        _mm256_storeu_ps(&res.intens[m], narrow8(out));
        _mm256_storeu_ps(&res.uncert[m], narrow8(unc));
    }
    return true;
}

bool planned_pixels_wide(const SubPlan& plan, const Factors& f, const std::vector<AtRadius>& at, Data2D& res) {
    static_assert(kDetPixels % 8 == 0, "whole groups of eight pixels");
    const FactorArrays arrays(at);
    if (f.t.with_buffer) {
        return f.t.with_dark ? planned_pixels<true, true>(plan, f, arrays, res)
                             : planned_pixels<true, false>(plan, f, arrays, res);
    }
    return f.t.with_dark ? planned_pixels<false, true>(plan, f, arrays, res)
                         : planned_pixels<false, false>(plan, f, arrays, res);
}

#endif

}  // namespace

bool sub_sums_planned(const SubPlan& plan, const Param& p, const std::vector<Data2D>& d,
                      const std::vector<Data2D>& buf, const PixelSums& samples, const PixelSums& buffers,
                      const Data2D& dc, Data2D& res) {
    const Totals t = totals_of(d, buf, dc);
    if (plan.at.size() != static_cast<std::size_t>(kDetPixels) || !check_inputs(p, d, samples, t).ok()) return false;
    const float prefac = prefactor(p, d, t);
    if (!std::isfinite(prefac)) return false;
    const Factors f(p, d, samples, buffers, dc, t, prefac, nullptr);
    std::vector<AtRadius> at;
    if (!planned_factors(plan, f, at)) return false;
    res.trans = d[0].trans;
#if PK_WIDE
    if (pk::ave::wide_loop(p.simd)) return planned_pixels_wide(plan, f, at, res);
#endif
    for (std::size_t m = 0; m < static_cast<std::size_t>(kDetPixels); ++m) {
        if (plan.at[m] == SubPlan::kOff) {
            res.intens[m] = res.uncert[m] = 0.0f;
            continue;
        }
        pixel_value(f, m, at[plan.at[m]], res.intens[m], res.uncert[m]);
        if (!std::isfinite(res.intens[m]) || !std::isfinite(res.uncert[m])) return false;
    }
    return true;
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
