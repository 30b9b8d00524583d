// pelkaro_sim --gravity: the neutrons that --resolution draws through the
// instrument fall over their flight.  The direct beam's centroid stays on the
// beam centre the parameter file gives (CNTR), and the beam's vertical spread
// grows by the spread of the neutrons' falls, worked out here by stepping a
// neutron's flight from the source aperture through the sample aperture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string kSim = PELKARO_SIM_EXE;
constexpr int kSide = 128;
constexpr double kPixelMm = 5.0;  // the simulator's default pixel spacing

pkt::RunResult simulate(const pkt::TempDir& dir, std::vector<std::string> args) {
    args.insert(args.end(), {"--out", dir.path()});
    return pkt::run_program(kSim, args, dir.path());
}

// The numbers of a file's lines that start with neither '#' nor '<'.
std::vector<double> values(const std::string& text) {
    std::istringstream in(text);
    std::vector<double> v;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#' && line[0] != '<') {
            std::istringstream row(line);
            for (double x; row >> x;) v.push_back(x);
        }
    return v;
}

// The beam centre on the parameter file's CNTR line.
void cntr(const std::string& par, double& x, double& y) {
    const std::size_t at = par.find("\nCNTR ");
    ASSERT_NE(at, std::string::npos);
    std::istringstream(par.substr(at + 6)) >> x >> y;
}

// Counts-weighted moments of the direct beam about its centroid, in pixels;
// `err_*` the statistical errors of the means and variances.
struct Moments {
    double n = 0, mx = 0, my = 0, vx = 0, vy = 0, err_mx = 0, err_my = 0, err_vx = 0, err_vy = 0;
};

// The pixels within `window` pixels of the beam centre (cx, cy), but for
// those the mask marks outside the beam stop (dead and hot ones, whose
// efficiency would pull the moments) and their mirror images through the
// centre, so that the pixels kept lie symmetrically about it.
Moments beam_moments(const std::vector<double>& counts, const std::vector<double>& mask, double cx, double cy,
                     double window) {
    std::vector<bool> use(counts.size(), true);
    for (int k = 0; k < kSide * kSide; ++k) {
        const double x = k % kSide + 0.5, y = k / kSide + 0.5;
        if (std::hypot(x - cx, y - cy) >= window) use[k] = false;
        if (mask[k] != 0 || std::hypot(x - cx, y - cy) < 6) continue;
        use[k] = false;
        const int mx = static_cast<int>(std::floor(2 * cx - x)), my = static_cast<int>(std::floor(2 * cy - y));
        if (mx >= 0 && mx < kSide && my >= 0 && my < kSide) use[mx + kSide * my] = false;
    }
    double s[5] = {0, 0, 0, 0, 0};  // sums of n, x, y, x^2, y^2
    double q[2] = {0, 0};           // of the fourth powers about the mean, for the variances' errors
    for (int pass = 0; pass < 2; ++pass)
        for (int k = 0; k < kSide * kSide; ++k) {
            if (!use[k]) continue;
            const double w = counts[k], x = k % kSide + 0.5, y = k / kSide + 0.5;
            if (pass == 0) {
                s[0] += w, s[1] += w * x, s[2] += w * y, s[3] += w * x * x, s[4] += w * y * y;
                continue;
            }
            q[0] += w * std::pow(x - s[1] / s[0], 4), q[1] += w * std::pow(y - s[2] / s[0], 4);
        }
    Moments m;
    m.n = s[0], m.mx = s[1] / s[0], m.my = s[2] / s[0];
    m.vx = s[3] / s[0] - m.mx * m.mx, m.vy = s[4] / s[0] - m.my * m.my;
    m.err_mx = std::sqrt(m.vx / m.n), m.err_my = std::sqrt(m.vy / m.n);
    m.err_vx = std::sqrt((q[0] / m.n - m.vx * m.vx) / m.n), m.err_vy = std::sqrt((q[1] / m.n - m.vy * m.vy) / m.n);
    return m;
}

