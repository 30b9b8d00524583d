// pelkaro-batch with direct beams: the table's sample_beam and buffer_beam
// runs and --empty-beam measured as pelkaro-trans measures them, the values
// in each row's parameter file, typed transmissions held against them, and
// every finding of a row placed on the table's line and column.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch.h"
#include "test_util.h"

namespace {

pk::Table parsed(const std::string& text, std::vector<std::string>& errors) {
    pk::Table t;
    errors.clear();
    pk::parse_table("t.csv", text, t, errors);
    return t;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

}  // namespace

TEST(TableBeams, QuotedRunsAndTheirErrors) {
    std::vector<std::string> errors;
    // A measured transmission stands for the typed column and its value.
    pk::Table t = parsed("name,sample,time,monitor,thickness,buffer,buffer_time,buffer_monitor,buffer_thickness,"
                         "sample_beam,buffer_beam\n"
                         "a,s.dat,1,1,1,b.dat,1,1,1,\" sb.dat , 180, 1.5e5 \",\"bb.dat,150,148320\"\n",
                         errors);
    ASSERT_TRUE(errors.empty()) << joined(errors);
    EXPECT_EQ(t.rows[0].sample_beam.file, "sb.dat");
    EXPECT_EQ(t.rows[0].sample_beam.time, 180.0);
    EXPECT_EQ(t.rows[0].sample_beam.monitor, 150000.0);
    EXPECT_EQ(t.rows[0].buffer_beam.file, "bb.dat");
    EXPECT_TRUE(t.rows[0].transmission.empty());
    parsed("name,sample,time,monitor,thickness,transmission,sample_beam,buffer_beam\n", errors);
    EXPECT_EQ(joined(errors),
              "t.csv:1: error: the column \"buffer_beam\" needs a column \"buffer\"\n");
    parsed("name,sample,time,monitor,thickness,transmission,sample_beam\n"
           "a,s.dat,1,1,1,,sb.dat\n"
           "b,s.dat,1,1,1,0.9,\"sb.dat,0,1\"\n"
           "c,s.dat,1,1,1,0.9,\"sb.dat,1,-2\"\n"
           "d,s.dat,1,1,1,0.9,\"with blank.dat,1,2\"\n"
           "e,s.dat,1,1,1,,\n",
           errors);
    EXPECT_EQ(joined(errors),
              "t.csv:2: error: the sample_beam \"sb.dat\" is not FILE,TIME,MONITOR\n"
              "t.csv:2: error: the transmission \"\" is not a finite number within the range of a float\n"
              "t.csv:3: error: the sample_beam \"sb.dat,0,1\": the counting time \"0\" is not a number above 0\n"
              "t.csv:4: error: the sample_beam \"sb.dat,1,-2\": the monitor count \"-2\" is not a number above 0\n"
              "t.csv:5: error: the sample_beam \"with blank.dat,1,2\": the direct-beam file name \"with blank.dat\" "
              "is empty or holds a blank or control character, which a parameter line cannot carry\n"
              "t.csv:6: error: the transmission \"\" is not a finite number within the range of a float\n");
    parsed("name,sample,time,monitor,thickness,transmission,buffer,buffer_beam\na,s.dat,1,1,1,1,,\"b,1,1\"\n", errors);
    EXPECT_EQ(joined(errors), "t.csv:2: error: the buffer_beam is given without a buffer file\n");
}

// Each line of a row's parameter file knows where it came from; measured
// values replace the base's CNTR and ABSF and the typed transmissions.
TEST(TableBeams, RowFileShowsMeasuredValuesAndWhereEachLineCameFrom) {
    pk::BaseFile base;
    base.path = "base.par";
    base.lines = {"CNTR 64 64\n", "ABSF 2\n", "BINS 1\n"};
    base.line_numbers = {3, 5, 9};
    pk::TableRow row;
    row.name = "r1", row.line = 7, row.samples = {"a.dat"};
    row.time = "10", row.monitor = "20", row.thickness = "0.1", row.transmission = "0.9";
    row.buffers = {"b.dat"};
    row.buffer_time = "5", row.buffer_monitor = "6", row.buffer_thickness = "0.1", row.buffer_transmission = "";
    pk::RowMeasured m;
    m.centre = m.absf = m.buffer = true;
    m.centre_x = 65.5024472, m.centre_y = 62.5, m.absf_value = 16.9990736, m.buffer_t = 0.90469616;
    m.empty_beam = "empty.dat";
    const pk::RowParFile f = pk::row_param_file(base, row, "t.csv", m);
    EXPECT_EQ(f.text, "CNTR 65.5024472 62.5\nABSF 16.9990736\nBINS 1\n"
                      "# pelkaro-batch: row r1 of t.csv (line 7), configuration from base.par\n"
                      "DATS a.dat 10 20 0.1 0.9\nDATB b.dat 5 6 0.1 0.90469616\n");
    ASSERT_EQ(f.lines.size(), 6u);
    EXPECT_EQ(f.lines[0].file, "empty.dat");
    EXPECT_EQ(f.lines[2].file + ":" + std::to_string(f.lines[2].line), "base.par:9");
    EXPECT_TRUE(f.lines[3].file.empty());
    EXPECT_EQ(f.lines[4].file + ":" + std::to_string(f.lines[4].line), "t.csv:7");
    EXPECT_EQ(f.lines[4].columns, "sample, time, monitor, thickness, transmission");
    EXPECT_EQ(f.lines[5].columns, "buffer, buffer_time, buffer_monitor, buffer_thickness, buffer_beam");
    // Without measurements the text is the one it always was.
    EXPECT_EQ(pk::row_param_file(base, row, "t.csv").text, pk::row_param_text(base, row, "t.csv"));
}

TEST(TableBeams, EmptyBeamAndAttenuationOptions) {
    pk::BatchOptions o;
    std::string why;
    const char* good[] = {"x", "--empty-beam", "e.dat,120,1.2e5", "--attenuation=1e-4", "b.par", "t.csv"};
    ASSERT_EQ(pk::parse_batch_args(6, good, o, why), pk::BatchCli::run) << why;
    EXPECT_EQ(o.empty_beam.file, "e.dat");
    EXPECT_EQ(o.empty_beam.monitor, 120000.0);
    EXPECT_EQ(o.attenuation, 1e-4);
    const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
        {{"x", "--attenuation", "1e-4", "b", "t"}, "--attenuation needs --empty-beam"},
        {{"x", "--empty-beam", "e.dat,120", "b", "t"}, "--empty-beam \"e.dat,120\" is not FILE,TIME,MONITOR"},
        {{"x", "--empty-beam", "e.dat,1,1", "--attenuation", "1.5", "b", "t"}, "not '1.5'"},
        {{"x", "--empty-beam", "e.dat,1,1", "--attenuation", "0", "b", "t"}, "not '0'"}};
    for (const auto& c : bad) {
        why.clear();
        EXPECT_EQ(pk::parse_batch_args(static_cast<int>(c.first.size()), c.first.data(), o, why), pk::BatchCli::bad);
        EXPECT_NE(why.find(c.second), std::string::npos) << why;
    }
}

