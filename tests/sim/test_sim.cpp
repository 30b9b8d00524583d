// The measurement simulator (apps/pelkaro-sim): its defaults are the bundled
// example, a measurement at another geometry reduces with the real Pelkaro to
// the spheres it simulated, and impossible settings are refused.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"
#include "geometry.h"
#include "pelkaro/files.h"

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

// Without options the simulator writes the committed example, byte for byte,
// all but its direct-beam runs; with --transmission-runs those too, and the
// other files are the same.
TEST(Simulator, DefaultsRegenerateTheBundledExample) {
    const std::set<std::string> beam_runs = {"empty_beam.dat", "sample_beam.dat", "buffer_beam.dat"};
    for (const bool runs : {false, true}) {
        pkt::TempDir dir;
        ASSERT_EQ(simulate(dir, runs ? "--transmission-runs" : "").status, 0);
        std::size_t files = 0;
        for (const auto& e : fs::directory_iterator(kExamples)) {
            const std::string name = e.path().filename().string();
            if (e.path().extension() == ".py") continue;  // the scripts beside the measurement
            if (!runs && beam_runs.count(name) > 0) continue;
            ++files;
            EXPECT_EQ(pkt::read_file(dir / name), pkt::read_file(e.path().string())) << name;
        }
        EXPECT_EQ(files, runs ? 11u : 8u);
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator())),
                  files);
    }
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

// --resolution draws every neutron through the instrument.  The direct beam
// then has the spread the apertures give it: a point of the sample aperture
// (radius R2 = 5 mm) and one of the source aperture (R1 = 15 mm, L1 = 5 m
// before it) meet the detector (L2 = 5 m after it) at A (1 + L2/L1) - S L2/L1,
// so each axis has the variance R2^2 / 4 (1 + L2/L1)^2 + R1^2 / 4 (L2/L1)^2
// = 81.25 mm^2, 3.25 pixels^2, and counting at pixel centres adds 1/12; the
// ideal instrument's spot, a disc of 2.9 pixels, has 2.1 + 1/12.  The run
// names the option and Pelkaro reduces it.
TEST(Simulator, ResolutionDrawsEveryNeutronThroughTheInstrument) {
    pkt::TempDir dir;
    ASSERT_EQ(simulate(dir, "--resolution --monitor 100000").status, 0);
    std::istringstream in(pkt::read_file(dir / "direct_beam.dat"));
    std::vector<double> counts;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#' && line[0] != '<') {
            std::istringstream row(line);
            for (double v; row >> v;) counts.push_back(v);
        }
    ASSERT_EQ(counts.size(), 16384u);
    double n = 0, mx = 0, my = 0, vx = 0, vy = 0;
    const auto near = [](int k) { return std::hypot(k % 128 + 0.5 - 65.5, k / 128 + 0.5 - 62.5) < 15; };
    for (int k = 0; k < 16384; ++k)
        if (near(k)) n += counts[k], mx += counts[k] * (k % 128 + 0.5), my += counts[k] * (k / 128 + 0.5);
    mx /= n, my /= n;
    for (int k = 0; k < 16384; ++k)
        if (near(k)) vx += counts[k] * std::pow(k % 128 + 0.5 - mx, 2) / n, vy += counts[k] * std::pow(k / 128 + 0.5 - my, 2) / n;
    EXPECT_NEAR(mx, 65.5, 0.05);
    EXPECT_NEAR(my, 62.5, 0.05);
    EXPECT_NEAR(vx, 3.25 + 1.0 / 12, 0.12);
    EXPECT_NEAR(vy, 3.25 + 1.0 / 12, 0.12);
    EXPECT_NE(pkt::read_file(dir / "spheres.par").find("--monitor 100000 --resolution"), std::string::npos);
    EXPECT_EQ(pkt::run_param(dir, "spheres.par").status, 0);
}

