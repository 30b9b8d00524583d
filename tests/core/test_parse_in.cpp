// Parameter file: the counting pre-pass, the parser's reports and rejections,
// and the run driver's own messages around them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "pelkaro/Pelkaro.h"
#include "test_util.h"
#include "file_out.h"
#include "parse_in.h"
#include "pelkaro/files.h"

using namespace pkt;

namespace {

const std::string kEntered = "Entered parse_in()\n";
const std::string kFinished = "Finished parse_in\n";

// In-process parses run in a scratch directory holding a few empty data
// files and a subdirectory, so that relative names resolve there.
class Parse : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path old;
    Param p{};
    std::vector<Data2D> sam, buf;
    Data2D dc, sens, mask;
    void SetUp() override {
        old = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        for (const char* f : {"s.dat", "b.dat", "d.dat", "sens.dat", "m.dat"}) write_file(f, "");
        std::filesystem::create_directory("sub");
    }
    void TearDown() override { std::filesystem::current_path(old); }
    // Parses `text`; `out` receives what the parser printed on its console.
    Status run(const std::string& text, std::string& out) {
        write_file("p.par", text);
        p = Param{};
        sam.assign(4, Data2D{});
        buf.assign(4, Data2D{});
        dc = sens = mask = Data2D{};
        out.clear();
        return parse_in("p.par", p, sam, buf, dc, sens, mask, nullptr, Console{nullptr, &out});
    }
};

using V = std::vector<float>;

// One keyword line, the expected console text between the parser's first and
// last line.
struct Case {
    std::string text, report;
};

// The exposure line of a file line's report.
std::string expo(const char* tm, const char* mon) {
    return std::string("The exposure time is ") + tm + ".000000 and the monitor counts are " + mon + ".000000.\n\n";
}

