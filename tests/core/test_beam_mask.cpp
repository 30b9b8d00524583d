// Beam-centre measurement, the internal edge mask, the mask output file, and
// run modes 2 and 1 from end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "pelkaro/Pelkaro.h"
#include "test_util.h"
#include "beam_meas.h"
#include "file_out.h"
#include "mask_gen.h"
#include "parse_in.h"
#include "pelkaro/files.h"
#include "read_sans.h"

using namespace pkt;

namespace {

bool in_frame(int x, int y) { return x <= 2 || x >= 126 || y <= 2 || y >= 126; }

// The bytes of "mask.d2d" for a beam centre line and a 128 x 128 mask.
std::string mask_file(const std::string& centre, const std::vector<float>& m) {
    std::string s = "# mask file created from beam center " + centre +
                    "\n# detector appears as if looking from sample position\n";
    for (int y = 0; y < kDetSide; ++y) {
        for (int x = 0; x < kDetSide; ++x) s += m[x + kDetSide * y] > 0.5f ? "1.00\t" : "0.00\t";
        s += "\n";
    }
    return s;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// An image of ones with the given pixels (column, row, value) set, and with
// very bright pixels over the three outermost rows and columns when `edges`.
std::vector<float> image(const std::vector<std::array<float, 3>>& pixels, bool edges, float base = 1.0f) {
    std::vector<float> im(kImageValues, base);
    for (int k = 0; edges && k < kDetSide; ++k)
        for (int e : {0, 1, 2, 125, 126, 127}) im[k + kDetSide * e] = im[e + kDetSide * k] = 1e6f;
    for (const auto& px : pixels) im[static_cast<int>(px[0]) + kDetSide * static_cast<int>(px[1])] = px[2];
    return im;
}

TEST(BeamCenter, Centroids) {
    struct Case {
        std::vector<float> im;
        float bx, by;  // bx is the mean row, by the mean column
    };
    std::vector<std::array<float, 3>> block;
    for (int y = 63; y <= 65; ++y)
        for (int x = 70; x <= 72; ++x) block.push_back({float(x), float(y), 6.0f + 1000.0f * (x - 70) * (y - 62)});
    const std::vector<Case> cases = {
        {image(block, false), 64, 71},
        {image({{20, 30, 5.0f}, {40, 50, 5.000001f}}, false), 50, 40},
        {image({{100, 10, 10}}, true), 10, 100},
        {image({{3, 3, 6}, {124, 124, 6}}, true), 63.5f, 63.5f},
    };
    for (const Case& c : cases) {
        Data2D in;
        in.intens = c.im;
        Param p{};
        p.mode = 2;
        p.px = 0.5f;
        p.bx = 1.0f;
        Param expect = p;
        expect.bx = c.bx;
        expect.by = c.by;
        std::string out;
        EXPECT_TRUE(succeeded(beam_center(p, in, Console{nullptr, &out})));
        char line[128];
        std::snprintf(line, sizeof line, "The beam center is %f %f\n", double(c.bx), double(c.by));
        EXPECT_EQ(out, line);
        EXPECT_EQ(std::memcmp(&p, &expect, sizeof p), 0) << p.bx << " " << p.by;
        EXPECT_EQ(in.intens, c.im);
    }
    // No pixel of the search window above the threshold: a failure, the
    // parameters left as they were.
    Data2D in;
    in.name = "s.dat";
    in.intens = image({}, true, 5.0f);
    Param p{};
    std::string out;
    const Status st = beam_center(p, in, Console{nullptr, &out});
    EXPECT_EQ(st.stage, Stage::beam_centre);
    EXPECT_EQ(st.code, Code::no_pixels);
    const std::string reason = "no pixel of the search window (rows and columns 3 to 124) counts more than 5; "
                               "no beam found in s.dat";
    EXPECT_EQ(st.reason, reason);
    EXPECT_EQ(st.text(), "beam_center -> " + reason + "\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(p.bx + p.by, 0.0f);
}

TEST(MakeMask, EdgeFrame) {
    Param a{}, b{};  // the parameters play no part
    b.bx = 64;
    b.wavelen = 5;
    std::vector<std::vector<float>> results;
    for (const auto& [params, fill] : {std::pair<Param, float>{a, 7.0f}, std::pair<Param, float>{b, -3.0f}}) {
        const Param& p = params;  // a lambda cannot capture a structured binding in C++17
        Data2D m;
        m.intens.assign(kImageValues, fill);
        m.uncert.assign(kImageValues, 9.0f);
        Status st;
        EXPECT_EQ(capture([&] { st = make_mask(p, m); }), "");  // prints nothing
        EXPECT_TRUE(succeeded(st));
        double sum = 0;
        int zeros = 0;
        for (int y = 0; y < kDetSide; ++y)
            for (int x = 0; x < kDetSide; ++x) {
                float v = m.intens[x + kDetSide * y];
                ASSERT_EQ(v, in_frame(x, y) ? 0.0f : 1.0f) << x << "," << y;
                sum += v;
                zeros += v == 0.0f;
            }
        EXPECT_EQ(sum, 15129.0);
        EXPECT_EQ(zeros, 1255);
        EXPECT_EQ((std::vector<float>{m.intens[0], m.intens[127], m.intens[387], m.intens[16125], m.intens[16126]}),
                  (std::vector<float>{0, 0, 1, 1, 0}));
        for (int k = kDetPixels; k < kImageValues; ++k) ASSERT_EQ(m.intens[k], fill) << k;
        EXPECT_EQ(m.uncert, std::vector<float>(kImageValues, 9.0f));
        results.emplace_back(m.intens.begin(), m.intens.begin() + kDetPixels);
    }
    EXPECT_EQ(results[0], results[1]);
}

class WriteMask : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path old;
    void SetUp() override {
        old = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
    }
    void TearDown() override { std::filesystem::current_path(old); }
};

TEST_F(WriteMask, ExactBytesAndOverwrite) {
    Param p{};
    p.bx = 64.0f;
    p.by = 63.5f;
    Data2D m;
    m.intens.assign(kImageValues, 1.0f);
    for (int i = 0; i < kDetPixels; ++i) m.intens[i] = ((i % 128) + 2 * (i / 128)) % 3 == 0 ? 1.0f : 0.0f;
    write_file("mask.d2d", std::string(200000, 'x'));
    std::string out;
    EXPECT_TRUE(succeeded(write_mask(p, m, Console{nullptr, &out})));
    EXPECT_EQ(out, "Entered write_mask\n");
    EXPECT_EQ(read_file("mask.d2d"), mask_file("64.000000 63.500000", m.intens));
    EXPECT_EQ(entries("."), std::vector<std::string>{"mask.d2d"});
}

// ---- Run modes through the executable ----

const std::string kMode1Par =
    "MODE 1\nCNTR 64 63.5\nDATS nos.dat 600 1 1 1\nDATB nob.dat 600 1 1 1\nSENS 1 nosens.dat\n"
    "MASK nomask.dat 1 1\n";
const std::string kMode1Head =
    "Parsing input file...\nEntered count_parse()\nThe number of sample files is 1\n"
    "The number of buffer files is 1\nEntered parse_in()\nThe reduction mode is 1\n"
    "The beam center is 64.000000 63.500000 (pixels)\nThe data file #0 is nos.dat.\n"
    "The exposure time is 600.000000 and the monitor counts are 1.000000.\n\n"
    "The buffer file #0 is nob.dat.\n"
    "The exposure time is 600.000000 and the monitor counts are 1.000000.\n\n"
    "The sensitivity file is nosens.dat and the jacobian flag is 1\nThe mask file is nomask.dat\n"
    "Finished parse_in\nPreparing mask file...\nWriting mask file...\nEntered write_mask\n";

TEST(RunMode1, WritesMaskThatReadsBack) {
    TempDir dir;
    write_file(dir / "run.par", kMode1Par);
    RunResult r = run_param(dir, "run.par");
    EXPECT_EQ(r.out, kMode1Head + "Mask file generation completed normally\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"mask.d2d", "run.par"}));
    Data2D gen, back;
    gen.intens.assign(kImageValues, 0.0f);
    back.intens.assign(kImageValues, 0.0f);
    ASSERT_TRUE(succeeded(make_mask(Param{}, gen)));
    EXPECT_EQ(read_file(dir / "mask.d2d"), mask_file("64.000000 63.500000", gen.intens));
    back.name = dir / "mask.d2d";
    EXPECT_TRUE(succeeded(read_mask(Param{}, back)));
    EXPECT_EQ(back.intens, gen.intens);
}

TEST(RunMode1, MaskFileBlocked) {
    TempDir dir;
    write_file(dir / "run.par", kMode1Par);
    std::filesystem::create_directory(dir / "mask.d2d");
    RunResult r = run_param(dir, "run.par");
    EXPECT_EQ(r.out, kMode1Head +
                         "file_out:write_mask -> could not open the output file\n"
                         "Pelkaro:  unable to output the mask file\n...Exiting program\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"mask.d2d", "run.par"}));
    // A write that fails part way leaves the earlier file as it was.
    std::filesystem::remove(dir / "mask.d2d");
    write_file(dir / "mask.d2d", "earlier\n");
    RunOptions small;
    small.fsize_limit = 4096;
    small.ignore_sigxfsz = true;
    r = run_param(dir, "run.par", small);
    EXPECT_EQ(r.out.rfind(kMode1Head + "file_out:write_mask -> ", 0), 0u) << r.out;
    const std::string tail = "\nPelkaro:  unable to output the mask file\n...Exiting program\n";
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(dir / "mask.d2d"), "earlier\n");
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"mask.d2d", "run.par"}));
}

