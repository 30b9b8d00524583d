// Solid-angle correction, sensitivity normalisation and correction, and the
// background subtraction with absolute scaling, each checked bit for bit
// against the arithmetic worked out here: evaluation in double from the
// stored floats, rounding to float exactly where a value is stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <iomanip>
#include <random>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "test_util.h"
#include "sens_cor.h"
#include "sub_data.h"

using namespace pk;

namespace {

using Arr = std::vector<float>;

float F(double v) { return static_cast<float>(v); }
Arr arr(float v) { return Arr(kImageValues, v); }
Data2D image(float v, float u) {
    Data2D d;
    d.intens = arr(v), d.uncert = arr(u);
    return d;
}
// A deterministic, uneven pixel pattern.
float pattern(int k, int a, float scale, float base) { return F((k * a) % 997) * scale + base; }
Param geometry(float px, float py, float bx, float by, float sam2det) {
    Param p{};
    p.px = px, p.py = py, p.bx = bx, p.by = by, p.sam2det = sam2det, p.abs_fact = 1.0f;
    return p;
}

// Bit-for-bit equality of two arrays, naming the first position that differs.
::testing::AssertionResult same_bits(const Arr& got, const Arr& want) {
    for (size_t k = 0; k < got.size() || k < want.size(); ++k)
        if (k >= got.size() || k >= want.size() || std::memcmp(&got[k], &want[k], sizeof(float)) != 0)
            return ::testing::AssertionFailure() << std::setprecision(9) << "position " << k << ": got "
                                                 << (k < got.size() ? got[k] : NAN) << ", expected "
                                                 << (k < want.size() ? want[k] : NAN);
    return ::testing::AssertionSuccess();
}

// 1/cos^3 of the angle under which the sample sees the centre of pixel (x, y).
float solid_angle_factor(const Param& p, int x, int y) {
    double dx = x + 0.5 - p.bx, dy = y + 0.5 - p.by;
    float th = F(std::atan(F(std::sqrt(dx * dx * p.px * p.px + dy * dy * p.py * p.py)) / double(p.sam2det)));
    double c = std::cos(double(th));
    return F(1.0 / (c * c * c));
}

TEST(SolidAngle, WorkedExamplesMirrorAndWholeImage) {
    Param p = geometry(1, 1, 64.5f, 64.5f, 64);
    Data2D d = image(10.0f, 2.0f);
    for (int k = 0; k < kImageValues; ++k) d.intens[k] = pattern(k, 31, 0.5f, 1.0f);
    const int centre = 64 + 128 * 64, edge = 128 * 64, side = 64;
    d.intens[centre] = 10.0f, d.intens[edge] = 0.0f, d.intens[side] = 10.0f;
    Data2D want = d;
    for (int k = 0; k < kDetPixels; ++k) {  // positions 16384 on stay as they are
        double f = solid_angle_factor(p, k % 128, k / 128);
        want.intens[k] = F(want.intens[k] * f), want.uncert[k] = F(want.uncert[k] * f);
    }
    ASSERT_TRUE(pkt::succeeded(jacobian(p, d)));
    EXPECT_EQ(d.intens[centre], 10.0f);  // on the beam axis f = 1
    EXPECT_EQ(d.uncert[centre], 2.0f);
    EXPECT_EQ(d.intens[edge], 0.0f);  // a zero stays zero, its uncertainty scales
    EXPECT_NEAR(d.uncert[edge], 2 * 2.828427, 2e-6);
    EXPECT_NEAR(d.intens[side], 28.28427, 2e-5);
    EXPECT_TRUE(same_bits(d.intens, want.intens));
    EXPECT_TRUE(same_bits(d.uncert, want.uncert));

    Param q = geometry(2, 2, 64.5f, 64.5f, 90.50967f);  // pixel (32, 32) lies 2*sqrt(2*32^2) out
    Data2D e = image(1.0f, 1.0f);
    ASSERT_TRUE(pkt::succeeded(jacobian(q, e)));
    EXPECT_NEAR(e.intens[32 + 128 * 32], 2.828427, 2e-6);

    // Exchanging px with py and bx with by mirrors the factors about the diagonal.
    Data2D a = image(1.0f, 1.0f), b = image(1.0f, 1.0f);
    ASSERT_TRUE(pkt::succeeded(jacobian(geometry(0.7f, 1.3f, 40.2f, 80.9f, 150), a)));
    ASSERT_TRUE(pkt::succeeded(jacobian(geometry(1.3f, 0.7f, 80.9f, 40.2f, 150), b)));
    int asym = 0;
    for (int k = 0; k < kDetPixels; ++k) asym += a.intens[k] != b.intens[k / 128 + 128 * (k % 128)];
    EXPECT_EQ(asym, 0);
    EXPECT_EQ(a.intens[5 + 128 * 100], solid_angle_factor(geometry(0.7f, 1.3f, 40.2f, 80.9f, 150), 5, 100));
}

TEST(SolidAngle, RefusesAnAngleBeyondNinetyDegrees) {
    // With a tiny distance the angle, stored as a float, rounds past pi/2,
    // first at the corner pixel (0, 0), 90.5 pixels out.
    Data2D d = image(1.0f, 1.0f);
    const Status st = jacobian(geometry(1, 1, 64.5f, 64.5f, 1e-7f), d);
    EXPECT_EQ(st.stage, Stage::solid_angle);
    EXPECT_EQ(st.code, Code::not_finite);
    const std::string reason = "the solid-angle factor of pixel (0, 0) is not a finite value of at least 1; check "
                               "the pixel spacing, beam center and sample-to-detector distance";
    EXPECT_EQ(st.reason, reason);
    EXPECT_EQ(st.text(), "jacobian -> " + reason + "\n");
    EXPECT_TRUE(same_bits(d.intens, arr(1.0f)));  // refused before any pixel
}

TEST(SensitivityNorm, WorkedExamplesAndRange) {
    Data2D s = image(1.0f, 0.0f), m = image(0.0f, 0.0f);
    const int a = 10 + 128 * 10, b = 20 + 128 * 20, c = 30 + 128 * 30, lo = 40, hi = 41, q = 5, out = 20000;
    const int used[6] = {a, b, c, lo, hi, out};
    const float raw[6] = {1, 2, 3, 0.96875f, 3.03125f, 2};  // mean 2
    for (int i = 0; i < 6; ++i) s.intens[used[i]] = raw[i], m.intens[used[i]] = 1;
    s.intens[q] = 7, m.intens[q] = 0.25f;  // neither in the mean nor divided
    ASSERT_TRUE(pkt::succeeded(sens_norm(Param{}, s, m)));
    EXPECT_EQ(s.intens[a], 0.5f);  // both bounds included
    EXPECT_EQ(s.intens[b], 1.0f);
    EXPECT_EQ(s.intens[c], 1.5f);
    EXPECT_EQ(s.intens[out], 1.0f);  // positions beyond the detector take part
    EXPECT_EQ(s.uncert[a], 0.5f);
    EXPECT_NEAR(s.uncert[b], 0.7071068, 1e-7);
    EXPECT_NEAR(s.uncert[c], 0.8660254, 1e-7);
    EXPECT_EQ(m.intens[a] + m.intens[b] + m.intens[c] + m.intens[out], 4.0f);
    EXPECT_EQ(s.intens[lo], 0.484375f);  // out of range: excluded, value kept
    EXPECT_EQ(s.intens[hi], 1.515625f);
    EXPECT_EQ(m.intens[lo] + m.intens[hi], 0.0f);
    EXPECT_EQ(s.intens[q], 7.0f);
    EXPECT_EQ(m.intens[q], 0.0f);  // raw 7 lies outside the range

}

// A whole flat field of values of every magnitude: the sum, the mean and
// each quotient and root exactly as double arithmetic rounded to floats
// gives them (the normalisation takes some of them as float operations).
TEST(SensitivityNorm, WholeImageOfEveryMagnitudeAsDoubleArithmetic) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> exponent(-12.0, 12.0);
    Data2D s = image(0, 0), m = image(0, 0);
    for (int k = 0; k < kImageValues; ++k) {
        s.intens[k] = F(std::exp2(exponent(rng)));
        m.intens[k] = rng() % 5 == 0 ? 0.0f : 1.0f;
    }
    Data2D want_s = s, want_m = m;
    float sum = 0.0f;
    int count = 0;
    for (int k = 0; k < kImageValues; ++k) {
        want_s.uncert[k] = F(std::sqrt(double(s.intens[k])));
        if (m.intens[k] > 0.25f) sum = F(double(sum) + s.intens[k]), ++count;
    }
    const float mean = F(double(sum) / count);
    for (int k = 0; k < kImageValues; ++k) {
        if (m.intens[k] > 0.25f) {
            want_s.intens[k] = F(double(want_s.intens[k]) / mean);
            want_s.uncert[k] = F(double(want_s.uncert[k]) / mean);
        }
        if (want_s.intens[k] < 0.5f || want_s.intens[k] > 1.5f) want_m.intens[k] = 0.0f;
    }
    ASSERT_TRUE(pkt::succeeded(sens_norm(Param{}, s, m)));
    for (int k = 0; k < kImageValues; ++k) {
        ASSERT_EQ(pk::bits_of(s.intens[k]), pk::bits_of(want_s.intens[k])) << k;
        ASSERT_EQ(pk::bits_of(s.uncert[k]), pk::bits_of(want_s.uncert[k])) << k;
        ASSERT_EQ(m.intens[k], want_m.intens[k]) << k;
    }
}