TEST_F(Parse, AcceptedLinesReportExactly) {
    const std::string m1 = "The reduction mode is 1\n", blanks(600, ' ');
    const std::string sens1 = "The sensitivity file is sens.dat and the jacobian flag is ";
    const std::vector<Case> cases = {
        {"MODE 1\nCNTR 511 0\n", m1 + "The beam center is 511.000000 0.000000 (pixels)\n"},
        {"MODE\t2\n", "The reduction mode is 2\n"}, {"MODE=1\n", m1}, {"mode 7\n#MODE 7\n\nxyz 1\n", ""},
        {"ANGS 0 360\n", "The angular range for the azimuthal averaging is:  0.000000 6.283185\n"},
        {"SMRP 5000 -4 0\n", "The smearing parameters are 5000.000000 -2.000000 0.000000 (mm)\n"},
        {"WAVE 6 -1\n", "The wavelength is 6.000000 (Angstroms) with a spread of -1.000000\n"},
        {"AVGM 1.5\n", "The averaging mode is 1\n"},
        {"CNTR 1 2\nCNTR 3 4" + blanks + "\n",
         "The beam center is 1.000000 2.000000 (pixels)\nThe beam center is 3.000000 4.000000 (pixels)\n"},
        {"DATB nofile.dat 0\n", "Ignoring buffer file\nThe buffer file #0 is nofile.dat.\n" + expo("0", "0")},
        {"DATD nofile.dat 0\n", "Ignoring the dark current\nThe dark current file is nofile.dat.\n" + expo("0", "0")},
        {"MASK nofile.dat 0 1\n", "Using an internal mask generated using the sensitivity file\n"},
        {"DATS s.dat 600 1e6 1 0.8\n", "The data file #0 is s.dat.\n" + expo("600", "1000000")},
        {"MODE 1\nDATS a\tb.dat 600 1 1 1" + blanks + "\n", m1 + "The data file #0 is a\tb.dat.\n" + expo("600", "1")},
        {"MODE 1\nDATS  600 1 1 1\n", m1 + "The data file #0 is .\n" + expo("600", "1")},
        {"MODE 1\nDATS " + std::string(300, 'n') + " 600 1 1 1\n",
         m1 + "The data file #0 is " + std::string(300, 'n') + ".\n" + expo("600", "1")},
        {"MODE 1\nDATS nofile.dat 600 1 1 1\nMODE 0\nDATB b.dat 5 6 1 1\n",
         m1 + "The data file #0 is nofile.dat.\n" + expo("600", "1") +
             "The reduction mode is 0\nThe buffer file #0 is b.dat.\n" + expo("5", "6")},
        {"SENS x sens.dat\n", sens1 + "1\n"}, {"SENS 0 sens.dat", sens1 + "0\n"},
        {"MODE 1\nSENS 0 my sens.dat  \n", m1 + "The sensitivity file is my sens.dat   and the jacobian flag is 0\n"},
        {"MODE 1\nSENS\n", m1 + "The sensitivity file is  and the jacobian flag is 1\n"},
        {"MODE 1\nSENS 0\n", m1 + "The sensitivity file is  and the jacobian flag is 0\n"},
        {"SENS 1 sens.dat\r\nMASK m.dat 2 0\r\n", sens1 + "1\nThe mask file is m.dat\n"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_TRUE(succeeded(run(c.text, out))) << c.text;
        EXPECT_EQ(out, kEntered + c.report + kFinished) << c.text;
    }
}

TEST_F(Parse, StoredValues) {
    std::string out;
    ASSERT_TRUE(succeeded(run("MODE 1\nCNTR 64.5 63.25\nSMRP 5000 20 10\nWAVE 6 0.125\nANGS 10 350\nMASK x 0 1\n"
                              "DATS s1 600 1e6 1 0.8\nDATS s2 300 5 0.5 0.9\nDATB b0 0 9 9 9\nDATD d1 1 2\n"
                              "DATD d2 3 4\nSENS 0 sens name\nSENS 7 other\nAVGM 2\nBINS 1.5\nABSF 2\n"
                              "PXSP 0.5 0.25\nSM2D 4000\n",
                              out)));
    EXPECT_EQ((std::vector<int>{p.mode, p.mask_source, p.jacobian, p.average}), (std::vector<int>{1, 1, 1, 2}));
    EXPECT_EQ((V{p.bx, p.by, p.src2sam, p.srcapp, p.samapp, p.wavelen, p.dwavelen, p.thmin, p.thmax,
                 p.bin_width, p.abs_fact, p.px, p.py, p.sam2det}),
              (V{64.5f, 63.25f, 5000, 10, 5, 6, 0.125f, static_cast<float>(10.0 * 3.141592653589793 / 180.0),
                 static_cast<float>(350.0 * 3.141592653589793 / 180.0), 1.5f, 2, 0.5f, 0.25f, 4000}));
    EXPECT_EQ((V{sam[0].tm, sam[0].monitor, sam[0].thick, sam[0].trans, sam[1].trans, buf[0].tm, dc.tm,
                 dc.monitor, mask.tm}),
              (V{600, 1e6f, 1, 0.8f, 0.9f, 0, 3, 4, 0}));
    EXPECT_EQ((std::vector<std::string>{sam[0].name, sam[1].name, buf[0].name, dc.name, sens.name, mask.name}),
              (std::vector<std::string>{"s1", "s2", "b0", "d2", "other", "x"}));
    // A rejected value is already stored when the parser gives up.
    const Status st = run("CNTR 600 3\n", out);
    ASSERT_EQ(st.code, Code::bad_parameter);
    EXPECT_EQ(st.keyword, CNTR);
    EXPECT_EQ(p.bx, 600.0f);
}

// A rejection: the keyword and code it is reported with, its reason, the
// console text Pelkaro prints for it, and lines that draw it.
struct Rejection {
    int keyword;
    Code code;
    std::string reason, report;
    std::vector<std::string> texts;
};

// A value the parser refuses, labelled with its name.
Rejection by_parser(int keyword, const std::string& reason, std::vector<std::string> texts) {
    return {keyword, Code::bad_parameter, reason, "parse_in -> " + reason + "\n", std::move(texts)};
}

// A refusal printed as its reason alone.
Rejection plain(int keyword, Code code, const std::string& reason, std::vector<std::string> texts) {
    return {keyword, code, reason, reason + "\n", std::move(texts)};
}

std::vector<Rejection> keyword_rejections() {
    const Code missing = Code::cannot_read;
    return {
        by_parser(MODE, "the reduction mode specified is undefined",
                  {"MODE 3\n", "MODE -1\n", "MODE\n", "MODE 2147483648\n", "MODE inf\n", "MODE x\n",
                   "#" + std::string(509, 'x') + "MODE 3\n"}),  // the last: second piece of a comment
        by_parser(CNTR, "the specified beam center is not on the detector",
                  {"CNTR 511.5 0\n", "CNTR -0.1 5\n", "CNTR 64.5, 63.2\n", "CNTR 64\n", "CNTR 1e39 5\n",
                   "CNTR 5 nan\n"}),
        by_parser(PXSP, "the specified pixel spacing is unphysical",
                  {"PXSP 0 1\n", "PXSP 1 -1\n", "PXSP 1\n", "PXSP inf 1\n"}),
        by_parser(SM2D, "the specified sample-to-detector distance is not physically realistic",
                  {"SM2D 0\n", "SM2D\n", "SM2D 1e39\n"}),
        by_parser(SMRP, "the specified source-to-sample distance is not physically realistic",
                  {"SMRP 0 20 10\n", "SMRP 5000 20\n", "SMRP 5000 nan 10\n", "SMRP 5000 20 inf\n",
                   "SMRP inf 20 10\n"}),
        by_parser(WAVE, "the specified wavelength is unphysical",
                  {"WAVE 0 0.1\n", "WAVE 6\n", "WAVE 6 inf\n", "WAVE inf 0\n"}),
        by_parser(ABSF, "the specified absolute intensity scaling factor is not physical",
                  {"ABSF 0\n", "ABSF -1\n", "ABSF\n", "ABSF inf\n"}),
        by_parser(AVGM, "the averaging mode specified is undefined", {"AVGM 3\n", "AVGM -1\n", "AVGM\n", "AVGM nan\n"}),
        plain(ANGS, Code::bad_parameter, "The azimuthal averagingn angles are improperly defined",
              {"ANGS 90 90\n", "ANGS 10 5\n", "ANGS -1 10\n", "ANGS 0 360.5\n", "ANGS 0\n", "ANGS 0 nan\n"}),
        by_parser(BINS, "the specified bin width (in pixels) is nonsense", {"BINS 0.5\n", "BINS\n", "BINS inf\n"}),
        {DATS, Code::bad_parameter, "There is no sample time specified",
         "There is no sample time specified...exiting program\n",
         {"DATS nofile.dat 0 1 1 1\n", "MODE 1\nDATS s.dat 0 1 1 1\n", "DATS s.dat\n", "MODE 2\nDATS x\n"}},
        plain(DATS, missing, "The data file nofile.dat does not exist", {"DATS nofile.dat 600 1 1 1\n"}),
        plain(DATS, missing, "The data file sub does not exist", {"DATS sub 600 1 1 1\n"}),
        plain(DATB, missing, "The buffer file nofile.dat does not exist", {"DATB nofile.dat 600 1 1 1\n"}),
        plain(DATB, missing, "The buffer file sub does not exist", {"DATB sub -1 1 1 1\n"}),
        plain(DATD, missing, "The dark current file nofile.dat does not exist", {"DATD nofile.dat 5 1\n"}),
        plain(SENS, missing, "The sensitivity file nofile.dat does not exist", {"SENS 0 nofile.dat\n"}),
        plain(SENS, missing, "The sensitivity file sub does not exist", {"SENS 0 sub\n"}),
        plain(SENS, missing, "The sensitivity file  does not exist", {"SENS 0\n"}),
        plain(MASK, missing, "The mask file nofile.dat does not exist", {"MASK nofile.dat 1 1\n"}),
        plain(MASK, missing, "The mask file /dev/null does not exist", {"MASK /dev/null 1 1\n"}),
    };
}

// The line refused is the last of each text; a sample or buffer line is the
// first entry of its kind.
TEST_F(Parse, RejectionsPrintTheKeywordsMessage) {
    for (const Rejection& r : keyword_rejections()) {
        for (const std::string& text : r.texts) {
            SCOPED_TRACE(text);
            std::string out;
            const Status st = run(text, out);
            EXPECT_EQ(st.stage, Stage::parameters);
            EXPECT_EQ(st.code, r.code);
            EXPECT_EQ(st.keyword, r.keyword);
            EXPECT_EQ(st.entry, r.keyword == DATS || r.keyword == DATB ? 0 : -1);
            EXPECT_EQ(st.line, static_cast<int>(std::count(text.begin(), text.end(), '\n')));
            EXPECT_EQ(st.reason, r.reason);
            EXPECT_EQ(st.text(), r.report);
            const std::string pre = text.rfind("MODE 1\n", 0) == 0   ? "The reduction mode is 1\n"
                                    : text.rfind("MODE 2\n", 0) == 0 ? "The reduction mode is 2\n"
                                                                     : "";
            EXPECT_EQ(out, kEntered + pre);
        }
    }
}

// Lines the program's own rules reject, with a diagnostic of its own: the
// report names the keyword, or says that the line is too long.
TEST_F(Parse, RejectionsWithOwnDiagnostic) {
    const std::string name600(600, 'a');
    const std::string invalid = "missing or invalid number on the ";
    const std::string cut = " line is too long (more than 510 characters)";
    struct Own {
        std::string text;
        int keyword;
        Code code;
        std::string reason;
    };
    const Code bad = Code::bad_parameter, too_long = Code::line_too_long;
    const std::vector<Own> cases = {
        {"DATS s.dat 600 1 1\n", DATS, bad, invalid + "DATS line"},
        {"DATS s.dat 600 1e39 1 1\n", DATS, bad, invalid + "DATS line"},
        {"DATB b.dat 600\n", DATB, bad, invalid + "DATB line"}, {"DATB b.dat\n", DATB, bad, invalid + "DATB line"},
        {"DATD d.dat 5\n", DATD, bad, invalid + "DATD line"}, {"DATD d.dat\n", DATD, bad, invalid + "DATD line"},
        {"MASK m.dat 1\n", MASK, bad, invalid + "MASK line"}, {"MASK m.dat\n", MASK, bad, invalid + "MASK line"},
        {"MASK m.dat 1 99999999999\n", MASK, bad, invalid + "MASK line"},
        {"MODE 1\nSENS 0 " + name600 + "\n", SENS, too_long, "the SENS" + cut},
        {"MODE 1\nDATS " + name600 + " 600 1 1 1\n", DATS, too_long, "the DATS" + cut},
        {"CNTR 64" + std::string(501, ' ') + "63.5\n", CNTR, too_long, "the CNTR" + cut},
    };
    for (const Own& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        std::string out;
        const Status st = run(c.text, out);
        EXPECT_EQ(st.stage, Stage::parameters);
        EXPECT_EQ(st.code, c.code);
        EXPECT_EQ(st.keyword, c.keyword);
        EXPECT_EQ(st.line, static_cast<int>(std::count(c.text.begin(), c.text.end(), '\n')));
        EXPECT_EQ(st.reason, c.reason);
        EXPECT_EQ(st.text(), "parse_in -> " + c.reason + "\n");
        EXPECT_EQ(out, kEntered + (c.text.rfind("MODE 1\n", 0) == 0 ? "The reduction mode is 1\n" : ""));
    }
}

// A comment line cut by the read limit: the 2D output header copies each
// piece behind its own "# ", the second on the same physical line.
TEST_F(Parse, LongParameterLineInOutputHeader) {
    std::string longline = "CNTR 1 2 " + std::string(600, 'x');
    write_file("p.par", "MODE 0\n#note\n" + longline + "\n\nBINS 1");
    Data2D res;
    res.name = "out.dat";
    res.intens.assign(kImageValues, 0.0f);
    res.uncert.assign(kImageValues, 0.0f);
    ASSERT_TRUE(succeeded(write_2D(Param{}, res, "p.par", Console{nullptr, nullptr})));
    std::string expect = "# MODE 0\n# " + longline.substr(0, 510) + "# " + longline.substr(510) +
                         "\n# \n# BINS 1\n# detector appears as if looking from sample position\n0.0000\t";
    EXPECT_EQ(read_file("out.d2d").substr(0, expect.size()), expect);
}

// ---- Through the executable ----

const std::string kComplete =
    "# complete parameter file\nMODE 1\nCNTR 64.5 63.25\nPXSP 0.5 0.5\nSM2D 4000\nSMRP 5000 20 10\n"
    "WAVE 6 0.125\nDATS s1.dat 600 1e6 1 0.8\nDATS s2.dat 300 5e5 0.1 0.9\n\nmode 3\n"
    "DATB b1.dat 0\nDATB b2.dat 600 1e6 1 0.85\nDATD dc.dat 100 2000\nSENS 0 sens file.dat\n"
    "MASK mymask.dat 0 1\nABSF 1.5\nAVGM 2\nANGS 0 180\nBINS 1\n";

const std::string kCompleteReport =
    "Parsing input file...\nEntered count_parse()\nThe number of sample files is 2\n"
    "The number of buffer files is 2\nEntered parse_in()\nThe reduction mode is 1\n"
    "The beam center is 64.500000 63.250000 (pixels)\nThe pixel spacing is 0.500000 0.500000 (cm)\n"
    "The sample-to-detector distance is 4000.000000 (mm)\n"
    "The smearing parameters are 5000.000000 10.000000 5.000000 (mm)\n"
    "The wavelength is 6.000000 (Angstroms) with a spread of 0.125000\n"
    "The data file #0 is s1.dat.\n"
    "The exposure time is 600.000000 and the monitor counts are 1000000.000000.\n\n"
    "The data file #1 is s2.dat.\n"
    "The exposure time is 300.000000 and the monitor counts are 500000.000000.\n\n"
    "Ignoring buffer file\nThe buffer file #0 is b1.dat.\n"
    "The exposure time is 0.000000 and the monitor counts are 0.000000.\n\n"
    "The buffer file #1 is b2.dat.\n"
    "The exposure time is 600.000000 and the monitor counts are 1000000.000000.\n\n"
    "The dark current file is dc.dat.\n"
    "The exposure time is 100.000000 and the monitor counts are 2000.000000.\n\n"
    "The sensitivity file is sens file.dat and the jacobian flag is 0\n"
    "Using an internal mask generated using the sensitivity file\n"
    "The absolute intensity scaling factor is 1.500000\nThe averaging mode is 2\n"
    "The angular range for the azimuthal averaging is:  0.000000 3.141593\n"
    "The bin width for the rotational averaging is 1.000000\nFinished parse_in\n"
    "Preparing mask file...\nWriting mask file...\nEntered write_mask\n"
    "Mask file generation completed normally\n";

TEST(Driver, CompleteFileFullReportLfAndCrlf) {
    std::string crlf;
    for (char c : kComplete) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string& text : {kComplete, crlf}) {
        TempDir dir;
        write_file(dir / "run.par", text);
        RunResult r = run_param(dir, "run.par");
        EXPECT_EQ(r.out, kCompleteReport);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Driver, UsageText) {
    const std::string usage =
        "Pelkaro:  insufficient input parameters\n\t\tusage:  Pelkaro <input file>\n"
        "\n\t\t<input file> is name of the file containing the reduction parameters\n";
    TempDir dir;
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"a.par", "b.par"}, {"--help", "x"}}) {
        RunResult r = run_pelkaro(args, dir.path());
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 255);
    }
    // Help and version are asked for on their own.
    RunResult help = run_pelkaro({"--help"}, dir.path());
    EXPECT_EQ(help.out.rfind(usage.substr(usage.find('\t')), 0), 0u) << help.out;
    EXPECT_NE(help.out.find("man Pelkaro"), std::string::npos);
    EXPECT_EQ(help.status, 0);
    RunResult version = run_pelkaro({"--version"}, dir.path());
    EXPECT_EQ(version.out, std::string("Pelkaro ") + PELKARO_VERSION + "\n");
    EXPECT_EQ(version.status, 0);
}

