// pelkaro-batch --formats aniso: each row's I(phi) table is pelkaro-aniso's
// on the row's parameter file, byte for byte, and the summary carries its
// phi0 and order parameters; the ring is required.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// The example's files and a table of two rows in a scratch directory.
struct Example {
    pkt::TempDir dir;
    Example() {
        for (const char* f : {"dark_current.dat", "detector.mask", "flat_field.dat", "solvent_buffer.dat",
                              "sphere_sample.dat", "spheres.par"})
            pkt::write_file(dir / f, pkt::read_file(std::string(PELKARO_SOURCE_DIR) + "/examples/" + f));
        pkt::write_file(dir / "t.csv", "name,sample,time,monitor,thickness,transmission\n"
                                       "thin,sphere_sample.dat,1500,1500000,0.1,0.899425\n"
                                       "thick,sphere_sample.dat,1500,1500000,0.2,0.8\n");
    }
};

// The fields of a CSV line without quoted commas.
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string s; std::getline(in, s, ',');) f.push_back(s);
    if (!line.empty() && line.back() == ',') f.emplace_back();
    return f;
}

TEST(BatchAniso, RowsTablesAreThoseOfPelkaroAnisoAndTheSummaryHoldsTheOrientation) {
    Example ex;
    const pkt::RunResult r = pkt::run_program(
        PELKARO_BATCH_EXE, {"-j", "2", "-o", "out", "--formats", "d1d,aniso", "--aniso-ring", "0.012,0.02",
                            "spheres.par", "t.csv"},
        ex.dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream summary(pkt::read_file(ex.dir / "out/summary.csv"));
    std::string line;
    std::getline(summary, line);
    const std::vector<std::string> head = fields(line);
    ASSERT_EQ(head.size(), 15u);
    EXPECT_EQ(head[9], "phi0");
    for (const char* row : {"thin", "thick"}) {
        const pkt::RunResult a = pkt::run_program(PELKARO_ANISO_EXE,
                                                  {"--q-ring", "0.012,0.02", std::string("out/") + row + ".par"},
                                                  ex.dir.path());
        ASSERT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(pkt::read_file(ex.dir / (std::string("out/") + row + ".aniso.txt")), a.out) << row;
        ASSERT_TRUE(std::getline(summary, line));
        const std::vector<std::string> f = fields(line);
        ASSERT_EQ(f.size(), 15u) << line;
        EXPECT_EQ(f[1], row);
        EXPECT_NE(f[5].find(std::string(row) + ".aniso.txt"), std::string::npos) << f[5];
        // The table's values, rounded to its decimals.
        const double order = std::stod(a.out.substr(a.out.find("<cos 2(phi - phi0)> ") + 20));
        EXPECT_NEAR(std::stod(f[11]), order, 6e-7) << line;
        EXPECT_GT(std::stod(f[12]), 0);
        const double phi0 = std::stod(a.out.substr(a.out.find("# phi0 ") + 7));
        EXPECT_NEAR(std::stod(f[9]), phi0, 6e-5) << line;
        // The report's row carries the same orientation, in its own column.
        const std::string page = pkt::read_file(ex.dir / "out/report.html");
        EXPECT_NE(page.find("Hermans &lang;P&#8322;&rang;</th>"), std::string::npos);
        const std::size_t at = page.find("id=\"row-" + std::string(row) + "\"");
        ASSERT_NE(at, std::string::npos) << row;
        EXPECT_NE(page.find(pk::format("%.2f &plusmn; ", std::stod(f[9])), at), std::string::npos) << row;
    }
    const pkt::RunResult bad = pkt::run_program(
        PELKARO_BATCH_EXE, {"-o", "out2", "--formats", "aniso", "spheres.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.rfind("pelkaro-batch: --formats aniso needs --aniso-ring Q1,Q2\n", 0), 0u) << bad.err;
    EXPECT_FALSE(pkt::file_exists(ex.dir / "out2"));
    // Without the format the summary keeps its columns; a join keeps them.
    ASSERT_EQ(pkt::run_program(PELKARO_BATCH_EXE, {"-o", "plain", "--formats", "d1d", "spheres.par", "t.csv"},
                               ex.dir.path()).status, 0);
    const std::string plain = pkt::read_file(ex.dir / "plain/summary.csv");
    EXPECT_EQ(plain.substr(0, plain.find('\n')), "row,name,status,warnings,error,outputs,i_lowest_q,points,warning_text");
    const std::string before = pkt::read_file(ex.dir / "out/summary.csv");
    ASSERT_EQ(pkt::run_program(PELKARO_BATCH_EXE, {"-o", "joined", "--report", "out"}, ex.dir.path()).status, 0);
    const std::string joined = pkt::read_file(ex.dir / "joined/summary.csv");
    EXPECT_EQ(joined.substr(0, joined.find('\n')), before.substr(0, before.find('\n')));
    EXPECT_EQ(std::count(joined.begin(), joined.end(), ','), std::count(before.begin(), before.end(), ','));
}

}  // namespace
