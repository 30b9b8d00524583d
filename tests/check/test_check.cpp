// pelkaro-check: the diagnostics it prints, line for line, for runs built in
// a scratch directory; for every error Pelkaro itself refuses the same run,
// for warnings alone it completes it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "pelkaro/check.h"
#include "test_util.h"

namespace {

using Lines = std::vector<std::string>;

// A sound reduction: every file present, the beam stop (pixel (64, 64))
// masked; the checker finds nothing in it.
const Lines kBase = {"MODE 0", "CNTR 64.5 64.5", "PXSP 5 5", "SM2D 5000", "SMRP 5000 30 10", "WAVE 6 0.1",
                     "DATS s.dat 100 1000 0.1 0.9", "DATB b.dat 100 1000 0.1 0.95", "SENS 1 f.dat",
                     "MASK m.mask 1 1", "ABSF 1", "AVGM 2", "ANGS 0 360", "BINS 1"};

std::string joined(const Lines& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

std::string image(long value, double time = 100, double monitor = 1000) {
    return pkt::detector_file(std::vector<long>(16384, value), time, monitor);
}

// A mask file using the pixels for which `used(x, y)` holds.
template <class F>
std::string mask_file(F used) {
    std::string s;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) s += used(x, y) ? "1\n" : "0\n";
    return s;
}

void write_base(const pkt::TempDir& dir, const Lines& par) {
    pkt::write_file(dir / "s.dat", image(50));
    pkt::write_file(dir / "b.dat", image(20));
    pkt::write_file(dir / "f.dat", image(1000));
    pkt::write_file(dir / "m.mask", mask_file([](int x, int y) { return !(x == 64 && y == 64); }));
    pkt::write_file(dir / "p.par", joined(par));
}

Lines with(Lines lines, std::size_t line, const std::string& text) {
    lines[line - 1] = text;
    return lines;
}

std::string real(const pkt::TempDir& dir) { return std::filesystem::canonical(dir.path()).string(); }

struct Checked {
    int status = -1;
    Lines lines;  // everything printed, line by line
};

Lines split(const std::string& s) {
    Lines out;
    std::size_t at = 0;
    while (at < s.size()) {
        const std::size_t nl = s.find('\n', at);
        out.push_back(s.substr(at, nl - at));
        at = nl == std::string::npos ? s.size() : nl + 1;
    }
    return out;
}

// Runs pelkaro-check with `args` in `dir`; standard output, or standard
// error when `err`.
Checked run_check(const std::string& dir, const std::string& args, bool err = false) {
    const std::string cmd =
        "cd '" + dir + "' && '" PELKARO_CHECK_EXE "' " + args + (err ? " 2>&1 >/dev/null" : " 2>/dev/null");
    Checked c;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int w = ::pclose(p);
    c.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    c.lines = split(out);
    return c;
}

Checked check(const pkt::TempDir& dir) { return run_check(dir.path(), "p.par"); }

Lines with_summary(Lines diags, const std::string& summary) {
    diags.push_back(summary);
    return diags;
}

}  // namespace

TEST(Check, CommandLine) {
    pkt::TempDir dir;
    write_base(dir, kBase);
    const Checked help = run_check(dir.path(), "--help");
    EXPECT_EQ(help.status, 0);
    ASSERT_FALSE(help.lines.empty());
    EXPECT_EQ(help.lines[0], "usage: pelkaro-check [--strict] [--trans TRANS.tsv] PARAMFILE");
    EXPECT_EQ(run_check(dir.path(), "--version").lines, Lines{"pelkaro-check " PELKARO_VERSION});
    for (const char* wrong : {"", "p.par p.par", "--loud p.par"}) {
        const Checked c = run_check(dir.path(), wrong, true);
        EXPECT_EQ(c.status, 2) << wrong;
        ASSERT_GE(c.lines.size(), 2u) << wrong;
        EXPECT_EQ(c.lines[1], "usage: pelkaro-check [--strict] [--trans TRANS.tsv] PARAMFILE") << wrong;
        EXPECT_TRUE(run_check(dir.path(), wrong).lines.empty()) << wrong;
    }
    const Checked clean = check(dir);
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.lines, Lines{"0 errors, 0 warnings"});
    // A warning stops the run only under --strict.
    pkt::write_file(dir / "p.par", joined(with(kBase, 11, "ABSF 16,5")));
    const Lines warned = {"p.par:11: warning: \"16,5\" is read as 16: a comma ends a number; write decimals with "
                          "a point (16.5)"};
    EXPECT_EQ(check(dir).lines, with_summary(warned, "0 errors, 1 warning"));
    EXPECT_EQ(check(dir).status, 0);
    const Checked strict = run_check(dir.path(), "--strict p.par");
    EXPECT_EQ(strict.status, 1);
    EXPECT_EQ(strict.lines, with_summary(warned, "0 errors, 1 warning (--strict: warnings count as errors)"));
    EXPECT_EQ(run_check(dir.path(), "gone.par").lines,
              with_summary({"gone.par: error: the parameter file \"gone.par\" cannot be used: \"" + real(dir) +
                            "/gone.par\" is missing"},
                           "1 error, 0 warnings"));
}