// The moments of the counts of `file` of the run in `dir`, within `window`
// pixels of the beam centre the run's CNTR gives (cx, cy).
Moments moments(const pkt::TempDir& dir, const char* file, double window, double& cx, double& cy) {
    cntr(pkt::read_file(dir / "spheres.par"), cx, cy);
    const std::vector<double> counts = values(pkt::read_file(dir / file));
    const std::vector<double> mask = values(pkt::read_file(dir / "detector.mask"));
    EXPECT_EQ(counts.size(), 16384u);
    EXPECT_EQ(mask.size(), 16384u);
    if (counts.size() != 16384u || mask.size() != 16384u) return {};
    return beam_moments(counts, mask, cx, cy, window);
}

// How far a neutron of `lambda` angstrom has fallen at the detector below
// the straight line through the centres of the two apertures (metres, L1
// and L2 in metres): its flight stepped through time from the source
// aperture's centre at the horizontal speed h / (m lambda), gravity pulling
// it down, the vertical speed it starts with chosen so that it crosses the
// sample aperture's centre (the height reached is linear in it: two trial
// flights fix it).
double stepped_fall(double lambda, double l1, double l2) {
    const double v = 6.62607015e-34 / (1.67492750e-27 * lambda * 1e-10), g = 9.80665;
    const auto height = [v, g](double up, double path) {
        constexpr int kSteps = 4000;
        const double dt = path / v / kSteps;
        double y = 0, w = up;
        for (int i = 0; i < kSteps; ++i) {  // velocity Verlet
            const double half = w - 0.5 * g * dt;
            y += half * dt;
            w = half - 0.5 * g * dt;
        }
        return y;
    };
    const double at0 = height(0.0, l1), per = height(1.0, l1) - at0;
    const double up = -at0 / per;
    return -height(up, l1 + l2);
}

// The mean and variance of the fall (metres) over the triangular wavelength
// distribution of FWHM spread x lambda, by Simpson's rule on its density.
void fall_moments(double lambda, double spread, double l1, double l2, double& mean, double& var) {
    constexpr int kIntervals = 400;  // even, and a node at the peak
    double s0 = 0, s1 = 0, s2 = 0;
    for (int i = 0; i <= kIntervals; ++i) {
        const double t = -1 + 2.0 * i / kIntervals, density = 1 - std::fabs(t);
        const double w = (i == 0 || i == kIntervals) ? 1 : (i % 2 == 1 ? 4 : 2);
        const double f = stepped_fall(lambda * (1 + spread * t), l1, l2);
        s0 += w * density, s1 += w * density * f, s2 += w * density * f * f;
    }
    mean = s1 / s0;
    var = s2 / s0 - mean * mean;
}

}  // namespace

