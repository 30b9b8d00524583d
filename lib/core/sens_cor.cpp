// Detector corrections applied image by image: the solid-angle correction of
// a flat detector (1/cos^3 of the scattering angle) and the normalisation and
// application of the detector sensitivity (flat field).
#include "sens_cor.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "pelkaro/Pelkaro.h"
#include "ave_fast.h"
#include "geometry.h"
#include "keywords.h"
#include "simd.h"

namespace pk {

void solid_angle(const Param& p, SolidAngle& sa) {
    sa.factor.assign(kDetPixels, 0.0f);
    sa.bad_x = sa.bad_y = -1;
    const double sam2det = p.sam2det;
    // Distance from the beam centre, angle and factor, each held as a float;
    // the factor depends on the pixel only through the distance.
    auto factor = [sam2det](float r) {
        const float theta = pk::scatter_angle(r, sam2det);
        const double c = std::cos(static_cast<double>(theta));
        return pk::to_float(1.0 / (c * c * c));
    };
    pk::RadiusCache<float> known;
    const pk::PixelTerms terms(p.px, p.py, p.bx, p.by);
    for (int x = 0; x < kDetSide; ++x) {
        const int fx = terms.first_col[static_cast<std::size_t>(x)];
        for (int y = 0; y < kDetSide; ++y) {
            const int fy = terms.first_row[static_cast<std::size_t>(y)];
            const float f = fx != x || fy != y ? sa.factor[static_cast<std::size_t>(fx + kDetSide * fy)]
                                               : known.get(terms.radius_of(x, y), factor);
            // A factor below 1 or not finite means the angle, rounded to a
            // float, reached a right angle: the geometry is absurd.
            if (!(f >= 1.0f && std::isfinite(f)) && sa.bad_x < 0) {
                sa.bad_x = x;
                sa.bad_y = y;
            }
            sa.factor[static_cast<std::size_t>(x + kDetSide * y)] = f;
        }
    }
}

Status jacobian(const Param&, Data2D& dat, const SolidAngle& sa) {
    if (sa.bad_x >= 0)
        return failure(Stage::solid_angle, Code::not_finite, "jacobian",
                       pk::format("the solid-angle factor of pixel (%d, %d) is not a finite value of at "
                                  "least 1; check the pixel spacing, beam center and sample-to-detector distance",
                                  sa.bad_x, sa.bad_y));
    float* intens = dat.intens.data();
    float* uncert = dat.uncert.data();
    const float* factor = sa.factor.data();
    int m = 0;
#if PK_SIMD
    // The product of two floats is exact in a double: rounded to a float, it
    // is the float product, which the packed loop takes directly.
    for (; m + 4 <= kDetPixels; m += 4) {
        const __m128 f = _mm_loadu_ps(factor + m);
        _mm_storeu_ps(intens + m, _mm_mul_ps(_mm_loadu_ps(intens + m), f));
        _mm_storeu_ps(uncert + m, _mm_mul_ps(_mm_loadu_ps(uncert + m), f));
    }
#endif
    for (; m < kDetPixels; ++m) {
        const double f = factor[m];
        intens[m] = pk::to_float(static_cast<double>(intens[m]) * f);
        uncert[m] = pk::to_float(static_cast<double>(uncert[m]) * f);
    }
    return ok_status();
}

Status jacobian(const Param& p, Data2D& dat) {
    SolidAngle sa;
    solid_angle(p, sa);
    return jacobian(p, dat, sa);
}

namespace {

// su = the square root of s, for every value of an image.
void roots(const float* s, float* su) {
    int k = 0;
#if PK_SIMD
    for (; k + 4 <= kImageValues; k += 4)
        _mm_storeu_ps(su + k, simd::narrow(simd::sqrt(simd::widen(_mm_loadu_ps(s + k)))));
#endif
    for (; k < kImageValues; ++k) su[k] = pk::to_float(std::sqrt(static_cast<double>(s[k])));
}

// Divides the used pixels' efficiencies and uncertainties by their mean,
// then removes from the mask every pixel of efficiency outside 0.5 to 1.5.
void normalise(float* s, float* su, float* mk, float mean) {
    int k = 0;
#if PK_SIMD
    // A float divided by a float in double and rounded to a float is the
    // float quotient itself (a double holds more than twice a float's
    // digits): four at a time by the float division.
    const __m128 by = _mm_set1_ps(mean);
    const __m128 quarter = _mm_set1_ps(0.25f), low = _mm_set1_ps(0.5f), high = _mm_set1_ps(1.5f);
    for (; k + 4 <= kImageValues; k += 4) {
        const __m128 mask = _mm_loadu_ps(mk + k);
        const __m128 used = _mm_cmpgt_ps(mask, quarter);
        if (_mm_movemask_ps(used) == 0) {  // nothing to divide: only the range test
            const __m128 sk = _mm_loadu_ps(s + k);
            const __m128 outside = _mm_or_ps(_mm_cmplt_ps(sk, low), _mm_cmpgt_ps(sk, high));
            _mm_storeu_ps(mk + k, simd::select(outside, _mm_setzero_ps(), mask));
            continue;
        }
        const __m128 sk = simd::select(used, _mm_div_ps(_mm_loadu_ps(s + k), by), _mm_loadu_ps(s + k));
        const __m128 uk = simd::select(used, _mm_div_ps(_mm_loadu_ps(su + k), by), _mm_loadu_ps(su + k));
        const __m128 outside = _mm_or_ps(_mm_cmplt_ps(sk, low), _mm_cmpgt_ps(sk, high));
        _mm_storeu_ps(s + k, sk);
        _mm_storeu_ps(su + k, uk);
        _mm_storeu_ps(mk + k, simd::select(outside, _mm_setzero_ps(), mask));
    }
#endif
    for (; k < kImageValues; ++k) {
        if (pk::pixel_used(mk[k])) {
            s[k] = pk::to_float(static_cast<double>(s[k]) / mean);
            su[k] = pk::to_float(static_cast<double>(su[k]) / mean);
        }
        if (s[k] < 0.5f || s[k] > 1.5f) mk[k] = 0.0f;
    }
}

// The correction of one pixel (sens_rule.inc), for the loops of every width.
#define PK_RULE_FILE "sens_rule.inc"
#include "rule_widths.inc"

#if PK_SIMD
// sens_cor for four values at once: the quotient and its uncertainty where
// the mask takes the pixel, the uncertainty cleared where the mask clears
// it, the values left as they are elsewhere.
void correct_four(float* in, float* un, const float* s, const float* su, const float* mk) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 m = _mm_loadu_ps(mk), quarter = _mm_set1_ps(0.25f);
    const __m128 used = _mm_cmpgt_ps(m, quarter);
    const __m128 u = _mm_loadu_ps(un);
    const __m128 kept = simd::select(_mm_cmplt_ps(m, quarter), zero, u);
    if (_mm_movemask_ps(used) == 0) {  // none taken: only the clearing
        _mm_storeu_ps(un, kept);
        return;
    }
    const __m128 x = _mm_loadu_ps(in);
    simd::Wide q, unc;
    rule::correct_lanes<simd::Four>(simd::widen(x), simd::widen(u), simd::widen(_mm_loadu_ps(s)),
                                    simd::widen(_mm_loadu_ps(su)), q, unc);
    _mm_storeu_ps(in, simd::select(used, simd::narrow(q), x));
    _mm_storeu_ps(un, simd::select(used, simd::narrow(unc), kept));
}
#endif

#if PK_WIDE
// correct_four for sixteen values at once, where the processor has
// AVX-512: the rule's float operations on the floats themselves, its square
// root and last product in double, in two halves of eight.
PK_AVX512 void correct_sixteen(float* in, float* un, const float* s, const float* su, const float* mk) {
    const __m512 zero = _mm512_setzero_ps(), quarter = _mm512_set1_ps(0.25f);
    const __m512 m = _mm512_loadu_ps(mk);
    const __mmask16 used = _mm512_cmp_ps_mask(m, quarter, _CMP_GT_OQ);
    const __m512 u = _mm512_loadu_ps(un);
    const __m512 kept = _mm512_mask_mov_ps(u, _mm512_cmp_ps_mask(m, quarter, _CMP_LT_OQ), zero);
    if (used == 0) {  // none taken: only the clearing
        _mm512_storeu_ps(un, kept);
        return;
    }
    const __m512 x = _mm512_loadu_ps(in);
    __m512 q, unc;
    rule_wide::correct_lanes<simd::Sixteen>(x, u, _mm512_loadu_ps(s), _mm512_loadu_ps(su), q, unc);
    _mm512_storeu_ps(in, _mm512_mask_mov_ps(x, used, q));
    _mm512_storeu_ps(un, _mm512_mask_mov_ps(kept, used, unc));
}

// correct_four for eight values at once in one AVX register, where the
// processor has AVX2 but not AVX-512: the rule's float operations on the
// floats themselves, its square root and last product in double.
PK_AVX2 void correct_eight_avx(float* in, float* un, const float* s, const float* su, const float* mk) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 m = _mm256_loadu_ps(mk), quarter = _mm256_set1_ps(0.25f);
    const __m256 used = _mm256_cmp_ps(m, quarter, _CMP_GT_OQ);
    const __m256 u = _mm256_loadu_ps(un);
    const __m256 kept = _mm256_blendv_ps(u, zero, _mm256_cmp_ps(m, quarter, _CMP_LT_OQ));
    if (_mm256_movemask_ps(used) == 0) {  // none taken: only the clearing
        _mm256_storeu_ps(un, kept);
        return;
    }
    const __m256 x = _mm256_loadu_ps(in);
    __m256 q, unc;
    rule_avx2::correct_lanes<simd::EightAvx>(x, u, _mm256_loadu_ps(s), _mm256_loadu_ps(su), q, unc);
    _mm256_storeu_ps(in, _mm256_blendv_ps(x, q, used));
    _mm256_storeu_ps(un, _mm256_blendv_ps(kept, unc, used));
}
#endif

}  // namespace