// Impossible settings are refused with a reason and status 2, before any file
// is written; --help lists the options with their defaults.
TEST(Simulator, RefusesImpossibleSettings) {
    const char* bad[][2] = {
        {"--distance -5", "--distance must be from 500 to 100000 mm, not -5"},
        {"--sample-transmission 1.2", "--sample-transmission must be from 0.001 to 1, not 1.2"},
        {"--centre-x 140", "--centre-x must be on the detector"},
        {"--wavelength six", "--wavelength needs a number, not 'six'"},
        {"--monitor 2.5", "--monitor must be a whole number"},
        {"--radius", "--radius needs a value"},
        {"--colour blue", "unknown option '--colour'"},
        {"--resolution=yes", "--resolution takes no value"},
        {"--resolution --monitor 100000000", "--resolution would follow more than 4e+09 neutrons"},
        // Values Pelkaro would refuse in the parameter file, or that make a
        // run it cannot reduce.
        {"--distance 1e308", "--distance must be from 500 to 100000 mm, not 1e308"},
        {"--wavelength 1e-300", "--wavelength must be from 0.1 to 100 angstrom, not 1e-300"},
        {"--pixel-x 1e-30 --pixel-y 1e-30", "--pixel-x must be from 0.01 to 50 mm, not 1e-30"},
        {"--collimation 1e-300", "--collimation must be from 100 to 100000 mm"},
        {"--source-aperture 1e300", "--source-aperture must be from 0.01 to 1000 mm"},
        {"--thickness 1e-300", "--thickness must be from 0.001 to 10 cm"},
        {"--buffer-transmission 1e-30", "--buffer-transmission must be from 0.001 to 1"},
        {"--radius 1e300", "--radius must be from 1 to 100000 angstrom"},
        {"--contrast -1e300", "--contrast must be from -1e12 to 1e12 cm^-2"},
        {"--flat-monitor 10", "--flat-monitor must be a whole number from 100000 to 1000000000"},
        {"--dark-rate 1e300", "--dark-rate must be from 0 to 1000"},
        {"--distance 500 --pixel-x 50 --pixel-y 50",
         "the detector reaches 83.8 degrees from the beam (corner (0, 128) of the detector, 4632 mm from the beam "
         "centre at a distance of 500 mm); more than 60 degrees is beyond small-angle scattering: lengthen "
         "--distance, shrink the pixels or move the beam centre towards the middle"},
        {"--distance 100000 --pixel-x 0.01 --pixel-y 0.01 --dark-rate 0 --flat-monitor 100000",
         "the flat field would hold no counts in the 16287 pixels the mask keeps, so Pelkaro could not normalise "
         "the detector with it; raise --flat-monitor or --dark-rate, or shorten --distance"},
        {"--monitor 1 --time 1000000000 --dark-time 1 --thickness 0.001",
         "the reduced intensity could reach 5.9e+13 cm^-1 (ABSF 17), more than the 1e+13 that Pelkaro's "
         "single-precision sums of its uncertainties hold; raise --monitor, --dark-time or --thickness, or lower "
         "--time, --buffer-time or --dark-rate"},
    };
    for (const auto& b : bad) {
        pkt::TempDir dir;
        const SimResult r = simulate(dir, b[0]);
        EXPECT_EQ(r.status, 2) << b[0];
        EXPECT_EQ(r.err.rfind(std::string("pelkaro_sim: error: ") + b[1], 0), 0u) << b[0] << ": " << r.err;
        EXPECT_TRUE(fs::is_empty(dir.path())) << b[0];
    }
    pkt::TempDir dir;
    const int raw = std::system(("'" + kSim + "' --help > '" + (dir / "help") + "'").c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 0);
    const std::string help = pkt::read_file(dir / "help");
    for (const char* line : {"--distance MM", "(default 5000)", "--centre-y PIXELS", "(default 62.5)", "--seed N"})
        EXPECT_NE(help.find(line), std::string::npos) << line;
}

namespace {

// An option at one end of the values it accepts, and just beyond.
struct Bound {
    const char* within;
    const char* beyond;
};

// Every option's two ends.  The pixel spacings go together, as they must
// stay nearly square.
std::vector<Bound> accepted_extremes() {
    return {
        {"--distance 500", "--distance 499.9"},
        {"--distance 100000", "--distance 100001"},
        {"--collimation 100", "--collimation 99"},
        {"--collimation 100000", "--collimation 100001"},
        {"--source-aperture 0.01", "--source-aperture 0.0099"},
        {"--source-aperture 1000", "--source-aperture 1001"},
        {"--sample-aperture 0.01", "--sample-aperture 0.0099"},
        {"--sample-aperture 1000", "--sample-aperture 1001"},
        {"--wavelength 0.1", "--wavelength 0.099"},
        {"--wavelength 100", "--wavelength 101"},
        {"--spread 0", "--spread -0.01"},
        {"--spread 0.999999", "--spread 1"},
        {"--pixel-x 0.01 --pixel-y 0.01", "--pixel-x 0.0099 --pixel-y 0.01"},
        {"--pixel-x 50 --pixel-y 50", "--pixel-x 50 --pixel-y 51"},
        {"--pixel-x 0.5 --pixel-y 5", "--pixel-x 0.49 --pixel-y 5"},
        {"--centre-x 0 --centre-y 0", "--centre-x -0.1 --centre-y 0"},
        {"--centre-x 128 --centre-y 128", "--centre-x 128 --centre-y 128.1"},
        {"--radius 1", "--radius 0.99"},
        {"--radius 100000", "--radius 100001"},
        {"--volume-fraction 0", "--volume-fraction -0.01"},
        {"--volume-fraction 0.999999", "--volume-fraction 1"},
        {"--contrast -1e12", "--contrast -1.01e12"},
        {"--contrast 1e12", "--contrast 1.01e12"},
        {"--thickness 0.001", "--thickness 0.00099"},
        {"--thickness 10", "--thickness 10.1"},
        {"--sample-transmission 0.001", "--sample-transmission 0.00099"},
        {"--sample-transmission 1", "--sample-transmission 1.01"},
        {"--buffer-transmission 0.001", "--buffer-transmission 0.00099"},
        {"--buffer-transmission 1", "--buffer-transmission 1.01"},
        {"--monitor 1", "--monitor 0"},
        {"--monitor 1000000000", "--monitor 1000000001"},
        {"--buffer-monitor 1", "--buffer-monitor 0"},
        {"--buffer-monitor 1000000000", "--buffer-monitor 1000000001"},
        {"--time 1", "--time 0"},
        {"--time 1000000000", "--time 1000000001"},
        {"--buffer-time 1", "--buffer-time 0"},
        {"--buffer-time 1000000000", "--buffer-time 1000000001"},
        {"--dark-time 1", "--dark-time 0"},
        {"--dark-time 1000000000", "--dark-time 1000000001"},
        {"--flat-monitor 100000", "--flat-monitor 99999"},
        {"--flat-monitor 1000000000", "--flat-monitor 1000000001"},
        {"--dark-rate 0", "--dark-rate -0.001"},
        {"--dark-rate 1000", "--dark-rate 1001"},
        {"--flat-spread 0", "--flat-spread -0.01"},
        {"--flat-spread 0.15", "--flat-spread 0.16"},
    };
}

}  // namespace

