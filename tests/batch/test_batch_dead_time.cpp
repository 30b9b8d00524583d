// pelkaro-batch's --dead-time and --as-computed: read from the command line,
// refused where they cannot apply, and the direct beams of a simulated
// detector with a dead time measured as pelkaro-trans --dead-time measures them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch.h"
#include "test_util.h"

namespace {

// The value of a quantity in pelkaro-trans's table (its first row of it).
std::string tsv_value(const std::string& tsv, const std::string& quantity) {
    const std::size_t at = tsv.find("\n" + quantity + "\t");
    const std::size_t value = tsv.find('\t', tsv.find('\t', at + 1) + 1) + 1;
    return tsv.substr(value, tsv.find('\t', value) - value);
}

}  // namespace

TEST(BatchDeadTime, OptionsAndTheirRefusals) {
    pk::BatchOptions o;
    std::string why;
    const char* good[] = {"x", "--empty-beam", "e.dat,120,1.2e5", "--dead-time=3e-5", "--as-computed", "b.par", "t.csv"};
    ASSERT_EQ(pk::parse_batch_args(7, good, o, why), pk::BatchCli::run) << why;
    EXPECT_EQ(o.dead_time, 3e-5);
    EXPECT_TRUE(o.as_computed);
    const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
        {{"x", "--dead-time", "1e-5", "b", "t"}, "--dead-time needs --empty-beam"},
        {{"x", "--empty-beam", "e.dat,1,1", "--dead-time", "-1", "b", "t"}, "a number from 0 to 1, not '-1'"},
        {{"x", "--empty-beam", "e.dat,1,1", "--dead-time", "x", "b", "t"}, "not 'x'"}};
    for (const auto& c : bad) {
        why.clear();
        EXPECT_EQ(pk::parse_batch_args(static_cast<int>(c.first.size()), c.first.data(), o, why), pk::BatchCli::bad);
        EXPECT_NE(why.find(c.second), std::string::npos) << why;
    }
}

TEST(BatchDeadTime, DirectBeamsMeasuredAsPelkaroTransMeasuresThem) {
    pkt::TempDir dir;
    ASSERT_EQ(pkt::run_program(PELKARO_SIM_EXE, {"--transmission-runs", "--dead-time", "3e-5", "--out", dir.path()},
                               dir.path()).status, 0);
    pkt::write_file(dir / "t.csv", "name,sample,time,monitor,thickness,transmission,sample_beam\n"
                                   "m,sphere_sample.dat,1500,1500000,0.1,,\"sample_beam.dat,180,176940\"\n");
    const pkt::RunResult b = pkt::run_program(
        PELKARO_BATCH_EXE, {"-j", "1", "-o", "out", "--formats", "d1d", "--empty-beam", "empty_beam.dat,120,120000",
                            "--attenuation", "0.0001", "--dead-time", "3e-5", "spheres.par", "t.csv"}, dir.path());
    ASSERT_EQ(b.status, 0) << b.err;
    const pkt::RunResult t = pkt::run_program(
        PELKARO_TRANS_EXE, {"--format", "tsv", "--par", "spheres.par", "--attenuation", "0.0001", "--dead-time", "3e-5",
                            "--empty", "empty_beam.dat,120,120000", "sample_beam.dat,180,176940"}, dir.path());
    ASSERT_EQ(t.status, 0) << t.err;
    const std::string par = pkt::read_file(dir / "out/m.par");
    EXPECT_NE(par.find("\nABSF " + tsv_value(t.out, "absf") + "\n"), std::string::npos) << par << t.out;
    EXPECT_NE(par.find("\nDATS sphere_sample.dat 1500 1500000 0.1 " + tsv_value(t.out, "transmission") + "\n"),
              std::string::npos) << par << t.out;
}
