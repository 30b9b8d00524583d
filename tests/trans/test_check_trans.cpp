// pelkaro-check --trans: the example's parameter file against the table
// pelkaro-trans measured on its direct beams, the same file with the usual
// slips (a transmission in percent, x and y of the centre swapped, another
// scale factor), and tables that cannot be used.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"
#include "pelkaro/files.h"

namespace {

const std::string kExamples = std::string(PELKARO_SOURCE_DIR) + "/examples";

// A scratch copy of the example with the table of its direct beams.
struct Example {
    pkt::TempDir dir;
    Example() {
        for (const auto& e : std::filesystem::directory_iterator(kExamples))
            std::filesystem::copy(e.path(), dir / e.path().filename().string());
        const pkt::RunResult r = pkt::run_program(
            PELKARO_TRANS_EXE,
            {"--format", "tsv", "--par", "spheres.par", "--attenuation", "0.0001", "--empty",
             "empty_beam.dat,120,120000", "sample_beam.dat,180,176940,sphere_sample.dat",
             "buffer_beam.dat,150,148320,./solvent_buffer.dat"},
            dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        pkt::write_file(dir / "trans.tsv", r.out);
    }
    // The parameter file with one line replaced.
    void edit(const std::string& from, const std::string& to) const {
        std::string par = pkt::read_file(dir / "spheres.par");
        const std::size_t at = par.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        pkt::write_file(dir / "spheres.par", par.replace(at, from.size(), to));
    }
    pkt::RunResult check(const std::string& table = "trans.tsv") const {
        return pkt::run_program(PELKARO_CHECK_EXE, {"--strict", "--trans", table, "spheres.par"}, dir.path());
    }
};

}  // namespace

// The example agrees with its own direct beams (the buffer's file named
// "./solvent_buffer.dat" in the table is the same file).
TEST(CheckTrans, TheExampleAgreesWithItsDirectBeams) {
    Example e;
    const pkt::RunResult r = e.check();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0 errors, 0 warnings\n");
}

TEST(CheckTrans, WarnsOnAPercentTransmissionASwappedCentreAndAnotherScale) {
    Example e;
    e.edit("DATS sphere_sample.dat 1500 1500000 0.1 0.899425", "DATS sphere_sample.dat 1500 1500000 0.1 89.9425");
    e.edit("CNTR 65.5 62.5", "CNTR 62.5 65.5");
    e.edit("ABSF 16.99243", "ABSF 18.7");
    e.edit("DATB solvent_buffer.dat 1125 1125000 0.1 0.904837", "DATB solvent_buffer.dat 1125 1125000 0.1 0.88");
    const pkt::RunResult r = e.check();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "spheres.par:6: warning: the beam centre (62.5, 65.5) is 4.24 pixels from the one measured on "
              "\"empty_beam.dat\", CNTR 65.502 62.503 (\"trans.tsv\" line 4); are x and y swapped?\n"
              "spheres.par:16: warning: the transmission 89.9425 lies outside (0, 1]; is it given in percent?\n"
              "spheres.par:16: warning: the transmission 89.9425 of \"sphere_sample.dat\" is 3.38e+04 standard "
              "deviations from the 0.900778 +- 0.002637 measured on \"sample_beam.dat\" (\"trans.tsv\" line 2); is "
              "it in percent?\n"
              "spheres.par:18: warning: the transmission 0.88 of \"solvent_buffer.dat\" is 8.97 standard deviations "
              "from the 0.904696 +- 0.002753 measured on \"buffer_beam.dat\" (\"trans.tsv\" line 3)\n"
              "spheres.par:26: warning: the absolute scale factor 18.7 is 15.8 standard deviations from the 16.9991 "
              "+- 0.11 measured on \"empty_beam.dat\" (\"trans.tsv\" line 7)\n"
              "0 errors, 5 warnings (--strict: warnings count as errors)\n");
    // Within the limits: a transmission 2.9 standard deviations off, the
    // centre 0.9 pixel away, ABSF 2.9 standard deviations off; a buffer
    // line with time 0 is not used and not compared.
    Example near;
    near.edit("0.1 0.899425", "0.1 0.908424");
    near.edit("CNTR 65.5 62.5", "CNTR 66.4 62.5");
    near.edit("ABSF 16.99243", "ABSF 17.32");
    near.edit("DATB solvent_buffer.dat 1125 1125000 0.1 0.904837", "DATB solvent_buffer.dat 0 1125000 0.1 0.5");
    EXPECT_EQ(near.check().out, "0 errors, 0 warnings\n");
}

