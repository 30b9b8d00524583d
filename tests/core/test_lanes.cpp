// The packed loops take a quotient, square root, product or sum of floats by
// the float instruction where the rules round the double result to a float:
// the same bits, since a double has more than twice a float's precision.  Held here
// over the whole float range, one value at a time against the double
// arithmetic rounded, for every width the processor has: normal and
// subnormal values, zeros, infinities and NaNs with payloads, quotients
// that overflow or vanish, and quotients and roots that fall next to a tie
// between two floats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "ave_fast.h"
#include "simd.h"

using namespace pk;

namespace {

uint32_t bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}
float from_bits(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

// Operands: random bit patterns (every exponent, subnormals and NaNs among
// them), special values, and pairs whose quotient or root lies within a few
// double ulps of the midpoint of two floats.
struct Operands {
    std::vector<float> x, y;
};
Operands operands() {
    Operands o;
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<uint32_t> any;
    const float special[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, from_bits(0x7FA00001u), from_bits(0xFFC12345u),
                             1.0f, -1.0f, 3.0f, 1e-45f, -1e-45f, 1.17549421e-38f, 1.17549435e-38f, 3.4028235e38f, -7.0f};
    for (float a : special)
        for (float b : special) o.x.push_back(a), o.y.push_back(b);
    for (int k = 0; k < 200000; ++k) o.x.push_back(from_bits(any(rng))), o.y.push_back(from_bits(any(rng)));
    // Near ties: x = q * y with q one half ulp of a float away from a float
    // (the product rounded to a float moves it a little).
    std::uniform_real_distribution<float> unit(1.0f, 2.0f);
    for (int k = 0; k < 50000; ++k) {
        const float y = unit(rng) * std::ldexp(1.0f, static_cast<int>(any(rng) % 200) - 100);
        const float q = unit(rng);
        const double mid = static_cast<double>(q) + std::ldexp(1.0, -24);
        o.x.push_back(static_cast<float>(mid * y)), o.y.push_back(y);
        o.x.push_back(static_cast<float>(mid * mid)), o.y.push_back(1.0f);  // root next to a tie
    }
    return o;
}

float want_div(float x, float y) { return static_cast<float>(static_cast<double>(x) / static_cast<double>(y)); }
float want_sqrt(float x) { return static_cast<float>(std::sqrt(static_cast<double>(x))); }

// The first position where `got` differs from the double arithmetic
// rounded, or success.
::testing::AssertionResult matches(const Operands& o, const std::vector<float>& div, const std::vector<float>& root) {
    for (std::size_t k = 0; k < o.x.size(); ++k) {
        if (bits(div[k]) != bits(want_div(o.x[k], o.y[k])))
            return ::testing::AssertionFailure() << std::hex << "quotient of 0x" << bits(o.x[k]) << " by 0x"
                                                 << bits(o.y[k]) << ": got 0x" << bits(div[k]) << ", expected 0x"
                                                 << bits(want_div(o.x[k], o.y[k]));
        if (bits(root[k]) != bits(want_sqrt(o.x[k])))
            return ::testing::AssertionFailure() << std::hex << "root of 0x" << bits(o.x[k]) << ": got 0x"
                                                 << bits(root[k]) << ", expected 0x" << bits(want_sqrt(o.x[k]));
    }
    return ::testing::AssertionSuccess();
}

// Each width's quotients and roots of the operands, `width` at a time.
void one_lanes(const Operands& o, std::vector<float>& div, std::vector<float>& root) {
    for (std::size_t k = 0; k < o.x.size(); ++k) {
        div[k] = static_cast<float>(simd::One::float_div(o.x[k], o.y[k]));
        root[k] = static_cast<float>(simd::One::float_sqrt(o.x[k]));
    }
}
#if PK_SIMD
void sse2_lanes(const Operands& o, std::vector<float>& div, std::vector<float>& root) {
    using L = simd::Four;
    for (std::size_t k = 0; k + 4 <= o.x.size(); k += 4) {
        const L::V x = simd::widen(_mm_loadu_ps(&o.x[k])), y = simd::widen(_mm_loadu_ps(&o.y[k]));
        _mm_storeu_ps(&div[k], simd::narrow(L::float_div(x, y)));
        _mm_storeu_ps(&root[k], simd::narrow(L::float_sqrt(x)));
    }
}
#endif
#if PK_WIDE
PK_AVX2 void avx2_lanes(const Operands& o, std::vector<float>& div, std::vector<float>& root) {
    using L = simd::FourAvx;
    for (std::size_t k = 0; k + 4 <= o.x.size(); k += 4) {
        const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(&o.x[k])), y = _mm256_cvtps_pd(_mm_loadu_ps(&o.y[k]));
        _mm_storeu_ps(&div[k], _mm256_cvtpd_ps(L::float_div(x, y)));
        _mm_storeu_ps(&root[k], _mm256_cvtpd_ps(L::float_sqrt(x)));
    }
}
// The flat-field rule's float operations on eight floats (Held<EightAvx>):
// products, sums and quotients.
PK_AVX2 void avx2_held(const Operands& o, std::vector<float>& prod, std::vector<float>& sum, std::vector<float>& div) {
    using H = simd::Held<simd::EightAvx>;
    for (std::size_t k = 0; k + 8 <= o.x.size(); k += 8) {
        const __m256 x = _mm256_loadu_ps(&o.x[k]), y = _mm256_loadu_ps(&o.y[k]);
        _mm256_storeu_ps(&prod[k], H::mul(x, y));
        _mm256_storeu_ps(&sum[k], H::add(x, y));
        _mm256_storeu_ps(&div[k], H::div(x, y));
    }
}
PK_AVX512 void avx512_lanes(const Operands& o, std::vector<float>& div, std::vector<float>& root) {
    using L = simd::Eight;
    for (std::size_t k = 0; k + 8 <= o.x.size(); k += 8) {
        const __m512d x = simd::load8(&o.x[k]), y = simd::load8(&o.y[k]);
        _mm256_storeu_ps(&div[k], simd::narrow8(L::float_div(x, y)));
        _mm256_storeu_ps(&root[k], simd::narrow8(L::float_sqrt(x)));
    }
}
#endif

