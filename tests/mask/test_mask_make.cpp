// pelkaro-mask: every rule on cases counted by hand, the file read back by
// Pelkaro's mask reader, the example's mask regenerated, and the refusals.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>

#include "mask_make.h"
#include "test_util.h"
#include "geometry.h"
#include "pelkaro/files.h"
#include "pelkaro/flat_field.h"
#include "read_sans.h"

namespace {

using pkt::TempDir;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// The program in-process, its two consoles captured.
Outcome run_job(const std::vector<std::string>& args) {
    Outcome o;
    o.status = mask_make_main(args, Console{nullptr, &o.out}, Console{nullptr, &o.err});
    return o;
}

// The executable in directory `cwd` (arguments quoted for the shell).
Outcome run_exe(const std::vector<std::string>& args, const TempDir& scratch, const std::string& cwd) {
    std::string cmd = "cd '" + cwd + "' && '" PELKARO_MASK_EXE "'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " >'" + (scratch / "stdout") + "' 2>'" + (scratch / "stderr") + "'";
    Outcome o;
    const int w = std::system(cmd.c_str());
    o.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    o.out = pkt::read_file(scratch / "stdout");
    o.err = pkt::read_file(scratch / "stderr");
    return o;
}

// The pixels a rule masks on a detector in full use.
std::set<int> masked_by(const std::function<void(Data2D&)>& rule) {
    Data2D m = full_mask();
    rule(m);
    std::set<int> s;
    for (int k = 0; k < kDetPixels; ++k)
        if (m.intens[k] == 0.0f) s.insert(k);
    return s;
}

// A mask file as Pelkaro reads it.
std::vector<float> read_back(const std::string& path) {
    Data2D m;
    m.name = path;
    EXPECT_TRUE(pkt::succeeded(read_mask(Param{}, m))) << path;
    m.intens.resize(kDetPixels);
    return m.intens;
}

std::string values_only(const std::string& text) {
    std::string v;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at + 1);
        if (line[0] != '#') v += line;
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return v;
}

constexpr int px(int x, int y) { return x + 128 * y; }

