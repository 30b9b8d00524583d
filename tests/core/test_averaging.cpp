// Azimuthal averaging with Q resolution: bin layout, sub-pixel azimuths and
// sectors, and the curve checked bin for bin against arithmetic worked out here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "test_util.h"
#include "ave_data.h"

namespace {

const double kPi = 3.141592653589793;
float f(double v) { return static_cast<float>(v); }

Data2D image(float v) {
    Data2D d;
    d.intens.assign(kImageValues, v);
    d.uncert.assign(kImageValues, v);
    return d;
}
Data1D curve() {
    Data1D c;
    for (auto* a : {&c.x, &c.y, &c.dy, &c.dq, &c.area}) a->assign(kCurveValues, -7.0f);
    return c;
}
Param geometry(float px, float py, float bx, float by, float bin_width, float thmin, float thmax) {
    Param p{};
    p.simd = pkt::test_simd();
    p.px = px, p.py = py, p.bx = bx, p.by = by, p.bin_width = bin_width, p.thmin = thmin, p.thmax = thmax;
    p.sam2det = p.src2sam = 5000, p.srcapp = 10, p.samapp = 5, p.wavelen = 6, p.dwavelen = 0.1f;
    return p;
}

// Azimuth of the sub-pixel at (x, y), from 0 to 2 pi.
float azimuth(const Param& p, double x, double y) {
    float tx = f(f(x) - 1.0 * p.bx), ty = f(f(y) - 1.0 * p.by), az;
    if (tx == 0) az = ty >= 0 ? f(kPi / 2) : f(3 * kPi / 2);
    else az = f(std::atan(1.0 * ty / tx));
    if (tx < 0) az = f(az + kPi);
    if (az < 0) az = f(az + 2 * kPi);
    return az;
}

// The curve as the averaging is expected to produce it, worked out one
// sub-pixel at a time (its console text is not looked at here).
Data1D reference_average(const Param& p, const Data2D& in, const Data2D& mask) {
    Data1D o = curve();
    pkt::literal_average(p, in, o, mask);
    return o;
}

// Bit-for-bit equality of the filled bins; y and dy only where the bin has area.
::testing::AssertionResult same_curve(const Data1D& got, const Data1D& want) {
    if (got.num != want.num) return ::testing::AssertionFailure() << "num " << got.num << " vs " << want.num;
    auto bits = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    const char* const names[5] = {"x", "dq", "area", "y", "dy"};
    for (int i = 0; i < want.num; ++i) {
        bool full = want.area[i] != 0;
        const float g[5] = {got.x[i], got.dq[i], got.area[i], got.y[i], got.dy[i]};
        const float w[5] = {want.x[i], want.dq[i], want.area[i], want.y[i], want.dy[i]};
        for (int a = 0; a < (full ? 5 : 3); ++a)
            if (!bits(g[a], w[a]))
                return ::testing::AssertionFailure() << std::setprecision(9) << "bin " << i << " "
                                                     << names[a] << ": got " << g[a] << ", expected " << w[a];
    }
    return ::testing::AssertionSuccess();
}

// Averages with the console output collected; the average must succeed.
Data1D average(const Param& p, const Data2D& in, const Data2D& mask, std::string* out = nullptr) {
    Data1D c = curve();
    std::string text;
    EXPECT_TRUE(pkt::succeeded(ave_data(p, in, c, mask, Console{nullptr, &text})));
    if (out) *out = text;
    return c;
}

TEST(Averaging, WorkedGeometryBinsAndResolution) {
    Param p = geometry(5, 5, 64, 64, 1, 0, static_cast<float>(2 * kPi));
    Data2D in = image(2.0f), mask = image(1.0f);
    mask.intens[40 + 128 * 70] = 0.25f, mask.intens[41 + 128 * 70] = 0.0f;
    in.intens[40 + 128 * 70] = in.intens[41 + 128 * 70] = 1e6f;
    std::string out;
    Data1D c = average(p, in, mask, &out);
    EXPECT_EQ(out, "****************\n");
    ASSERT_EQ(c.num, 181);
    EXPECT_GT(c.area[90], 0.0f);  // the corners
    for (int i = 91; i < 181; ++i) EXPECT_EQ(c.area[i], 0.0f) << i;
    for (int i = 0; i <= 90; ++i) EXPECT_EQ(c.y[i], 2.0f) << i;  // masked pixels stay out
    EXPECT_EQ(c.x[0], 0.0f);
    EXPECT_NEAR(5000 * std::tan(2 * std::asin(c.x[1] * 6 / (4 * kPi))), 4.981001, 2e-6);
    EXPECT_NEAR(c.dq[0], 0.00213764, 6e-9);
    EXPECT_NEAR(c.x[90], 0.0936081, 6e-8);
    EXPECT_NEAR(c.dq[90], 0.00346621, 6e-9);
    EXPECT_TRUE(same_curve(c, reference_average(p, in, mask)));
}

TEST(Averaging, UnevenImagesAndSectors) {
    Param cases[] = {geometry(0.6f, 0.9f, 100.3f, 20.7f, 1.5f, 0, 0), geometry(1.1f, 0.8f, 30.2f, 96.0f, 1, 0, 0),
                     geometry(1, 1, 64.05f, 64.05f, 2.5f, 0, static_cast<float>(2 * kPi))};
    // Sector limits placed exactly on sub-pixel azimuths: the limits are
    // inclusive, and the additions of pi and 2 pi must round alike.
    cases[0].thmin = azimuth(cases[0], 110.15, 40.25), cases[0].thmax = azimuth(cases[0], 20.35, 90.75);
    cases[1].thmin = azimuth(cases[1], 10.35, 50.45), cases[1].thmax = azimuth(cases[1], 90.55, 20.25);
    Data2D in = image(0), mask = image(1.0f);
    for (int k = 0; k < kDetPixels; ++k) {
        in.intens[k] = static_cast<float>((k * 389) % 997) * 0.173f - 20.0f;
        in.uncert[k] = static_cast<float>((k * 211) % 991) * 0.0137f + 0.5f;
        if (k % 23 == 0) mask.intens[k] = static_cast<float>(k % 3) * 0.25f;
    }
    for (const Param& p : cases) EXPECT_TRUE(same_curve(average(p, in, mask), reference_average(p, in, mask)));
}

// Total area of a curve whose every filled bin must have the mean 1.
double area_of_ones(const Data1D& c) {
    double area = 0;
    for (int i = 0; i < c.num; ++i) {
        area += c.area[i];
        if (c.area[i] != 0) {
            EXPECT_EQ(c.y[i], 1.0f) << "bin " << i;
        }
    }
    return area;
}

TEST(Averaging, AzimuthOfSubPixelsOnTheCentreLines) {
    // Centre 64.05: the sub-pixels of column 64 with m = 0 have tx = 0 and
    // those of row 64 with n = 0 have ty = 0.
    const float c = 64.05f;
    struct Case { double angle; int subpixels; };
    const Case cases[] = {{kPi / 2, 640}, {3 * kPi / 2, 640}, {0, 639}, {kPi, 640}};
    Data2D in = image(1.0f), mask = image(1.0f);
    for (const Case& k : cases) {
        const float a = static_cast<float>(k.angle);
        Param p = geometry(1, 1, c, c, 1, a, a);
        Data1D got = average(p, in, mask);
        EXPECT_NEAR(area_of_ones(got), k.subpixels * 0.01, 1e-4) << k.angle;
        EXPECT_TRUE(same_curve(got, reference_average(p, in, mask)));
    }
    // A quarter sector takes exactly the pixels right of and below the centre.
    Data2D quad = image(1000.0f);
    for (int i = 64; i < 128; ++i)
        for (int j = 64; j < 128; ++j) quad.intens[i + 128 * j] = 1.0f;
    Data1D got = average(geometry(1, 1, 64, 64, 1, 0, static_cast<float>(kPi / 2)), quad, mask);
    EXPECT_NEAR(area_of_ones(got), 64 * 64, 0.3);  // float sums; one pixel more would add 1
}

TEST(Averaging, BinCountLimitAndNonFiniteValues) {
    Data2D in = image(1.0f), mask = image(1.0f);
    // 191.5 * sqrt(52^2 + 1) / 1 gives 9960 bins, within the curve arrays.
    EXPECT_EQ(average(geometry(52, 1, 0, 0, 1, 0, 7), in, mask).num, 9960);

    Data2D bad = image(1.0f);
    bad.intens[60 + 128 * 60] = INFINITY;
    const std::string ask = "the bin width and geometry ask for ";
    const std::string limit = " bins, more than the 10000 the curve holds; the curve cannot be averaged";
    struct Refusal {
        Param p;
        const Data2D* in;
        Code code;
        int keyword;
        std::string reason;   // the whole reason, or its beginning
        std::string console;  // the progress printed before it
    };
    const Refusal refused[] = {
        // 191.5 * sqrt(53^2 + 1) / 1 bins
        {geometry(53, 1, 0, 0, 1, 0, 7), &in, Code::too_many_bins, BINS, ask + "10151.3" + limit, ""},
        // no bin count at all
        {geometry(1, 1, 64, 64, NAN, 0, 7), &in, Code::too_many_bins, BINS, ask + "nan" + limit, ""},
        // far too many: 127.5 * sqrt(2) / 1e-30
        {geometry(1, 1, 64, 64, 1e-30f, 0, 7), &in, Code::too_many_bins, BINS, ask + "1.80312e+32" + limit, ""},
        // an infinite intensity: pixel (60, 60) reaches bins 4 and 5 of width 127.5 * sqrt(2) / 181
        {geometry(1, 1, 64, 64, 1, 0, 7), &bad, Code::not_finite, -1,
         "bin 4 would hold a value that is not finite (Q 0.000835, I inf, dI ", "****************\n"},
    };
    for (const Refusal& r : refused) {
        Data1D c = curve(), want = curve();
        std::string out;
        const Status st = ave_data(r.p, *r.in, c, mask, Console{nullptr, &out});
        SCOPED_TRACE(st.reason);
        EXPECT_EQ(st.stage, Stage::average);
        EXPECT_EQ(st.code, r.code);
        EXPECT_EQ(st.keyword, r.keyword);
        EXPECT_EQ(st.reason.substr(0, r.reason.size()), r.reason);
        EXPECT_EQ(st.text(), "ave_data -> " + st.reason + "\n");
        EXPECT_EQ(out, r.console);
        // The same words as the average worked out sub-pixel by sub-pixel.
        EXPECT_EQ(st.reason, pkt::literal_average(r.p, *r.in, want, mask).reason);
    }
}

}  // namespace