// Every option at either end of the values it accepts makes a run that
// pelkaro-check passes without an error, and a value just beyond is refused:
// nothing the simulator accepts makes a parameter file or data that Pelkaro
// refuses.
TEST(Simulator, EveryAcceptedExtremeMakesARunPelkaroAccepts) {
    for (const Bound& b : accepted_extremes()) {
        pkt::TempDir dir;
        const SimResult beyond = simulate(dir, b.beyond);
        EXPECT_EQ(beyond.status, 2) << b.beyond << ": " << beyond.err;
        EXPECT_EQ(beyond.err.rfind("pelkaro_sim: error: ", 0), 0u) << b.beyond << ": " << beyond.err;
        EXPECT_TRUE(fs::is_empty(dir.path())) << b.beyond;
        const SimResult sim = simulate(dir, b.within);
        ASSERT_EQ(sim.status, 0) << b.within << ": " << sim.err;
        const std::string log = dir / "check.log";
        const int raw = std::system(("cd '" + dir.path() + "' && '" PELKARO_CHECK_EXE "' spheres.par > '" + log +
                                     "' 2>&1").c_str());
        const std::string said = pkt::read_file(log);
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 0) << b.within << ":\n" << said;
        EXPECT_NE(said.find("0 errors, "), std::string::npos) << b.within << ":\n" << said;
    }
}

// A run that cannot be written whole writes nothing: under a file-size limit
// that the first files fit and the flat field does not, or that no file
// fits, the earlier run in the directory stays byte for byte and no file of
// the new run, finished or not, is left beside it.
TEST(Simulator, AFailedRunLeavesTheEarlierRunWhole) {
    pkt::TempDir dir;
    ASSERT_EQ(simulate(dir, "").status, 0);
    std::map<std::string, std::string> before;
    for (const auto& e : fs::directory_iterator(dir.path()))
        before[e.path().filename().string()] = pkt::read_file(e.path().string());
    ASSERT_EQ(before.size(), 8u);
    for (long limit : {80000L, 1000L}) {
        pkt::RunOptions small;
        small.fsize_limit = limit;
        const pkt::RunResult r =
            pkt::run_program(kSim, {"--seed", "2", "--radius", "60", "--out", dir.path()}, dir.path(), small);
        EXPECT_EQ(r.signal, 0) << limit;
        EXPECT_EQ(r.status, 1) << limit;
        EXPECT_EQ(r.out, "") << limit;
        EXPECT_EQ(r.err.rfind("pelkaro_sim: error: could not write " + dir.path() + "/", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("; nothing written, the files already in " + dir.path() + " are unchanged\n"),
                  std::string::npos) << r.err;
        std::size_t files = 0;
        for (const auto& e : fs::directory_iterator(dir.path())) {
            const std::string name = e.path().filename().string();
            ++files;
            ASSERT_EQ(before.count(name), 1u) << "left behind: " << name;
            EXPECT_TRUE(pkt::read_file(e.path().string()) == before[name]) << name << " changed, limit " << limit;
        }
        EXPECT_EQ(files, before.size());
    }
    // Without the limit the same run replaces every file.
    const pkt::RunResult r = pkt::run_program(kSim, {"--seed", "2", "--radius", "60", "--out", dir.path()}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& [name, text] : before) {
        if (name == "beam_centre.par") continue;  // the same in every run
        EXPECT_FALSE(pkt::read_file(dir / name) == text) << name;
    }
}