TEST(SensitivityNorm, RefusesAnUnusableSensitivity) {
    const std::string mean = "the mean sensitivity of the ";
    const std::string file = "; the sensitivity file flat.dat cannot normalize the detector";
    const std::string none = "no detector pixel is left in the mask after removing those of extreme sensitivity";
    struct Case { const char* what; float value; int used; float extra; Code code; std::string reason; };
    const Case cases[] = {
        {"no pixel used", 1.0f, -1, 0, Code::not_finite, mean + "0 used pixels is 0.000000" + file},
        {"all-zero sensitivity", 0.0f, 100, 0, Code::not_finite, mean + "1 used pixels is 0.000000" + file},
        {"nothing left after clearing", 1.0f, 100, 100.0f, Code::no_pixels, none},  // 1 and 100 of mean 50.5
        {"only positions beyond the detector used", 1.0f, 20000, 0, Code::no_pixels, none}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Data2D s = image(c.value, 0.0f), m = image(0.0f, 0.0f);
        s.name = "flat.dat";
        if (c.used >= 0) m.intens[c.used] = 1;
        if (c.extra > 0) s.intens[c.used + 1] = c.extra, m.intens[c.used + 1] = 1;
        const Status st = sens_norm(Param{}, s, m);
        EXPECT_EQ(st.stage, Stage::sensitivity);
        EXPECT_EQ(st.code, c.code);
        EXPECT_EQ(st.keyword, SENS);
        EXPECT_EQ(st.reason, c.reason);
        EXPECT_EQ(st.text(), "sens_norm -> " + c.reason + "\n");
    }
}

