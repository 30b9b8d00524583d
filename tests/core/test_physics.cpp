// Physics of a whole reduction: the bundled simulated measurement of dilute
// spheres (examples/) goes through the real executable, and its I(Q) curve is
// checked against the sphere model computed here, binned the way the program
// bins: every unmasked pixel carries the mean of the model over its 10 x 10
// sub-pixel points, and each sub-pixel goes to the radial bin of its radius.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"
#include "geometry.h"
#include "pelkaro/files.h"
#include "read_sans.h"

namespace fs = std::filesystem;

namespace {

// What the simulator put into the sample (apps/pelkaro-sim/sim_model.h): spheres of
// radius 80 A at volume fraction 0.01 with a contrast of 3.5e10 cm^-2.
constexpr double kPi = 3.141592653589793;
constexpr double kRadius = 80.0;
const double kForward = 0.01 * (4.0 / 3.0 * kPi * std::pow(kRadius, 3) * 1e-24) * 3.5e10 * 3.5e10;
// The example's geometry: 5 mm pixels, 5000 mm, 6 A, beam centre 65.5 62.5, 1-pixel bins.
constexpr double kPixel = 5.0, kDistance = 5000.0, kLambda = 6.0, kBx = 65.5, kBy = 62.5;
const std::string kExamples = std::string(PELKARO_SOURCE_DIR) + "/examples";
const std::string kSim = PELKARO_SIM_EXE;

double sphere(double q) {
    const double x = q * kRadius;
    if (x < 1e-4) return kForward;
    const double f = 3.0 * (std::sin(x) - x * std::cos(x)) / (x * x * x);
    return kForward * f * f;
}

double q_at(double r) { return 4.0 * kPi / kLambda * std::sin(0.5 * std::atan(r / kDistance)); }

struct Point {  // one bin with area: the program's line and the model's
    double q = 0, y = 0, dy = 0, model = 0, q2 = 0, area = 0;
};

std::vector<int> read_mask(const std::string& path) {
    std::istringstream in(pkt::read_file(path));
    std::vector<int> mask;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') mask.push_back(std::stoi(line));
    return mask;
}

// The model curve: the bins that receive area, in order, with the area-weighted
// mean model value, mean Q^2 and the Q of the bin's inner edge.
std::vector<Point> model_curve(const std::vector<int>& mask) {
    const float reach_x = 191.5f - static_cast<float>(kBx), reach_y = 191.5f - static_cast<float>(kBy);
    const float max = static_cast<float>(std::sqrt(reach_x * reach_x * kPixel * kPixel + reach_y * reach_y * kPixel * kPixel));
    const int tot = static_cast<int>(max / static_cast<float>(kPixel)) + 1;
    const float bin = max / static_cast<float>(tot);
    std::vector<Point> bins(tot);
    for (int k = 0; k < 128 * 128; ++k) {
        if (mask.at(k) < 1) continue;
        double m = 0.0, q2 = 0.0;
        std::vector<int> idx;
        for (int a = 0; a < 10; ++a)
            for (int b = 0; b < 10; ++b) {
                const double x = k % 128 + (a + 0.5) * 0.1 - kBx, y = k / 128 + (b + 0.5) * 0.1 - kBy;
                const float r = static_cast<float>(std::sqrt(x * x * kPixel * kPixel + y * y * kPixel * kPixel));
                const double q = q_at(r);
                m += sphere(q) / 100.0;
                q2 += q * q / 100.0;
                idx.push_back(static_cast<int>(tot * static_cast<double>(r) / max));
            }
        for (int i : idx) bins[i].model += 0.01 * m, bins[i].q2 += 0.01 * q2, bins[i].area += 0.01;
    }
    std::vector<Point> out;
    for (int i = 0; i < tot; ++i) {
        if (bins[i].area == 0.0) continue;
        Point p = bins[i];
        p.model /= p.area;
        p.q2 /= p.area;
        p.q = q_at(i * static_cast<double>(bin));
        out.push_back(p);
    }
    return out;
}

// Reduces the measurement in `dir` (parameter file spheres.par) and pairs the
// lines of its .d1d with the model's bins.
std::vector<Point> reduce(const pkt::TempDir& dir) {
    const pkt::RunResult r = pkt::run_param(dir, "spheres.par");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Data reduction completed normally\n"), std::string::npos);
    std::vector<Point> pts = model_curve(read_mask(dir / "detector.mask"));
    std::istringstream in(pkt::read_file(dir / "sphere_sample.d1d"));
    size_t n = 0;
    for (double q, y, dy, dq; in >> q >> y >> dy >> dq; ++n) {
        if (n >= pts.size()) break;
        EXPECT_NEAR(q, pts[n].q, 2e-6) << "line " << n;
        pts[n].y = y;
        pts[n].dy = dy;
    }
    EXPECT_EQ(n, pts.size()) << "lines of the .d1d against bins with area";
    pts.resize(std::min(n, pts.size()));
    return pts;
}

// Bins with good counts: a ring of at least 30 pixels.
bool good(const Point& p) { return p.area >= 30.0 && p.dy > 0.0; }

struct Figures {
    double radius = 0, forward = 0, chi2 = 0, q_min = 0, q_min_model = 0;
    int min_bin = 0, min_bin_model = 0;
};

Figures analyse(const std::vector<Point>& pts) {
    Figures f;
    // Guinier: ln I = ln I(0) - Q^2 R^2 / 5 over QR <= 1, weighted by (I / dI)^2.
    double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, chi = 0;
    int n = 0;
    for (const Point& p : pts) {
        if (!good(p)) continue;
        chi += std::pow((p.y - p.model) / p.dy, 2);
        ++n;
        if (std::sqrt(p.q2) * kRadius > 1.0 || p.y <= 0.0) continue;
        const double w = std::pow(p.y / p.dy, 2), ly = std::log(p.y);
        sw += w, sx += w * p.q2, sy += w * ly, sxx += w * p.q2 * p.q2, sxy += w * p.q2 * ly;
    }
    const double slope = (sw * sxy - sx * sy) / (sw * sxx - sx * sx);
    f.radius = std::sqrt(-5.0 * slope);
    f.forward = std::exp((sy - slope * sx) / sw);
    f.chi2 = chi / n;
    // First minimum: the lowest bin around QR = 4.49, in the data and in the model.
    double low = 1e300, low_model = 1e300;
    for (size_t i = 0; i < pts.size(); ++i) {
        const double x = std::sqrt(pts[i].q2) * kRadius;
        if (!good(pts[i]) || x < 3.6 || x > 5.4) continue;
        if (pts[i].y < low) low = pts[i].y, f.min_bin = static_cast<int>(i), f.q_min = pts[i].q;
        if (pts[i].model < low_model) low_model = pts[i].model, f.min_bin_model = static_cast<int>(i), f.q_min_model = pts[i].q;
    }
    return f;
}

void expect_physics(const Figures& f, const char* what) {
    std::printf("%s: radius %.3f A (simulated %.1f), I(0) %.4f cm^-1 (simulated %.4f), first minimum at Q %.6f "
                "(model %.6f), reduced chi2 %.3f\n",
                what, f.radius, kRadius, f.forward, kForward, f.q_min, f.q_min_model, f.chi2);
    EXPECT_NEAR(f.radius, kRadius, 0.02 * kRadius) << what;
    EXPECT_NEAR(f.forward, kForward, 0.05 * kForward) << what;
    EXPECT_LE(std::abs(f.min_bin - f.min_bin_model), 1) << what;
    EXPECT_GT(f.chi2, 0.4) << what;
    EXPECT_LT(f.chi2, 1.2) << what;
}

void copy_examples(const pkt::TempDir& dir) {
    for (const auto& e : fs::directory_iterator(kExamples)) fs::copy(e.path(), dir / e.path().filename().string());
}

int simulate(const pkt::TempDir& dir, const std::string& args) {
    return std::system(("'" + kSim + "' " + args + " --out '" + dir.path() + "' > /dev/null").c_str());
}

}  // namespace