// A sample beam without counts: its table row (0 +- (120000 / 176940) /
// 204550, one count over the empty beam's net counts per monitor
// count; nine significant digits) is read, and the warning shows the
// uncertainty as pelkaro-trans prints it, not as 0.
TEST(CheckTrans, ARunOfNoCountsIsReadWithItsUncertaintyAboveZero) {
    Example e;
    std::string table = pkt::read_file(e.dir / "trans.tsv");
    const std::size_t row = table.find("transmission\tsample_beam.dat\t");
    ASSERT_NE(row, std::string::npos) << table;
    pkt::write_file(e.dir / "sample_beam.dat", pkt::detector_file(std::vector<long>(16384, 0), 180, 176940));
    const pkt::RunResult r = pkt::run_program(PELKARO_TRANS_EXE,
        {"--format", "tsv", "--empty", "empty_beam.dat,120,120000", "sample_beam.dat,180,176940,sphere_sample.dat"},
        e.dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    const std::size_t at = r.out.find("transmission\t");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string zero_row = r.out.substr(at, r.out.find('\n', at) + 1 - at);
    EXPECT_EQ(zero_row.rfind("transmission\tsample_beam.dat\t0\t", 0), 0u) << zero_row;
    table.replace(row, table.find('\n', row) + 1 - row, zero_row);
    pkt::write_file(e.dir / "trans.tsv", table);
    const pkt::RunResult c = e.check();
    EXPECT_NE(c.out.find("\n0 errors, 1 warning"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("from the 0.0000000 +- 0.0000033 measured on \"sample_beam.dat\""), std::string::npos)
        << c.out;
}

TEST(CheckTrans, ATableThatCannotBeUsedIsAnError) {
    Example e;
    const std::string header = "quantity\tfile\tvalue\tsigma\tdatafile\n";
    const std::string split = "quantity\tfile\tvalue\tsigma\tdatafile\tsigma_empty_beam\tsigma_dark_current\tsigma_own\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "t.tsv: error: the table is empty\n"},
        {"run\tT\tdT\n", "t.tsv:1: error: the first line is not the header of a pelkaro-trans table "
                         "(\"quantity\\tfile\\tvalue\\tsigma\\tdatafile\\tsigma_empty_beam\\tsigma_dark_current"
                         "\\tsigma_own\", or \"quantity\\tfile\\tvalue\\tsigma\\tdatafile\" of older versions): is it "
                         "its --format tsv output?\n"},
        {split + "transmission\ts.dat\t0.9\t0.01\tsphere_sample.dat\n",
         "t.tsv:2: error: a row has 8 fields separated by tabs; this one has 5\n"},
        {split + "transmission\ts.dat\t0.9\t0.01\tsphere_sample.dat\t-0.02\t0\t0.01\n",
         "t.tsv:2: error: column sigma_empty_beam: the share -0.02 is larger than the uncertainty 0.01\n"},
        {split + "absf\te.dat\t17\t0.5\t\t0.3\t0\t-0.4\n",
         "t.tsv:2: error: column sigma_own: the share -0.4 is negative\n"},
        {split + "absf\te.dat\t17\t0.5\t\t0.3\t0\t0.3\n",
         "t.tsv:2: error: the shares of the uncertainty in quadrature, 0.424264, are not its sigma 0.5\n"},
        {header + "transmission\ts.dat\t0.9\t0.01\n", "t.tsv:2: error: a row has 5 fields separated by tabs; this "
                                                      "one has 4\n"},
        {header + "transmission\ts.dat\t0,9\t0.01\tsphere_sample.dat\n",
         "t.tsv:2: error: the value \"0,9\" is not a number\n"},
        {header + "absf\te.dat\t17\t0\t\n", "t.tsv:2: error: the uncertainty \"0\" is not a number above 0\n"},
        {header + "temperature\te.dat\t17\t1\t\n", "t.tsv:2: error: \"temperature\" is not a quantity pelkaro-trans "
                                                   "measures\n"},
    };
    for (const auto& c : cases) {
        pkt::write_file(e.dir / "t.tsv", c.first);
        const pkt::RunResult r = e.check("t.tsv");
        EXPECT_EQ(r.status, 1) << c.second;
        EXPECT_EQ(r.out, c.second + "1 error, 0 warnings\n");
    }
    const pkt::RunResult missing = e.check("none.tsv");
    EXPECT_EQ(missing.out, "none.tsv: error: the transmission table \"none.tsv\" cannot be used: \"" + e.dir.path() +
                               "/none.tsv\" is missing\n1 error, 0 warnings\n");
    // Line ends of another system read as they are meant; a table whose runs
    // belong to other files is said to have compared no transmission.
    pkt::write_file(e.dir / "crlf.tsv", header + "transmission\ts.dat\t0.5\t0.01\tother.dat\r\n");
    EXPECT_EQ(e.check("crlf.tsv").out, "crlf.tsv: note: no sample or buffer line of \"spheres.par\" names a "
                                       "DATAFILE of the table, so no transmission was compared\n"
                                       "0 errors, 0 warnings\n");
    const pkt::RunResult usage =
        pkt::run_program(PELKARO_CHECK_EXE, {"spheres.par", "--trans"}, e.dir.path());
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err.rfind("pelkaro-check: --trans needs a file name\n", 0), 0u);
}