// The bundled example passes clean; its beam-centre run gives the line
// that the example's reduction uses.  Nothing is written.
TEST(Check, BundledExample) {
    const std::string examples = PELKARO_SOURCE_DIR "/examples";
    std::vector<std::string> before;
    for (const auto& e : std::filesystem::directory_iterator(examples)) before.push_back(e.path().string());
    const Checked spheres = run_check(examples, "spheres.par");
    EXPECT_EQ(spheres.status, 0);
    EXPECT_EQ(spheres.lines, Lines{"0 errors, 0 warnings"});
    const Checked beam = run_check(examples, "beam_centre.par");
    EXPECT_EQ(beam.status, 0);
    EXPECT_EQ(beam.lines, (Lines{"beam_centre.par:6: note: the beam centre measured on \"direct_beam.dat\" is X = 62 "
                                 "(mean row), Y = 65 (mean column); the line for the reduction's parameter file:",
                                 "CNTR 65.5 62.5", "0 errors, 0 warnings"}));
    std::vector<std::string> after;
    for (const auto& e : std::filesystem::directory_iterator(examples)) after.push_back(e.path().string());
    EXPECT_EQ(before.size(), after.size());
}

// Each line that Pelkaro rejects, alone in the file and all together: the
// checker names every one, with the text and the rule; Pelkaro stops.
TEST(Check, RejectedLines) {
    pkt::TempDir dir;
    struct Fault {
        std::size_t line;
        std::string text;
        std::string diagnostic;
    };
    const std::vector<Fault> faults = {
        {2, "CNTR 40.31, 75.64",
         "error: CNTR needs two numbers (beam centre x and y in pixels, 0 to 511); found \"40.31, 75.64\": the comma "
         "ends the first number"},
        {7, "DATS s.dat\t100 1000 0.1 0.9",
         "error: DATS needs a file name and four numbers (counting time, monitor counts, thickness, transmission); "
         "found \"s.dat\\t100 1000 0.1 0.9\": a tab does not end a file name, only a blank does: the name "
         "\"s.dat\\t100\" absorbs the tab and what follows it, so the time is missing; put a blank after the name"},
        {8, "DATB gone.dat 100 1000 0.1 0.95",
         "error: the buffer file \"gone.dat\" cannot be used: \"" + real(dir) + "/gone.dat\" is missing"},
        {9, "SENS 1 f.dat  ",
         "error: the sensitivity file \"f.dat  \" cannot be used: \"" + real(dir) +
             "/f.dat  \" is missing; the name ends in 2 blanks, which belong to it (everything after the flag is the "
             "name)"},
        {13, "ANGS 90 90", "error: ANGS needs 0 <= first < second <= 360; found \"90 90\""},
        {14, "BINS1",
         "error: BINS needs one number (radial bin width in pixels); found nothing: the keyword is glued to its value "
         "and values are read from the sixth character, so \"1\" is not read; put a blank after BINS"},
    };
    Lines all = kBase;
    Lines expected;
    for (const Fault& f : faults) {
        write_base(dir, with(kBase, f.line, f.text));
        const std::string diagnostic = "p.par:" + std::to_string(f.line) + ": " + f.diagnostic;
        const Checked c = check(dir);
        EXPECT_EQ(c.status, 1) << f.text;
        EXPECT_EQ(c.lines, with_summary({diagnostic}, "1 error, 0 warnings"));
        EXPECT_EQ(pkt::run_param(dir, "p.par").status, 255) << f.text;
        all = with(all, f.line, f.text);
        expected.push_back(diagnostic);
    }
    write_base(dir, all);
    EXPECT_EQ(check(dir).lines, with_summary(expected, "6 errors, 0 warnings"));
}