// The flat-field correction of image d worked out here: each used pixel's
// quotient by its efficiency and the uncertainty of a quotient of two
// independent values (a value or efficiency of zero: its variance alone);
// the uncertainty cleared where the mask clears the pixel.
Data2D corrected(const Data2D& d, const Data2D& s, const Data2D& m) {
    Data2D want = d;
    for (int k = 0; k < kImageValues; ++k) {
        const float i = d.intens[k], u = d.uncert[k], si = s.intens[k], su = s.uncert[k];
        if (m.intens[k] < 0.25f) want.uncert[k] = 0.0f;
        if (!(m.intens[k] > 0.25f)) continue;
        const float vi = F(1.0 * u * u), vs = F(1.0 * su * su);
        const float t1 = i != 0 ? F(vi / double(F(1.0 * i * i))) : vi;
        const float t2 = si != 0 ? F(vs / double(F(1.0 * si * si))) : vs;
        want.intens[k] = F(i / double(si));
        want.uncert[k] = F(want.intens[k] * std::sqrt(double(F(double(t1) + t2))));
    }
    return want;
}

TEST(SensitivityCorrection, WorkedExamplesAndWholeImage) {
    Data2D d = image(0, 0), s = image(0, 0), m = image(1.0f, 0);
    for (int k = 0; k < kImageValues; ++k) {
        d.intens[k] = pattern(k, 389, 1.0f, 0.0f);  // some zero counts
        d.uncert[k] = d.intens[k] == 0 ? 1.0f : F(std::sqrt(d.intens[k]));
        s.intens[k] = pattern(k, 211, 0.0009f, 0.55f), s.uncert[k] = pattern(k, 101, 0.00007f, 0.01f);
        if (k % 7 == 3) m.intens[k] = 0.0f;
    }
    const int ex = 1000, zero = 1001, off = 1002, quarter = 1003, beyond = 30000;
    d.intens[ex] = 100, d.uncert[ex] = 10, s.intens[ex] = 0.8f, s.uncert[ex] = 0.04f;
    d.intens[zero] = 0, d.uncert[zero] = 1;
    m.intens[off] = 0.0f, m.intens[quarter] = 0.25f, m.intens[beyond] = 1.0f;
    const Data2D want = corrected(d, s, m);
    for (const Simd simd : {Simd::widest, Simd::sse2, Simd::avx2}) {  // every width of loop
        Param p{};
        p.simd = simd;
        Data2D got = d;
        ASSERT_TRUE(pkt::succeeded(sens_cor(p, got, s, m)));
        EXPECT_EQ(got.intens[ex], 125.0f);
        EXPECT_NEAR(got.uncert[ex], 13.975425, 2e-6);
        EXPECT_EQ(got.intens[zero] + got.uncert[zero], 0.0f);
        EXPECT_EQ(got.uncert[off], 0.0f);                      // intensity kept
        EXPECT_EQ(got.uncert[quarter], want.uncert[quarter]);  // 0.25: neither used nor cleared
        EXPECT_NE(got.intens[beyond], pattern(beyond, 389, 1.0f, 0.0f));
        EXPECT_TRUE(same_bits(got.intens, want.intens));
        EXPECT_TRUE(same_bits(got.uncert, want.uncert));
    }
}