// ---------------------------------------------------------------------------
// The program on a simulated measurement with its direct-beam runs.

namespace {

struct Simulated {
    pkt::TempDir dir;
    Simulated() {
        const pkt::RunResult r =
            pkt::run_program(PELKARO_SIM_EXE, {"--seed", "11", "--transmission-runs", "--out", dir.path()}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
    }
    void table(const std::string& rows) const {
        pkt::write_file(dir / "t.csv",
                        "name,sample,time,monitor,thickness,transmission,buffer,buffer_time,buffer_monitor,"
                        "buffer_thickness,buffer_transmission,sample_beam,buffer_beam\n" +
                            rows);
    }
    pkt::RunResult batch(std::vector<std::string> args) const {
        std::vector<std::string> all{"-j", "2", "-o", "out", "--formats", "d1d", "--empty-beam",
                                     "empty_beam.dat,120,120000", "--attenuation", "0.0001"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("spheres.par");
        all.push_back("t.csv");
        return pkt::run_program(PELKARO_BATCH_EXE, all, dir.path());
    }
    // pelkaro-trans's table for the same files.
    std::string trans() const {
        const pkt::RunResult r = pkt::run_program(
            PELKARO_TRANS_EXE,
            {"--format", "tsv", "--par", "spheres.par", "--attenuation", "0.0001", "--empty",
             "empty_beam.dat,120,120000", "sample_beam.dat,180,176940", "buffer_beam.dat,150,148320"},
            dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
};

// The value of a quantity ("transmission" the first or second) in pelkaro-trans's table.
std::string tsv_value(const std::string& tsv, const std::string& quantity, int nth = 0) {
    std::size_t at = 0;
    for (int k = 0; k <= nth; ++k) at = tsv.find("\n" + quantity + "\t", at + 1);
    const std::size_t value = tsv.find('\t', tsv.find('\t', at + 1) + 1) + 1;
    return tsv.substr(value, tsv.find('\t', value) - value);
}

// A field's text as the summary quotes it.
const char* kRuns = ",\"sample_beam.dat,180,176940\",\"buffer_beam.dat,150,148320\"\n";

}  // namespace

TEST(BatchBeams, MeasuredValuesAreThoseOfPelkaroTrans) {
    Simulated s;
    s.table(std::string("m,sphere_sample.dat,1500,1500000,0.1,,solvent_buffer.dat,1125,1125000,0.1,") + kRuns);
    const pkt::RunResult r = s.batch({});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string tsv = s.trans(), par = pkt::read_file(s.dir / "out/m.par");
    EXPECT_NE(par.find("\nCNTR " + tsv_value(tsv, "centre_x") + " " + tsv_value(tsv, "centre_y") + "\n"),
              std::string::npos) << par << tsv;
    EXPECT_NE(par.find("\nABSF " + tsv_value(tsv, "absf") + "\n"), std::string::npos) << par << tsv;
    EXPECT_NE(par.find("\nDATS sphere_sample.dat 1500 1500000 0.1 " + tsv_value(tsv, "transmission") + "\n"),
              std::string::npos) << par << tsv;
    EXPECT_NE(par.find("\nDATB solvent_buffer.dat 1125 1125000 0.1 " + tsv_value(tsv, "transmission", 1) + "\n"),
              std::string::npos) << par << tsv;
    // The row's outputs are Pelkaro's on that parameter file.
    const pkt::RunResult p = pkt::run_pelkaro({"out/m.par"}, s.dir.path());
    ASSERT_EQ(p.status, 0) << p.out;
    EXPECT_EQ(pkt::read_file(s.dir / "out/m.d1d"), pkt::read_file(s.dir / "sphere_sample.d1d"));
}

TEST(BatchBeams, ADisagreeingTypedTransmissionWarnsAndIsRefusedUnderStrict) {
    Simulated s;
    const std::string tsv = s.trans();
    const double t = std::stod(tsv_value(tsv, "transmission"));
    const double sigma = std::stod(tsv.substr(tsv.find('\t', tsv.find(tsv_value(tsv, "transmission"))) + 1));
    const std::string near = pk::format("%.6f", t + 2.5 * sigma), far = pk::format("%.6f", t - 5 * sigma);
    s.table("near,sphere_sample.dat,1500,1500000,0.1," + near + ",solvent_buffer.dat,1125,1125000,0.1," + kRuns +
            "far,sphere_sample.dat,1500,1500000,0.1," + far + ",solvent_buffer.dat,1125,1125000,0.1," + kRuns);
    const std::string warning = "t.csv:3: warning: column transmission: the transmission " + far + " is " +
                                pk::format("%.3g", std::fabs(std::stod(far) - t) / sigma) +
                                " standard deviations from the " + pk::format("%.6f +- %.6f", t, sigma) +
                                " measured on \"sample_beam.dat\" (column sample_beam)";
    pkt::RunResult r = s.batch({});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string summary = pkt::read_file(s.dir / "out/summary.csv");
    EXPECT_NE(summary.find("\n0,near,ok,0,,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\n1,far,ok,1,,"), std::string::npos) << summary;
    EXPECT_NE(summary.find(",\"" + pkt::csv_field(warning) + "\"\n"), std::string::npos) << summary << warning;
    r = s.batch({"--strict"});
    EXPECT_EQ(r.status, 1) << r.err;
    summary = pkt::read_file(s.dir / "out/summary.csv");
    EXPECT_NE(summary.find("\n1,far,refused,1,\"refused under --strict: " + pkt::csv_field(warning) + "\""),
              std::string::npos) << summary;
}

// A transmission in percent refuses its row, named by the table's line and
// column; the check's findings on the base's lines name the base's line.
TEST(BatchBeams, APercentTransmissionIsRefusedAtItsTableLineAndColumn) {
    Simulated s;
    std::string base = pkt::read_file(s.dir / "spheres.par");
    base.insert(0, "WAVE 6 1.5\n");
    pkt::write_file(s.dir / "spheres.par", base);
    s.table("ok,sphere_sample.dat,1500,1500000,0.1,0.9,solvent_buffer.dat,1125,1125000,0.1,0.9,,\n"
            "pc,sphere_sample.dat,1500,1500000,0.1,86.1,solvent_buffer.dat,1125,1125000,0.1,0.9,,\n"
            "bp,sphere_sample.dat,1500,1500000,0.1,0.9,solvent_buffer.dat,1125,1125000,0.1,90.5,,\n");
    const pkt::RunResult r = pkt::run_program(PELKARO_BATCH_EXE, {"-o", "out", "--formats", "d1d", "spheres.par", "t.csv"},
                                              s.dir.path());
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string summary = pkt::read_file(s.dir / "out/summary.csv");
    EXPECT_NE(summary.find("\n1,pc,refused,0,\"t.csv:3: error: column transmission: the transmission 86.1 lies "
                           "outside (0, 1]; is it given in percent?\",pc.par,"),
              std::string::npos) << summary;
    EXPECT_NE(summary.find("\n2,bp,refused,0,\"t.csv:4: error: column buffer_transmission: the transmission 90.5 "
                           "lies outside (0, 1]; is it given in percent?\",bp.par,"),
              std::string::npos) << summary;
    EXPECT_NE(summary.find("\n0,ok,ok,2,,ok.par ok.d1d,"), std::string::npos) << summary;
    EXPECT_NE(summary.find(",spheres.par:1: warning: the wavelength spread 1.5 is 1 or more: it is relative (0.1 "
                           "means 10 %) (out/ok.par:1)\\nspheres.par:15: warning: WAVE is given again (first on line "
                           "1); the last one wins (out/ok.par:15)\n"),
              std::string::npos) << summary;
}

// A finding of the check on a detector file that the table named is placed
// at the table's line and the column that named it, the file after it; a
// file the base parameter file names keeps its own place.
TEST(BatchBeams, AFindingOnATableFileNamesItsLineAndColumn) {
    Simulated s;
    pkt::write_file(s.dir / "short.dat", pkt::detector_file(std::vector<long>(16000, 50), 1500, 1500000));
    s.table("ok,sphere_sample.dat,1500,1500000,0.1,0.9,solvent_buffer.dat,1125,1125000,0.1,0.9,,\n"
            "sh,short.dat,1500,1500000,0.1,0.9,solvent_buffer.dat,1125,1125000,0.1,0.9,,\n");
    const pkt::RunResult r = pkt::run_program(PELKARO_BATCH_EXE, {"-o", "out", "--formats", "d1d", "spheres.par", "t.csv"},
                                              s.dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string summary = pkt::read_file(s.dir / "out/summary.csv");
    EXPECT_NE(summary.find("t.csv:3: warning: column sample: short.dat: 16000 detector values, the detector has "
                           "16384; the last 384 pixels count as 0"),
              std::string::npos) << summary;
}