TEST(Check, MissingLines) {
    pkt::TempDir dir;
    Lines par = with(kBase, 7, "DATS s.dat 0 1000 0.1 0.9");
    par.erase(par.begin() + 7);  // DATB
    par.erase(par.begin() + 3);  // SM2D
    write_base(dir, par);
    EXPECT_EQ(check(dir).lines,
              with_summary({"p.par:6: error: DATS: the counting time is 0; a sample needs a counting time other than 0",
                            "p.par: error: there is no DATB line: Pelkaro needs at least one buffer line (DATB) in "
                            "every run mode; a line with time 0, such as \"DATB none 0 0 1 1\", is never read",
                            "p.par: error: there is no SM2D line, which a data reduction needs: one number "
                            "(sample-to-detector distance)"},
                           "3 errors, 0 warnings"));
    EXPECT_EQ(pkt::run_param(dir, "p.par").status, 255);
}

// Lines that Pelkaro ignores or reads otherwise than they look: warnings
// only, and the run completes.
TEST(Check, IgnoredAndMisreadLines) {
    pkt::TempDir dir;
    Lines par = with(kBase, 14, "BINS12");
    for (const char* extra : {"DTAD d.dat 100 0", "MAKS m.mask 1 1", "cntr 64.5 64.5", " BINS 1", "AVGM 2"})
        par.push_back(extra);
    par.push_back("#" + std::string(509, '-') + "ABSF 2");
    par.push_back("MASK m.mask 1 0");
    write_base(dir, par);
    const Checked c = check(dir);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.lines,
              with_summary(
                  {"p.par:2: warning: the pixel (64, 64) at the beam centre is in use: is the beam stop masked? The "
                   "internal mask masks only the detector's edges.",
                   "p.par:14: warning: \"BINS12\": the keyword is glued to what follows; values are read from the "
                   "sixth character, so this line sets 2; put a blank after BINS",
                   "p.par:15: warning: \"DTAD\" is not a keyword, so this line is ignored; did you mean DATD?",
                   "p.par:16: warning: \"MAKS\" is not a keyword, so this line is ignored; did you mean MASK?",
                   "p.par:17: warning: \"cntr\" is not a keyword (keywords are upper case), so this line is ignored; "
                   "did you mean CNTR?",
                   "p.par:18: warning: the line begins with a blank before BINS, so it is not read as a keyword and "
                   "is ignored; start the line with BINS",
                   "p.par:19: warning: AVGM is given again (first on line 12); the last one wins",
                   "p.par:20: warning: the line is longer than 510 characters and Pelkaro reads it in pieces of 510: "
                   "the piece from character 511 begins with ABSF and is read as a keyword line, which takes effect",
                   "p.par:20: warning: ABSF is given again (first on line 11); the last one wins",
                   "p.par:21: warning: MASK is given again (first on line 10); the last one wins",
                   "p.par:21: warning: MASK names the file \"m.mask\" but its last number is 0, not 1, so the file is "
                   "not used and the internal mask is; the console still reports \"The mask file is m.mask\""},
                  "0 errors, 11 warnings"));
    EXPECT_EQ(pkt::run_param(dir, "p.par").status, 0);
}

TEST(Check, SuspiciousValues) {
    pkt::TempDir dir;
    Lines par = with(kBase, 2, "CNTR 300 64");
    par = with(par, 6, "WAVE 6 10");
    par = with(par, 7, "DATS s.dat 100 1000 0.1 90");
    par = with(par, 9, "SENS 1 f.dat ");
    par = with(par, 11, "ABSF 16,99243");
    write_base(dir, par);
    pkt::write_file(dir / "f.dat ", image(1000));
    EXPECT_EQ(check(dir).lines,
              with_summary({"p.par:2: warning: the beam centre (300, 64) lies outside the detector, which spans 0 to "
                            "128 pixels along x and y",
                            "p.par:6: warning: the wavelength spread 10 is 1 or more: it is relative (0.1 means 10 %)",
                            "p.par:7: warning: the transmission 90 lies outside (0, 1]; is it given in percent?",
                            "p.par:9: warning: the sensitivity file name \"f.dat \" ends in 1 blank, which belongs to "
                            "it (everything after the flag is the name)",
                            "p.par:11: warning: \"16,99243\" is read as 16: a comma ends a number; write decimals "
                            "with a point (16.99243)"},
                           "0 errors, 5 warnings"));
    EXPECT_EQ(pkt::run_param(dir, "p.par").status, 0);
}

