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

#endif
