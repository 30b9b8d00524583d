// I(phi), the orientation and the sector pairs of the library
// (pelkaro/aniso.h) on images made here: against the radial and sector
// averages of ave_data, against order parameters integrated by hand, and
// their refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ave_data.h"
#include "pelkaro/Pelkaro.h"
#include "pelkaro/aniso.h"
#include "test_util.h"

namespace {

using namespace pk;

constexpr double kPi = 3.141592653589793;

// The example's geometry with an off-centre beam.
Param geometry() {
    Param p{};
    p.px = p.py = 5, p.bx = 65.5f, p.by = 62.5f, p.bin_width = 1;
    p.sam2det = p.src2sam = 5000, p.srcapp = 10, p.samapp = 5, p.wavelen = 6, p.dwavelen = 0.1f;
    p.thmin = 0, p.thmax = static_cast<float>(2 * kPi);
    return p;
}

// Random values and uncertainties; a mask with a beam stop, an edge and
// some scattered dead pixels.
struct Scene {
    Data2D image, mask;
};
Scene random_scene(uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    Scene s;
    s.image.intens.assign(kImageValues, 0.0f), s.image.uncert.assign(kImageValues, 0.0f);
    s.mask.intens.assign(kImageValues, 1.0f);
    for (int k = 0; k < kDetPixels; ++k) {
        const int x = k % kDetSide, y = k / kDetSide;
        s.image.intens[k] = static_cast<float>(10 * u(g));
        s.image.uncert[k] = static_cast<float>(u(g));
        const bool stop = std::hypot(x + 0.5 - 65.5, y + 0.5 - 62.5) < 6;
        if (stop || x < 3 || y > 125 || g() % 50 == 0) s.mask.intens[k] = 0;
    }
    return s;
}

// The radial (or sector) average summed in double, one sub-pixel at a
// time as ave_data places them: each bin's sub-pixels and the sum of their
// pixels' values.  Pelkaro's own curve sums in float, within about 1e-4 of
// these.
struct Exact {
    std::vector<double> n, sum;
};
Exact exact_average(const Param& p, const Scene& s) {
    const float reach = static_cast<float>(std::sqrt(126.0 * 126 * 25 + 129.0 * 129 * 25));
    Exact e;
    e.n.assign(181, 0.0), e.sum.assign(181, 0.0);
    for (int i = 0; i < kDetSide; ++i)
        for (int j = 0; j < kDetSide; ++j) {
            if (!(s.mask.intens[i + 128 * j] > 0.25f)) continue;
            for (int m = 0; m < 10; ++m)
                for (int n = 0; n < 10; ++n) {
                    const pkt::SubPixel sp = pkt::subpixel_at(p, i, j, m, n, 181, reach);
                    if (!(p.thmin <= sp.az && sp.az <= p.thmax)) continue;
                    e.n[static_cast<std::size_t>(sp.where)] += 1;
                    e.sum[static_cast<std::size_t>(sp.where)] += s.image.intens[i + 128 * j];
                }
        }
    return e;
}

// Over a full ring whose limits are edges of the radial bins, I(phi) holds
// the sub-pixels of those bins, and its mean weighted by each bin's
// sub-pixels is their radial average: to 1e-12 of it summed in double, to
// 2e-4 of Pelkaro's curve with its float sums.
TEST(AnisoProfile, FullRingOnBinEdgesEqualsTheRadialAverage) {
    const Param p = geometry();
    const Scene s = random_scene(3);
    Data1D curve;
    ASSERT_TRUE(pkt::succeeded(ave_data(p, s.image, curve, s.mask, Console{nullptr, nullptr})));
    ASSERT_EQ(curve.num, 181);  // over the reach of the 192-pixel frame: 126 and 129 pixels along x and y
    const Exact exact = exact_average(p, s);
    const double bin_px = static_cast<double>(static_cast<float>(std::sqrt(126.0 * 126 * 25 + 129.0 * 129 * 25))) /
                          181 / 5;
    for (const int bins : {2, 36, 360}) {
        for (const auto& edges : {std::pair<int, int>{7, 10}, {8, 20}, {0, 30}, {40, 90}}) {
            AzimuthProfile prof;
            const Ring ring{Ring::Unit::pixels, edges.first * bin_px, edges.second * bin_px};
            ASSERT_TRUE(pkt::succeeded(azimuthal_profile(p, s.image, s.mask, ring, bins, prof)));
            double sum = 0, n = 0, want_sum = 0, want_n = 0, pelkaro = 0, pelkaro_area = 0;
            for (int b = 0; b < bins; ++b)
                if (prof.area[b] != 0) sum += prof.i[b] * prof.area[b] * 100, n += prof.area[b] * 100;
            for (int b = edges.first; b < edges.second; ++b) {
                want_sum += exact.sum[b], want_n += exact.n[b];
                if (curve.area[b] != 0) pelkaro += curve.y[b] * static_cast<double>(curve.area[b]), pelkaro_area += curve.area[b];
            }
            EXPECT_NEAR(n, want_n, 1e-9) << bins << " bins, " << edges.first;
            EXPECT_NEAR(sum / n, want_sum / want_n, 1e-12 * want_sum / want_n) << bins << " bins, " << edges.first;
            EXPECT_NEAR(sum / n, pelkaro / pelkaro_area, 2e-4 * sum / n) << bins << " bins, " << edges.first;
        }
    }
}

// The ANGS sectors [lo, hi] degrees of ave_data's rule, summed in double.
void add_sector(const Param& base, const Scene& s, double lo, double hi, Exact& total) {
    Param p = base;
    p.thmin = static_cast<float>(lo * kPi / 180), p.thmax = static_cast<float>(hi * kPi / 180);
    const Exact e = exact_average(p, s);
    total.n.resize(e.n.size(), 0.0), total.sum.resize(e.n.size(), 0.0);
    for (std::size_t b = 0; b < e.n.size(); ++b) total.n[b] += e.n[b], total.sum[b] += e.sum[b];
}

// A pair along 0 degrees wraps through 0: its sectors are those of ANGS
// 340-360, 0-20 and 160-200 together; and the two curves of a pair 90
// degrees wide cover the whole circle, as the full average does.
TEST(AnisoSectors, PairsAreTheSectorAveragesAndCoverTheCircle) {
    const Param p = geometry();
    const Scene s = random_scene(5);
    SectorPairs pairs;
    // Along 0 (through 0 degrees), and across 120, whose opposite is 300.
    ASSERT_TRUE(pkt::succeeded(sector_pairs(p, s.image, s.mask, 0.0, 40.0, pairs)));
    Exact want, across;
    for (const auto& sector : {std::pair<double, double>{340, 360}, {0, 20}, {160, 200}})
        add_sector(p, s, sector.first, sector.second, want);
    ASSERT_FALSE(pairs.along.bins.empty());
    SectorPairs turned;
    ASSERT_TRUE(pkt::succeeded(sector_pairs(p, s.image, s.mask, 30.0, 20.0, turned)));
    for (const auto& sector : {std::pair<double, double>{110, 130}, {290, 310}})
        add_sector(p, s, sector.first, sector.second, across);
    for (std::size_t k = 0; k < turned.across.bins.size(); ++k) {
        const int b = turned.across.bins[k];
        EXPECT_NEAR(turned.across.area[k] * 100, across.n[b], 1e-9) << b;
        EXPECT_NEAR(turned.across.i[k], across.sum[b] / across.n[b], 1e-12 * turned.across.i[k]) << b;
    }
    std::size_t filled = 0;
    for (double n : want.n) filled += n > 0;
    EXPECT_EQ(pairs.along.bins.size(), filled);
    for (std::size_t k = 0; k < pairs.along.bins.size(); ++k) {
        const int b = pairs.along.bins[k];
        EXPECT_NEAR(pairs.along.area[k] * 100, want.n[b], 1e-9) << b;
        EXPECT_NEAR(pairs.along.i[k], want.sum[b] / want.n[b], 1e-12 * pairs.along.i[k]) << b;
    }
    ASSERT_TRUE(pkt::succeeded(sector_pairs(p, s.image, s.mask, 17.3, 90.0, pairs)));
    Exact full;
    add_sector(p, s, 0, 360, full);
    std::vector<double> both_n(full.n.size(), 0.0), both_sum(full.n.size(), 0.0);
    for (const SectorCurve* c : {&pairs.along, &pairs.across})
        for (std::size_t k = 0; k < c->bins.size(); ++k)
            both_n[c->bins[k]] += c->area[k] * 100, both_sum[c->bins[k]] += c->area[k] * 100 * c->i[k];
    for (std::size_t b = 0; b < full.n.size(); ++b) {
        EXPECT_NEAR(both_n[b], full.n[b], 1e-9) << b;
        if (full.n[b] > 0) {
            EXPECT_NEAR(both_sum[b] / both_n[b], full.sum[b] / full.n[b], 1e-12 * both_sum[b] / both_n[b]) << b;
        }
    }
    Data1D curve;
    ASSERT_TRUE(pkt::succeeded(ave_data(p, s.image, curve, s.mask, Console{nullptr, nullptr})));
    for (std::size_t k = 0; k < pairs.along.bins.size(); ++k) EXPECT_EQ(pairs.along.q[k], curve.x[pairs.along.bins[k]]);
}

// An image whose pixels follow 1 + A cos 2(phi - phi0) (phi of the pixel's
// centre), uncertainty 0.1 each.
Scene harmonic_scene(double amplitude, double phi0_deg) {
    Scene s;
    s.image.intens.assign(kImageValues, 0.0f), s.image.uncert.assign(kImageValues, 0.1f);
    s.mask.intens.assign(kImageValues, 1.0f);
    for (int k = 0; k < kDetPixels; ++k) {
        const double dx = k % kDetSide + 0.5 - 65.5, dy = k / kDetSide + 0.5 - 62.5;
        const double phi = std::atan2(dy, dx);
        s.image.intens[k] = static_cast<float>(1 + amplitude * std::cos(2 * (phi - phi0_deg * kPi / 180)));
    }
    return s;
}

// For I = 1 + A cos 2 psi about the axis: <cos 2 psi> = A / 2, and with the
// weight |sin psi| over 0 .. pi: the integrals of sin, cos 2psi sin,
// cos^2 sin and cos 2psi cos^2 sin are 2, -2/3, 2/3 and 2/15, so
// <cos^2> = (2/3 + 2A/15) / (2 - 2A/3).
TEST(AnisoOrientation, OrderParametersOfAHarmonicPattern) {
    const Param p = geometry();
    for (const double a : {0.0, 0.3, 0.8})
        for (const double axis : {0.0, 37.0, 95.0, 179.0}) {
            const Scene s = harmonic_scene(a, axis);
            AzimuthProfile prof;
            Orientation o;
            ASSERT_TRUE(pkt::succeeded(azimuthal_profile(p, s.image, s.mask, Ring{Ring::Unit::pixels, 30, 50}, 72, prof)));
            ASSERT_TRUE(pkt::succeeded(orientation(prof, o)));
            const double cos_sq = (2.0 / 3 + 2 * a / 15) / (2 - 2 * a / 3);
            EXPECT_NEAR(o.order, a / 2, 2e-3) << a << " " << axis;
            EXPECT_NEAR(o.hermans, (3 * cos_sq - 1) / 2, 2e-3) << a << " " << axis;
            if (a == 0) continue;
            EXPECT_NEAR(std::remainder(o.phi0 - axis, 180.0), 0.0, 0.05) << a << " " << axis;
            EXPECT_NEAR(o.amplitude / o.mean, a, 0.02 * a);
            EXPECT_GT(o.order_dev, 0);
            EXPECT_EQ(o.bins_used, 72);
        }
}

// Refusals: the ring, the bins, the sectors, and a ring with nothing left.
TEST(AnisoRefusals, RingsBinsAndSectorsThatCannotBeMade) {
    const Param p = geometry();
    const Scene s = random_scene(7);
    AzimuthProfile prof;
    struct Case {
        Ring ring;
        int bins;
        Code code;
        const char* reason;
    };
    const Case cases[] = {
        {{Ring::Unit::q, 0.04, 0.02}, 36, Code::bad_parameter,
         "the ring's limits must be finite with 0 <= first < second; found 0.04 and 0.02"},
        {{Ring::Unit::q, 0.02, 0.02}, 36, Code::bad_parameter,
         "the ring's limits must be finite with 0 <= first < second; found 0.02 and 0.02"},
        {{Ring::Unit::q, 0.02, 0.04}, 1, Code::bad_parameter, "the number of azimuthal bins must be from 2 to 3600; found 1"},
        {{Ring::Unit::pixels, 200, 300}, 36, Code::no_pixels, "the ring from 200 to 300 pixels lies outside the detector"},
        {{Ring::Unit::q, 5, 6}, 36, Code::no_pixels, "the ring from 5 to 6 in Q lies outside the detector"},
        {{Ring::Unit::pixels, 0, 4}, 36, Code::no_pixels, "every pixel of the ring from 0 to 4 pixels is masked"},
    };
    for (const Case& c : cases) {
        const Status st = azimuthal_profile(p, s.image, s.mask, c.ring, c.bins, prof);
        EXPECT_EQ(st.code, c.code) << c.reason;
        EXPECT_EQ(st.reason, c.reason);
        EXPECT_EQ(st.stage, Stage::average);
    }
    Param no_wave = p;
    no_wave.wavelen = 0;
    EXPECT_EQ(azimuthal_profile(no_wave, s.image, s.mask, Ring{Ring::Unit::q, 0.01, 0.02}, 36, prof).code,
              Code::missing_keyword);
    SectorPairs pairs;
    for (const double width : {0.0, -5.0, 180.0, 200.0, std::nan("")})
        EXPECT_EQ(sector_pairs(p, s.image, s.mask, 10, width, pairs).code, Code::bad_parameter) << width;
    Scene bad = s;
    bad.image.intens[40 + 128 * 62] = std::nanf("");
    EXPECT_EQ(azimuthal_profile(p, bad.image, bad.mask, Ring{Ring::Unit::pixels, 20, 30}, 36, prof).code,
              Code::not_finite);
    EXPECT_EQ(sector_pairs(p, bad.image, bad.mask, 0, 30, pairs).code, Code::not_finite);
    Orientation o;
    AzimuthProfile two;
    ASSERT_TRUE(pkt::succeeded(azimuthal_profile(p, s.image, s.mask, Ring{Ring::Unit::pixels, 20, 30}, 2, two)));
    EXPECT_EQ(orientation(two, o).code, Code::no_pixels);
}

}  // namespace
