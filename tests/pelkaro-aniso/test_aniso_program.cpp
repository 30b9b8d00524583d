// pelkaro-aniso as a user runs it: its command line and refusals (exact
// words, exit status), and its measured goals on simulated samples: an
// oriented one whose order parameters are worked out here by integrating
// the simulated pattern over the ring, and isotropic ones.  The sweeps over
// 20 seeds run under PELKARO_FULL_CASES (ctest -L long).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "aniso_table.h"
#include "test_util.h"

namespace {

TEST(AnisoCommandLine, HelpVersionAndWrongUse) {
    pkt::TempDir dir;
    pkt::RunResult r = pkt::aniso({"--help"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: pelkaro-aniso (--q-ring Q1,Q2 | --pixel-ring R1,R2)", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("streaks run perpendicular to elongated particles"), std::string::npos);
    r = pkt::aniso({"--version"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("pelkaro-aniso ", 0), 0u);
    const std::string tail = "\nTry 'pelkaro-aniso --help' for more information.\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"--q-ring", "0.04,0.02", "a.par"}, "--q-ring needs 0 <= first < second; found 0.04,0.02"},
        {{"--q-ring", "0.02,0.02", "a.par"}, "--q-ring needs 0 <= first < second; found 0.02,0.02"},
        {{"--pixel-ring", "10", "a.par"}, "--pixel-ring needs two numbers separated by a comma, not '10'"},
        {{"--q-ring", "0.01,0.02", "--bins", "1", "a.par"}, "--bins needs a whole number from 2 to 3600, not '1'"},
        {{"--q-ring", "0.01,0.02", "--bins", "2.5", "a.par"}, "--bins needs a whole number from 2 to 3600, not '2.5'"},
        {{"--q-ring", "0.01,0.02", "--sectors", "180", "--sector-out", "s", "a.par"},
         "--sectors needs a width above 0 and below 180 degrees, not '180'"},
        {{"--q-ring", "0.01,0.02", "--sectors", "30", "a.par"}, "--sectors needs --sector-out FILE for the two curves"},
        {{"--q-ring", "0.01,0.02", "--sector-axis", "30", "a.par"}, "--sector-out and --sector-axis need --sectors WIDTH"},
        {{"a.par"}, "no ring given: --q-ring Q1,Q2 or --pixel-ring R1,R2"},
        {{"--q-ring", "0.01,0.02"}, "no parameter file given"},
        {{"--q-ring", "0.01,0.02", "--pixel-ring", "1,2", "a.par"}, "one ring only: --q-ring or --pixel-ring, once"},
        {{"--q-ring", "0.01,0.02", "a.par", "b.par"}, "one parameter file only, not 'a.par' and 'b.par'"},
        {{"--frobnicate", "a.par"}, "unknown option '--frobnicate'"},
        {{"--q-ring", "0.01,0.02", "-o", "t.txt", "--sectors", "30", "--sector-out", "t.txt", "a.par"},
         "two outputs are one file: 't.txt'"},
        {{"--q-ring"}, "option '--q-ring' needs a value"},
    };
    for (const auto& w : wrong) {
        r = pkt::aniso(w.first, dir.path());
        EXPECT_EQ(r.status, 2) << w.second;
        EXPECT_EQ(r.err, "pelkaro-aniso: " + w.second + tail);
        EXPECT_EQ(r.out, "");
    }
    r = pkt::aniso({"--q-ring", "0.01,0.02", "missing.par"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelkaro-aniso: error: cannot read the parameter file missing.par: No such file or directory\n");
}

// The example's isotropic spheres: rings the detector does not hold, or
// whose pixels are all masked (the beam stop), are refused with status 1;
// an output that is an input is refused before anything is written.
TEST(AnisoCommandLine, RingsThatHoldNothingAndOutputsThatAreInputs) {
    pkt::TempDir dir;
    pkt::simulate(dir, {});
    pkt::RunResult r = pkt::aniso({"--pixel-ring", "200,300", "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelkaro-aniso: error: spheres.par: the ring from 200 to 300 pixels lies outside the detector\n");
    r = pkt::aniso({"--q-ring", "0.5,0.6", "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelkaro-aniso: error: spheres.par: the ring from 0.5 to 0.6 in Q lies outside the detector\n");
    r = pkt::aniso({"--pixel-ring", "0,3", "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelkaro-aniso: error: spheres.par: every pixel of the ring from 0 to 3 pixels is masked\n");
    const std::string before = pkt::read_file(dir / "sphere_sample.dat");
    r = pkt::aniso({"--pixel-ring", "10,20", "-o", "sphere_sample.dat", "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelkaro-aniso: error: the output sphere_sample.dat is the input file sphere_sample.dat; "
                     "choose another name\n");
    EXPECT_EQ(pkt::read_file(dir / "sphere_sample.dat"), before);
    r = pkt::run_to_full_disk(PELKARO_ANISO_EXE, {"--pixel-ring", "10,20", "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelkaro-aniso: error: the report could not be written to standard output\n");
    r = pkt::aniso({"--pixel-ring", "10,20", "-o", "phi.txt", "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(pkt::read_file(dir / "phi.txt").rfind("# pelkaro-aniso I(phi)\n# ring: Q ", 0), 0u);
}

// The simulator's oriented sample: its options' ranges, not with
// --resolution, and its parameter file saying what it holds.
TEST(AnisoSimulator, OrientedSampleOptions) {
    pkt::TempDir dir;
    const std::string tail = "\nTry 'pelkaro_sim --help' for the options.\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"--orientation", "1"}, "--orientation must be from 2 to 90 degrees, not 1"},
        {{"--aspect", "20"}, "--aspect must be from 0.1 to 10, not 20"},
        {{"--axis", "400"}, "--axis must be from -360 to 360 degrees, not 400"},
        {{"--orientation", "10", "--resolution"}, "--resolution draws isotropic spheres only; it does not take --orientation"},
    };
    for (const auto& w : wrong) {
        const pkt::RunResult r = pkt::run_program(PELKARO_SIM_EXE, w.first, dir.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "pelkaro_sim: error: " + w.second + tail);
    }
    pkt::simulate(dir, {"--orientation", "15", "--axis", "45", "--aspect", "3", "--radius", "50"});
    const std::string par = pkt::read_file(dir / "spheres.par");
    EXPECT_EQ(par.substr(0, par.find(',', par.find("degrees"))),
              "# Pelkaro parameter file: dilute ellipsoids, radius 50 A, aspect 3, axes at 45 +- 15 degrees");
    EXPECT_NE(par.find("--radius 50 --orientation 15 --axis 45 --aspect 3."), std::string::npos) << par;
}

#ifdef PELKARO_WITH_HDF5
// The NXcanSAS file: SasView's loader takes the two curves of the pairs
// with the numbers of the sector table, and I(phi) is NXdata over phi with
// the table's numbers (tests/pelkaro-aniso/sasview_aniso.py); where the
// Debian packages are, python3 on the PATH may be another one.
TEST(AnisoCommandLine, NXcanSASFileThatSasViewLoads) {
    pkt::TempDir dir;
    pkt::simulate(dir, {"--orientation", "20", "--axis", "-40", "--radius", "40"});
    const pkt::RunResult r = pkt::aniso({"--pixel-ring", "24,44", "--bins", "72", "--sectors", "30", "--sector-out",
                                         "pairs.txt", "--nxcansas", "an.h5", "-o", "phi.txt", "spheres.par"},
                                        dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    pkt::RunResult o;
    for (const char* py : {"python3", "/usr/bin/python3"}) {
        o = pkt::run_program("/bin/sh", {"-c", std::string("exec ") + py + " \"$0\" \"$@\"",
                                         PELKARO_SOURCE_DIR "/tests/pelkaro-aniso/sasview_aniso.py", "an.h5",
                                         "pairs.txt", "phi.txt"},
                             dir.path());
        if (o.status != 77 && o.status != 127) break;
    }
    if (o.status == 77 && !std::getenv("CI")) GTEST_SKIP() << o.err;
    EXPECT_EQ(o.status, 0) << o.err;
}
#endif

// pelkaro-plot draws the I(phi) table (known by its first line) with its
// error bars; a file that is no such table is refused as a wrong use.
TEST(AnisoCommandLine, PlotOfTheTable) {
    pkt::TempDir dir;
    if (pkt::run_program("/bin/sh", {"-c", "command -v gnuplot"}, dir.path()).status != 0) {
        if (std::getenv("CI")) FAIL() << "gnuplot is not installed";
        GTEST_SKIP() << "gnuplot is not installed";
    }
    pkt::simulate(dir, {});
    ASSERT_EQ(pkt::aniso({"--pixel-ring", "12.5,21", "-o", "phi.txt", "spheres.par"}, dir.path()).status, 0);
    const std::string plot = PELKARO_SOURCE_DIR "/scripts/plot.sh";
    pkt::RunResult r = pkt::run_program("/bin/bash", {plot, "phi.txt"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "phi.txt.png\n");
    EXPECT_EQ(pkt::read_file(dir / "phi.txt.png").substr(1, 3), "PNG");
    r = pkt::run_program("/bin/bash", {plot, "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("plot.sh: spheres.par is neither a .d1d nor a .d2d file nor an I(phi) table", 0), 0u) << r.err;
}

}  // namespace
