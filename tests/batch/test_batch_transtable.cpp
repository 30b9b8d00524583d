// pelkaro-batch --trans: the transmissions, beam centre and ABSF taken from
// pelkaro-trans's table instead of measured on the direct beams, with the
// same parameter file for each row as the direct-beam runs give; the table
// read once before any row, its faults refused before anything is written.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "batch.h"
#include "pelkaro/check.h"
#include "test_util.h"

namespace {

const char* kHeader = "quantity\tfile\tvalue\tsigma\tdatafile\n";

struct Simulated {
    pkt::TempDir dir;
    Simulated() {
        const pkt::RunResult r =
            pkt::run_program(PELKARO_SIM_EXE, {"--seed", "11", "--transmission-runs", "--out", dir.path()}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
    }
    void table(const std::string& name, const std::string& columns, const std::string& rows) const {
        pkt::write_file(dir / name, "name,sample,time,monitor,thickness,transmission,buffer,buffer_time,"
                                    "buffer_monitor,buffer_thickness,buffer_transmission" +
                                        columns + "\n" + rows);
    }
    pkt::RunResult batch(const std::string& out, std::vector<std::string> args, const std::string& table) const {
        std::vector<std::string> all{"-j", "2", "-o", out, "--formats", "d1d"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("spheres.par");
        all.push_back(table);
        return pkt::run_program(PELKARO_BATCH_EXE, all, dir.path());
    }
    // pelkaro-trans's table, each run naming its scattering run (the sample
    // by another spelling of its name), written as trans.tsv.
    std::string trans() const {
        const pkt::RunResult r = pkt::run_program(
            PELKARO_TRANS_EXE,
            {"--format", "tsv", "--par", "spheres.par", "--attenuation", "0.0001", "--empty",
             "empty_beam.dat,120,120000", "sample_beam.dat,180,176940,./sphere_sample.dat",
             "buffer_beam.dat,150,148320,solvent_buffer.dat"},
            dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        pkt::write_file(dir / "trans.tsv", r.out);
        return r.out;
    }
};

// The line of the table (from 1) that starts with `quantity` (the nth such), and its value and sigma.
struct TsvRow {
    int line = 0;
    std::string value, sigma;
};
TsvRow tsv_row(const std::string& tsv, const std::string& quantity, int nth = 0) {
    TsvRow row;
    int line = 1, seen = 0;
    for (std::size_t at = 0; at < tsv.size(); ++line) {
        const std::size_t end = tsv.find('\n', at);
        const std::string l = tsv.substr(at, end - at);
        at = end == std::string::npos ? tsv.size() : end + 1;
        if (l.rfind(quantity + "\t", 0) != 0 || seen++ != nth) continue;
        const std::size_t v = l.find('\t', quantity.size() + 1) + 1, s = l.find('\t', v) + 1;
        row.line = line;
        row.value = l.substr(v, s - 1 - v);
        row.sigma = l.substr(s, l.find('\t', s) - s);
        return row;
    }
    return row;
}

const char* kSample = "sphere_sample.dat,1500,1500000,0.1,";
const char* kBuffer = "solvent_buffer.dat,1125,1125000,0.1,";

}  // namespace

TEST(TransTable, ReadsPelkaroTransTableAndRefusesAMalformedOne) {
    pkt::TempDir dir;
    pkt::write_file(dir / "good.tsv", std::string(kHeader) + "centre_x\te.dat\t65.5\t0.01\t\n"
                                                             "transmission\ts.dat\t0.8\t0.002\tsample.dat\n"
                                                             "radius\te.dat\t6.5\t\t\n");
    pk::TransTable t;
    ASSERT_TRUE(pk::read_trans_table(dir / "good.tsv", t).ok());
    ASSERT_EQ(t.rows.size(), 3u);
    EXPECT_EQ(t.rows[1].line, 3);
    EXPECT_EQ(t.rows[1].datafile, "sample.dat");
    EXPECT_EQ(t.rows[1].value, 0.8);
    EXPECT_EQ(t.rows[1].sigma, 0.002);
    ASSERT_NE(t.last("centre_x"), nullptr);
    EXPECT_EQ(t.last("centre_x")->value, 65.5);
    EXPECT_EQ(t.last("absf"), nullptr);
    pkt::write_file(dir / "bad.tsv", std::string(kHeader) + "transmission\ts.dat\t0.8\t0\tsample.dat\n");
    pk::Status st = pk::read_trans_table(dir / "bad.tsv", t);
    EXPECT_EQ(st.code, pk::Code::bad_contents);
    EXPECT_EQ(st.stage, pk::Stage::transmission);
    EXPECT_EQ(st.line, 2);
    EXPECT_EQ(st.reason, "the uncertainty \"0\" is not a number above 0");
    EXPECT_TRUE(t.rows.empty());
    st = pk::read_trans_table(dir / "none.tsv", t);
    EXPECT_EQ(st.code, pk::Code::cannot_read);
    EXPECT_EQ(st.line, 0);
}

TEST(TransTable, OptionAndItsConflictWithTheEmptyBeam) {
    pk::BatchOptions o;
    std::string why;
    const char* good[] = {"x", "--trans", "t.tsv", "b.par", "t.csv"};
    ASSERT_EQ(pk::parse_batch_args(5, good, o, why), pk::BatchCli::run) << why;
    EXPECT_EQ(o.trans_table, "t.tsv");
    const char* both[] = {"x", "--trans=t.tsv", "--empty-beam", "e.dat,1,1", "b.par", "t.csv"};
    EXPECT_EQ(pk::parse_batch_args(6, both, o, why), pk::BatchCli::bad);
    EXPECT_EQ(why, "--trans and --empty-beam both give the transmissions: use one of them");
    Simulated s;
    s.table("t.csv", "", std::string("a,") + kSample + "0.9," + kBuffer + "0.9\n");
    const pkt::RunResult r = s.batch("out", {"--trans", "trans.tsv", "--empty-beam", "empty_beam.dat,120,120000"},
                                     "t.csv");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("--trans and --empty-beam both give the transmissions: use one of them"), std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_FALSE(pkt::file_exists(s.dir / "out"));
}

// The table's values in each row's parameter file are those the direct-beam
// runs measured by pelkaro-batch itself give: the same file, to the byte.
TEST(TransTable, GivesTheParameterFileOfTheDirectBeamRoute) {
    Simulated s;
    const std::string tsv = s.trans();
    s.table("beams.csv", ",sample_beam,buffer_beam",
            std::string("m,") + kSample + "," + kBuffer + ",\"sample_beam.dat,180,176940\",\"buffer_beam.dat,150,148320\"\n");
    s.table("t.csv", "", std::string("m,") + kSample + "," + kBuffer + "\n");
    const pkt::RunResult beams =
        s.batch("out", {"--empty-beam", "empty_beam.dat,120,120000", "--attenuation", "0.0001"}, "beams.csv");
    ASSERT_EQ(beams.status, 0) << beams.err;
    const pkt::RunResult r = s.batch("out2", {"--trans", "trans.tsv"}, "t.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string par = pkt::read_file(s.dir / "out2/m.par");
    EXPECT_NE(par.find("\nCNTR " + tsv_row(tsv, "centre_x").value + " " + tsv_row(tsv, "centre_y").value + "\n"),
              std::string::npos) << par << tsv;
    EXPECT_NE(par.find("\nABSF " + tsv_row(tsv, "absf").value + "\n"), std::string::npos) << par << tsv;
    EXPECT_NE(par.find("\nDATS sphere_sample.dat 1500 1500000 0.1 " + tsv_row(tsv, "transmission").value + "\n"),
              std::string::npos) << par << tsv;
    EXPECT_NE(par.find("\nDATB solvent_buffer.dat 1125 1125000 0.1 " + tsv_row(tsv, "transmission", 1).value + "\n"),
              std::string::npos) << par << tsv;
    std::string direct = pkt::read_file(s.dir / "out/m.par");
    const std::string from = "of beams.csv", to = "of t.csv";
    direct.replace(direct.find(from), from.size(), to);
    // The same lines but for the comments that name the direct-beam runs measured.
    for (const char* beam : {"# sample_beam: ", "# buffer_beam: "}) {
        const std::size_t at = direct.find(beam);
        ASSERT_NE(at, std::string::npos) << direct;
        direct.erase(at, direct.find('\n', at) + 1 - at);
    }
    EXPECT_EQ(par, direct);
    EXPECT_EQ(pkt::read_file(s.dir / "out2/m.d1d"), pkt::read_file(s.dir / "out/m.d1d"));
    EXPECT_NE(pkt::read_file(s.dir / "out2/summary.csv").find("\n0,m,ok,0,,m.par m.d1d,"), std::string::npos);
}

TEST(TransTable, ADisagreeingTypedTransmissionWarnsAndIsRefusedUnderStrict) {
    Simulated s;
    const TsvRow row = tsv_row(s.trans(), "transmission");
    const double t = std::stod(row.value), sigma = std::stod(row.sigma);
    const std::string near = pk::format("%.6f", t + 2.5 * sigma), far = pk::format("%.6f", t - 5 * sigma);
    s.table("t.csv", "", "near,sphere_sample.dat,1500,1500000,0.1," + near + "," + kBuffer + "\n" +
                             "far,sphere_sample.dat,1500,1500000,0.1," + far + "," + kBuffer + "\n");
    const std::string warning = "t.csv:3: warning: column transmission: the transmission " + far + " is " +
                                pk::format("%.3g", std::fabs(std::stod(far) - t) / sigma) +
                                " standard deviations from the " + pk::format("%.6f +- %.6f", t, sigma) +
                                " measured on \"sample_beam.dat\" (trans.tsv:" + std::to_string(row.line) + ")";
    pkt::RunResult r = s.batch("out", {"--trans", "trans.tsv"}, "t.csv");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string summary = pkt::read_file(s.dir / "out/summary.csv");
    EXPECT_NE(summary.find("\n0,near,ok,0,,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\n1,far,ok,1,,"), std::string::npos) << summary;
    EXPECT_NE(summary.find(",\"" + pkt::csv_field(warning) + "\"\n"), std::string::npos) << summary << warning;
    // The measured value stands in the parameter file, not the typed one.
    EXPECT_NE(pkt::read_file(s.dir / "out/far.par").find("\nDATS sphere_sample.dat 1500 1500000 0.1 " + row.value +
                                                         "\n"),
              std::string::npos);
    r = s.batch("out", {"--strict", "--trans", "trans.tsv"}, "t.csv");
    EXPECT_EQ(r.status, 1) << r.err;
    summary = pkt::read_file(s.dir / "out/summary.csv");
    EXPECT_NE(summary.find("\n1,far,refused,1,\"refused under --strict: " + pkt::csv_field(warning) + "\""),
              std::string::npos) << summary;
}

// A sample the table has no transmission for: a typed one is used, none at
// all refuses the row at its line and column.
TEST(TransTable, ASampleWithoutAnyTransmissionIsRefused) {
    Simulated s;
    s.trans();
    pkt::write_file(s.dir / "other.dat", pkt::read_file(s.dir / "sphere_sample.dat"));
    s.table("t.csv", "", "typed,other.dat,1500,1500000,0.1,0.75," + std::string(kBuffer) + "\n" +
                             "none,other.dat,1500,1500000,0.1,," + kBuffer + "\n");
    const pkt::RunResult r = s.batch("out", {"--trans", "trans.tsv"}, "t.csv");
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string summary = pkt::read_file(s.dir / "out/summary.csv");
    EXPECT_NE(summary.find("\n0,typed,ok,0,,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\n1,none,refused,0,\"t.csv:3: error: column transmission: no transmission is typed "
                           "and \"\"trans.tsv\"\" gives none for \"\"other.dat\"\"\",none.par,"),
              std::string::npos) << summary;
    EXPECT_NE(pkt::read_file(s.dir / "out/typed.par").find("\nDATS other.dat 1500 1500000 0.1 0.75\n"),
              std::string::npos);
}

TEST(TransTable, AMalformedOrMissingTableExitsTwoBeforeAnythingIsWritten) {
    Simulated s;
    s.table("t.csv", "", std::string("a,") + kSample + "," + kBuffer + "\n");
    // The base's DATS line, the only thing said before the table is read.
    const std::string kNote = "spheres.par:16: note: the DATS line is ignored: the samples come from the table\n";
    const struct {
        const char* name;
        std::string text, err;
    } cases[] = {
        {"bad.tsv", std::string(kHeader) + "transmission\ts.dat\tabc\t0.1\tx.dat\n",
         "bad.tsv:2: error: the value \"abc\" is not a number\n"},
        {"head.tsv", "quantity,file\n",
         "head.tsv:1: error: the first line is not the header of a pelkaro-trans table (\"quantity\\tfile\\tvalue"
         "\\tsigma\\tdatafile\\tsigma_empty_beam\\tsigma_dark_current\\tsigma_own\", or \"quantity\\tfile\\tvalue"
         "\\tsigma\\tdatafile\" of older versions): is it its --format tsv output?\n"},
        {"empty.tsv", "", "empty.tsv: error: the table is empty\n"},
        {"fields.tsv", std::string(kHeader) + "absf\te.dat\t1\t0.1\n",
         "fields.tsv:2: error: a row has 5 fields separated by tabs; this one has 4\n"},
    };
    for (const auto& c : cases) {
        pkt::write_file(s.dir / c.name, c.text);
        const pkt::RunResult r = s.batch("out", {"--trans", c.name}, "t.csv");
        EXPECT_EQ(r.status, 2) << c.name;
        EXPECT_EQ(r.err, kNote + c.err);
        EXPECT_FALSE(pkt::file_exists(s.dir / "out")) << c.name;
    }
    const pkt::RunResult r = s.batch("out", {"--trans", "missing.tsv"}, "t.csv");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(kNote + "missing.tsv: error: the transmission table \"missing.tsv\" cannot be used: ", 0),
              0u) << r.err;
    EXPECT_FALSE(pkt::file_exists(s.dir / "out"));
}