// What the detector reader takes without a word.
TEST(Check, DetectorFiles) {
    pkt::TempDir dir;
    Lines par = kBase;
    par.push_back("DATD d.dat 100 0");
    write_base(dir, par);
    std::string sample = "<timestamp>2024</timestamp>\n<time>100</time>\n<monitor>1000</monitor>\n"
                         "<psd counts>999</psd counts>\n<Monitor>5</Monitor>\n7.0 3 -5\n";
    for (int i = 0; i < 8188; ++i) sample += "1\n";
    pkt::write_file(dir / "s.dat", sample);
    pkt::write_file(dir / "b.dat", image(20, 100, 0));
    pkt::write_file(dir / "d.dat", pkt::detector_file(std::vector<long>(20000, 1), 100, 0));
    EXPECT_EQ(check(dir).lines,
              with_summary(
                  {"p.par:8: warning: the header of \"b.dat\" gives the monitor count 0, so Pelkaro normalises it by "
                   "its counting time, 100, while the sample file \"s.dat\" (line 7) is normalised by its monitor "
                   "count, 1000",
                   "s.dat:1: warning: the header tag \"<timestamp>\" is read as the counting time, 2024: only its "
                   "first five characters are compared",
                   "s.dat:4: warning: the counts add up to 8203, the tag \"<psd counts>\" says 999",
                   "s.dat:5: warning: \"<Monitor>\" is not a tag Pelkaro reads, so the line is ignored; the tags "
                   "begin \"<time\", \"<moni\" or \"<psd \" (with the blank), in lower case",
                   "s.dat:6: warning: a decimal point inside a data line: \"7.0\" reads as the two counts 7 and 0 "
                   "(counts are whole numbers; every other character ends a number)",
                   "s.dat:6: warning: a minus sign inside a data line: \"-5\" reads as the count 5 (counts are "
                   "unsigned; every other character ends a number)",
                   "s.dat: warning: 8192 detector values, the detector has 16384; the last 8192 pixels count as 0",
                   "d.dat: warning: 20000 detector values, the detector has 16384; the 3616 beyond it are no pixels "
                   "of the detector"},
                  "0 errors, 8 warnings"));
    EXPECT_EQ(pkt::run_param(dir, "p.par").status, 0);
}

// The mask against the flat field, the beam stop and the sector.
TEST(Check, MaskAndFlatField) {
    pkt::TempDir dir;
    write_base(dir, kBase);
    std::vector<long> flat(16384, 1000);
    flat[10 + 128 * 20] = 5000;
    pkt::write_file(dir / "f.dat", pkt::detector_file(flat, 100, 1000));
    pkt::write_file(dir / "m.mask", mask_file([](int, int) { return true; }));
    EXPECT_EQ(check(dir).lines,
              with_summary({"p.par:9: warning: 1 flat-field pixel that the mask leaves in is 0 or outside 0.5 to 1.5 "
                            "times the mean of the pixels in use (first: pixel (10, 20) holds 5000); it shifts the "
                            "normalisation of every pixel: mask it",
                            "p.par:10: warning: the pixel (64, 64) at the beam centre is in use: is the beam stop "
                            "masked?"},
                           "0 errors, 2 warnings"));
    // Only pixels left of the beam centre, a sector to its right.
    write_base(dir, with(kBase, 13, "ANGS 0 10"));
    pkt::write_file(dir / "m.mask", mask_file([](int x, int) { return x < 60; }));
    EXPECT_EQ(check(dir).lines,
              with_summary({"p.par:13: warning: the sector from 0 to 10 degrees and the mask leave no pixel to "
                            "average: the curve would be empty"},
                           "0 errors, 1 warning"));
    EXPECT_EQ(pkt::run_param(dir, "p.par").status, 0);
}

// A report that cannot be written is a failure of its own, whatever the run.
TEST(Check, ReportToAFullDisk) {
    pkt::TempDir dir;
    write_base(dir, kBase);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"p.par"}, {"--strict", "p.par"}, {"--help"}}) {
        const pkt::RunResult r = pkt::run_to_full_disk(PELKARO_CHECK_EXE, args, dir.path());
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.err, "pelkaro-check: error: the report could not be written to standard output\n");
    }
}

