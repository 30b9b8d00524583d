// The reduction run through the real executable: the driver's lines in order,
// the entries it uses, and both output files compared with the whole
// reduction worked out here from the input counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <vector>

#include "test_util.h"
#include "geometry.h"
#include "pelkaro/files.h"

using namespace pkt;

namespace {

constexpr int kPixels = 128 * 128;
using Img = std::vector<float>;
float F(double v) { return static_cast<float>(v); }

// How a run is set up.  The first buffer entry always has time 0 and names
// a file that does not exist.
struct Config {
    int avgm = 2;
    bool buffer = true;  // the second buffer entry is in use
    bool dark = true;
    bool mask_file = true;
    bool solid_angle = true;
};

// Counts of the input files: 0 sample 1, 1 sample 2, 2 buffer, 3 dark
// current, 4 sensitivity (two pixels far outside the accepted range).
long counts(int file, int k) {
    const long n[5] = {k == 50 + 128 * 50 ? 0 : 300 + (k * 37) % 200, 150 + (k * 53) % 100, 100 + (k * 29) % 80,
                       (k * 11) % 7, k == 70 + 128 * 70 ? 100 : k == 40 + 128 * 80 ? 5000 : 950 + (k * 17) % 101};
    return n[file];
}
bool in_mask_file(int x, int y) {
    return x > 1 && x < 126 && y > 1 && y < 126 && !(x == 64 && y == 20) && !(x == 30 && y == 90);
}

std::string param_text(const Config& s) {
    return std::string("# reduction test\nMODE 0\nCNTR 63.5 64.5\nPXSP 0.5 0.5\nSM2D 100\nSMRP 1000 20 10\n") +
           "WAVE 6 0.1\nDATS s1.dat 100 1000000 0.1 0.5\nDATS s2.dat 50 500000 0.1 0.5\n" +
           "DATB none.dat 0 700000 0.1 0.3\nDATB b2.dat " + (s.buffer ? "120" : "0") + " 800000 0.1 0.8\n" +
           "DATD dc.dat " + (s.dark ? "30" : "0") + " 300\nSENS " + (s.solid_angle ? "1" : "0") + " sens.dat\n" +
           "MASK mask.txt " + (s.mask_file ? "1 1" : "0 0") + "\nABSF 0.0015\nAVGM " + std::to_string(s.avgm) +
           "\nANGS 0 360\nBINS 2\n";
}

// Geometry of param_text: pixel spacing 0.5, centre (63.5, 64.5), distance 100.
float radius(double x, double y) {
    double dx = x - 63.5, dy = y - 64.5;
    return F(std::sqrt(dx * dx * 0.5 * 0.5 + dy * dy * 0.5 * 0.5));
}
float theta(int k) { return F(std::atan(radius(k % 128 + 0.5, k / 128 + 0.5) / 100.0)); }

// One detector file as loaded: counts, their roots, the solid-angle factor.
void load(int file, bool solid_angle, Img& in, Img& un) {
    in.resize(kPixels), un.resize(kPixels);
    for (int k = 0; k < kPixels; ++k) {
        long c = counts(file, k);
        double cs = std::cos(double(theta(k))), f = solid_angle ? F(1.0 / (cs * cs * cs)) : 1.0;
        in[k] = F(F(c) * f), un[k] = F((c == 0 ? 1.0f : F(std::sqrt(double(c)))) * f);
    }
}

struct Expected { std::string d2d, d1d; };

using Images = std::array<Img, 3>;  // sample 1, sample 2, buffer

// The flat field as the run uses it: the counts (solid-angle corrected as
// asked) normalised to mean 1 over the mask file's (or the edge mask's)
// pixels, their uncertainties, and the mask less the pixels outside 0.5..1.5.
void flat_field(const Config& s, Img& si, Img& su, Img& mask) {
    load(4, s.solid_angle, si, su);
    float sum = 0;
    int used = 0;
    for (int k = 0; k < kPixels; ++k) {
        int x = k % 128, y = k / 128;
        mask[k] = s.mask_file ? in_mask_file(x, y) : x > 2 && x < 126 && y > 2 && y < 126;
        su[k] = F(std::sqrt(double(si[k])));
        if (mask[k] > 0.25f) sum = F(double(sum) + si[k]), ++used;
    }
    const double mean = F(double(sum) / used);
    for (int k = 0; k < kPixels; ++k) {
        if (mask[k] > 0.25f) si[k] = F(si[k] / mean), su[k] = F(su[k] / mean);
        if (si[k] < 0.5f || si[k] > 1.5f) mask[k] = 0;
    }
}

// The samples and the buffer in use, loaded and divided by the flat field.
void sensitivity_corrected(const Config& s, const Img& si, const Img& su, const Img& mask, Images& I, Images& U) {
    for (int e = 0; e < (s.buffer ? 3 : 2); ++e) {
        load(e, s.solid_angle, I[e], U[e]);
        for (int k = 0; k < kPixels; ++k) {  // sensitivity correction
            if (!(mask[k] > 0.25f)) { U[e][k] = 0; continue; }
            float i = I[e][k], u = U[e][k], q = F(i / double(si[k]));
            float t1 = i != 0 ? F(F(1.0 * u * u) / double(F(1.0 * i * i))) : F(1.0 * u * u);
            float t2 = F(F(1.0 * su[k] * su[k]) / double(F(1.0 * si[k] * si[k])));
            I[e][k] = q, U[e][k] = F(q * std::sqrt(double(F(double(t1) + t2))));
        }
    }
}

// The reduced image and its uncertainties: the samples less the dark
// current and the buffer, over their transmissions, monitors, thickness and
// the absolute scale.
void subtracted(const Config& s, const Img& mask, const Images& I, const Images& U, Img& ri, Img& ru) {
    Img D, SD;
    if (s.dark) load(3, false, D, SD);
    // Subtraction: sample times 100 + 50, monitors 1e6 + 5e5; buffer in use
    // 120 s, monitor 8e5, transmission 0.8; dark current 30 s.
    const double st = 150, sm = 1500000, bt = 120, bm = 800000, dtm = 30, fs = st / dtm, fb = bt / dtm;
    const float prefac = F(1000.0 / (0.5 * sm * double(0.1f) * double(0.0015f)));  // values near 4000
    for (int k = 0; k < kPixels; ++k) {
        if (!(mask[k] > 0.25f)) continue;
        double e = 0.5 / std::cos(double(theta(k))) + 0.5, d = s.dark ? D[k] : 0, sd = s.dark ? SD[k] : 0, val;
        float strans = F(std::pow(0.5, e)), stot = F(double(I[0][k]) + I[1][k]);
        float sq = F(F(1.0 * U[0][k] * U[0][k]) + 1.0 * U[1][k] * U[1][k]), sun = F(std::sqrt(double(sq)));
        float V = F(1.0 * sun * sun);
        if (s.buffer) {
            float btrans = F(std::pow(double(0.8f), e)), bu = F(std::sqrt(double(F(1.0 * U[2][k] * U[2][k]))));
            double B = (sm * strans) / (bm * btrans);
            val = prefac * ((stot - fs * d) - B * (I[2][k] - fb * d));
            float A = F((sm * strans * bt) / (bm * btrans * dtm) - st / dtm), Bf = F(B);
            if (s.dark) V = F(V + 1.0 * A * A * sd * sd);
            V = F(V + 1.0 * Bf * Bf * bu * bu);
        } else {
            val = prefac * (stot - fs * d);
            if (s.dark) V = F(V + st * st * sd * sd / (dtm * dtm));
        }
        ri[k] = F(val), ru[k] = F(std::sqrt(double(V)) * prefac);
    }
}

// The .d2d file: the parameter file's lines as its header, then the image
// and its uncertainties.
std::string d2d_text(const Config& s, const Img& ri, const Img& ru) {
    std::string text;
    const std::string param = param_text(s);
    for (size_t a = 0, b; a < param.size(); a = b + 1) {  // header: every line but the comment
        b = param.find('\n', a);
        if (param[a] != '#') text += "# " + param.substr(a, b - a + 1);
    }
    text += "# detector appears as if looking from sample position\n";
    for (const Img* v : {&ri, &ru})
        for (int k = 0; k < kPixels; ++k) {
            text += pk::format("%4.4f\t", double((*v)[k])) +
                    std::string(k % 128 < 127 ? "" : v == &ri && k == kPixels - 1 ? "\n\n\n" : "\n");
        }
    return text;
}

// The .d1d file: the full circle's average in bins of one pixel (0.5) over
// the reach 128 x 127, with Q and its resolution.
std::string d1d_text(const Img& mask, const Img& ri, const Img& ru) {
    const float max = F(std::sqrt(128.0 * 128 * 0.5 * 0.5 + 127.0 * 127 * 0.5 * 0.5));
    const int nbin = static_cast<int>(max / 1.0) + 1;
    const float bin = F(double(max) / nbin);
    std::vector<float> y(nbin), dy(nbin), area(nbin);
    for (int c = 0; c < kPixels; ++c) {
        const int i = c / 128, j = c % 128, p = i + 128 * j;  // columns in the outer loop
        for (int m = 0; m < 100 && mask[p] > 0.25f; ++m) {
            float sx = F(i + (m / 10 + 0.5) * 0.1), sy = F(j + (m % 10 + 0.5) * 0.1);
            int idx = static_cast<int>(1.0 * nbin * radius(sx, sy) / max);
            y[idx] = F(y[idx] + ri[p] * 0.01), dy[idx] = F(dy[idx] + ru[p] * 0.01 * ru[p]);
            area[idx] = F(area[idx] + 0.01);
        }
    }
    std::string text;
    for (int i = 0; i < nbin; ++i) {
        if (area[i] == 0) continue;
        float th = F(0.5 * std::atan(1.0 * i * bin / 100)), L2 = F(100 * std::cos(double(th)));
        float L = F(1000.0 * L2 / (1000.0 + L2)), RP = F((i + 0.5) * bin);
        double t = double(F(6.0 * 10 * 10 / (1000.0 * 1000))) + F(6.0 * 5 * 5 / (double(L) * L)) +
                   F((0.5 * 0.5 + 0.5 * 0.5) / (double(L2) * L2)) +
                   F(1.0 * RP * RP * double(0.1f) * double(0.1f) / (double(L2) * L2));
        double kw = 6.283185307179586 / 6;
        const double q = F(std::sin(double(th)) * 12.566370614359172 / 6);
        text += pk::format("%8f\t%8f\t%12f\t%8f\n", q, double(F(y[i] / double(area[i]))),
                           double(F(std::sqrt(double(dy[i])) / area[i])), double(F(std::sqrt(kw * kw / 12 * t))));
    }
    return text;
}

// The whole reduction of the run set up by `s`, worked out here from the
// input counts: the files Pelkaro must write.
Expected reduce(const Config& s) {
    Img si, su, mask(kPixels), ri(kPixels, 0.0f), ru(kPixels, 0.0f);
    Images I, U;
    flat_field(s, si, su, mask);
    sensitivity_corrected(s, si, su, mask, I, U);
    subtracted(s, mask, I, U, ri, ru);
    return {d2d_text(s, ri, ru), d1d_text(mask, ri, ru)};
}

// Equal texts, or the first line where they part.
::testing::AssertionResult same_text(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t at = std::mismatch(got.begin(), got.begin() + std::min(got.size(), want.size()), want.begin()).first -
                got.begin();
    size_t start = got.rfind('\n', at ? at - 1 : 0);
    start = start == std::string::npos ? 0 : start + 1;
    return ::testing::AssertionFailure() << "line " << std::count(got.begin(), got.begin() + at, '\n') + 1
                                         << ": got \"" << got.substr(start, 80) << "\", expected \""
                                         << want.substr(start, 80) << "\"";
}
bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

const char* const kDriver[] = {"Parsing input file...", "Reading the sample data files...",
                               "Reading the background data file...", "Reading the dark current data file...",
                               "Reading the detector sensitivity data file...", "Reading the mask data file...",
                               "Correcting the sensitivities...", "Reducing the data...",
                               "Performing azimuthal average...", "Data reduction completed normally"};
// The driver's progress lines of a run's console output, as indices into kDriver.
std::vector<int> driver_lines(const std::string& out) {
    std::vector<int> lines;
    for (size_t a = 0, b; (b = out.find('\n', a)) != std::string::npos; a = b + 1)
        for (int i = 0; i < 10; ++i)
            if (out.compare(a, b - a, kDriver[i]) == 0) lines.push_back(i);
    return lines;
}

struct RunDir {
    TempDir td;
    explicit RunDir(const Config& s) {
        write_file(td / "run.par", param_text(s));
        const char* names[5] = {"s1.dat", "s2.dat", "b2.dat", "dc.dat", "sens.dat"};
        const double tm[5] = {100, 50, 120, 30, 1}, mon[5] = {1e6, 5e5, 8e5, 300, 1};
        for (int f = 0; f < 5; ++f) {
            std::vector<long> v(kPixels);
            for (int k = 0; k < kPixels; ++k) v[k] = counts(f, k);
            write_file(td / names[f], detector_file(v, tm[f], mon[f]));
        }
        std::string m = "# mask for the test run\n";
        for (int k = 0; k < kPixels; ++k) m += in_mask_file(k % 128, k / 128) ? "1\n" : "0\n";
        write_file(td / "mask.txt", m);
    }
    RunResult run(const RunOptions& o = RunOptions{}) { return run_param(td, "run.par", o); }
    bool has(const char* name) const { return file_exists(td / name); }
    size_t files() const {
        std::filesystem::directory_iterator it(td.path());
        return std::distance(it, std::filesystem::directory_iterator{});
    }
};

TEST(ReductionRun, EntriesDriverLinesAndBothFiles) {
    struct Case { const char* what; Config c; std::vector<int> lines; };
    const Case cases[] = {
        {"two samples, skipped and used buffer, dark, solid angle, mask file", Config{},
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"2D file only", Config{0}, {0, 1, 2, 3, 4, 5, 6, 7, 9}},
        {"1D file only", Config{1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"no buffer, no dark, generated mask, no solid angle", Config{2, false, false, false, false},
         {0, 1, 4, 6, 7, 8, 9}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        RunDir dir(k.c);
        RunResult r = dir.run();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(driver_lines(r.out), k.lines);
        EXPECT_NE(r.out.find(std::string("stot_time = 150.000000, stot_monitor = 1500000.000000, btot_time = ") +
                             (k.c.buffer ? "120" : "0") + ".000000, btot_monitor = 1500000.000000\n"),
                  std::string::npos);
        const Expected want = reduce(k.c);
        EXPECT_EQ(dir.has("s1.d2d"), k.c.avgm != 1);
        EXPECT_EQ(dir.has("s1.d1d"), k.c.avgm != 0);
        if (k.c.avgm != 1) {
            EXPECT_TRUE(same_text(read_file(dir.td / "s1.d2d"), want.d2d));
        }
        if (k.c.avgm != 0) {
            EXPECT_TRUE(same_text(read_file(dir.td / "s1.d1d"), want.d1d));
        }
        if (k.c.avgm == 2) {
            EXPECT_TRUE(ends_with(r.out, "finished setting up the prefactor nonsense\nPerforming azimuthal "
                                         "average...\n****************\nEntered write_2D\nThe 2D output filename is "
                                         "s1.d2d\nEntered write_1D\nThe 1D output filename is s1.d1d\nData "
                                         "reduction completed normally\n"));
        }
    }
}

TEST(ReductionRun, TimeTagOfZeroStopsTheRun) {
    for (const char* file : {"s2.dat", "b2.dat"}) {  // a sample, a buffer in use
        RunDir dir(Config{});
        write_file(dir.td / file, detector_file(std::vector<long>(kPixels, 5), 0, 5e5));
        RunResult r = dir.run();
        EXPECT_EQ(r.status, 255) << file;
        EXPECT_NE(r.out.find("\nPelkaro:  ", r.out.find("Reading the sample data files...")), std::string::npos);
        EXPECT_EQ(r.out.find("Correcting the sensitivities..."), std::string::npos) << r.out;
        EXPECT_FALSE(dir.has("s1.d2d") || dir.has("s1.d1d"));
    }
}

TEST(ReductionRun, FullDiskKeepsTheEarlierFile) {
    RunDir dir(Config{});
    write_file(dir.td / "s1.d2d", "earlier\n");
    const size_t files = dir.files();
    RunOptions full;
    full.fsize_limit = 32768;  // the console output fits, the 2D file does not
    full.ignore_sigxfsz = true;
    RunResult r = dir.run(full);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(ends_with(r.out, "file_out:write_2D -> could not write the output file s1.d2d\n"
                                 "Pelkaro:  unable to output the 2D data\n...Exiting program\n"))
        << r.out;
    EXPECT_EQ(read_file(dir.td / "s1.d2d"), "earlier\n");
    EXPECT_FALSE(dir.has("s1.d1d"));
    EXPECT_EQ(dir.files(), files);  // no temporary file left behind
}

}  // namespace
