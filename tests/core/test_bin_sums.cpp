// The sums the average takes for the NXcanSAS writer (ave_data_sums),
// against what they stand for: the mean Q of a bin against its sub-pixels
// taken one by one with Q = 4 pi / lambda sin(atan(r / L) / 2), and the
// standard deviation sqrt(sum w^2 sigma^2) / sum w and the neighbours'
// correlation against the scatter of the curve over many noisy images.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "ave_fast.h"
#include "ave_data.h"
#include "numbers.h"
#include "test_util.h"

namespace {

const double kPi = 3.141592653589793;

Param geometry(float bx, float by, float px, float distance, float bin_width) {
    Param p{};
    p.simd = pkt::test_simd();
    p.px = p.py = px, p.bx = bx, p.by = by, p.sam2det = distance, p.bin_width = bin_width;
    p.src2sam = 5000, p.srcapp = 15, p.samapp = 5, p.wavelen = 6, p.dwavelen = 0.1f;
    p.thmin = 0, p.thmax = static_cast<float>(2 * kPi);
    return p;
}

// Sums of Q and counts of the sub-pixels of every bin, one sub-pixel at a
// time: bins as the curve lays them out, Q from the arc tangent and sine.
void subpixel_means(const Param& p, const Data2D& mask, int tot, float max, std::vector<double>& q,
                    std::vector<double>& n) {
    q.assign(static_cast<std::size_t>(tot), 0.0), n.assign(static_cast<std::size_t>(tot), 0.0);
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    for (int i = 0; i < kDetSide; ++i)
        for (int j = 0; j < kDetSide; ++j) {
            if (!pk::pixel_used(mask.intens[i + kDetSide * j])) continue;
            for (int m = 0; m < 10; ++m)
                for (int k = 0; k < 10; ++k) {
                    const double dx = pk::to_float(i + (m + 0.5) * 0.1) - bx;
                    const double dy = pk::to_float(j + (k + 0.5) * 0.1) - by;
                    const double r = std::sqrt(dx * dx * px * px + dy * dy * py * py);
                    const int b = static_cast<int>(tot * static_cast<double>(pk::to_float(r)) / max);
                    q[static_cast<std::size_t>(b)] += 4 * kPi / p.wavelen * std::sin(0.5 * std::atan(r / p.sam2det));
                    n[static_cast<std::size_t>(b)] += 1;
                }
        }
}

// The mean Q of every bin to 1e-10, at the example's geometry, at one whose
// pixels span more than the Taylor series of the fast sums is taken over
// (large pixels close to the sample) and with a ring of pixels masked.
TEST(BinSums, MeanQIsTheMeanOfTheSubPixels) {
    const Param cases[] = {geometry(65.5f, 62.5f, 5, 5000, 1), geometry(20.3f, 100.7f, 8, 600, 1.7f),
                           geometry(64.05f, 63.95f, 2, 3000, 0.5f)};
    for (const Param& p : cases) {
        Data2D image, mask;
        image.intens.assign(kImageValues, 1.0f), image.uncert.assign(kImageValues, 1.0f);
        mask.intens.assign(kImageValues, 1.0f);
        for (int k = 0; k < kDetPixels; ++k)
            if (std::hypot(k % kDetSide - 90.0, k / kDetSide - 40.0) < 6) mask.intens[k] = 0;
        Data1D rot;
        BinSums sums;
        ASSERT_TRUE(ave_data_sums(p, image, rot, mask, sums, Console{nullptr, nullptr}).ok());
        // The curve's bins, as ave_data makes them.
        const double X = p.bx > 95.0f ? p.bx + 0.5 : 191.5 - p.bx, Y = p.by > 95.0f ? p.by + 0.5 : 191.5 - p.by;
        const float max = pk::to_float(std::sqrt(X * X * p.px * p.px + Y * Y * p.py * p.py));
        std::vector<double> q, n;
        subpixel_means(p, mask, rot.num, max, q, n);
        ASSERT_EQ(sums.n.size(), n.size());
        int compared = 0;
        for (std::size_t b = 0; b < n.size(); ++b) {
            ASSERT_EQ(sums.n[b], n[b]) << "bin " << b;
            if (n[b] == 0) continue;
            EXPECT_NEAR(sums.q[b] / sums.n[b], q[b] / n[b], 1e-10 * q[b] / n[b]) << "bin " << b << ", px " << p.px;
            ++compared;
        }
        EXPECT_GT(compared, 40);
    }
}

// The Q of single sub-pixels as the sums take them, by the two-at-a-time
// (or scalar) loop and by the AVX-512 one where the processor has it: the
// same bits, and the formula's value to 1e-12, on pixels near and far from
// the beam centre, at a distance where the Taylor series is taken and at
// one where a pixel is too wide for it.
TEST(BinSums, SubPixelQOfEveryLoopIsTheFormulas) {
    const Param cases[] = {geometry(65.5f, 62.5f, 5, 5000, 1), geometry(20.3f, 100.7f, 8, 600, 1.7f)};
    for (const Param& p : cases)
        for (const auto& [i, j] : {std::pair{66, 62}, std::pair{0, 127}, std::pair{127, 0}, std::pair{90, 30}}) {
            double narrow[100], wide[100];
            pk::ave::subpixel_q_values(p, i, j, false, narrow);
            pk::ave::subpixel_q_values(p, i, j, true, wide);
            for (int k = 0; k < 100; ++k) {
                ASSERT_EQ(pk::bits_of(narrow[k]), pk::bits_of(wide[k])) << i << "," << j << " sub-pixel " << k;
                const double dx = pk::to_float(i + (k / 10 + 0.5) * 0.1) - static_cast<double>(p.bx);
                const double dy = pk::to_float(j + (k % 10 + 0.5) * 0.1) - static_cast<double>(p.by);
                const double r = std::sqrt(dx * dx * p.px * p.px + dy * dy * p.py * p.py);
                const double q = 4 * kPi / p.wavelen * std::sin(0.5 * std::atan(r / p.sam2det));
                ASSERT_NEAR(narrow[k], q, 1e-12 * q) << i << "," << j << " sub-pixel " << k;
            }
        }
    RecordProperty("wide_loop_compared", pk::ave::wide_loop(Simd::widest) ? "yes" : "no (no AVX-512 here)");
}

// 400 images of the same pixel values with Gaussian noise of each pixel's
// uncertainty (from 0.5 to 2.5): the curve's values scatter about their
// mean as sqrt(sum w^2 sigma^2) / sum w says, bin by bin and in total, and
// neighbours correlate as sum w w' sigma^2 says.  The .d1d's dI, which
// counts every sub-pixel as independent, overstates the scatter.
TEST(BinSums, UncertaintyAndCorrelationAreTheScatterOfNoisyImages) {
    const Param p = geometry(65.5f, 62.5f, 5, 5000, 1);
    Data2D image, mask;
    image.intens.assign(kImageValues, 0.0f), image.uncert.assign(kImageValues, 0.0f);
    mask.intens.assign(kImageValues, 1.0f);
    std::mt19937 rng(5);
    std::vector<float> truth(kDetPixels);
    for (int k = 0; k < kDetPixels; ++k) {
        truth[k] = static_cast<float>(10 + k % 7);
        image.uncert[k] = static_cast<float>(0.5 + 2.0 * std::uniform_real_distribution<double>(0, 1)(rng));
    }
    constexpr int kImages = 400;
    std::normal_distribution<double> gauss(0, 1);
    std::vector<std::vector<double>> curves;
    Data1D rot;
    BinSums sums;  // they depend on the uncertainties alone
    ASSERT_TRUE(ave_data_sums(p, image, rot, mask, sums, Console{nullptr, nullptr}).ok());
    for (int t = 0; t < kImages; ++t) {
        for (int k = 0; k < kDetPixels; ++k) image.intens[k] = static_cast<float>(truth[k] + image.uncert[k] * gauss(rng));
        ASSERT_TRUE(ave_data(p, image, rot, mask, Console{nullptr, nullptr}).ok());
        curves.emplace_back(rot.y.begin(), rot.y.begin() + rot.num);
    }
    // Bins 5 to 85: rings that reach the detector (its nearest edge at bin 62).
    double measured = 0, stated = 0, d1d = 0, corr_measured = 0, corr_stated = 0;
    for (int b = 5; b <= 85; ++b) {
        const auto moments = [&](int x, int y) {
            double mx = 0, my = 0, sxy = 0;
            for (const auto& c : curves) mx += c[x] / kImages, my += c[y] / kImages;
            for (const auto& c : curves) sxy += (c[x] - mx) * (c[y] - my) / (kImages - 1);
            return sxy;
        };
        const double var = moments(b, b), want = sums.w2var[b] / (sums.n[b] * sums.n[b]);
        EXPECT_NEAR(var / want, 1.0, 0.25) << "bin " << b;  // 400 images: 7 % per bin
        measured += var, stated += want, d1d += static_cast<double>(rot.dy[b]) * rot.dy[b];
        corr_measured += moments(b, b + 1) / std::sqrt(var * moments(b + 1, b + 1));
        corr_stated += sums.next_cov[b] / std::sqrt(sums.w2var[b] * sums.w2var[b + 1]);
    }
    RecordProperty("scatter_over_stated", std::to_string(measured / stated));
    RecordProperty("scatter_over_d1d", std::to_string(measured / d1d));
    EXPECT_NEAR(measured / stated, 1.0, 0.03);
    EXPECT_LT(measured / d1d, 0.8);  // the .d1d's dI is about 1.25 times too large
    EXPECT_NEAR(corr_measured / 81, corr_stated / 81, 0.02);
    EXPECT_GT(corr_stated / 81, 0.1);  // one-pixel bins share their pixels' sub-pixels
}

}  // namespace
