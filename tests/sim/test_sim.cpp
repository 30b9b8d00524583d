// The measurement simulator (apps/pelkaro-sim): its defaults are the bundled
// example, a measurement at another geometry reduces with the real Pelkaro to
// the spheres it simulated, and impossible settings are refused.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

const std::string kExamples = std::string(PELKARO_SOURCE_DIR) + "/examples";
const std::string kSim = PELKARO_SIM_EXE;

struct SimResult {
    int status = -1;
    std::string err;
};

SimResult simulate(const pkt::TempDir& dir, const std::string& args) {
    const std::string err = dir / "sim.err";
    const int raw = std::system(("'" + kSim + "' " + args + " --out '" + dir.path() + "' > /dev/null 2> '" + err +
                                 "'").c_str());
    SimResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = pkt::read_file(err);
    fs::remove(err);
    return r;
}

// Sphere form factor of radius R at Q: [3 (sin x - x cos x) / x^3]^2, x = QR.
double sphere_form(double x) {
    const double f = 3.0 * (std::sin(x) - x * std::cos(x)) / (x * x * x);
    return f * f;
}

}  // namespace

// Without options the simulator writes the committed example, byte for byte.
TEST(Simulator, DefaultsRegenerateTheBundledExample) {
    pkt::TempDir dir;
    ASSERT_EQ(simulate(dir, "").status, 0);
    int files = 0;
    for (const auto& e : fs::directory_iterator(kExamples)) {
        if (e.path().extension() == ".py") continue;  // the scripts beside the measurement
        ++files;
        EXPECT_EQ(pkt::read_file(dir / e.path().filename().string()), pkt::read_file(e.path().string()))
            << e.path().filename();
    }
    EXPECT_EQ(files, 8);
}

// 2 m, 8 A and the beam far off the middle of the detector: Pelkaro reduces
// the files with the parameter file written beside them, the first minimum of
// the spheres lies where QR = 4.493 puts it, and the forward curve is on the
// absolute scale (I(0) = 0.01 * 4/3 pi R^3 * contrast^2 = 26.27 cm^-1).
TEST(Simulator, OtherGeometryReducesToTheSimulatedSpheres) {
    pkt::TempDir dir;
    ASSERT_EQ(simulate(dir, "--distance 2000 --wavelength 8 --centre-x 40.5 --centre-y 80.5 --seed 7").status, 0);
    const pkt::RunResult run = pkt::run_param(dir, "spheres.par");
    ASSERT_EQ(run.status, 0) << run.out;
    std::istringstream in(pkt::read_file(dir / "sphere_sample.d1d"));
    std::vector<double> q, y;
    for (double a, b, c, d; in >> a >> b >> c >> d;) q.push_back(a), y.push_back(b);
    ASSERT_GT(q.size(), 40u);

    const double radius = 80.0;
    const double forward = 0.01 * 4.0 / 3.0 * 3.141592653589793 * std::pow(radius, 3) * 1e-24 * 3.5e10 * 3.5e10;
    size_t expected = 0, lowest = 0;
    for (size_t i = 0; i + 1 < q.size(); ++i) {
        if (q[i] * radius <= 4.493 && 4.493 < q[i + 1] * radius) expected = i;  // inner edges of the bins
        if (q[i] * radius > 3.5 && q[i] * radius < 5.5 && (lowest == 0 || y[i] < y[lowest])) lowest = i;
        const double mid = 0.5 * (q[i] + q[i + 1]);
        if (mid * radius > 0.8 && mid * radius < 2.0) {
            const double model = forward * sphere_form(mid * radius);
            EXPECT_NEAR(y[i], model, 0.05 * model) << "Q " << mid;
        }
    }
    ASSERT_GT(expected, 0u);
    EXPECT_LE(std::abs(static_cast<long>(lowest) - static_cast<long>(expected)), 1L)
        << "minimum at Q " << q[lowest] << ", QR = 4.493 in the bin from " << q[expected];

    // The direct beam of the same run puts the beam centre where it was simulated.
    const pkt::RunResult centre = pkt::run_param(dir, "beam_centre.par");
    EXPECT_NE(centre.out.find("The beam center is measured to be X = 80.000000, Y = 40.000000"), std::string::npos)
        << centre.out;
}

// Impossible settings are refused with a reason and status 2, before any file
// is written; --help lists the options with their defaults.
TEST(Simulator, RefusesImpossibleSettings) {
    const char* bad[][2] = {
        {"--distance -5", "--distance must be greater than 0"},
        {"--sample-transmission 1.2", "--sample-transmission must be greater than 0 and at most 1"},
        {"--centre-x 140", "--centre-x must be on the detector"},
        {"--wavelength six", "--wavelength needs a number, not 'six'"},
        {"--monitor 2.5", "--monitor must be a whole number"},
        {"--radius", "--radius needs a value"},
        {"--colour blue", "unknown option '--colour'"},
    };
    for (const auto& b : bad) {
        pkt::TempDir dir;
        const SimResult r = simulate(dir, b[0]);
        EXPECT_EQ(r.status, 2) << b[0];
        EXPECT_NE(r.err.find(b[1]), std::string::npos) << b[0] << ": " << r.err;
        EXPECT_TRUE(fs::is_empty(dir.path())) << b[0];
    }
    pkt::TempDir dir;
    const int raw = std::system(("'" + kSim + "' --help > '" + (dir / "help") + "'").c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 0);
    const std::string help = pkt::read_file(dir / "help");
    for (const char* line : {"--distance MM", "(default 5000)", "--centre-y PIXELS", "(default 62.5)", "--seed N"})
        EXPECT_NE(help.find(line), std::string::npos) << line;
}
