// The resolution kernels of the curve and the pixels' mean Q, held against a
// Monte Carlo of the instrument written here: neutrons from a point of the
// source aperture through a point of the sample aperture, landing anywhere
// in a pixel, with a wavelength from the triangle, the true Q taken from the
// exact directions in three dimensions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "literal_average.h"
#include "nxcansas_kernel.h"
#include "nxcansas_q.h"
#include "pelkaro/nxcansas.h"

namespace {

using pk::Data2D;
using pk::Param;
using pk::kDetPixels;
using pk::kDetSide;
using pk::kImageValues;

constexpr double kPi = 3.141592653589793;

// The example's instrument, lengths in mm: a pinhole camera at 5 m, 6 A.
Param instrument(double distance, double collimation, double wavelength) {
    Param p{};
    p.px = p.py = 5, p.bx = 65.5f, p.by = 62.5f;
    p.sam2det = static_cast<float>(distance), p.src2sam = static_cast<float>(collimation);
    p.srcapp = 15, p.samapp = 5;  // radii
    p.wavelen = static_cast<float>(wavelength), p.dwavelen = 0.1f, p.bin_width = 1;
    p.thmin = 0, p.thmax = static_cast<float>(2 * kPi);
    return p;
}

// Every pixel in use but a beam stop of `stop` pixels about the centre.
Data2D mask_with_stop(const Param& p, double stop) {
    Data2D m;
    m.intens.assign(kImageValues, 1.0f);
    for (int k = 0; k < kDetPixels; ++k) {
        const double dx = k % kDetSide + 0.5 - p.bx, dy = k / kDetSide + 0.5 - p.by;
        if (dx * dx + dy * dy < stop * stop) m.intens[static_cast<std::size_t>(k)] = 0.0f;
    }
    return m;
}

// The Monte Carlo's moments of |Q| over one bin, and its samples.
struct Moments {
    double w = 0, s1 = 0, s2 = 0;
    std::vector<std::pair<double, double>> samples;  // Q and weight
    double mean() const { return s1 / w; }
    double sigma() const { return std::sqrt(s2 / w - mean() * mean()); }
};

struct Draw {
    std::mt19937_64 rng{7};
    std::uniform_real_distribution<double> u{0.0, 1.0};
    void disc(double r, double& x, double& y) {
        const double rho = r * std::sqrt(u(rng)), phi = 2 * kPi * u(rng);
        x = rho * std::cos(phi), y = rho * std::sin(phi);
    }
};

// The true scattering vector of a neutron landing at (X, Y) from the beam
// centre (mm): its size, and its components across the beam.
struct TrueQ {
    double q, qx, qy;
};
TrueQ true_scattering(const Param& p, Draw& d, double X, double Y) {
    double sx, sy, ax, ay;
    d.disc(p.srcapp, sx, sy);
    d.disc(p.samapp, ax, ay);
    const double l1 = p.src2sam, l2 = p.sam2det;
    double in[3] = {ax - sx, ay - sy, l1}, out[3] = {X - ax, Y - ay, l2};
    const double ni = std::sqrt(in[0] * in[0] + in[1] * in[1] + in[2] * in[2]);
    const double no = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
    for (int i = 0; i < 3; ++i) in[i] /= ni, out[i] /= no;
    const double c = in[0] * out[0] + in[1] * out[1] + in[2] * out[2];
    const double lambda = p.wavelen * (1 + p.dwavelen * (d.u(d.rng) + d.u(d.rng) - 1));
    const double k = 2 * kPi / lambda;
    return {2 * k * std::sqrt(0.5 * (1 - c)), k * (out[0] - in[0]), k * (out[1] - in[1])};
}
double true_q(const Param& p, Draw& d, double X, double Y) { return true_scattering(p, d, X, Y).q; }

// The Monte Carlo over the bins `bins`: every pixel in use weighted by its
// sub-pixels in the bin, as the literal average counts them.
std::vector<Moments> monte_carlo(const Param& p, const Data2D& mask, const std::vector<int>& bins, int per_pixel) {
    pk::RadialBins rb;
    EXPECT_TRUE(pk::radial_bins(p, rb));
    std::vector<Moments> m(bins.size());
    Draw d;
    for (int k = 0; k < kDetPixels; ++k) {
        if (mask.intens[static_cast<std::size_t>(k)] == 0) continue;
        const int x = k % kDetSide, y = k / kDetSide;
        std::vector<int> count(static_cast<std::size_t>(rb.tot), 0);
        for (int a = 0; a < 10; ++a)
            for (int b = 0; b < 10; ++b) {
                const pkt::SubPixel s = pkt::subpixel_at(p, x, y, a, b, rb.tot, rb.max);
                ++count[static_cast<std::size_t>(s.where)];
            }
        for (std::size_t i = 0; i < bins.size(); ++i) {
            const int c = count[static_cast<std::size_t>(bins[i])];
            for (int n = 0; n < per_pixel * c / 100 + (c > 0); ++n) {
                const double X = (x + d.u(d.rng) - p.bx) * p.px, Y = (y + d.u(d.rng) - p.by) * p.py;
                const double q = true_q(p, d, X, Y), w = c / (per_pixel * c / 100.0 + (c > 0));
                m[i].w += w, m[i].s1 += w * q, m[i].s2 += w * q * q;
                m[i].samples.emplace_back(q, w);
            }
        }
    }
    return m;
}

// The kernel's cumulative distribution at q (its nodes are the mass points
// of a piecewise-linear density: half a node's weight on either side).
double kernel_cdf(const pk::CurveQ& c, std::size_t point, double q) {
    double f = 0;
    const std::size_t n = static_cast<std::size_t>(c.kernel_nodes);
    for (std::size_t j = 0; j < n; ++j) {
        const double at = c.kernel_q[point * n + j], w = c.kernel_weight[point * n + j];
        const double half = j + 1 < n ? 0.5 * (c.kernel_q[point * n + j + 1] - at) : 0.0;
        if (q >= at + half) f += w;
        else if (q > at - half && half > 0) f += w * (q - (at - half)) / (2 * half);
    }
    return f;
}

pk::CurveQ curve_of(const Param& p, const Data2D& mask, const std::vector<int>& bins, bool gravity) {
    pk::Spreads s;
    pk::ResolutionOptions opt;
    opt.gravity = gravity;
    EXPECT_TRUE(pk::instrument_spreads(p, opt, s));
    pk::CurveQ c;
    EXPECT_TRUE(pk::curve_kernels(p, mask, s, bins, c));
    return c;
}

// Mean, spread and shape of the kernels against the Monte Carlo (at 5 m and
// 1.5 m with 5 m of collimation, and at 15 m with 15 m, 10 A), beside the
// beam stop (where the bin's detector area lies well out from its centre)
// and further out; the kernel's weights add up to one and give its mean.
TEST(ResolutionKernel, AgreesWithAMonteCarloOfTheInstrument) {
    struct Config {
        double distance, collimation, wavelength;
    };
    for (const Config& g : {Config{5000, 5000, 6}, Config{1500, 5000, 6}, Config{15000, 15000, 10}}) {
        const double distance = g.distance;
        const Param p = instrument(g.distance, g.collimation, g.wavelength);
        const Data2D mask = mask_with_stop(p, 4.2);
        const std::vector<int> bins{4, 5, 12, 40, 80};
        const pk::CurveQ c = curve_of(p, mask, bins, false);
        const std::vector<Moments> mc = monte_carlo(p, mask, bins, 400);
        ASSERT_EQ(c.q.size(), bins.size());
        for (std::size_t i = 0; i < bins.size(); ++i) {
            const double n = static_cast<double>(mc[i].samples.size());
            ASSERT_GT(n, 1000) << bins[i];
            const double err = mc[i].sigma() / std::sqrt(n);
            EXPECT_NEAR(c.q[i], mc[i].mean(), 4 * err + 1e-4 * c.q[i]) << distance << " bin " << bins[i];
            EXPECT_NEAR(c.qdev[i], mc[i].sigma(), 0.02 * mc[i].sigma()) << distance << " bin " << bins[i];
            double sum = 0, mean = 0;
            for (int j = 0; j < c.kernel_nodes; ++j) {
                const std::size_t at = i * static_cast<std::size_t>(c.kernel_nodes) + static_cast<std::size_t>(j);
                sum += c.kernel_weight[at], mean += c.kernel_weight[at] * c.kernel_q[at];
            }
            EXPECT_NEAR(sum, 1, 1e-12);
            EXPECT_NEAR(mean, c.q[i], 1e-3 * c.qdev[i]);
            // Kolmogorov's distance between the kernel and the samples.
            std::vector<std::pair<double, double>> s = mc[i].samples;
            std::sort(s.begin(), s.end());
            double f = 0, worst = 0;
            for (const auto& [q, w] : s) {
                f += w / mc[i].w;
                worst = std::max(worst, std::fabs(f - kernel_cdf(c, i, q)));
            }
            EXPECT_LT(worst, 0.02) << distance << " bin " << bins[i];
        }
    }
}

// At 1.5 m a bin spans most of a kernel's width, where a spread of a few
// tenths of a percent too much fills a sphere's minima by several sigma at
// the example's counts: over ten bins the kernels' widths, the file's Qdev
// and the spread of the kernel's own nodes, lie within 0.15 % of the Monte
// Carlo's (whose mean ratio is known to 0.04 %).
TEST(ResolutionKernel, IsNotWidenedByItsQuadrature) {
    const Param p = instrument(1500, 5000, 6);
    const Data2D mask = mask_with_stop(p, 4.2);
    std::vector<int> bins;
    for (int b = 12; b <= 30; b += 2) bins.push_back(b);
    const pk::CurveQ c = curve_of(p, mask, bins, false);
    const std::vector<Moments> mc = monte_carlo(p, mask, bins, 4000);
    double file = 0, nodes = 0;
    for (std::size_t i = 0; i < bins.size(); ++i) {
        double var = 0;
        for (int j = 0; j < c.kernel_nodes; ++j) {
            const std::size_t at = i * static_cast<std::size_t>(c.kernel_nodes) + static_cast<std::size_t>(j);
            var += c.kernel_weight[at] * (c.kernel_q[at] - c.q[i]) * (c.kernel_q[at] - c.q[i]);
        }
        file += c.qdev[i] / mc[i].sigma() / static_cast<double>(bins.size());
        nodes += std::sqrt(var) / mc[i].sigma() / static_cast<double>(bins.size());
    }
    EXPECT_NEAR(file, 1, 0.0015);
    EXPECT_NEAR(nodes, 1, 0.0015);
}

// The neutrons' fall widens the kernels at 15 m and 10 A, a little more
// across the pixels above and below the beam than beside it, and moves their
// means by less than it widens them.
TEST(ResolutionKernel, GravityWidensTheKernelAtLongWavelengths) {
    Param p = instrument(15000, 15000, 10);
    p.srcapp = 10, p.samapp = 4;
    const Data2D mask = mask_with_stop(p, 4.2);
    const std::vector<int> bins{5, 20, 60};
    const pk::CurveQ with = curve_of(p, mask, bins, true), without = curve_of(p, mask, bins, false);
    // The fall's spread of the direction, worked out by hand: a neutron of
    // wavelength lambda falls g m^2 lambda^2 / (2 h^2) per metre squared; its
    // apparent direction moves by that times (L1 + L2) against the mean.
    const double per_m = 9.80665 * std::pow(1.67492750e-27 / 6.62607015e-34, 2) / 2 * 1e-20 * 100;  // lambda 10 A
    const double bend = per_m * 30;  // L1 + L2 = 30 m
    // (lambda/lambda0)^2 - its mean has the variance 4 s^2/6 + O(s^4) over the triangle.
    const double var_dir = bend * bend * 4 * 0.01 / 6;
    const double k0 = 2 * kPi / 10;
    for (std::size_t i = 0; i < bins.size(); ++i) {
        // Averaged over the azimuth, half of it lies along Q.
        const double added = with.qdev[i] * with.qdev[i] - without.qdev[i] * without.qdev[i];
        EXPECT_NEAR(added, 0.5 * k0 * k0 * var_dir, 0.15 * 0.5 * k0 * k0 * var_dir) << bins[i];
        EXPECT_LT(std::fabs(with.q[i] - without.q[i]), 0.2 * std::sqrt(added)) << bins[i];
    }
}

// The mean Q of a pixel over its area and the instrument, and its spreads
// along and across Q, against the Monte Carlo for pixels near and far from
// the beam.
TEST(PixelMeans, AgreeWithAMonteCarloOfTheInstrument) {
    const Param p = instrument(5000, 5000, 6);
    pk::Spreads s;
    ASSERT_TRUE(pk::instrument_spreads(p, pk::ResolutionOptions{}, s));
    std::vector<double> qx, qy, along, across;
    pk::pixel_means(p, &s, qx, qy, along, across);
    Draw d;
    for (const auto& [x, y] : {std::make_pair(70, 62), std::make_pair(65, 70), std::make_pair(120, 10)}) {
        const int k = x + kDetSide * y;
        double w = 0, mx = 0, my = 0, sxx = 0, syy = 0, sxy = 0;
        const int n = 40000;
        for (int i = 0; i < n; ++i) {
            const double X = (x + d.u(d.rng) - p.bx) * p.px, Y = (y + d.u(d.rng) - p.by) * p.py;
            // The vector a fitting program takes: the true |Q| along the
            // direction of the change of momentum across the beam.
            const TrueQ t = true_scattering(p, d, X, Y);
            const double across_beam = std::hypot(t.qx, t.qy);
            const double vx = t.q * t.qx / across_beam, vy = t.q * t.qy / across_beam;
            w += 1, mx += vx, my += vy, sxx += vx * vx, syy += vy * vy, sxy += vx * vy;
        }
        mx /= w, my /= w;
        const double cxx = sxx / w - mx * mx, cyy = syy / w - my * my, cxy = sxy / w - mx * my;
        const double norm = std::hypot(mx, my), ex = mx / norm, ey = my / norm;
        const double par = ex * ex * cxx + 2 * ex * ey * cxy + ey * ey * cyy;
        const double perp = ey * ey * cxx - 2 * ex * ey * cxy + ex * ex * cyy;
        const std::size_t i = static_cast<std::size_t>(k);
        EXPECT_NEAR(std::hypot(qx[i], qy[i]), norm, 4 * std::sqrt(par / n) + 1e-4 * norm) << x << "," << y;
        EXPECT_NEAR(along[i], std::sqrt(par), 0.03 * std::sqrt(par)) << x << "," << y;
        EXPECT_NEAR(across[i], std::sqrt(perp), 0.03 * std::sqrt(perp)) << x << "," << y;
    }
}

}  // namespace
