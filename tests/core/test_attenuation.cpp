// The sample's own wide-angle attenuation: the slab's exact share against
// Pelkaro's midpoint form T^(0.5/cos 2theta - 0.5) and values worked out by
// hand, and the factors of a curve and an image placed at their angles.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pelkaro/attenuation.h"

namespace {

constexpr double kPi = 3.141592653589793;

}  // namespace

// At T = 0.9 and 35 degrees: mu d = 0.1053605 x 0.2207746 = 0.0232609, and
// (1 - exp(-x)) / x = 1 - x/2 + x^2/6 - x^3/24 = 0.9884592; the midpoint form
// exp(-x/2) = 1 - x/2 + x^2/8 - ... differs by x^2/24 to second order.
TEST(Attenuation, TheSlabsShareAgainstTheMidpointFormAndByHand) {
    EXPECT_NEAR(pk::slab_attenuation(0.9, std::cos(35 * kPi / 180)), 0.9884592, 1e-7);
    for (const double t : {0.5, 0.8, 0.9, 0.99})
        for (int deg = 0; deg <= 40; deg += 5) {
            const double c = std::cos(deg * kPi / 180);
            const double x = -std::log(t) * (1 / c - 1);
            EXPECT_NEAR(pk::slab_attenuation(t, c) - std::pow(t, 0.5 / c - 0.5), x * x / 24, x * x * x / 10)
                << t << " " << deg;
        }
    EXPECT_EQ(pk::slab_attenuation(0.9, 1.0), 1.0);
    EXPECT_EQ(pk::slab_attenuation(1.0, 0.5), 1.0);
    for (const double bad : {0.0, -0.5, 1.5, std::nan("")}) EXPECT_EQ(pk::slab_attenuation(bad, 0.5), 1.0);
}

// A curve's factor at each Q (2theta = 2 asin(Q lambda / 4 pi)); an image's
// at each pixel centre (2theta = atan(r / L)): the two agree where a pixel's
// Q is the curve's.
TEST(Attenuation, CurveAndImageFactorsAtTheirAngles) {
    pk::Param p{};
    p.wavelen = 5.0f, p.px = p.py = 5.0f, p.bx = 64.0f, p.by = 64.5f, p.sam2det = 600.0f;
    const std::vector<double> image = pk::image_attenuation(p, 0.9);
    ASSERT_EQ(image.size(), 16384u);
    // Pixel (127, 64), centre (127.5, 64.5): r = 63.5 x 5 mm, 2theta = atan(317.5 / 600).
    const double two_theta = std::atan(317.5 / 600.0), q = 4 * kPi / 5.0 * std::sin(two_theta / 2);
    const std::vector<double> curve = pk::curve_attenuation(p, 0.9, {0.0, q, 10.0});
    EXPECT_EQ(curve[0], 1.0);
    EXPECT_NEAR(curve[1], image[127 + 128 * 64], 1e-12);
    EXPECT_NEAR(curve[1], 1 / pk::slab_attenuation(0.9, std::cos(two_theta)), 1e-12);
    EXPECT_EQ(curve[2], 1.0);  // beyond backscattering at 5 A
    std::vector<float> v{2.0f, 3.0f};
    pk::apply_factors(v, {1.5, 2.0});
    EXPECT_EQ(v, (std::vector<float>{3.0f, 6.0f}));
}