// Turns the raw flat field into relative efficiencies with mean 1 over the
// used pixels and removes from the mask every pixel whose efficiency lies
// outside 0.5 to 1.5.  Sums, quotients and products are rounded to floats;
// square roots are taken in double.
Status sens_norm(const Param&, Data2D& sens, Data2D& mask) {
    float* s = sens.intens.data();
    float* su = sens.uncert.data();
    float* mk = mask.intens.data();
    roots(s, su);
    float sum = 0.0f;
    int32_t count = 0;
    // Each sum in double rounded to a float, which is the float addition
    // itself (as for the quotients in normalise): a shorter chain of steps.
    for (int k = 0; k < kImageValues; ++k) {
        if (pk::pixel_used(mk[k])) {
            sum += s[k];
            ++count;
        }
    }
    const float mean = count > 0 ? pk::to_float(static_cast<double>(sum) / count) : 0.0f;
    if (!(mean > 0.0f && std::isfinite(mean)))
        return failure_at(Stage::sensitivity, Code::not_finite, SENS, -1, "sens_norm",
                          pk::format("the mean sensitivity of the %d used pixels is %f; the sensitivity "
                                     "file %s cannot normalize the detector",
                                     count, static_cast<double>(mean), sens.name.c_str()));
    normalise(s, su, mk, mean);
    int used = 0;
    for (int m = 0; m < kDetPixels; ++m)
        if (pk::pixel_used(mk[m])) ++used;
    if (used == 0)
        return failure_at(Stage::sensitivity, Code::no_pixels, SENS, -1, "sens_norm",
                          "no detector pixel is left in the mask after removing those of extreme "
                          "sensitivity");
    return ok_status();
}

