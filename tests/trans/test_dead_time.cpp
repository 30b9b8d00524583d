// The detector's dead time: the non-paralysable factor worked out by hand,
// its refusals, pelkaro-trans's --dead-time on its command line, and on the
// simulator's direct beams counted with a dead time, ABSF brought back from
// more than 3 % low to within 0.3 % (or its uncertainty) of the simulator's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "pelkaro/trans.h"
#include "test_util.h"

namespace {

pkt::RunResult trans(const std::vector<std::string>& args, const std::string& cwd) {
    return pkt::run_program(PELKARO_TRANS_EXE, args, cwd);
}

double printed_value(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\n" + key + " ");
    return at == std::string::npos ? std::nan("") : std::atof(text.c_str() + at + key.size() + 2);
}

}  // namespace

// 5000 counts in 2 s with 1e-4 s dead time: the detector was dead a quarter
// of the time, so the true counts are 4/3 of those recorded.
TEST(DeadTime, NonParalysableFactorAndItsRefusals) {
    double f = 0;
    ASSERT_TRUE(pkt::succeeded(pk::dead_time_factor(5000, 2, 1e-4, f)));
    EXPECT_DOUBLE_EQ(f, 4.0 / 3.0);
    ASSERT_TRUE(pkt::succeeded(pk::dead_time_factor(5000, 2, 0, f)));
    EXPECT_EQ(f, 1.0);
    const pk::Status dead = pk::dead_time_factor(20000, 2, 1e-4, f);
    EXPECT_FALSE(dead.ok());
    EXPECT_EQ(dead.reason, "20000 counts in 2 s with a dead time of 0.0001 s: the detector would have been dead all "
                           "the time; is the dead time in seconds?");
    for (const double bad_time : {0.0, -1.0, std::nan("")}) EXPECT_FALSE(pk::dead_time_factor(1, bad_time, 0, f).ok());
    EXPECT_FALSE(pk::dead_time_factor(-1, 1, 0, f).ok());
    EXPECT_FALSE(pk::dead_time_factor(1, 1, -1e-6, f).ok());
}

// On the simulator's runs with a 30 us dead time: ABSF without the
// correction more than 3 % below the simulator's, with it within 0.3 % or
// its uncertainty; a dead time the counts cannot have had is refused by
// the file's name; a wrong value is a wrong command line.
TEST(DeadTime, CorrectedAbsfWithinThreeTenthsOfAPerCent) {
    pkt::TempDir dir;
    const pkt::RunResult sim = pkt::run_program(
        PELKARO_SIM_EXE, {"--transmission-runs", "--dead-time", "3e-5", "--out", dir.path()}, dir.path());
    ASSERT_EQ(sim.status, 0) << sim.err;
    const double truth = std::atof(sim.out.c_str() + sim.out.find("ABSF ") + 5);
    const std::vector<std::string> runs = {"--par", "spheres.par", "--attenuation", "0.0001", "--empty",
                                           "empty_beam.dat,120,120000", "sample_beam.dat,180,176940,sphere_sample.dat"};
    std::vector<std::string> corrected = runs;
    corrected.insert(corrected.end(), {"--dead-time", "3e-5"});
    const pkt::RunResult plain = trans(runs, dir.path()), fixed = trans(corrected, dir.path());
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(fixed.status, 0) << fixed.err;
    EXPECT_LT(printed_value(plain.out, "ABSF") / truth, 0.97) << plain.out;
    const double absf = printed_value(fixed.out, "ABSF");
    const double sigma = std::atof(fixed.out.c_str() + fixed.out.find("# ABSF uncertainty ") + 19);
    EXPECT_LT(std::fabs(absf / truth - 1), std::max(0.003, sigma / truth)) << fixed.out << truth;

    corrected.back() = "0.01";
    const pkt::RunResult dead = trans(corrected, dir.path());
    EXPECT_EQ(dead.status, 1);
    EXPECT_NE(dead.err.find("empty_beam.dat: "), std::string::npos) << dead.err;
    EXPECT_NE(dead.err.find("would have been dead all the time"), std::string::npos) << dead.err;
    for (const char* bad : {"-1e-6", "2", "x"}) {
        corrected.back() = bad;
        const pkt::RunResult r = trans(corrected, dir.path());
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.err.rfind(std::string("pelkaro-trans: error: --dead-time needs a dead time in seconds from 0 to "
                                          "1, not '") + bad + "'\n", 0), 0u) << r.err;
    }
}
