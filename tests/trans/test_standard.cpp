// ABSF from a secondary standard (pelkaro-trans --standard): the
// simulator's solvent buffer, a flat scatterer of 0.08 cm^-1 sr^-1 measured
// as a sample is, gives the simulator's ABSF within 0.5 % at 5 m and 2 m;
// a standard that cannot serve is refused by name, a wrong command line
// with status 2.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

pkt::RunResult trans(const std::vector<std::string>& args, const std::string& cwd) {
    return pkt::run_program(PELKARO_TRANS_EXE, args, cwd);
}

double printed_value(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\n" + key + " ");
    return at == std::string::npos ? std::nan("") : std::atof(text.c_str() + at + key.size() + 2);
}

// The buffer's line of the simulated parameter file as --standard's value.
std::string buffer_standard(const std::string& par) {
    const std::size_t at = par.find("\nDATB ") + 6;
    std::string line = par.substr(at, par.find('\n', at) - at);
    for (char& c : line)
        if (c == ' ') c = ',';
    return line;
}

}  // namespace

TEST(StandardGoals, AbsfFromTheSolventWithinHalfAPerCentOfTheSimulators) {
    for (const char* distance : {"5000", "2000"}) {
        pkt::TempDir dir;
        const pkt::RunResult sim =
            pkt::run_program(PELKARO_SIM_EXE, {"--transmission-runs", "--distance", distance, "--out", dir.path()}, dir.path());
        ASSERT_EQ(sim.status, 0) << sim.err;
        const double truth = std::atof(sim.out.c_str() + sim.out.find("ABSF ") + 5);
        const std::string standard = buffer_standard(pkt::read_file(dir / "spheres.par"));
        const pkt::RunResult r = trans({"--par", "spheres.par", "--standard", standard, "--cross-section", "0.08",
                                        "--empty", "empty_beam.dat,120,120000"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const double absf = printed_value(r.out, "ABSF");
        EXPECT_NEAR(absf / truth, 1.0, 0.005) << distance << " mm\n" << r.out;
        EXPECT_NE(r.out.find("from the standard solvent_buffer.dat"), std::string::npos) << r.out;
        // An uncertainty of the cross-section enters the ABSF's in proportion.
        const pkt::RunResult unsure = trans({"--par", "spheres.par", "--standard", standard, "--cross-section",
                                             "0.08,0.0008", "--empty", "empty_beam.dat,120,120000"}, dir.path());
        const double sigma = std::atof(unsure.out.c_str() + unsure.out.find("# ABSF uncertainty ") + 19);
        EXPECT_NEAR(sigma / absf, 0.01, 0.0015) << unsure.out;
    }
}

TEST(StandardGoals, AStandardThatCannotServeIsRefused) {
    pkt::TempDir dir;
    ASSERT_EQ(pkt::run_program(PELKARO_SIM_EXE, {"--transmission-runs", "--out", dir.path()}, dir.path()).status, 0);
    pkt::write_file(dir / "nothing.dat", pkt::detector_file(std::vector<long>(128 * 128, 0), 100, 1000));
    const std::vector<std::string> base{"--par", "spheres.par", "--empty", "empty_beam.dat,120,120000"};
    std::vector<std::string> args = base;
    args.insert(args.end(), {"--standard", "nothing.dat,100,1000,0.1,0.9", "--cross-section", "0.08"});
    const pkt::RunResult none = trans(args, dir.path());
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("the absolute scale from the standard: nothing.dat: the absolute scale factor works out as "),
              std::string::npos) << none.err;
    EXPECT_NE(none.err.find("does the standard count anything above the dark current?"), std::string::npos);
    EXPECT_EQ(none.out.find("ABSF"), std::string::npos) << none.out;
    const struct {
        std::vector<std::string> extra;
        std::string says;
    } wrong[] = {
        {{"--standard", "solvent_buffer.dat,1125,1125000,0.1,0.9"}, "--standard needs --par (the flat field and "
                                                                    "geometry) and --cross-section"},
        {{"--standard", "solvent_buffer.dat,1125,1125000,0.1,1.5", "--cross-section", "0.08"},
         "(a transmission above 0 and at most 1)"},
        {{"--standard", "solvent_buffer.dat,1125,1125000,0.1,0.9", "--cross-section", "0.08", "--attenuation", "1e-4"},
         "--standard and --attenuation both give ABSF: use one of them"},
        {{"--cross-section", "0.08"}, "--cross-section belongs to --standard"},
        {{"--standard", "solvent_buffer.dat,1125,1125000,0.1,0.9", "--cross-section", "-1"},
         "--cross-section needs X[,dX]"},
    };
    for (const auto& w : wrong) {
        args = base;
        args.insert(args.end(), w.extra.begin(), w.extra.end());
        const pkt::RunResult r = trans(args, dir.path());
        EXPECT_EQ(r.status, 2) << w.says;
        EXPECT_NE(r.err.find(w.says), std::string::npos) << r.err;
    }
}

// A curve of the cross-section: the flat 0.08 as two points gives the
// number's ABSF, twice the cross-section half of it; a curve that cannot
// serve is refused at its line.
TEST(StandardGoals, CrossSectionFromACurveFile) {
    pkt::TempDir dir;
    ASSERT_EQ(pkt::run_program(PELKARO_SIM_EXE, {"--transmission-runs", "--out", dir.path()}, dir.path()).status, 0);
    const std::string standard = buffer_standard(pkt::read_file(dir / "spheres.par"));
    pkt::write_file(dir / "flat.txt", "# Q  dSigma/dOmega\n0 0.08\n\n1 0.08\n");
    pkt::write_file(dir / "double.txt", "0 0.16 0 0\n0.5 0.16 0 0\n1 0.16 0 0\n");
    pkt::write_file(dir / "bad.txt", "0 0.08\n0.5 0.08\n0.5 0.08\n");
    const auto absf_with = [&](const std::string& xs, pkt::RunResult& r) {
        r = trans({"--par", "spheres.par", "--standard", standard, "--cross-section", xs, "--empty",
                   "empty_beam.dat,120,120000"}, dir.path());
        return printed_value(r.out, "ABSF");
    };
    pkt::RunResult number, flat, twice, bad;
    const double plain = absf_with("0.08", number);
    EXPECT_DOUBLE_EQ(absf_with("flat.txt", flat), plain) << flat.err;
    EXPECT_NEAR(absf_with("double.txt", twice), plain / 2, plain * 1e-5) << twice.err;
    // A relative uncertainty of the curve: 2 % of ABSF, beside the counting statistics.
    pkt::RunResult unsure;
    absf_with("flat.txt,0.02", unsure);
    const double sigma = std::atof(unsure.out.c_str() + unsure.out.find("# ABSF uncertainty ") + 19);
    EXPECT_NEAR(sigma / plain, 0.02, 0.002) << unsure.out;
    absf_with("bad.txt", bad);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("bad.txt:3: Q is not above the previous line's"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.out.find("ABSF"), std::string::npos);
}