// Divides one image by the relative efficiencies and propagates the
// uncertainty of the quotient of two independent values.
namespace {

// The flat field applied to the first n values of the image (n a multiple
// of eight).
void correct_values(const Param& p, Data2D& dat, const Data2D& sens, const Data2D& mask, int n) {
    float* in = dat.intens.data();
    float* un = dat.uncert.data();
    const float* s = sens.intens.data();
    const float* su = sens.uncert.data();
    const float* mk = mask.intens.data();
    int k = 0;
#if PK_WIDE
    if (pk::ave::wide_loop(p.simd))
        for (; k + 16 <= n; k += 16) correct_sixteen(in + k, un + k, s + k, su + k, mk + k);
    else if (pk::ave::avx2_loop(p.simd))
        for (; k + 8 <= n; k += 8) correct_eight_avx(in + k, un + k, s + k, su + k, mk + k);
#else
    (void)p;
#endif
#if PK_SIMD
    for (; k + 4 <= n; k += 4) correct_four(in + k, un + k, s + k, su + k, mk + k);
#endif
    const int rest = k;
    for (k = rest; k < n; ++k) {
        if (!pk::pixel_used(mk[k])) continue;
        double q, unc;
        rule::correct_lanes<simd::One>(in[k], un[k], s[k], su[k], q, unc);
        in[k] = static_cast<float>(q);
        un[k] = static_cast<float>(unc);
    }
    for (k = rest; k < n; ++k)
        if (pk::pixel_cleared(mk[k])) un[k] = 0.0f;
}

}  // namespace

Status sens_cor(const Param& p, Data2D& dat, const Data2D& sens, const Data2D& mask) {
    correct_values(p, dat, sens, mask, kImageValues);
    return ok_status();
}

Status sens_cor_pixels(const Param& p, Data2D& dat, const Data2D& sens, const Data2D& mask) {
    static_assert(kDetPixels % 8 == 0 && kDetPixels <= kImageValues, "whole groups of eight values");
    correct_values(p, dat, sens, mask, kDetPixels);
    return ok_status();
}

}  // namespace pk