// The widths of loop against the arithmetic above on values of every
// magnitude: counts and efficiencies from 1e-40 (below the normal floats)
// to 1e30, zeros, negative values, squares that overflow or vanish.
TEST(SensitivityCorrection, EveryWidthOnValuesOfEveryMagnitude) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> exponent(-40.0, 30.0), unit(-1.0, 1.0);
    const auto any = [&] {
        const double r = unit(rng);
        return r < -0.9 ? 0.0f : F(std::copysign(std::pow(10.0, exponent(rng)), r));
    };
    Data2D d = image(0, 0), s = image(0, 0), m = image(1.0f, 0);
    for (int k = 0; k < kImageValues; ++k) {
        d.intens[k] = any(), d.uncert[k] = std::fabs(any());
        s.intens[k] = any(), s.uncert[k] = std::fabs(any());
        if (k % 11 == 5) m.intens[k] = 0.0f;
    }
    const Data2D want = corrected(d, s, m);
    for (const Simd simd : {Simd::widest, Simd::sse2, Simd::avx2}) {
        Param p{};
        p.simd = simd;
        Data2D got = d;
        ASSERT_TRUE(pkt::succeeded(sens_cor(p, got, s, m)));
        EXPECT_TRUE(same_bits(got.intens, want.intens)) << static_cast<int>(simd);
        EXPECT_TRUE(same_bits(got.uncert, want.uncert)) << static_cast<int>(simd);
    }
}

