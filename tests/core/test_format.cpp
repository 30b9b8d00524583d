// The output files format their numbers without printf; their bytes must be
// exactly printf's: "%4.4f" (2D file), "%8f" and "%12f" (1D file) and
// "%2.2f" (mask file), over more than a million values including zeros of
// both signs, tiny and huge values, infinities, not-a-numbers, exact halfway
// cases and their neighbours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>

#include "pelkaro/Pelkaro.h"
#include "test_util.h"
#include "file_out.h"
#include "pelkaro/files.h"

namespace {

#ifdef PELKARO_SANITIZED
constexpr int kFiles = 3;
#else
constexpr int kFiles = 32;  // 32 2D files of 32768 values: over a million
#endif

const Console kQuiet{nullptr, nullptr};

// A value that is awkward to print with `prec` decimals.
float awkward(std::mt19937& rng, int prec) {
    auto bits = [](uint32_t u) { float f; std::memcpy(&f, &u, sizeof f); return f; };
    const float special[] = {0.0f, -0.0f, FLT_MIN, -FLT_MIN, FLT_TRUE_MIN, -FLT_TRUE_MIN, FLT_MAX, -FLT_MAX,
                             INFINITY, -INFINITY, NAN, -NAN, bits(0x7fc12345u), 0.00004f, 0.00005f, -0.00005f,
                             1e6f, -1.5f, 9.99995f, 0.99995f, 0.999995f, 1.8e13f, 9.2e14f, 1.8446744e15f, 1e20f};
    const double tie_unit = std::ldexp(1.0, -(prec + 1));  // odd multiples are exact halfway cases
    switch (rng() % 10) {
        case 0: case 1: case 2: return bits(static_cast<uint32_t>(rng()));  // anything at all
        case 3: return std::ldexp(static_cast<float>(rng() % (1u << 24)), static_cast<int>(rng() % 60) - 40);
        case 4: return static_cast<float>((2.0 * (rng() % (1u << 22)) + 1) * tie_unit * (rng() % 2 ? 1 : -1));
        case 5: {
            const float t = static_cast<float>((2.0 * (rng() % (1u << 22)) + 1) * tie_unit);
            return std::nextafter(t, rng() % 2 ? 0.0f : INFINITY);
        }
        case 6: {  // decimals and the points midway between them
            const double k = static_cast<double>(rng() % 2000000000u) + (rng() % 2 ? 0.5 : 0.0);
            return static_cast<float>(k / std::pow(10.0, prec + static_cast<int>(rng() % 8) - 2));
        }
        case 7: {  // around powers of ten (carries into a new digit)
            const float p = static_cast<float>(std::pow(10.0, static_cast<int>(rng() % 30) - 10));
            const float q = rng() % 2 ? std::nextafter(p, 0.0f) : std::nextafter(p, INFINITY);
            return rng() % 3 ? q : -q;
        }
        default: return special[rng() % (sizeof special / sizeof special[0])];
    }
}

std::string printf_rows(const std::vector<float>& v, const char* fmt) {
    std::string s;
    char buf[512];
    for (int k = 0; k < kDetPixels; ++k) {
        std::snprintf(buf, sizeof buf, fmt, static_cast<double>(v[k]));
        s += buf;
        if (k % 128 == 127) s += '\n';
    }
    return s;
}

TEST(Formatting, TwoDimensionalFileIsPrintfsFourFour) {
    pkt::TempDir dir;
    pkt::write_file(dir / "p.txt", "# only a comment\n");
    std::mt19937 rng(7);
    Data2D d;
    d.name = dir / "img.dat";
    for (int f = 0; f < kFiles; ++f) {
        d.intens.assign(kImageValues, 0), d.uncert.assign(kImageValues, 0);
        for (int k = 0; k < kDetPixels; ++k) d.intens[k] = awkward(rng, 4), d.uncert[k] = awkward(rng, 4);
        const std::string want = "# detector appears as if looking from sample position\n" +
                                 printf_rows(d.intens, "%4.4f\t") + "\n\n" + printf_rows(d.uncert, "%4.4f\t");
        ASSERT_TRUE(pkt::succeeded(write_2D(Param{}, d, dir / "p.txt", kQuiet)));
        ASSERT_EQ(pkt::read_file(dir / "img.d2d"), want) << "file " << f;
    }
}

TEST(Formatting, OneDimensionalFileIsPrintfsEightAndTwelve) {
    pkt::TempDir dir;
    std::mt19937 rng(11);
    Data2D d;
    d.name = dir / "curve.dat";
    Data1D c;
    for (int f = 0; f < kFiles / 4 + 1; ++f) {
        c.num = kCurveValues;
        for (auto* a : {&c.x, &c.y, &c.dy, &c.dq}) {
            a->resize(kCurveValues);
            for (float& v : *a) v = awkward(rng, 6);
        }
        c.area.assign(kCurveValues, 1.0f);
        std::string want;
        char line[2048];
        for (int i = 0; i < kCurveValues; ++i) {
            std::snprintf(line, sizeof line, "%8f\t%8f\t%12f\t%8f\n", static_cast<double>(c.x[i]),
                          static_cast<double>(c.y[i]), static_cast<double>(c.dy[i]), static_cast<double>(c.dq[i]));
            want += line;
        }
        ASSERT_TRUE(pkt::succeeded(write_1D(Param{}, d, c, "", kQuiet)));
        ASSERT_EQ(pkt::read_file(dir / "curve.d1d"), want) << "file " << f;
    }
}

TEST(Formatting, MaskFileIsPrintfsTwoTwo) {
    pkt::TempDir dir;
    char* here = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    std::mt19937 rng(13);
    Param p{};
    Data2D m;
    for (int f = 0; f < kFiles / 4 + 1; ++f) {
        p.bx = awkward(rng, 6), p.by = awkward(rng, 6);
        m.intens.assign(kImageValues, 0);
        for (int k = 0; k < kDetPixels; ++k) m.intens[k] = awkward(rng, 2);
        std::vector<char> head(1024);
        std::snprintf(head.data(), head.size(), "# mask file created from beam center %f %f\n",
                      static_cast<double>(p.bx), static_cast<double>(p.by));
        const std::string want = std::string(head.data()) +
                                 "# detector appears as if looking from sample position\n" + printf_rows(m.intens, "%2.2f\t");
        EXPECT_TRUE(pkt::succeeded(write_mask(p, m, kQuiet)));
        EXPECT_EQ(pkt::read_file("mask.d2d"), want) << "file " << f;
    }
    EXPECT_EQ(::chdir(here), 0);
    std::free(here);
}

}  // namespace