// A mask file with values missing or to spare: counted in values, not lines
// (a mask written by run mode 1 holds 128 a line).
TEST(Check, MaskValueCount) {
    pkt::TempDir dir;
    write_base(dir, kBase);
    const std::string full = mask_file([](int x, int y) { return !(x == 64 && y == 64); });
    pkt::write_file(dir / "m.mask", full.substr(0, full.size() - 2 * 300));  // 300 values short
    EXPECT_EQ(check(dir).lines,
              with_summary({"m.mask: warning: 16084 mask values, the detector has 16384; the last 300 pixels are "
                            "masked without a word"},
                           "0 errors, 1 warning"));
    pkt::write_file(dir / "m.mask", full + "1\n1\n");
    EXPECT_EQ(check(dir).lines,
              with_summary({"m.mask: warning: 16386 mask values, the detector has 16384; the 2 beyond it are ignored"},
                           "0 errors, 1 warning"));
    // A grid of 128 values a line reads as a grid only under the header run
    // mode 1 writes; without it, each line gives its first value alone.
    std::string rows;
    for (int y = 0; y < 128; ++y) {
        for (int x = 0; x < 128; ++x) rows += (x == 64 && y == 64) ? "0\t" : "1\t";
        rows += "\n";
    }
    pkt::write_file(dir / "m.mask", "# mask file created from beam center 64.000000 64.000000\n" + rows);
    EXPECT_EQ(check(dir).lines, with_summary({}, "0 errors, 0 warnings"));
    pkt::write_file(dir / "m.mask", "# a grid of the detector's pixels\n" + rows);
    EXPECT_EQ(check(dir).lines,
              with_summary({"m.mask: warning: 128 mask values, the detector has 16384; the last 16256 pixels are "
                            "masked without a word"},
                           "0 errors, 1 warning"));
}

// Refusals of the loads, the reduction and the outputs, each alone.
TEST(Check, RefusedRun) {
    pkt::TempDir dir;
    struct Fault {
        std::string file, content, diagnostic;
        Lines par;
    };
    const std::vector<Fault> faults = {
        {"f.dat", image(0),
         "p.par:9: error: the mean sensitivity of the 16383 used pixels is 0.000000; the sensitivity file f.dat "
         "cannot normalize the detector", kBase},
        {"s.dat", "<time>100</time>\n", "p.par:7: error: the sample file \"s.dat\" holds no detector values; Pelkaro "
                                        "refuses it", kBase},
        {"s.dat", "<time>100</time>\n1 99999999999\n",
         "p.par:7: error: Pelkaro cannot load the sample file \"s.dat\": s.dat holds a count beyond the 32-bit range",
         kBase},
        {"s.dat", image(50, 0, 1000),
         "p.par:7: error: the counting time of sample data file #0 is 0 after reading its header; it cannot be "
         "normalized", kBase},
        {"x", "", "p.par:10: error: the mask file \"gone.mask\" cannot be used: \"" + real(dir) + "/gone.mask\" is "
                  "missing", with(kBase, 10, "MASK gone.mask 0 1")},
        {"s.d2d/x", "", "p.par:7: error: the output file \"" + real(dir) + "/s.d2d\" exists and is not a regular file "
                        "(a directory), so Pelkaro cannot replace it", kBase},
        {"mask.d2d/x", "", "p.par:1: error: the output file \"" + real(dir) + "/mask.d2d\" exists and is not a "
                           "regular file (a directory), so Pelkaro cannot replace it", with(kBase, 1, "MODE 1")},
    };
    for (const Fault& f : faults) {
        pkt::TempDir d2;
        write_base(d2, f.par);
        std::filesystem::create_directories(std::filesystem::path(d2 / f.file).parent_path());
        pkt::write_file(d2 / f.file, f.content);
        std::string expected = f.diagnostic;
        const std::size_t at = expected.find(real(dir));
        if (at != std::string::npos) expected.replace(at, real(dir).size(), real(d2));
        const Checked c = check(d2);
        EXPECT_EQ(c.status, 1) << f.diagnostic;
        EXPECT_EQ(c.lines, with_summary({expected}, "1 error, 0 warnings"));
        EXPECT_EQ(pkt::run_param(d2, "p.par").status, 255) << f.diagnostic;
    }
}