// The correction of the pixels alone: the same bits on the 128 x 128 pixels,
// the values after them untouched, in every width of loop.
TEST(SensitivityCorrection, PixelsAloneAsInTheWholeImage) {
    Data2D d = image(0, 0), s = image(0, 0), m = image(1.0f, 0);
    for (int k = 0; k < kImageValues; ++k) {
        d.intens[k] = pattern(k, 389, 1.0f, 0.0f), d.uncert[k] = pattern(k, 97, 0.5f, 1.0f);
        s.intens[k] = pattern(k, 211, 0.0009f, 0.55f), s.uncert[k] = pattern(k, 101, 0.00007f, 0.01f);
        if (k % 7 == 3) m.intens[k] = 0.0f;
    }
    const Data2D want = corrected(d, s, m);
    for (const Simd simd : {Simd::widest, Simd::sse2, Simd::avx2}) {
        Param p{};
        p.simd = simd;
        Data2D got = d;
        ASSERT_TRUE(pkt::succeeded(sens_cor_pixels(p, got, s, m)));
        const auto pixels = [](const std::vector<float>& v) {
            return std::vector<float>(v.begin(), v.begin() + kDetPixels);
        };
        const auto rest = [](const std::vector<float>& v) {
            return std::vector<float>(v.begin() + kDetPixels, v.end());
        };
        EXPECT_TRUE(same_bits(pixels(got.intens), pixels(want.intens))) << static_cast<int>(simd);
        EXPECT_TRUE(same_bits(pixels(got.uncert), pixels(want.uncert))) << static_cast<int>(simd);
        EXPECT_TRUE(same_bits(rest(got.intens), rest(d.intens))) << static_cast<int>(simd);
        EXPECT_TRUE(same_bits(rest(got.uncert), rest(d.uncert))) << static_cast<int>(simd);
    }
}

// ---- Background subtraction ----------------------------------------------

struct Reduction {
    Param p = geometry(0.5f, 0.7f, 60.3f, 66.8f, 200);
    std::vector<Data2D> sam, buf;
    Data2D dc, mask = image(1.0f, 0.0f), res = image(9.0f, 9.0f);
};

Data2D entry(float tm, float monitor, float trans, float thick, int seed) {
    Data2D d = image(0, 0);
    d.tm = tm, d.monitor = monitor, d.trans = trans, d.thick = thick;
    for (int k = 0; k < kImageValues; ++k)
        d.intens[k] = pattern(k, seed, 0.37f, 50.0f), d.uncert[k] = pattern(k, seed + 2, 0.011f, 1.0f);
    return d;
}
Data2D ignored(float monitor, float trans) {
    Data2D d;  // time 0: never loaded, no pixel arrays
    d.monitor = monitor, d.trans = trans;
    return d;
}

// Runs the subtraction and returns its console; it must succeed unless its
// refusal is asked for.  Positions 16384 on of the result must stay 9.0.
std::string run_sub(Reduction& r, Status* refusal = nullptr) {
    std::string out;
    const Status st = sub_data(r.p, r.sam, r.buf, r.dc, r.mask, r.res, Console{nullptr, &out});
    if (refusal) *refusal = st;
    else EXPECT_TRUE(pkt::succeeded(st)) << out;
    EXPECT_EQ(std::count(r.res.intens.begin() + kDetPixels, r.res.intens.end(), 9.0f), kImageValues - kDetPixels);
    return out;
}