const std::string kMode2Head =
    "Parsing input file...\nEntered count_parse()\nThe number of sample files is 1\n"
    "The number of buffer files is 1\nEntered parse_in()\nThe reduction mode is 2\n"
    "The data file #0 is s.dat.\nThe exposure time is 600.000000 and the monitor counts are 0.000000.\n\n"
    "The buffer file #0 is nob.dat.\n"
    "The exposure time is 600.000000 and the monitor counts are 1.000000.\n\n"
    "Finished parse_in\nMeasuring beam center...\n";

TEST(RunMode2, MeasuresBeamCentre) {
    TempDir dir;
    write_file(dir / "run.par", "MODE 2\nDATS s.dat 600 0 1 1\nDATB nob.dat 600 1 1 1\n");
    std::vector<long> img(kDetPixels, 2);
    for (int y = 63; y <= 65; ++y)
        for (int x = 70; x <= 72; ++x) img[x + kDetSide * y] = 500 + x;
    img[0] = img[kDetPixels - 1] = 100000;
    write_file(dir / "s.dat", detector_file(img, 100, 5000));
    RunResult r = run_param(dir, "run.par");
    EXPECT_EQ(r.out, kMode2Head +
                         "Data set time = 100.000000\nData set monitor = 5000.000000\n"
                         "The beam center is 64.000000 71.000000\n\n\n"
                         "The beam center is measured to be X = 64.000000, Y = 71.000000\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(RunMode2, Failures) {
    TempDir dir;
    write_file(dir / "run.par", "MODE 2\nDATS s.dat 600 0 1 1\nDATB nob.dat 600 1 1 1\n");
    RunResult r = run_param(dir, "run.par");
    EXPECT_EQ(r.out, kMode2Head +
                         "read_saxs -> could not access the data in s.dat\n"
                         "Pelkaro:  unable to read the sample data file #0\n...Exiting program\n");
    EXPECT_EQ(r.status, 255);
    write_file(dir / "s.dat", detector_file(std::vector<long>(kDetPixels, 5), 100, 5000));
    r = run_param(dir, "run.par");
    const std::string head = kMode2Head + "Data set time = 100.000000\nData set monitor = 5000.000000\n";
    const std::string tail = "Pelkaro:  unable to measure the beam center...Exiting program\n";
    ASSERT_GT(r.out.size(), head.size() + tail.size());
    EXPECT_EQ(r.out.substr(0, head.size() + 15), head + "beam_center -> ") << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_EQ(std::count(r.out.begin() + head.size(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_EQ(r.status, 255);
}

}  // namespace
