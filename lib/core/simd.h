// Four pixels at a time where the processor has SSE2 (every x86-64): the
// packed operations round exactly as the scalar ones (IEEE 754 double
// arithmetic, square root included), and the packed conversion to float
// rounds as to_float does, giving +-infinity beyond the float range.
//
// PK_SIMD is 1 when the packed loops are compiled: SSE2 on x86-64 and the
// build not configured with PELKARO_SIMD=OFF (which defines PK_NO_SIMD).
// With PK_SIMD 0 no intrinsic is seen and the scalar loops beside the packed
// ones do all the work, giving the same bits.  Only the sources with packed
// loops include this header.
#ifndef PELKARO_SIMD_H
#define PELKARO_SIMD_H

#include <cmath>

#if defined(__SSE2__) && defined(__x86_64__) && !defined(PK_NO_SIMD)
#define PK_SIMD 1
#else
#define PK_SIMD 0
#endif

#if PK_SIMD
#include <emmintrin.h>

namespace pk {
namespace simd {
// Four floats as doubles, in two halves.
struct Wide {
    __m128d lo, hi;
};
inline Wide widen(__m128 x) { return {_mm_cvtps_pd(x), _mm_cvtps_pd(_mm_movehl_ps(x, x))}; }
// Each double rounded to a float, as to_float.
inline __m128 narrow(Wide w) { return _mm_movelh_ps(_mm_cvtpd_ps(w.lo), _mm_cvtpd_ps(w.hi)); }
inline Wide sqrt(Wide w) { return {_mm_sqrt_pd(w.lo), _mm_sqrt_pd(w.hi)}; }
inline Wide mul(Wide a, Wide b) { return {_mm_mul_pd(a.lo, b.lo), _mm_mul_pd(a.hi, b.hi)}; }
inline Wide div(Wide a, Wide b) { return {_mm_div_pd(a.lo, b.lo), _mm_div_pd(a.hi, b.hi)}; }
inline Wide add(Wide a, Wide b) { return {_mm_add_pd(a.lo, b.lo), _mm_add_pd(a.hi, b.hi)}; }
inline Wide sub(Wide a, Wide b) { return {_mm_sub_pd(a.lo, b.lo), _mm_sub_pd(a.hi, b.hi)}; }
inline Wide all(double d) { return {_mm_set1_pd(d), _mm_set1_pd(d)}; }
// Where `mask` is set, a; elsewhere b.
inline __m128 select(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
}  // namespace simd
}  // namespace pk
#endif

// AVX-512 (eight doubles at a time) for the square roots of the average's
// extra sums, compiled for functions that ask for it by target attribute and
// chosen when the program runs, where the processor has it (GCC and Clang).
#if PK_SIMD && (defined(__GNUC__) || defined(__clang__))
#define PK_WIDE 1
#include <immintrin.h>
#else
#define PK_WIDE 0
#endif

#if PK_WIDE
// A function compiled for AVX-512, to be called only where the processor
// has it and the run allows them (pk::ave::wide_loop(p.simd)).
#define PK_AVX512 __attribute__((target("avx512f")))
// The same for AVX2 (four doubles at a time), where AVX-512 is not taken
// (pk::ave::avx2_loop(p.simd)).
#define PK_AVX2 __attribute__((target("avx2")))

namespace pk {
namespace simd {
// Eight floats as doubles and back, the conversions and square root in
// their masked forms with every lane set: the unmasked ones read an
// undefined vector, which GCC 12 warns of.
constexpr __mmask8 kAll8 = 0xFF;
PK_AVX512 inline __m512d widen8(__m256 x) { return _mm512_maskz_cvtps_pd(kAll8, x); }
PK_AVX512 inline __m256 narrow8(__m512d x) { return _mm512_maskz_cvtpd_ps(kAll8, x); }
// Each double rounded to a float and back, as to_float.
PK_AVX512 inline __m512d rounded8(__m512d x) { return widen8(narrow8(x)); }
PK_AVX512 inline __m512i widen_int8(__m256i x) { return _mm512_maskz_cvtepu32_epi64(kAll8, x); }
PK_AVX512 inline __m512d sqrt8(__m512d x) { return _mm512_maskz_sqrt_pd(kAll8, x); }
PK_AVX512 inline __m512d load8(const float* a) { return widen8(_mm256_loadu_ps(a)); }
}  // namespace simd
}  // namespace pk
#endif

// ---------------------------------------------------------------------------
// Lane types: a rule written once over a lane type L (L::V its values, and
// operations that make the same IEEE operation on every lane, `rounded`
// the rounding to a float and back) is applied one value at a time (One),
// four at a time with SSE2 (Four) or AVX2 (FourAvx, one register) or eight
// with AVX-512 (Eight).  A rule's file is included once for each
// instruction set (PK_WIDE_RULES_BEGIN and _END around the AVX-512 one,
// PK_AVX2_RULES_* around the AVX2 one, each in a namespace of its own:
// rule_widths.inc).
//
// float_div and float_sqrt are rounded(div(x, y)) and rounded(sqrt(x)) for
// lanes that hold floats.  A double carries 53 bits, more than twice a
// float's 24 and two more, so a quotient or root of floats rounded first to
// a double and then to a float is the quotient or root rounded once to a
// float: the packed loops take the float instruction, which gives the
// same bits, twice the lanes per instruction and a shorter wait.  One
// computes them as rounded(div) and rounded(sqrt) do, and the tests hold
// the loops of every width to it.

namespace pk {
namespace simd {
struct One {
    using V = double;
    using M = bool;
    static V all(double x) { return x; }
    static V add(V x, V y) { return x + y; }
    static V sub(V x, V y) { return x - y; }
    static V mul(V x, V y) { return x * y; }
    static V div(V x, V y) { return x / y; }
    static V sqrt(V x) { return std::sqrt(x); }
    static V rounded(V x) { return static_cast<float>(x); }
    static V float_div(V x, V y) { return static_cast<float>(x / y); }
    static V float_sqrt(V x) { return static_cast<float>(std::sqrt(x)); }
    static M eq(V x, V y) { return x == y; }
    static V select(M m, V x, V y) { return m ? x : y; }
};

// A rule's values that hold floats (F) beside those taken in double (V):
// for the lane types above and below, both are the lanes' doubles, each
// float operation the double one rounded (exact, as float_div says); a
// lane type of floats (EightAvx) takes the float instructions themselves
// and its doubles in two halves.
template <class L>
struct Held {
    using F = typename L::V;
    using V = typename L::V;
    static F zero() { return L::all(0.0); }
    static F mul(F x, F y) { return L::rounded(L::mul(x, y)); }
    static F add(F x, F y) { return L::rounded(L::add(x, y)); }
    static F div(F x, F y) { return L::float_div(x, y); }
    static F select_zero(F x, F when_zero, F otherwise) { return L::select(L::eq(x, zero()), when_zero, otherwise); }
    static V wide(F x) { return x; }
    static F narrow(V x) { return L::rounded(x); }
};
}  // namespace simd
}  // namespace pk

#if PK_SIMD
namespace pk {
namespace simd {
struct Four {
    using V = Wide;
    using M = Wide;  // all bits set in a lane that holds
    static V all(double x) { return simd::all(x); }
    static V add(V x, V y) { return simd::add(x, y); }
    static V sub(V x, V y) { return simd::sub(x, y); }
    static V mul(V x, V y) { return simd::mul(x, y); }
    static V div(V x, V y) { return simd::div(x, y); }
    static V sqrt(V x) { return simd::sqrt(x); }
    static V rounded(V x) { return widen(narrow(x)); }
    static V float_div(V x, V y) { return widen(_mm_div_ps(narrow(x), narrow(y))); }
    static V float_sqrt(V x) { return widen(_mm_sqrt_ps(narrow(x))); }
    static M eq(V x, V y) { return {_mm_cmpeq_pd(x.lo, y.lo), _mm_cmpeq_pd(x.hi, y.hi)}; }
    static V select(M m, V x, V y) {
        return {_mm_or_pd(_mm_and_pd(m.lo, x.lo), _mm_andnot_pd(m.lo, y.lo)),
                _mm_or_pd(_mm_and_pd(m.hi, x.hi), _mm_andnot_pd(m.hi, y.hi))};
    }
};
}  // namespace simd
}  // namespace pk
#endif

#if PK_WIDE
namespace pk {
namespace simd {
struct Eight {
    using V = __m512d;
    using M = __mmask8;
    PK_AVX512 static V all(double x) { return _mm512_set1_pd(x); }
    PK_AVX512 static V add(V x, V y) { return _mm512_add_pd(x, y); }
    PK_AVX512 static V sub(V x, V y) { return _mm512_sub_pd(x, y); }
    PK_AVX512 static V mul(V x, V y) { return _mm512_mul_pd(x, y); }
    PK_AVX512 static V div(V x, V y) { return _mm512_div_pd(x, y); }
    PK_AVX512 static V sqrt(V x) { return sqrt8(x); }
    PK_AVX512 static V rounded(V x) { return rounded8(x); }
    PK_AVX512 static V float_div(V x, V y) { return widen8(_mm256_div_ps(narrow8(x), narrow8(y))); }
    PK_AVX512 static V float_sqrt(V x) { return widen8(_mm256_sqrt_ps(narrow8(x))); }
    PK_AVX512 static M eq(V x, V y) { return _mm512_cmp_pd_mask(x, y, _CMP_EQ_OQ); }
    PK_AVX512 static V select(M m, V x, V y) { return _mm512_mask_mov_pd(y, m, x); }
};

// Four doubles in one AVX register, for the AVX2 loops.
struct FourAvx {
    using V = __m256d;
    using M = __m256d;  // all bits set in a lane that holds
    PK_AVX2 static V all(double x) { return _mm256_set1_pd(x); }
    PK_AVX2 static V add(V x, V y) { return _mm256_add_pd(x, y); }
    PK_AVX2 static V sub(V x, V y) { return _mm256_sub_pd(x, y); }
    PK_AVX2 static V mul(V x, V y) { return _mm256_mul_pd(x, y); }
    PK_AVX2 static V div(V x, V y) { return _mm256_div_pd(x, y); }
    PK_AVX2 static V sqrt(V x) { return _mm256_sqrt_pd(x); }
    PK_AVX2 static V rounded(V x) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(x)); }
    PK_AVX2 static V float_div(V x, V y) { return _mm256_cvtps_pd(_mm_div_ps(_mm256_cvtpd_ps(x), _mm256_cvtpd_ps(y))); }
    PK_AVX2 static V float_sqrt(V x) { return _mm256_cvtps_pd(_mm_sqrt_ps(_mm256_cvtpd_ps(x))); }
    PK_AVX2 static M eq(V x, V y) { return _mm256_cmp_pd(x, y, _CMP_EQ_OQ); }
    PK_AVX2 static V select(M m, V x, V y) { return _mm256_blendv_pd(y, x, m); }
};

// Held for the AVX-512 loops (the generic one, compiled without AVX-512,
// could not pass their registers).
template <>
struct Held<Eight> {
    using F = __m512d;
    using V = __m512d;
    PK_AVX512 static F zero() { return _mm512_setzero_pd(); }
    PK_AVX512 static F mul(F x, F y) { return rounded8(_mm512_mul_pd(x, y)); }
    PK_AVX512 static F add(F x, F y) { return rounded8(_mm512_add_pd(x, y)); }
    PK_AVX512 static F div(F x, F y) { return Eight::float_div(x, y); }
    PK_AVX512 static F select_zero(F x, F when_zero, F otherwise) {
        return _mm512_mask_mov_pd(otherwise, _mm512_cmp_pd_mask(x, zero(), _CMP_EQ_OQ), when_zero);
    }
    PK_AVX512 static V wide(F x) { return x; }
    PK_AVX512 static F narrow(V x) { return rounded8(x); }
};

// Sixteen floats in one AVX-512 register, for the AVX-512 loops of rules
// written over Held that take the float instructions themselves: their
// doubles as two halves of eight.  NaN operands as EightAvx says.
struct Sixteen {
    struct V {
        __m512d lo, hi;
    };
    PK_AVX512 static V mul(V x, V y) { return {_mm512_mul_pd(x.lo, y.lo), _mm512_mul_pd(x.hi, y.hi)}; }
    PK_AVX512 static V sqrt(V x) { return {sqrt8(x.lo), sqrt8(x.hi)}; }
};
template <>
struct Held<Sixteen> {
    using F = __m512;
    using V = Sixteen::V;
    PK_AVX512 static F zero() { return _mm512_setzero_ps(); }
    PK_AVX512 static F mul(F x, F y) { return _mm512_mul_ps(x, y); }
    PK_AVX512 static F add(F x, F y) { return _mm512_add_ps(x, y); }
    PK_AVX512 static F div(F x, F y) { return _mm512_div_ps(x, y); }
    PK_AVX512 static F select_zero(F x, F when_zero, F otherwise) {
        return _mm512_mask_mov_ps(otherwise, _mm512_cmp_ps_mask(x, zero(), _CMP_EQ_OQ), when_zero);
    }
    // (The masked forms: the plain ones leave lanes undefined, which GCC
    // warns of.)
    PK_AVX512 static V wide(F x) {
        const __m512d d = _mm512_castps_pd(x);
        return {widen8(_mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, d, 0))),
                widen8(_mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, d, 1)))};
    }
    PK_AVX512 static F narrow(V x) {
        const __m512d lo = _mm512_maskz_insertf64x4(0xff, _mm512_setzero_pd(), _mm256_castps_pd(narrow8(x.lo)), 0);
        return _mm512_castpd_ps(_mm512_maskz_insertf64x4(0xff, lo, _mm256_castps_pd(narrow8(x.hi)), 1));
    }
};