// The bundled example reduces to the simulated spheres on the absolute scale,
// and a second measurement with twice the thickness and two thirds of the
// monitor counts gives the same curve within its uncertainties.
TEST(Physics, SpheresOnAbsoluteScaleAtTwoThicknesses) {
    pkt::TempDir ex, other;
    copy_examples(ex);
    const std::vector<Point> a = reduce(ex);
    ASSERT_GT(a.size(), 60u);
    expect_physics(analyse(a), "bundled example");

    ASSERT_EQ(simulate(other, "--seed 2 --thickness 0.2 --monitor 1000000"), 0);
    const std::vector<Point> b = reduce(other);
    ASSERT_EQ(a.size(), b.size());
    expect_physics(analyse(b), "thickness 0.2 cm, monitor 1e6");
    double chi = 0, sum_ratio = 0, sum_w = 0;
    int n = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!good(a[i])) continue;
        const double var = a[i].dy * a[i].dy + b[i].dy * b[i].dy;
        chi += (a[i].y - b[i].y) * (a[i].y - b[i].y) / var;
        ++n;
        sum_ratio += b[i].y / a[i].y / var * a[i].y * a[i].y;
        sum_w += a[i].y * a[i].y / var;
    }
    std::printf("two measurements: reduced chi2 of the difference %.3f, mean ratio %.5f\n", chi / n, sum_ratio / sum_w);
    EXPECT_GT(chi / n, 0.3);
    EXPECT_LT(chi / n, 1.2);
    EXPECT_NEAR(sum_ratio / sum_w, 1.0, 0.002);
}

// The beam-centre run prints the mean row as X and the mean column as Y, in
// whole-pixel indices: "CNTR <Y + 0.5> <X + 0.5>" is the true beam centre.
TEST(Physics, BeamCentreRunGivesTheCentreInSwappedWholePixelUnits) {
    pkt::TempDir ex;
    copy_examples(ex);
    const pkt::RunResult r = pkt::run_param(ex, "beam_centre.par");
    ASSERT_EQ(r.status, 0) << r.out;
    const size_t at = r.out.find("The beam center is measured to be X = ");
    ASSERT_NE(at, std::string::npos) << r.out;
    double x = 0, y = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "The beam center is measured to be X = %lf, Y = %lf", &x, &y), 2);
    EXPECT_NEAR(y + 0.5, kBx, 0.05);
    EXPECT_NEAR(x + 0.5, kBy, 0.05);
    EXPECT_NE(pkt::read_file(ex / "spheres.par").find("\nCNTR 65.5 62.5\n"), std::string::npos);
}

// The committed example is what the simulator writes for its seed, byte for byte.
TEST(Physics, ExampleRegeneratesBitIdentically) {
    pkt::TempDir regen;
    ASSERT_EQ(simulate(regen, "--seed 1 --thickness 0.1 --monitor 1500000"), 0);
    int files = 0;
    for (const auto& e : fs::directory_iterator(regen.path())) {
        ++files;
        EXPECT_EQ(pkt::read_file(e.path().string()), pkt::read_file(kExamples + "/" + e.path().filename().string()))
            << e.path().filename();
    }
    EXPECT_EQ(files, 8);
}