TEST(Driver, CountFailures) {
    const std::string head = "Parsing input file...\nEntered count_parse()\n";
    const std::string bad = "count_parse -> bad number of sample or buffer files (must be > 0)\n";
    const std::string tail = "Pelkaro:  unable to determine the number of sample and buffer files\n";
    TempDir dir;
    std::filesystem::create_directory(dir / "adir");
    write_file(dir / "nobuf.par", "MODE 1\nDATS s 1 1 1 1\n");
    write_file(dir / "nosam.par", "MODE 1\nDATB b 1 1 1 1\nDATB c 1 1 1 1\ndats x 1\n");
    const std::vector<Case> cases = {
        {"nobuf.par", "The number of sample files is 1\nThe number of buffer files is 0\n" + bad},
        {"nosam.par", "The number of sample files is 0\nThe number of buffer files is 2\n" + bad},
        {"none.par", "count_parse -> could not open the file none.par\n"},
        {"adir", "count_parse -> could not open the file adir\n"},
    };
    for (const Case& c : cases) {
        RunResult r = run_param(dir, c.text);
        EXPECT_EQ(r.out, head + c.report + tail) << c.text;
        EXPECT_EQ(r.status, 255);
    }
}

TEST(Driver, ParseFailureAndPieceCounting) {
    TempDir dir;
    write_file(dir / "bad.par", "DATS s 1 1 1 1\nDATB b 1 1 1 1\nMODE 1\nBINS 0\n");
    RunResult r = run_param(dir, "bad.par");
    EXPECT_EQ(r.out,
              "Parsing input file...\nEntered count_parse()\nThe number of sample files is 1\n"
              "The number of buffer files is 1\nEntered parse_in()\nThe data file s does not exist\n"
              "Pelkaro:  unable to parse the input file\nExiting program\n");
    EXPECT_EQ(r.status, 255);
    // The pre-pass counts pieces exactly as the parser handles them: the second
    // piece of an over-long comment line is a buffer line for both.
    write_file(dir / "cut.par", "MODE 1\nDATS s 1 1 1 1\n#" + std::string(509, '-') + "DATB b 0\n");
    r = run_param(dir, "cut.par");
    EXPECT_NE(r.out.find("The number of buffer files is 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Ignoring buffer file\nThe buffer file #0 is b.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0);
}

// A reduction that lacks a keyword it will use stops after the parse, before
// anything is loaded.
TEST(Driver, MissingKeywordsForReduction) {
    const char* lines[] = {"MODE 0", "CNTR 64 64", "PXSP 0.5 0.5", "SM2D 4000", "SMRP 5000 20 10", "WAVE 6 0.1",
                           "DATS s.dat 600 1000 1 0.8", "DATB b.dat 600 1000 1 0.9", "SENS 0 sens.dat",
                           "ABSF 1", "AVGM", "ANGS 0 360", "BINS 1"};
    auto without = [&](const std::string& drop, const char* avgm) {
        std::string s;
        for (std::string l : lines)
            if (drop.find(l.substr(0, 4)) == std::string::npos) s += (l == "AVGM" ? l + " " + avgm : l) + "\n";
        return s;
    };
    TempDir dir;
    for (const char* f : {"s.dat", "b.dat", "sens.dat"}) write_file(dir / f, "");
    for (const char* key : {"CNTR", "PXSP", "SM2D", "SENS", "ABSF", "SMRP", "WAVE", "ANGS", "BINS"}) {
        for (const char* avgm : {"1", "2"}) {
            write_file(dir / "p.par", without(key, avgm));
            RunResult r = run_param(dir, "p.par");
            std::size_t at = r.out.find(kFinished);
            ASSERT_NE(at, std::string::npos) << key << "\n" << r.out;
            std::string after = r.out.substr(at + kFinished.size());
            EXPECT_EQ(after.rfind("Pelkaro:  ", 0), 0u) << key << "\n" << after;
            EXPECT_NE(after.find(key), std::string::npos) << key << "\n" << after;
            EXPECT_EQ(after.find("Reading"), std::string::npos) << key << "\n" << after;
            EXPECT_EQ(r.status, 255) << key;
        }
    }
    // Without averaging the curve's keywords are not needed.
    write_file(dir / "p.par", without("SMRP WAVE ANGS BINS", "0"));
    RunResult r = run_param(dir, "p.par");
    EXPECT_NE(r.out.find(kFinished + "Reading the sample data files...\n"), std::string::npos) << r.out;
}

}  // namespace
