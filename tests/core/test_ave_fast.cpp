// The azimuthal average against its formulae taken literally, one sub-pixel
// at a time (pkt::literal_average): random geometries, sectors, bin widths,
// masks and images must give the same outcome (a refusal alike in every
// field and word), console output and curve arrays to the bit, sub-pixels
// lying exactly on a bin start among them.
// Also the runs of equal additions the fast sums take in a few steps, against
// the additions one by one, and the writer's sums of both paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "pelkaro/Pelkaro.h"
#include "ave_fast.h"
#include "ave_data.h"
#include "numbers.h"
#include "test_util.h"

namespace {

const double kPi = 3.141592653589793;

struct Outcome {
    Status st;
    std::string text;  // the progress printed on the console
    Data1D curve;
};

template <class F>
Outcome run(F average, const Param& p, const Data2D& in, const Data2D& mask) {
    Outcome o;
    for (auto* a : {&o.curve.x, &o.curve.y, &o.curve.dy, &o.curve.dq, &o.curve.area}) a->assign(kCurveValues, -3.0f);
    o.st = average(p, in, o.curve, mask, Console{nullptr, &o.text});
    return o;
}

// The same refusal in every field, in the same words; or both done.
::testing::AssertionResult same_status(const Status& a, const Status& b) {
    if (a.stage != b.stage || a.code != b.code || a.keyword != b.keyword || a.entry != b.entry || a.line != b.line ||
        a.reason != b.reason || a.run_reason != b.run_reason || a.detail != b.detail || a.message != b.message)
        return ::testing::AssertionFailure() << stage_name(a.stage) << "/" << code_name(a.code) << " keyword "
                                             << a.keyword << " \"" << a.text() << "\" vs " << stage_name(b.stage)
                                             << "/" << code_name(b.code) << " keyword " << b.keyword << " \""
                                             << b.text() << "\"";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same(const Outcome& a, const Outcome& b) {
    if (const auto st = same_status(a.st, b.st); !st) return st;
    if (a.text != b.text || a.curve.num != b.curve.num)
        return ::testing::AssertionFailure() << "bins " << a.curve.num << " vs " << b.curve.num << ", output \""
                                             << a.text << "\" vs \"" << b.text << "\"";
    const std::vector<float>* const fa[5] = {&a.curve.x, &a.curve.y, &a.curve.dy, &a.curve.dq, &a.curve.area};
    const std::vector<float>* const fb[5] = {&b.curve.x, &b.curve.y, &b.curve.dy, &b.curve.dq, &b.curve.area};
    for (int q = 0; q < 5; ++q)
        for (int i = 0; i < kCurveValues; ++i)
            if (std::memcmp(&(*fa[q])[i], &(*fb[q])[i], sizeof(float)) != 0)
                return ::testing::AssertionFailure() << "array " << q << " bin " << i << ": " << (*fa[q])[i]
                                                     << " vs " << (*fb[q])[i];
    return ::testing::AssertionSuccess();
}

// The writer's sums of the average against those tallied literally: the
// counts and uncertainty terms to the bit (the same per-pixel additions in
// the same order), the sums of Q to 1e-10 (a Taylor series of H there
// against its formula).
::testing::AssertionResult same_sums(const BinSums& a, const BinSums& b) {
    const std::vector<double>* const exact_a[] = {&a.n, &a.w2, &a.w2var, &a.next_cov};
    const std::vector<double>* const exact_b[] = {&b.n, &b.w2, &b.w2var, &b.next_cov};
    if (a.q.size() != b.q.size()) return ::testing::AssertionFailure() << "bins " << a.q.size() << " vs " << b.q.size();
    for (int k = 0; k < 4; ++k)
        for (std::size_t i = 0; i < a.q.size(); ++i)
            if (std::memcmp(&(*exact_a[k])[i], &(*exact_b[k])[i], sizeof(double)) != 0)
                return ::testing::AssertionFailure() << "sum " << k << " bin " << i << ": " << (*exact_a[k])[i]
                                                     << " vs " << (*exact_b[k])[i];
    for (std::size_t i = 0; i < a.q.size(); ++i)
        if (!(std::fabs(a.q[i] - b.q[i]) <= 1e-10 * std::fabs(b.q[i])))
            return ::testing::AssertionFailure() << "Q sum, bin " << i << ": " << a.q[i] << " vs " << b.q[i];
    return ::testing::AssertionSuccess();
}

// Random geometries: 150 in the everyday suite, 1000 in the long run
// (ctest -L long sets PELKARO_FULL_CASES).
int case_count() {
    const char* full = std::getenv("PELKARO_FULL_CASES");
    return full && *full && std::string(full) != "0" ? 1000 : 150;
}

// The random choices of the cases, all drawn from one generator in a fixed
// order, so every run of the test sees the same cases.
struct Dice {
    std::mt19937 rng{20240611};
    double uni(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }
    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
};

// A beam centre coordinate: on pixel centres, edges and sub-pixel lines (and
// a float away from them), off the detector, or anywhere on it.
float random_centre(Dice& d) {
    const int whole = d.pick(128);
    switch (d.pick(7)) {
        case 0: return whole + 0.5f;                                        // pixel centre
        case 1: return static_cast<float>(whole);                           // pixel edge
        case 2: return static_cast<float>(whole + 0.05 + 0.1 * d.pick(10));  // on sub-pixel lines
        case 3:
            return std::nextafter(static_cast<float>(whole + 0.05 + 0.1 * d.pick(10)), d.pick(2) ? 0.0f : 999.0f);
        case 4: return static_cast<float>(d.pick(2) ? d.uni(-60, -0.01) : d.uni(128, 511));  // outside
        case 5: return static_cast<float>(d.pick(2) ? 95 : 95.5);
        default: return static_cast<float>(d.uni(0, 128));
    }
}

// The sector: the full circle, quadrants, one direction, none, or any.
void random_sector(Dice& d, Param& p) {
    const float deg = static_cast<float>(kPi / 180);
    const float quarter[5] = {0, 90, 180, 270, 360};
    const int sector = d.pick(24);
    const double a = d.uni(0, 360), b = d.uni(0, 360);
    if (sector < 6) {  // full circle, as the parameter file gives it
        p.thmin = 0, p.thmax = static_cast<float>(360 * (kPi / 180));
    } else if (sector < 10) {  // quadrants: limits on the branch lines of the azimuth
        p.thmin = static_cast<float>(quarter[d.pick(4)] * (kPi / 180)), p.thmax = p.thmin + 90 * deg;
    } else if (sector < 12) {  // a single direction
        p.thmin = p.thmax = static_cast<float>(quarter[d.pick(5)] * (kPi / 180));
    } else if (sector == 12) {  // no sector at all
        p.thmin = static_cast<float>(d.uni(0, 7)), p.thmax = d.pick(2) ? p.thmin * 0.5f : NAN;
    } else {
        p.thmin = static_cast<float>(std::fmin(a, b) * kPi / 180);
        p.thmax = static_cast<float>(std::fmax(a, b) * kPi / 180);
    }
}

Param random_geometry(Dice& d) {
    Param p{};
    p.simd = pkt::test_simd();
    p.px = static_cast<float>(d.uni(0.5, 8));
    p.py = d.pick(3) ? p.px : static_cast<float>(p.px * d.uni(0.3, 3));
    p.bx = random_centre(d), p.by = random_centre(d);
    p.bin_width = d.pick(2) ? static_cast<float>(1 + d.pick(4)) : static_cast<float>(d.uni(0.4, 6));
    p.sam2det = static_cast<float>(d.uni(500, 20000)), p.src2sam = static_cast<float>(d.uni(1000, 20000));
    p.srcapp = static_cast<float>(d.uni(1, 30)), p.samapp = static_cast<float>(d.uni(1, 15));
    p.wavelen = static_cast<float>(d.uni(2, 20)), p.dwavelen = static_cast<float>(d.uni(0, 0.3));
    random_sector(d, p);
    return p;
}

// An image and a mask: counts, a wide range of magnitudes, or exact binary
// fractions; now and then a mask value or a count that is not finite.
struct Images {
    Data2D in, mask;
    double density = 0;
    int kind = 0;
};

Images random_images(Dice& d) {
    Images m;
    Data2D &in = m.in, &mask = m.mask;
    in.intens.assign(kImageValues, 0), in.uncert.assign(kImageValues, 0), mask.intens.assign(kImageValues, 0);
    const double density = m.density = d.pick(12) == 0 ? 1.0 : d.uni(0.005, 0.1);
    const int kind = m.kind = d.pick(3);
    for (int k = 0; k < kDetPixels; ++k) {
        mask.intens[k] = d.uni(0, 1) < density ? (d.pick(50) ? 1.0f : 0.26f) : (d.pick(2) ? 0.25f : 0.0f);
        if (kind == 0) {  // counts
            in.intens[k] = static_cast<float>(d.uni(-50, 1e5)), in.uncert[k] = static_cast<float>(d.uni(0, 400));
        } else if (kind == 1) {  // wide range
            in.intens[k] = static_cast<float>(std::ldexp(d.uni(-1, 1), d.pick(80) - 40));
            in.uncert[k] = static_cast<float>(std::ldexp(d.uni(0, 1), d.pick(40) - 20));
        } else {  // terms that are exact binary fractions: rounding ties in the sums
            in.intens[k] = static_cast<float>(std::ldexp(100.0 * (d.pick(7) - 3), d.pick(40) - 5));
            in.uncert[k] = static_cast<float>(std::ldexp(100.0, d.pick(20) - 10));
        }
    }
    if (d.pick(50) == 0) mask.intens[d.pick(kDetPixels)] = NAN;
    if (d.pick(50) == 0) {  // refusals: a value that is not finite, a negative spacing, too many bins
        const int k = d.pick(kDetPixels);
        in.intens[k] = INFINITY, mask.intens[k] = 1;
    }
    return m;
}

// The average with the writer's sums: the same curve as the literal
// formulae, and the writer's sums those of the literal pixel-by-pixel tally.
void expect_other_paths_agree(const Param& p, const Data2D& in, const Data2D& mask, const Outcome& literal, int c) {
    BinSums sums, literal_sums;
    const Outcome with_sums = run([&](const Param& q, const Data2D& d, Data1D& o, const Data2D& m,
                                      const Console& con) { return ave_data_sums(q, d, o, m, sums, con); },
                                  p, in, mask);
    ASSERT_TRUE(same(with_sums, literal)) << "case " << c << ", with the writer's sums";
    if (literal.st.ok()) {
        ASSERT_TRUE(pkt::literal_bin_sums(p, in, mask, literal_sums));
        EXPECT_TRUE(same_sums(sums, literal_sums)) << "case " << c;
    }
}

TEST(FastAverage, EqualsTheLiteralFormulaeToTheBit) {
    Dice dice;
    const int cases = case_count();
    for (int c = 0; c < cases; ++c) {
        Param p = random_geometry(dice);
        const Images m = random_images(dice);
        if (dice.pick(100) == 0) p.px = -p.px;
        if (dice.pick(100) == 0) p.bin_width = 0.01f;
        const Outcome fast = run(ave_data, p, m.in, m.mask);
        const Outcome literal = run(pkt::literal_average, p, m.in, m.mask);
        ASSERT_TRUE(same(fast, literal)) << "case " << c << ": px " << p.px << " py " << p.py << " bx " << p.bx
                                         << " by " << p.by << " bin " << p.bin_width << " sector " << p.thmin << ".."
                                         << p.thmax << " density " << m.density << " kind " << m.kind;
        if (c % 10 == 0) {
            ASSERT_NO_FATAL_FAILURE(expect_other_paths_agree(p, m.in, m.mask, literal, c));
        }
    }
}

// A sub-pixel whose sum of squares is exactly the first of a bin.  With
// px = py = 1 the sums are exact; these beam centres put sub-pixel (m, n) of
// pixel (i, j) at the midpoint between two floats, which rounds up (to the
// even one) into the next bin.  The pixel is counted in strips of ten
// sub-pixels (rows in the first case, columns in the second), and within its
// strip that sub-pixel has the largest sum: a count that leaves out a sum
// equal to a bin start moves it a bin down.
TEST(FastAverage, SubPixelExactlyOnABinStart) {
    struct Case {
        float bx, by, bin_width;
        int i, m, j, n;
    };
    const Case cases[] = {{-0x1.180c2cp+5f, 0x1.f261ecp+7f, 0.5556f, 111, 9, 53, 2},
                          {0x1.1074b8p+8f, -0x1.1511c8p+5f, 2.32f, 112, 3, 83, 9}};
    for (const Case& c : cases) {
        Param p{};
        p.simd = pkt::test_simd();
        p.px = p.py = 1, p.bx = c.bx, p.by = c.by, p.bin_width = c.bin_width;
        p.sam2det = 5000, p.src2sam = 10000, p.srcapp = 10, p.samapp = 5, p.wavelen = 6, p.dwavelen = 0.1f;
        p.thmin = 0, p.thmax = static_cast<float>(2 * kPi);
        // The bin of a sum of squares, as the curve's bins are laid out.
        const double X = c.bx > 95.0f ? c.bx + 0.5 : 191.5 - c.bx, Y = c.by > 95.0f ? c.by + 0.5 : 191.5 - c.by;
        const float max = pk::to_float(std::sqrt(X * X + Y * Y));
        const int tot = static_cast<int>(static_cast<double>(max) / c.bin_width) + 1;
        auto bin = [&](double s) {
            return static_cast<int>(tot * static_cast<double>(pk::to_float(std::sqrt(s))) / max);
        };
        const double dx = pk::to_float(c.i + (c.m + 0.5) * 0.1) - static_cast<double>(c.bx);
        const double dy = pk::to_float(c.j + (c.n + 0.5) * 0.1) - static_cast<double>(c.by);
        const double s = dx * dx + dy * dy;
        ASSERT_EQ(bin(std::nextafter(s, 0.0)) + 1, bin(s)) << "the sub-pixel does not start its bin";

        Data2D in, mask;
        in.intens.assign(kImageValues, 0), in.uncert.assign(kImageValues, 0), mask.intens.assign(kImageValues, 1);
        for (int k = 0; k < kDetPixels; ++k)
            in.intens[k] = static_cast<float>(k % 101), in.uncert[k] = static_cast<float>(k % 7 + 1);
        const Outcome fast = run(ave_data, p, in, mask);
        const Outcome literal = run(pkt::literal_average, p, in, mask);
        EXPECT_TRUE(same(fast, literal)) << "beam centre " << c.bx << ", " << c.by;
    }
}

// The inputs whose sums once took a separate sub-pixel loop, against the
// literal formulae: pixels in use whose value or uncertainty is infinite or
// not a number (inside the sector: the refusal of the bin; outside it:
// a curve), a beam centre so far away that sub-pixels round to the radius
// of the last bin's end (the refusal of the first pixel in use so placed,
// after the stars of the columns before; a curve once such pixels are
// masked), and a spacing or beam centre that is not finite.
TEST(FastAverage, NonFiniteValuesAndPixelsBeyondTheLastBinAsTheLiteralFormulae) {
    Data2D in, full, far_masked;
    in.intens.assign(kImageValues, 0), in.uncert.assign(kImageValues, 0);
    full.intens.assign(kImageValues, 1), far_masked.intens.assign(kImageValues, 1);
    for (int k = 0; k < kDetPixels; ++k) {
        in.intens[k] = static_cast<float>(k % 97) - 20.0f, in.uncert[k] = static_cast<float>(k % 5 + 1);
        if (k % kDetSide < 24 || k / kDetSide < 24) far_masked.intens[k] = 0;
    }
    Param p{};
    p.simd = pkt::test_simd();
    p.px = p.py = 1, p.bin_width = 1, p.sam2det = 5000, p.src2sam = 10000, p.srcapp = 10, p.samapp = 5;
    p.wavelen = 6, p.dwavelen = 0.1f, p.bx = 64.5f, p.by = 63.5f;
    int refused_beyond = 0, refused_bin = 0, done = 0;
    auto check = [&](const Param& q, const Data2D& image, const Data2D& mask, const char* what) {
        const Outcome got = run(ave_data, q, image, mask), want = run(pkt::literal_average, q, image, mask);
        EXPECT_TRUE(same(got, want)) << what;
        BinSums sums;
        const Outcome with_sums = run([&](const Param& a, const Data2D& d, Data1D& o, const Data2D& m,
                                          const Console& con) { return ave_data_sums(a, d, o, m, sums, con); },
                                      q, image, mask);
        EXPECT_TRUE(same(with_sums, want)) << what << ", with the writer's sums";
        refused_beyond += want.st.reason.find("beyond the averaging radius") != std::string::npos;
        refused_bin += want.st.reason.find("would hold a value that is not finite") != std::string::npos;
        done += want.st.ok();
    };
    const float sectors[][2] = {{0, 6.2831855f}, {0.2f, 1.3f}, {3.5f, 4.0f}};
    for (const float bad : {INFINITY, -INFINITY, NAN}) {
        for (const auto& sector : sectors) {
            Param q = p;
            q.thmin = sector[0], q.thmax = sector[1];
            for (const int k : {100 + kDetSide * 70, 5 + kDetSide * 120}) {  // east of the centre; south-west
                Data2D image = in;
                image.intens[k] = bad;
                check(q, image, full, "a value not finite");
                image = in;
                image.uncert[k] = bad;
                check(q, image, full, "an uncertainty not finite");
            }
        }
    }
    for (const float centre : {1e8f, -3e7f, 2.5e7f}) {
        Param q = p;
        q.bx = centre, q.by = centre * 0.75f, q.bin_width = std::fabs(centre) / 4000;
        q.thmin = 0, q.thmax = 6.2831855f;
        check(q, in, full, "a far beam centre");
        check(q, in, far_masked, "a far beam centre, the far pixels masked");
    }
    for (const float bad : {NAN, INFINITY}) {
        Param q = p;
        q.thmin = 0, q.thmax = 6.2831855f;
        q.bx = bad;
        check(q, in, full, "a beam centre not finite");
        q = p, q.px = bad;
        check(q, in, full, "a spacing not finite");
    }
    EXPECT_GT(refused_beyond, 0);
    EXPECT_GT(refused_bin, 0);
    EXPECT_GT(done, 10);
}

TEST(FastAverage, RepeatedAdditionsEqualOneByOne) {
    std::mt19937 rng(77);
    auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int c = 0; c < 20000; ++c) {
        // Starting sums from subnormal to near the float limit, of both signs.
        const int scale = pick(2) ? pick(60) - 30 : pick(278) - 150;  // |s| < 2^127
        const float s = pick(8) == 0 ? 0.0f : static_cast<float>(std::ldexp(uni(-1, 1), scale));
        const int e = s == 0 ? pick(40) - 20 : std::ilogb(s);
        double add = 0;
        switch (pick(4)) {
            case 0: add = static_cast<float>(uni(-1e5, 1e5)) * 0.01; break;  // a pixel's term
            case 1: add = std::ldexp(2 * pick(9) - 8 + 1, e - 24); break;    // exact ties at s's ulp
            case 2: add = std::ldexp(uni(-1, 1), e - pick(30)); break;       // small against s
            default: add = std::ldexp(uni(-1, 1), e + pick(4)); break;       // across binades and zero
        }
        const uint32_t n = static_cast<uint32_t>(pick(4) ? pick(200) : pick(20000));
        float want = s;
        for (uint32_t k = 0; k < n; ++k) want = pk::to_float(want + add);
        const float got = pk::ave::add_repeated(s, add, n);
        ASSERT_EQ(pk::bits_of(got), pk::bits_of(want)) << std::hexfloat << "s " << s << " c " << add << " n " << n;
    }
}

}  // namespace