// Eight floats in one AVX register, for the AVX2 loops of rules written
// over Held: their doubles as two halves of four.  Where an operand is a
// NaN the result is one either way, but not always the same operand's: a
// signalling NaN is quieted by the conversion to a double, not before the
// float instruction (neither the readers nor any arithmetic make one), and
// the compiler may swap a product's or sum's operands.
struct EightAvx {
    struct V {
        __m256d lo, hi;
    };
    PK_AVX2 static V mul(V x, V y) { return {_mm256_mul_pd(x.lo, y.lo), _mm256_mul_pd(x.hi, y.hi)}; }
    PK_AVX2 static V sqrt(V x) { return {_mm256_sqrt_pd(x.lo), _mm256_sqrt_pd(x.hi)}; }
};
template <>
struct Held<EightAvx> {
    using F = __m256;
    using V = EightAvx::V;
    PK_AVX2 static F zero() { return _mm256_setzero_ps(); }
    PK_AVX2 static F mul(F x, F y) { return _mm256_mul_ps(x, y); }
    PK_AVX2 static F add(F x, F y) { return _mm256_add_ps(x, y); }
    PK_AVX2 static F div(F x, F y) { return _mm256_div_ps(x, y); }
    PK_AVX2 static F select_zero(F x, F when_zero, F otherwise) {
        return _mm256_blendv_ps(otherwise, when_zero, _mm256_cmp_ps(x, zero(), _CMP_EQ_OQ));
    }
    PK_AVX2 static V wide(F x) { return {_mm256_cvtps_pd(_mm256_castps256_ps128(x)), _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1))}; }
    PK_AVX2 static F narrow(V x) { return _mm256_set_m128(_mm256_cvtpd_ps(x.hi), _mm256_cvtpd_ps(x.lo)); }
};
}  // namespace simd
}  // namespace pk

// Around the inclusion of a rule's file: the rule compiled for AVX-512.
#if defined(__clang__)
#define PK_WIDE_RULES_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx512f\"))), apply_to = function)")
#define PK_WIDE_RULES_END _Pragma("clang attribute pop")
#else
#define PK_WIDE_RULES_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f\")")
#define PK_WIDE_RULES_END _Pragma("GCC pop_options")
#endif
// The same for AVX2.
#if defined(__clang__)
#define PK_AVX2_RULES_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define PK_AVX2_RULES_END _Pragma("clang attribute pop")
#else
#define PK_AVX2_RULES_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define PK_AVX2_RULES_END _Pragma("GCC pop_options")
#endif
#endif

#endif