// At 15 m and 10 A (5 m collimation) the neutrons fall about 9 mm, two
// pixels: the collimation is aimed that far above the beam centre, and the
// direct beam's centroid lies on CNTR (the --centre given) within its
// statistical error, which is small enough to see the fall many times over.
// The run names the option, and the option needs --resolution and no value.
TEST(SimulatorGravity, DirectBeamCentroidLiesOnTheBeamCentre) {
    pkt::TempDir dir;
    const pkt::RunResult run = simulate(
        dir, {"--resolution", "--gravity", "--distance", "15000", "--wavelength", "10", "--monitor", "20000",
              "--dark-rate", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    double cx = 0, cy = 0;
    const Moments m = moments(dir, "direct_beam.dat", 1e9, cx, cy);
    EXPECT_EQ(cx, 65.5);
    EXPECT_EQ(cy, 62.5);
    EXPECT_NEAR(m.mx, cx, 3 * m.err_mx);
    EXPECT_NEAR(m.my, cy, 3 * m.err_my);
    double mean = 0, var = 0;
    fall_moments(10.0, 0.1, 5.0, 15.0, mean, var);
    EXPECT_NEAR(mean * 1e3, 9.415, 0.01);  // by hand: g m^2 <lambda^2> L2 (L1 + L2) / (2 h^2)
    EXPECT_GT(mean * 1e3 / kPixelMm, 30 * m.err_my);
    EXPECT_NE(pkt::read_file(dir / "spheres.par").find("--resolution --gravity"), std::string::npos);

    pkt::TempDir other;
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--gravity"}, {"--resolution", "--gravity=1"}}) {
        const pkt::RunResult r = simulate(other, bad);
        EXPECT_EQ(r.status, 2) << bad.back();
        EXPECT_EQ(r.err.rfind(bad.size() == 1 ? "pelkaro_sim: error: --gravity needs --resolution"
                                              : "pelkaro_sim: error: --gravity takes no value", 0), 0u) << r.err;
    }
    const pkt::RunResult help = pkt::run_program(kSim, {"--help"}, dir.path());
    EXPECT_NE(help.out.find("--gravity"), std::string::npos);
}

// 20 A neutrons with a 40 % spread over 10 m before and after the sample
// fall 25 mm on average and 8 mm more or less: the direct beam's vertical
// variance grows by the variance of the falls, its horizontal one stays,
// and its centroid stays on the beam centre.
TEST(SimulatorGravity, VerticalSpreadGrowsByTheSpreadOfTheFalls) {
    double mean = 0, var = 0;
    fall_moments(20.0, 0.4, 10.0, 10.0, mean, var);
    const double grow = var * 1e6 / (kPixelMm * kPixelMm);  // pixels^2
    Moments m[2];
    for (int gravity = 0; gravity < 2; ++gravity) {
        pkt::TempDir dir;
        std::vector<std::string> args = {"--resolution", "--distance", "10000", "--collimation", "10000",
                                         "--wavelength", "20", "--spread", "0.4", "--monitor", "2000",
                                         "--dark-rate", "0"};
        if (gravity) args.push_back("--gravity");
        const pkt::RunResult run = simulate(dir, args);
        ASSERT_EQ(run.status, 0) << run.err;
        double cx = 0, cy = 0;
        m[gravity] = moments(dir, "direct_beam.dat", 1e9, cx, cy);
        EXPECT_NEAR(m[gravity].mx, cx, 3 * m[gravity].err_mx) << gravity;
        EXPECT_NEAR(m[gravity].my, cy, 3 * m[gravity].err_my) << gravity;
    }
    // By hand: (25.065 mm)^2 (4 s^2 / 6 + s^4 (1/15 - 1/36)) for lambda^2 = lambda0^2 (1 + s t)^2, t triangular.
    EXPECT_NEAR(grow, 2.705, 0.01);
    const double err_y = std::hypot(m[0].err_vy, m[1].err_vy), err_x = std::hypot(m[0].err_vx, m[1].err_vx);
    EXPECT_NEAR(m[1].vy - m[0].vy, grow, 4 * err_y);
    EXPECT_NEAR(m[1].vx - m[0].vx, 0.0, 4 * err_x);
    EXPECT_GT(grow, 20 * err_y);
}

// The scattered neutrons fall too: those of each wavelength scatter about
// the direction the arc from the source aperture gives them at the sample,
// so the pattern of 20 A neutrons over 10 m before and after the sample
// (25 mm of fall, half of it before the sample) is centred on the beam
// centre, as the direct beam is, and as it is without gravity: the centroid
// of the sample's counts within 40 pixels of CNTR is the same with and
// without --gravity (the detector's efficiencies, the same in both, pull it
// alike).
TEST(SimulatorGravity, ScatteringIsCentredOnTheBeamCentre) {
    Moments m[2];
    for (int gravity = 0; gravity < 2; ++gravity) {
        pkt::TempDir dir;
        std::vector<std::string> args = {"--resolution", "--distance", "10000", "--collimation", "10000",
                                         "--wavelength", "20", "--monitor", "100000", "--dark-rate", "0"};
        if (gravity) args.push_back("--gravity");
        const pkt::RunResult run = simulate(dir, args);
        ASSERT_EQ(run.status, 0) << run.err;
        double cx = 0, cy = 0;
        m[gravity] = moments(dir, "sphere_sample.dat", 40, cx, cy);
        EXPECT_GT(m[gravity].n, 1e5);
    }
    EXPECT_NEAR(m[1].mx, m[0].mx, 3 * std::hypot(m[0].err_mx, m[1].err_mx));
    EXPECT_NEAR(m[1].my, m[0].my, 3 * std::hypot(m[0].err_my, m[1].err_my));
}