// The mask file is written, the report is not: a failure (status 1), and a
// wrong command line keeps its status 2.
TEST(MaskProgram, ReportToAFullDisk) {
    TempDir dir;
    pkt::RunResult r = pkt::run_to_full_disk(PELKARO_MASK_EXE, {"--edge", "-o", "m.mask"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelkaro-mask: error: the report could not be written to standard output\n");
    r = pkt::run_to_full_disk(PELKARO_MASK_EXE, {"--edge"}, dir.path());
    EXPECT_EQ(r.status, 2);
}

TEST(MaskRules, GeometryCountedByHand) {
    const std::set<int> edge = masked_by(mask_edge);
    EXPECT_EQ(edge.size(), 128u * 128 - 123 * 123);
    for (int k : edge) {
        auto frame = [](int c) { return c <= 2 || c >= 126; };
        EXPECT_TRUE(frame(k % 128) || frame(k / 128)) << k;
    }
    EXPECT_EQ(masked_by([](Data2D& m) { mask_frame(m, 1); }).size(), 508u);
    EXPECT_EQ(masked_by([](Data2D& m) { mask_frame(m, 3); }).size(), 128u * 128 - 122 * 122);
    EXPECT_EQ(masked_by([](Data2D& m) { mask_frame(m, 64); }).size(), 16384u);
    // Radius 1 about a pixel corner: the four pixels that meet there.
    EXPECT_EQ(masked_by([](Data2D& m) { mask_beamstop(m, 64, 64, 1); }),
              (std::set<int>{px(63, 63), px(64, 63), px(63, 64), px(64, 64)}));
    // About a pixel centre: the four neighbours at exactly R are inside.
    EXPECT_EQ(masked_by([](Data2D& m) { mask_beamstop(m, 64.5, 64.5, 1); }).size(), 5u);
    EXPECT_EQ(masked_by([](Data2D& m) { mask_beamstop(m, 64.5, 64.5, 0.999); }).size(), 1u);
    EXPECT_EQ(masked_by([](Data2D& m) { mask_beamstop(m, 0, 0, 1); }), (std::set<int>{px(0, 0)}));
    // Centres 10.5 and 11.5 lie in 10..12, only 20.5 in 20..21; corners in any order.
    const std::set<int> two{px(10, 20), px(11, 20)};
    EXPECT_EQ(masked_by([](Data2D& m) { mask_rect(m, 10, 20, 12, 21); }), two);
    EXPECT_EQ(masked_by([](Data2D& m) { mask_rect(m, 12, 21, 10, 20); }), two);
    EXPECT_EQ(masked_by([](Data2D& m) { mask_rect(m, 10.5, 20.5, 11.5, 20.5); }), two);
    Data2D m = full_mask();
    mask_frame(m, 1);
    invert_mask(m);
    EXPECT_EQ(pixels_in_use(m), 508);
    invert_mask(m);
    EXPECT_EQ(masked_by([](Data2D& f) { mask_frame(f, 1); }).size(), 16384u - pixels_in_use(m));
}

TEST(MaskRules, FlatFieldOutliersAmongThePixelsInUse) {
    TempDir dir;
    std::vector<long> v(kDetPixels, 100);
    v[px(10, 7)] = 0;     // dead
    v[px(80, 15)] = 160;  // hot: above 1.5 times the mean 99.9963
    v[px(3, 30)] = 140;   // within the band
    v[px(0, 31)] = 40;    // cold: below 0.5 times the mean
    pkt::write_file(dir / "flat.dat", pkt::detector_file(v, 100, 100));
    const std::string flat = dir / "flat.dat", out = dir / "out.mask";
    Outcome o = run_job({"--from-flat", flat, "-o", out});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "Starting from all 16384 pixels in use.\n--from-flat " + flat +
                         ": 3 pixels masked, 16381 in use (band 0.5 to 1.5 times the mean count 99.9963 of the "
                         "pixels in use)\nWrote " + out + ": 16381 of 16384 pixels in use, 3 masked.\n");
    const std::vector<float> got = read_back(out);
    EXPECT_EQ(got[px(10, 7)] + got[px(80, 15)] + got[px(3, 30)] + got[px(0, 31)], 1.0f);
    EXPECT_EQ(got[px(3, 30)], 1.0f);
    EXPECT_NE(run_job({"--from-flat", flat, "--band", "0.3", "1.5", "-o", out}).out.find(": 2 pixels masked"),
              std::string::npos);
    // A count of 0 is masked even when the band reaches down to 0.
    EXPECT_NE(run_job({"--from-flat", flat, "--band", "0", "2", "-o", out}).out.find(": 1 pixel masked"),
              std::string::npos);
    // A pixel already under the beam stop is not counted again.
    o = run_job({"--beamstop", "80.5", "15.5", "0.5", "--from-flat", flat, "-o", out});
    EXPECT_NE(o.out.find("5: 1 pixel masked, 16383 in use\n--from-flat " + flat + ": 2 pixels masked"),
              std::string::npos) << o.out;
    // The mean is taken over the pixels still in use: masking the bright half
    // first leaves nothing out of band; without it every pixel is.
    std::vector<long> halves(kDetPixels, 100);
    std::fill(halves.begin() + px(0, 64), halves.end(), 400);
    pkt::write_file(dir / "halves.dat", pkt::detector_file(halves, 100, 100));
    o = run_job({"--rect", "0", "64", "128", "128", "--from-flat", dir / "halves.dat", "-o", out});
    EXPECT_NE(o.out.find("halves.dat: 0 pixels masked, 8192 in use"), std::string::npos) << o.out;
    o = run_job({"--from-flat", dir / "halves.dat", "-o", dir / "none.mask"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "pelkaro-mask: error: every pixel is masked; nothing written to " + (dir / "none.mask") + "\n");
    EXPECT_FALSE(pkt::file_exists(dir / "none.mask"));
}

TEST(MaskFile, ReadBackByPelkaroAndRecordsItsMaking) {
    TempDir dir;
    // Run mode 1's mask.d2d as the start: --edge masks the same pixels.
    pkt::write_file(dir / "run.par", "MODE 1\nCNTR 64 63.5\nDATS nos.dat 600 1 1 1\nDATB nob.dat 600 1 1 1\n"
                                     "SENS 1 nosens.dat\nMASK nomask.dat 1 1\n");
    ASSERT_EQ(pkt::run_param(dir, "run.par").status, 0);
    Outcome o = run_job({"--from-mask", dir / "mask.d2d", "-o", dir / "a.mask"});
    ASSERT_EQ(o.status, 0) << o.err;
    Data2D want = full_mask();
    mask_edge(want);
    want.intens.resize(kDetPixels);
    EXPECT_EQ(read_back(dir / "a.mask"), want.intens);
    // Rules applied in order, with a long path and an output name holding a
    // line break: the comment lines must not feed the reader.
    std::string longpath = dir.path();
    for (int i = 0; i < 300; ++i) longpath += "/.";
    longpath += "/a.mask";
    const std::string out = dir / "b\nc.mask";
    o = run_job({"--from-mask", longpath, "--beamstop", "30", "40", "7.3", "--invert", "--rect", "20", "30", "40",
                 "35", "-o", out});
    ASSERT_EQ(o.status, 0) << o.err;
    mask_beamstop(want, 30, 40, 7.3);
    invert_mask(want);
    mask_rect(want, 20, 30, 40, 35);
    EXPECT_EQ(read_back(out), want.intens);
    const std::string text = pkt::read_file(out);
    EXPECT_EQ(text.rfind("# Mask made by pelkaro-mask " PELKARO_VERSION ": ", 0), 0u);
    EXPECT_NE(text.find(" --invert --rect 20 30 40 35 -o $'" + dir.path() + "/b\\nc.mask'\n"), std::string::npos);
    EXPECT_EQ(values_only(text).size(), 2u * kDetPixels);
}

TEST(MaskProgram, RegeneratesTheExampleMask) {
    TempDir dir;
    const std::string examples = PELKARO_SOURCE_DIR "/examples";
    Outcome o = run_exe({"--beamstop", "65.5", "62.5", "5.5", "--from-flat", "flat_field.dat", "-o", dir / "x.mask"},
                        dir, examples);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(values_only(pkt::read_file(dir / "x.mask")), values_only(pkt::read_file(examples + "/detector.mask")));
    EXPECT_NE(o.out.find("--beamstop 65.5 62.5 5.5: 97 pixels masked, 16287 in use\n--from-flat flat_field.dat: "
                         "8 pixels masked, 16279 in use"), std::string::npos) << o.out;
}

TEST(MaskProgram, Refusals) {
    TempDir dir;
    const std::string out = dir / "out.mask";
    pkt::write_file(out, "old\n");
    const std::string hint = "Try 'pelkaro-mask --help' for more information.\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"--edge"}, "no mask file to write: give -o OUT.mask"},
        {{"--edge", "0", "-o", out}, "--edge N needs a whole number of pixels from 1 to 64, not '0'"},
        {{"--beamstop", "1", "2", "-o", out}, "--beamstop needs three numbers X Y R; '-o' is not a number"},
        {{"--beamstop", "1", "2", "-3", "-o", out}, "--beamstop needs a radius R above 0, not '-3'"},
        {{"--rect", "1", "2", "3", "nan", "-o", out}, "--rect needs four numbers X0 Y0 X1 Y1; 'nan' is not a number"},
        {{"--from-flat", "f", "--band", "1.5", "0.5", "-o", out},
         "--band LO HI needs 0 <= LO < HI (fractions of the mean, e.g. --band 0.5 1.5)"},
        {{"--band", "0.5", "1.5", "-o", out}, "--band LO HI belongs right after --from-flat FILE"},
        {{"--edge", "x.mask"}, "unexpected argument 'x.mask' (the mask file to write goes after -o)"},
        {{"--bogus", "-o", out}, "unknown option '--bogus'"},
    };
    for (const auto& [args, why] : usage) {
        const Outcome o = run_exe(args, dir, dir.path());
        EXPECT_EQ(o.status, 2) << why;
        EXPECT_EQ(o.err, "pelkaro-mask: error: " + why + "\n" + hint);
        EXPECT_EQ(o.out, "");
    }
    pkt::write_file(dir / "short.mask", "# two values\n1\n0\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> failing = {
        {{"--from-flat", "missing.dat", "-o", out}, "missing.dat: error: cannot read: No such file or directory\n"},
        {{"--from-mask", "short.mask", "-o", out},
         "short.mask: error: holds 2 values; a mask needs one per pixel, 16384\n"},
        {{"--beamstop", "64", "64", "200", "-o", out}, "pelkaro-mask: error: every pixel is masked; nothing"},
    };
    for (const auto& [args, why] : failing) {
        const Outcome o = run_exe(args, dir, dir.path());
        EXPECT_EQ(o.status, 1) << why;
        EXPECT_EQ(o.err.rfind(why, 0), 0u) << o.err;
        EXPECT_NE(o.err.find("nothing written to " + out + "\n"), std::string::npos) << o.err;
    }
    EXPECT_EQ(pkt::read_file(out), "old\n");
    const Outcome help = run_exe({"--help"}, dir, dir.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: pelkaro-mask [RULE]... -o OUT.mask\n", 0), 0u);
    EXPECT_EQ(run_exe({"--version"}, dir, dir.path()).out, "pelkaro-mask " PELKARO_VERSION "\n");
}

}  // namespace

namespace {

// The flat field of the example run is a measurement: no spelling of the
// mask's name may write over it, while a mask file may be edited in place.
TEST(MaskProgram, NeverWritesOverTheFlatField) {
    TempDir dir;
    const std::string flat_text = pkt::detector_file(std::vector<long>(kDetPixels, 100), 100, 100);
    pkt::write_file(dir / "flat.dat", flat_text);
    ASSERT_EQ(::symlink("flat.dat", (dir / "soft.mask").c_str()), 0);
    ASSERT_EQ(::link((dir / "flat.dat").c_str(), (dir / "hard.mask").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0777), 0);
    const std::string hint = "Try 'pelkaro-mask --help' for more information.\n";
    const std::vector<std::pair<std::string, std::string>> outputs = {
        {"flat.dat", "flat.dat"}, {"./sub/../flat.dat", "flat.dat"}, {"soft.mask", "flat.dat"},
        {"hard.mask", "./flat.dat"}, {dir / "flat.dat", "sub/../hard.mask"}};
    for (const auto& [out, flat] : outputs) {
        const Outcome o = run_exe({"--edge", "--from-flat", flat, "-o", out}, dir, dir.path());
        EXPECT_EQ(o.status, 2) << out;
        EXPECT_EQ(o.err, "pelkaro-mask: error: the mask file to write, '" + out +
                             "', is the flat-field file of --from-flat '" + flat +
                             "'; the mask would replace the measurement\n" + hint);
        EXPECT_EQ(o.out, "");
    }
    EXPECT_TRUE(pkt::read_file(dir / "flat.dat") == flat_text) << "the flat field was changed";
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "soft.mask").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(pkt::read_file(dir / "hard.mask") == flat_text) << "hard.mask was changed";

    // A mask read and written back under one name is replaced whole.
    Outcome o = run_exe({"--edge", "--from-flat", "flat.dat", "-o", "run.mask"}, dir, dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    o = run_exe({"--from-mask", "run.mask", "--beamstop", "64", "64", "3", "-o", "run.mask"}, dir, dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    Data2D want = full_mask();
    mask_edge(want);
    mask_beamstop(want, 64, 64, 3);
    want.intens.resize(kDetPixels);
    EXPECT_EQ(read_back(dir / "run.mask"), want.intens);
    EXPECT_TRUE(pkt::read_file(dir / "flat.dat") == flat_text) << "the flat field was changed";
}

}  // namespace

namespace {

// ---- --beamstop auto --------------------------------------------------------

// The shadow found on a detector file, as pelkaro-mask reads it.
BeamStopShadow shadow_of(const std::string& file) {
    Data2D image;
    image.name = file;
    EXPECT_TRUE(pkt::succeeded(read_image_file(image, false))) << file;
    BeamStopShadow found;
    const Status st = find_beam_stop_shadow(image, found);
    EXPECT_TRUE(st.ok()) << file << ": " << st.reason;
    return found;
}

// The pixels of `mask` (a file) left in use that any part of the disc of
// radius r about (cx, cy) covers.
int covered_in_use(const std::string& mask, double cx, double cy, double r) {
    const std::vector<float> m = read_back(mask);
    int left = 0;
    for (int k = 0; k < kDetPixels; ++k) {
        const double x = k % 128, y = k / 128;
        const double dx = std::max({x - cx, 0.0, cx - x - 1}), dy = std::max({y - cy, 0.0, cy - y - 1});
        left += m[k] != 0.0f && std::hypot(dx, dy) < r;
    }
    return left;
}

// The simulator's beam stop (a shadow 4 pixels in radius about the beam
// centre) on its flat field and on its sample run, at the example's geometry,
// off the middle of the detector, and near its edge at a shorter distance.
TEST(MaskBeamStopAuto, FindsTheSimulatorsStop) {
    struct Geometry { std::vector<std::string> args; double x, y; };
    const std::vector<Geometry> cases = {
        {{}, 65.5, 62.5},
        {{"--centre-x", "40.9", "--centre-y", "80.2"}, 40.9, 80.2},
        {{"--centre-x", "6.3", "--centre-y", "120.7", "--distance", "2000", "--seed", "3"}, 6.3, 120.7}};
    for (const Geometry& g : cases) {
        TempDir dir;
        std::vector<std::string> args = g.args;
        args.insert(args.end(), {"--out", dir.path()});
        ASSERT_EQ(pkt::run_program(PELKARO_SIM_EXE, args, dir.path()).status, 0);
        for (const char* image : {"flat_field.dat", "sphere_sample.dat"}) {
            const BeamStopShadow s = shadow_of(dir / image);
            EXPECT_NEAR(s.x, g.x, 0.5) << image << " at " << g.x << " " << g.y;
            EXPECT_NEAR(s.y, g.y, 0.5) << image << " at " << g.x << " " << g.y;
            EXPECT_NEAR(s.radius, 4.0, 0.5) << image << " at " << g.x << " " << g.y;
        }
        // Every pixel the stop shades, even in part, is masked.
        const Outcome o = run_exe({"--beamstop", "auto", "--from-flat", "flat_field.dat", "-o", "a.mask"}, dir,
                                  dir.path());
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(covered_in_use(dir / "a.mask", g.x, g.y, 4.0), 0) << g.x << " " << g.y;
    }
}

// The whole report at the example's geometry: the shadow's line, then the
// flat field's outliers judged without the shadow.
TEST(MaskBeamStopAuto, ReportsWhatItFound) {
    TempDir dir;
    ASSERT_EQ(pkt::run_program(PELKARO_SIM_EXE, {"--out", dir.path()}, dir.path()).status, 0);
    Outcome o = run_exe({"--beamstop", "auto", "--from-flat", "flat_field.dat", "-o", "a.mask"}, dir, dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, "Starting from all 16384 pixels in use.\n"
                     "--beamstop auto: centre 65.51 62.50, radius 4.01 (+ margin 1) from flat_field.dat: "
                     "81 pixels masked, 16303 in use\n"
                     "--from-flat flat_field.dat: 8 pixels masked, 16295 in use (band 0.5 to 1.5 times the mean "
                     "count 41836.9 of the pixels in use)\n"
                     "Wrote a.mask: 16295 of 16384 pixels in use, 89 masked.\n");
    // The mask is the rule's own disc about what was found, margin added.
    const BeamStopShadow s = shadow_of(dir / "flat_field.dat");
    Data2D want = full_mask();
    mask_beamstop(want, s.x, s.y, s.radius + kShadowMargin);
    o = run_exe({"--beamstop", "auto=sphere_sample.dat", "-o", "b.mask"}, dir, dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.substr(0, o.out.find('\n', 40)),
              "Starting from all 16384 pixels in use.\n--beamstop auto: centre 65.51 62.50, radius 3.99 (+ margin 1) "
              "from sphere_sample.dat: 69 pixels masked, 16315 in use");
    o = run_exe({"--beamstop", "auto=flat_field.dat", "-o", "c.mask"}, dir, dir.path());
    want.intens.resize(kDetPixels);
    EXPECT_EQ(read_back(dir / "c.mask"), want.intens);
}

// A flat field of 1000 counts (a fixed texture of +-3 %) and a dark level of
// 5 counts in a disc of radius r about (cx, cy), each pixel by the part of
// 32 x 32 points of it the disc covers.
std::vector<long> shaded_flat(double cx, double cy, double r) {
    std::vector<long> v(kDetPixels);
    for (int k = 0; k < kDetPixels; ++k) {
        int in = 0;
        for (int a = 0; a < 32; ++a)
            for (int b = 0; b < 32; ++b)
                in += std::hypot(k % 128 + (a + 0.5) / 32 - cx, k / 128 + (b + 0.5) / 32 - cy) < r;
        const double open = 1000.0 * (1.0 + 0.03 * std::sin(1.7 * k));
        v[k] = std::lround(5.0 + (open - 5.0) * (1.0 - in / 1024.0));
    }
    return v;
}

// Other radii than the simulator's: small, large, and about a pixel corner.
TEST(MaskBeamStopAuto, FindsStopsOfOtherSizes) {
    TempDir dir;
    const double stops[][3] = {{30.25, 90.6, 2.5}, {64.0, 64.0, 7.3}, {90.8, 30.1, 15.0}};
    for (const auto& st : stops) {
        pkt::write_file(dir / "f.dat", pkt::detector_file(shaded_flat(st[0], st[1], st[2]), 100, 100));
        const BeamStopShadow s = shadow_of(dir / "f.dat");
        EXPECT_NEAR(s.x, st[0], 0.1) << st[2];
        EXPECT_NEAR(s.y, st[1], 0.1) << st[2];
        EXPECT_NEAR(s.radius, st[2], 0.1) << st[2];
    }
}

TEST(MaskBeamStopAuto, RefusesImagesWithoutAShadow) {
    TempDir dir;
    ASSERT_EQ(pkt::run_program(PELKARO_SIM_EXE, {"--out", dir.path()}, dir.path()).status, 0);
    pkt::write_file(dir / "zeros.dat", pkt::detector_file(std::vector<long>(kDetPixels, 0), 100, 100));
    pkt::write_file(dir / "even.dat", pkt::detector_file(std::vector<long>(kDetPixels, 500), 100, 100));
    pkt::write_file(dir / "edge.dat", pkt::detector_file(shaded_flat(1.5, 60.5, 5), 100, 100));
    pkt::write_file(dir / "short.dat", "<time>1</time>\n<monitor>1</monitor>\n7\n");
    // 100 counts with dead pixels strewn at random, one in five: some of
    // their clumps are discs, but none has the open detector all round it.
    std::vector<long> speckled(kDetPixels, 100);
    std::mt19937 draw(1);
    for (long& c : speckled)
        if (draw() % 5 == 0) c = 0;
    pkt::write_file(dir / "speckled.dat", pkt::detector_file(speckled, 100, 100));
    const std::vector<std::pair<std::string, std::string>> images = {
        {"zeros.dat", "too few pixels count anything to show a beam stop's shadow"},
        {"even.dat", "no disc of low counts with counted pixels all round it: was the beam stop in?"},
        {"dark_current.dat", "no disc of low counts stands out of the counts around it: was the beam stop in?"},
        {"speckled.dat", "no disc of low counts stands out of the counts around it: was the beam stop in?"},
        {"direct_beam.dat", "too few pixels count anything to show a beam stop's shadow"},
        {"edge.dat", "every disc of low counts touches the detector's edge: the beam stop's shadow must lie "
                     "within the detector, counted pixels all round it"},
        {"short.dat", "holds 1 values; a flat-field image needs one per pixel, 16384"},
    };
    for (const auto& [image, why] : images) {
        const Outcome o = run_exe({"--edge", "--beamstop", "auto=" + image, "-o", "out.mask"}, dir, dir.path());
        EXPECT_EQ(o.status, 1) << image;
        EXPECT_EQ(o.err, image + ": error: " + why + "\npelkaro-mask: nothing written to out.mask\n");
        EXPECT_FALSE(pkt::file_exists(dir / "out.mask")) << image;
    }
    const std::string hint = "\nTry 'pelkaro-mask --help' for more information.\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"--beamstop", "auto", "-o", "out.mask"},
         "--beamstop auto finds the shadow on the flat field of --from-flat FILE: give one, or "
         "--beamstop auto=FILE for another image taken with the beam stop in"},
        {{"--beamstop", "auto=", "-o", "out.mask"}, "--beamstop auto=FILE needs a file name after 'auto='"},
        {{"--beamstop", "automatic", "-o", "out.mask"},
         "--beamstop takes 'auto', 'auto=FILE' or three numbers X Y R, not 'automatic'"},
        {{"--beamstop", "auto=sphere_sample.dat", "-o", "sphere_sample.dat"},
         "the mask file to write, 'sphere_sample.dat', is the image of --beamstop auto, 'sphere_sample.dat'; the "
         "mask would replace the measurement"},
        {{"--beamstop", "auto", "--from-flat", "flat_field.dat", "-o", "flat_field.dat"},
         "the mask file to write, 'flat_field.dat', is the flat-field file of --from-flat 'flat_field.dat'; the "
         "mask would replace the measurement"},
    };
    for (const auto& [args, why] : usage) {
        const Outcome o = run_exe(args, dir, dir.path());
        EXPECT_EQ(o.status, 2) << why;
        EXPECT_EQ(o.err, "pelkaro-mask: error: " + why + hint);
    }
}

}  // namespace