// Mode 2: the measured centre as a CNTR line, and a warning when the pixels
// above the threshold are no compact spot.
TEST(Check, BeamCentreRun) {
    pkt::TempDir dir;
    pkt::write_file(dir / "p.par", "MODE 2\nDATS beam.dat 30 0 1 1\nDATB none 0 0 1 1\n");
    std::vector<long> spot(16384, 0);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x)
            if ((x - 40) * (x - 40) + (y - 76) * (y - 76) <= 9) spot[static_cast<std::size_t>(x + 128 * y)] = 100;
    pkt::write_file(dir / "beam.dat", pkt::detector_file(spot, 30, 0));
    const std::string note = "p.par:2: note: the beam centre measured on \"beam.dat\" is ";
    EXPECT_EQ(check(dir).lines, (Lines{note + "X = 76 (mean row), Y = 40 (mean column); the line for the reduction's "
                                              "parameter file:",
                                       "CNTR 40.5 76.5", "0 errors, 0 warnings"}));
    const pkt::RunResult pelkaro = pkt::run_param(dir, "p.par");
    EXPECT_NE(pelkaro.out.find("X = 76.000000, Y = 40.000000"), std::string::npos);
    // A background of 6 counts: every pixel of the search window counts.
    for (long& v : spot) v += 6;
    pkt::write_file(dir / "beam.dat", pkt::detector_file(spot, 30, 0));
    EXPECT_EQ(check(dir).lines,
              (Lines{note + "X = 63.5 (mean row), Y = 63.5 (mean column); the line for the reduction's parameter file:",
                     "CNTR 64 64",
                     "beam.dat: warning: only 2 % of the 14884 pixels above 5 counts lie within 10 pixels of their "
                     "centroid: background or hot pixels pull the measured centre; measure the attenuated direct "
                     "beam with a low background",
                     "0 errors, 1 warning"}));
}

namespace {

// The kind and text of every diagnostic of check_run on p.par in `dir`.
std::vector<std::pair<pk::DiagnosticKind, std::string>> kinds_of(const pkt::TempDir& dir) {
    const std::string old = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    const pk::CheckResult r = pk::check_run("p.par");
    std::filesystem::current_path(old);
    std::vector<std::pair<pk::DiagnosticKind, std::string>> out;
    for (const pk::Diagnostic& d : r.diagnostics) out.emplace_back(d.kind, pk::diagnostic_line(d));
    return out;
}

}  // namespace

// What pelkaro-batch acts on without reading the words: the findings on the
// places Pelkaro itself would write carry a kind of their own, the mask
// run's directory one apart from a reduction's; every other finding is
// general.
TEST(Check, FindingsOnOutputPlacesCarryTheirKind) {
    using K = pk::DiagnosticKind;
    using Found = std::vector<std::pair<K, std::string>>;
    pkt::TempDir dir;
    write_base(dir, kBase);
    EXPECT_EQ(kinds_of(dir), Found{});
    std::filesystem::create_directory(dir / "s.d1d");
    const std::string d1d = "p.par:7: error: the output file \"" + real(dir) + "/s.d1d\" exists and is not a regular "
                            "file (a directory), so Pelkaro cannot replace it";
    EXPECT_EQ(kinds_of(dir), (Found{{K::output_not_regular, d1d}}));
    // The first sample in a directory that cannot be written (the
    // superuser writes into any).
    std::filesystem::create_directory(dir / "ro");
    pkt::write_file(dir / "ro/s.dat", image(50));
    ::chmod((dir / "ro").c_str(), 0555);
    write_base(dir, with(kBase, 7, "DATS ro/s.dat 100 1000 0.1 0.9"));
    if (::access((dir / "ro").c_str(), W_OK) != 0) {
        EXPECT_EQ(kinds_of(dir), (Found{{K::output_location, "p.par:7: error: the outputs go beside the first sample "
                                                             "file, into, \"" + real(dir) + "/ro\", which cannot be "
                                                             "written (permission denied)"}}));
    }
    write_base(dir, with(kBase, 1, "MODE 1"));
    std::filesystem::create_directory(dir / "mask.d2d");
    EXPECT_EQ(kinds_of(dir), (Found{{K::output_not_regular, "p.par:1: error: the output file \"" + real(dir) +
                                                                "/mask.d2d\" exists and is not a regular file (a "
                                                                "directory), so Pelkaro cannot replace it"}}));
}