TEST(Subtraction, PrefactorBufferThresholdAndBeamCentre) {
    // Buffer times 0 (ignored), 0.25 + 0.25 (no buffer) and 0.3 + 0.3 (buffer).
    for (float t : {0.0f, 0.25f, 0.3f}) {
        Reduction r;
        r.p = geometry(1, 1, 64.5f, 64.5f, 40);
        r.sam = {entry(100, 1e6f, 0.5f, 0.1f, 7)};  // prefac = 1000 / 50000
        r.buf = {ignored(123, 0.3f)};
        if (t != 0) r.buf = {entry(t, 5e5f, 0.25f, 0.1f, 13), entry(t, 5e5f, 0.3f, 0.1f, 17)};
        r.dc.tm = -5;  // no dark current, no arrays
        const int centre = 64 + 128 * 64;
        r.sam[0].intens[centre] = 100, r.sam[0].uncert[centre] = 1;
        for (Data2D& b : r.buf)
            if (t != 0) b.intens[centre] = 10;
        r.mask.intens[100] = 0.25f, r.mask.intens[101] = 0.26f;
        std::string out = run_sub(r);
        EXPECT_EQ(r.res.trans, 0.5f);
        if (t == 0) {
            EXPECT_EQ(out, "Entered sub_data()\nstot_time = 100.000000, stot_monitor = 1000000.000000, btot_time = "
                           "0.000000, btot_monitor = 123.000000\nfinished setting up the prefactor nonsense\n");
            EXPECT_EQ(r.res.uncert[centre], 0.02f);
        }
        // theta = 0 at the centre: strans = 0.5 and btrans = 0.25, so B = 2.
        EXPECT_EQ(r.res.intens[centre], F(0.02f * (t == 0.3f ? 60.0 : 100.0))) << t;
        EXPECT_EQ(r.res.intens[100] + r.res.uncert[100], 0.0f);
        EXPECT_NE(r.res.intens[101], 0.0f);
    }
}

TEST(Subtraction, DarkCurrentWithoutBuffer) {
    Reduction r;
    r.sam = {entry(100, 6e5f, 0.5f, 0.1f, 7), entry(50, 4e5f, 0.9f, 3.0f, 11)};
    r.buf = {ignored(1e5f, 0.3f)};
    r.dc = entry(50, 0, 0, 0, 19);
    const int k = 33 + 128 * 90;
    r.sam[0].intens[k] = 100, r.sam[0].uncert[k] = 3, r.sam[1].intens[k] = 60, r.sam[1].uncert[k] = 4;
    r.dc.intens[k] = 4, r.dc.uncert[k] = 2;
    std::string out = run_sub(r);
    EXPECT_NE(out.find("stot_time = 150.000000, stot_monitor = 1000000.000000, btot_time = 0.000000"),
              std::string::npos);
    // 160 - (150 / 50) * 4; variance 3^2 + 4^2 + 3^2 * 2^2.
    const double prefac = F(1000.0 / (0.5 * 1e6 * double(0.1f)));
    EXPECT_EQ(r.res.intens[k], F(prefac * 148));
    EXPECT_EQ(r.res.uncert[k], F(std::sqrt(61.0) * prefac));
}