TEST(Lanes, FloatOperationsAreTheDoubleOnesRounded) {
    const Operands o = operands();
    ASSERT_EQ(o.x.size() % 8, 0u);
    std::vector<float> div(o.x.size()), root(o.x.size());
    one_lanes(o, div, root);
    EXPECT_TRUE(matches(o, div, root)) << "one at a time";
#if PK_SIMD
    sse2_lanes(o, div, root);
    EXPECT_TRUE(matches(o, div, root)) << "SSE2";
#endif
#if PK_WIDE
    if (ave::avx2_loop(Simd::avx2)) {
        avx2_lanes(o, div, root);
        EXPECT_TRUE(matches(o, div, root)) << "AVX2";
        std::vector<float> prod(o.x.size()), sum(o.x.size());
        avx2_held(o, prod, sum, div);
        // A NaN where an operand is one (which operand's the instruction
        // passes on is the compiler's choice for a product or sum).
        const auto same = [](float got, float want) { return std::isnan(want) ? std::isnan(got) : bits(got) == bits(want); };
        for (std::size_t k = 0; k < o.x.size(); ++k) {
            const double x = o.x[k], y = o.y[k];
            ASSERT_TRUE(same(prod[k], static_cast<float>(x * y))) << std::hex << bits(o.x[k]) << " " << bits(o.y[k]);
            ASSERT_TRUE(same(sum[k], static_cast<float>(x + y))) << std::hex << bits(o.x[k]) << " " << bits(o.y[k]);
            ASSERT_TRUE(same(div[k], static_cast<float>(x / y))) << std::hex << bits(o.x[k]) << " " << bits(o.y[k]);
        }
    }
    if (ave::wide_loop(Simd::widest)) {
        avx512_lanes(o, div, root);
        EXPECT_TRUE(matches(o, div, root)) << "AVX-512";
    }
#endif
}

}  // namespace