TEST(Subtraction, RefusesValuesThatCannotBeNormalised) {
    struct Case {
        const char* what;
        std::function<void(Reduction&)> change;
        Code code;
        int keyword;      // the keyword whose first line is concerned, -1 for none
        std::string why;  // the reason, before "; the data cannot be reduced"
    };
    const Code bad = Code::bad_parameter, inf = Code::not_finite;
    const std::string monitor = "the total sample monitor count is not positive and finite";
    const Case cases[] = {
        {"zero transmission", [](Reduction& r) { r.sam[0].trans = 0; }, bad, DATS,
         "the transmission of the first sample is not positive"},
        {"negative thickness", [](Reduction& r) { r.sam[0].thick = -1; }, bad, DATS,
         "the thickness of the first sample is not positive"},
        {"zero monitor total", [](Reduction& r) { r.sam[0].monitor = r.sam[1].monitor = 0; }, bad, DATS, monitor},
        {"zero scaling factor", [](Reduction& r) { r.p.abs_fact = 0; }, bad, ABSF,
         "the absolute intensity scaling factor is not positive"},
        {"negative sample time", [](Reduction& r) { r.sam[1].tm = -10; }, bad, DATS,
         "a sample has a negative counting time"},
        {"negative buffer time", [](Reduction& r) { r.buf[1].tm = -5; }, bad, DATB,
         "a buffer in use has a negative counting time"},
        {"infinite prefactor", [](Reduction& r) { r.sam[0].trans = r.sam[0].thick = 1e-30f; }, inf, -1,
         "the normalisation prefactor is not finite"},
        {"infinite monitor total", [](Reduction& r) { r.sam[0].monitor = r.sam[1].monitor = 3e38f; }, bad, DATS,
         monitor},
        {"zero buffer monitor", [](Reduction& r) { r.buf[1].monitor = 0; }, bad, DATB,
         "the monitor total of the buffers in use is not positive and finite"},
        {"zero buffer transmission", [](Reduction& r) { r.buf[1].trans = 0; }, bad, DATB,
         "the transmission of the first buffer in use is not positive"},
        {"transmissions underflow", [](Reduction& r) { r.p.sam2det = 1e-6f; }, inf, -1,
         "the reduced value of pixel (0, 0) is not finite (transmission, geometry or counts out of range)"},
    };
    for (const Case& c : cases) {
        Reduction r;
        r.sam = {entry(100, 1e6f, 0.5f, 0.1f, 7), entry(50, 5e5f, 0.5f, 0.1f, 11)};
        r.buf = {ignored(7e5f, 0.3f), entry(120, 8e5f, 0.8f, 0.1f, 13)};
        c.change(r);
        SCOPED_TRACE(c.what);
        Status st;
        run_sub(r, &st);
        EXPECT_EQ(st.stage, Stage::subtraction);
        EXPECT_EQ(st.code, c.code);
        EXPECT_EQ(st.keyword, c.keyword);
        EXPECT_EQ(st.entry, c.keyword == DATS || c.keyword == DATB ? 0 : -1);  // the first sample or buffer
        EXPECT_EQ(st.reason, c.why + "; the data cannot be reduced");
        EXPECT_EQ(st.text(), "sub_data -> " + st.reason + "\n");
        if (std::string(c.what) != "transmissions underflow") {  // refused before any pixel
            EXPECT_TRUE(same_bits(r.res.intens, arr(9.0f)));
        }
    }
}

// Pixels whose reduced value is not finite: the refusal names the first in
// use, columns before rows ((3, 9) before (5, 2), a masked one left out),
// with every width of the packed loops; without them, every width gives the
// same image to the bit.
TEST(Subtraction, RefusesTheFirstPixelNotFiniteColumnsThenRowsAtEveryWidth) {
    Data2D want;
    for (const Simd simd : {Simd::widest, Simd::sse2, Simd::avx2}) {
        Reduction r;
        r.p.simd = simd;
        r.sam = {entry(100, 1e6f, 0.5f, 0.1f, 7), entry(50, 5e5f, 0.5f, 0.1f, 11)};
        r.buf = {ignored(7e5f, 0.3f), entry(120, 8e5f, 0.8f, 0.1f, 13)};
        r.dc = entry(50, 0, 0, 0, 19);
        run_sub(r);
        if (simd == Simd::widest) want = r.res;
        EXPECT_TRUE(same_bits(r.res.intens, want.intens));
        EXPECT_TRUE(same_bits(r.res.uncert, want.uncert));
        r.sam[0].intens[5 + 128 * 2] = INFINITY;
        r.sam[1].uncert[3 + 128 * 9] = NAN;
        r.sam[0].intens[2 + 128 * 0] = INFINITY, r.mask.intens[2 + 128 * 0] = 0;
        Status st;
        run_sub(r, &st);
        EXPECT_EQ(st.code, Code::not_finite);
        EXPECT_EQ(st.reason, "the reduced value of pixel (3, 9) is not finite (transmission, geometry or counts out "
                             "of range); the data cannot be reduced");
    }
}

}  // namespace
