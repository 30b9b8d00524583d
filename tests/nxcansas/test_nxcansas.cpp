// pelkaro-nxcansas: the example's file read back with the HDF5 library and
// held against the reduction in memory and Pelkaro's text files, SasView's
// loader on it, the mean Q of the bins, the command line and the refusals.
#include <gtest/gtest.h>

#ifndef PELKARO_NXCANSAS_EXE

#include <cstdlib>
#include <string>

// Continuous integration installs HDF5; elsewhere its absence is a skip.
TEST(NxCanSas, NotBuilt) {
    const char* ci = std::getenv("CI");
    if (ci && *ci && std::string(ci) != "false" && std::string(ci) != "0")
        FAIL() << "built without the HDF5 library in continuous integration";
    GTEST_SKIP() << "built without the HDF5 library: pelkaro-nxcansas is not built";
}

#else

#include <fcntl.h>
#include <hdf5.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>

#include "nxcansas_cli.h"
#include "nxcansas_h5.h"
#include "nxcansas_q.h"
#include "h5_content.h"
#include "test_util.h"
#include "ave_data.h"
#include "numbers.h"
#include "pelkaro/attenuation.h"
#include "pelkaro/files.h"

namespace {

namespace fs = std::filesystem;
using pkt::TempDir;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// A command in directory `cwd`, arguments quoted for the shell.
Outcome run_in(const std::string& cwd, const std::string& exe, const std::vector<std::string>& args) {
    const auto quote = [](std::string s) {
        for (std::size_t at = 0; (at = s.find('\'', at)) != std::string::npos; at += 4) s.replace(at, 1, "'\\''");
        return "'" + s + "'";
    };
    TempDir scratch;
    std::string cmd = "cd " + quote(cwd) + " && " + quote(exe);
    for (const std::string& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(scratch / "out") + " 2>" + quote(scratch / "err");
    const int w = std::system(cmd.c_str());
    return {WIFEXITED(w) ? WEXITSTATUS(w) : -1, pkt::read_file(scratch / "out"), pkt::read_file(scratch / "err")};
}

Outcome nx(const TempDir& dir, const std::vector<std::string>& args) {
    return run_in(dir.path(), PELKARO_NXCANSAS_EXE, args);
}

void copy_example(const TempDir& dir) {
    for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
        fs::copy(e.path(), dir / e.path().filename().string());
}

// The example's parameter file with one line replaced.
void edit_param(const TempDir& dir, const std::string& from, const std::string& to) {
    std::string text = pkt::read_file(dir / "spheres.par");
    text.replace(text.find(from), from.size(), to);
    pkt::write_file(dir / "spheres.par", text);
}

// Reading back with the HDF5 library.
struct H5 {
    hid_t id;
    explicit H5(const std::string& path) : id(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
    ~H5() { H5Fclose(id); }
    bool has(const std::string& path) const { return H5Lexists(id, path.c_str(), H5P_DEFAULT) > 0; }

    template <class T>
    std::vector<T> values(const std::string& path, hid_t type, std::size_t stored_size) const {
        const hid_t d = H5Dopen2(id, path.c_str(), H5P_DEFAULT);
        const hid_t s = H5Dget_space(d), t = H5Dget_type(d);
        EXPECT_EQ(H5Tget_size(t), stored_size) << path;
        std::vector<T> v(static_cast<std::size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(s), 0)));
        EXPECT_GE(H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()), 0) << path;
        H5Tclose(t), H5Sclose(s), H5Dclose(d);
        return v;
    }
    std::vector<float> floats(const std::string& p) const { return values<float>(p, H5T_NATIVE_FLOAT, 4); }
    std::vector<hsize_t> dims(const std::string& path) const {
        const hid_t d = H5Dopen2(id, path.c_str(), H5P_DEFAULT);
        const hid_t s = H5Dget_space(d);
        std::vector<hsize_t> v(static_cast<std::size_t>(std::max(H5Sget_simple_extent_ndims(s), 0)));
        H5Sget_simple_extent_dims(s, v.data(), nullptr);
        H5Sclose(s), H5Dclose(d);
        return v;
    }
    std::vector<double> doubles(const std::string& p) const { return values<double>(p, H5T_NATIVE_DOUBLE, 8); }
    double number(const std::string& p) const { return doubles(p).at(0); }

    // A string of either kind: variable-length, or fixed-length up to its
    // first NUL.
    static std::string text_of(hid_t obj, bool attribute) {
        const hid_t stored = attribute ? H5Aget_type(obj) : H5Dget_type(obj);
        if (H5Tget_class(stored) == H5T_STRING && H5Tis_variable_str(stored) == 0) {
            std::vector<char> v(H5Tget_size(stored) + 1, '\0');
            const herr_t r = attribute ? H5Aread(obj, stored, v.data())
                                       : H5Dread(obj, stored, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data());
            H5Tclose(stored);
            return r >= 0 ? std::string(v.data()) : "<unreadable>";
        }
        H5Tclose(stored);
        const hid_t t = H5Tcopy(H5T_C_S1);
        H5Tset_size(t, H5T_VARIABLE);
        H5Tset_cset(t, H5T_CSET_UTF8);
        char* p = nullptr;
        const herr_t r = attribute ? H5Aread(obj, t, &p) : H5Dread(obj, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, &p);
        std::string s = r >= 0 && p ? p : "<unreadable>";
        H5free_memory(p);
        H5Tclose(t);
        return s;
    }
    std::string text(const std::string& path) const {
        const hid_t d = H5Dopen2(id, path.c_str(), H5P_DEFAULT);
        std::string s = d < 0 ? "<missing>" : text_of(d, false);
        H5Dclose(d);
        return s;
    }
    // The texts of a list of variable-length strings, in order.
    std::vector<std::string> texts(const std::string& path) const {
        const hid_t d = H5Dopen2(id, path.c_str(), H5P_DEFAULT);
        const hid_t s = H5Dget_space(d), stored = H5Dget_type(d), t = H5Tcopy(H5T_C_S1);
        EXPECT_TRUE(H5Tis_variable_str(stored) > 0 && H5Sget_simple_extent_ndims(s) == 1) << path;
        H5Tset_size(t, H5T_VARIABLE);
        H5Tset_cset(t, H5T_CSET_UTF8);
        std::vector<char*> p(static_cast<std::size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(s), 0)));
        std::vector<std::string> v;
        if (H5Dread(d, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, p.data()) >= 0) {
            for (char* c : p) v.push_back(c ? c : "<null>");
            H5Dvlen_reclaim(t, s, H5P_DEFAULT, p.data());
        }
        H5Tclose(t), H5Tclose(stored), H5Sclose(s), H5Dclose(d);
        return v;
    }
    // The stored size of a fixed-length string; 0 for any other type.
    std::size_t fixed_text_size(const std::string& path) const {
        const hid_t d = H5Dopen2(id, path.c_str(), H5P_DEFAULT);
        const hid_t t = H5Dget_type(d);
        const bool fixed = H5Tget_class(t) == H5T_STRING && H5Tis_variable_str(t) == 0 &&
                           H5Tget_cset(t) == H5T_CSET_UTF8 && H5Tget_strpad(t) == H5T_STR_NULLTERM;
        const std::size_t size = fixed ? H5Tget_size(t) : 0;
        H5Tclose(t), H5Dclose(d);
        return size;
    }
    std::string attr(const std::string& obj, const char* name) const {
        const hid_t a = H5Aopen_by_name(id, obj.c_str(), name, H5P_DEFAULT, H5P_DEFAULT);
        std::string s = a < 0 ? "<missing>" : text_of(a, true);
        H5Aclose(a);
        return s;
    }
    std::vector<int> ints(const std::string& obj, const char* name) const {
        const hid_t a = H5Aopen_by_name(id, obj.c_str(), name, H5P_DEFAULT, H5P_DEFAULT);
        const hid_t s = H5Aget_space(a);
        std::vector<int> v(static_cast<std::size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(s), 0)));
        H5Aread(a, H5T_NATIVE_INT, v.data());
        H5Sclose(s), H5Aclose(a);
        return v;
    }
};

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(s);
    for (std::string p; std::getline(in, p, sep);) parts.push_back(p);
    return parts;
}

std::string f(const char* fmt, double v) { return pk::format(fmt, v); }

// The example reduced three ways: Pelkaro's text files, pelkaro-nxcansas's
// file with Pelkaro's own numbers (--as-computed; by default they are freed
// of the sample's wide-angle attenuation, test_attenuation.cpp) and the
// reduction in memory.
class NxCanSasExample : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        copy_example(*dir_);
        ASSERT_EQ(pkt::run_param(*dir_, "spheres.par").status, 0);
        run_ = nx(*dir_, {"--as-computed", "spheres.par"});
        const std::string cwd = fs::current_path();
        fs::current_path(dir_->path());
        const Console quiet{nullptr, nullptr};
        reduced_ = std::make_unique<pk::Run>();
        const bool ok = prepare_run("spheres.par", *reduced_, quiet).ok() && reduce(*reduced_, quiet).ok();
        fs::current_path(cwd);
        ASSERT_TRUE(ok);
    }
    static void TearDownTestSuite() { reduced_.reset(), dir_.reset(); }
    static std::unique_ptr<TempDir> dir_;
    static std::unique_ptr<pk::Run> reduced_;
    static Outcome run_;
};
std::unique_ptr<TempDir> NxCanSasExample::dir_;
std::unique_ptr<pk::Run> NxCanSasExample::reduced_;
Outcome NxCanSasExample::run_;

TEST_F(NxCanSasExample, ConsoleIsShortAndTheFileStandsBesideTheSample) {
    const auto lines = split(pkt::read_file(*dir_ / "sphere_sample.d1d"), '\n');
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(run_.out, "Reading the parameter file spheres.par\nReducing 1 sample file and 1 buffer file\n"
                        "Wrote sphere_sample.h5: the I(Q) curve (" + std::to_string(lines.size()) +
                            " points) and the 128 x 128 image\n");
    EXPECT_EQ(run_.err, "");
    for (const auto& e : fs::directory_iterator(dir_->path()))  // no temporary file left
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

TEST_F(NxCanSasExample, CurveHoldsTheReductionsNumbersAtBinCentres) {
    const H5 h(*dir_ / "sphere_sample.h5");
    const std::string g = "sasentry01/sasdata01/";
    const auto i = h.floats(g + "I"), idev = h.floats(g + "Idev"), qdev = h.floats(g + "Qdev");
    const auto q = h.doubles(g + "Q"), qmean = h.doubles(g + "Qmean"), qcentre = h.doubles(g + "Qcentre");
    const auto kq = h.doubles("sasentry01/resolution_kernel/Q"), kw = h.doubles("sasentry01/resolution_kernel/weight");
    ASSERT_EQ(h.dims("sasentry01/resolution_kernel/Q"), (std::vector<hsize_t>{q.size(), kq.size() / q.size()}));
    const std::size_t nodes = kq.size() / q.size();
    const auto lines = split(pkt::read_file(*dir_ / "sphere_sample.d1d"), '\n');
    ASSERT_EQ(i.size(), lines.size());
    ASSERT_TRUE(idev.size() == i.size() && qdev.size() == i.size() && q.size() == i.size() && qmean.size() == i.size());
    const Data1D& rot = reduced_->curve;
    std::size_t n = 0;
    int first = -1, last = -1;
    for (int b = 0; b < rot.num; ++b) {
        if (rot.area[b] == 0) continue;
        ASSERT_LT(n, i.size());
        first = first < 0 ? b : first, last = b;
        EXPECT_EQ(pk::bits_of(i[n]), pk::bits_of(rot.y[b])) << b;
        // The .d1d keeps its values: Pelkaro's dI and dQ.
        const auto cols = split(lines[n], '\t');
        ASSERT_EQ(cols.size(), 4u);
        EXPECT_EQ(cols[1], f("%8f", i[n]));
        EXPECT_EQ(cols[2], f("%12f", rot.dy[b]));
        EXPECT_EQ(cols[3], f("%8f", rot.dq[b]));
        // A pixel's sub-pixels move together, so the bin's uncertainty is
        // below the .d1d's, which counts them as independent (equal only
        // where whole pixels fall into the bin); the Gaussian sigma of the
        // resolution is below the .d1d's dQ at low Q, above it at high Q.
        EXPECT_TRUE(idev[n] <= rot.dy[b] && idev[n] > 0.6f * rot.dy[b]) << b << ": " << idev[n] << " " << rot.dy[b];
        EXPECT_TRUE(std::isfinite(qdev[n]) && qdev[n] > 0) << b;
        // Between the bin's inner and outer edge, the centre close to their middle.
        const double lo = rot.x[b], hi = rot.x[b + 1];
        EXPECT_NEAR(qcentre[n], (lo + hi) / 2, (hi - lo) * 1e-3) << b;
        EXPECT_TRUE(lo < qmean[n] && qmean[n] < hi) << b;
        // The instrument puts the point further out than the detector area's
        // mean (the blur across Q, the wavelengths' mean of 1/lambda), by
        // less than its spread; its kernel's weights add up to one about it.
        EXPECT_TRUE(q[n] > qmean[n] && q[n] - qmean[n] < 0.5 * qdev[n]) << b;
        double sum = 0, mean = 0;
        for (std::size_t j = 0; j < nodes; ++j) {
            sum += kw[n * nodes + j], mean += kw[n * nodes + j] * kq[n * nodes + j];
            if (j > 0) {
                EXPECT_GT(kq[n * nodes + j], kq[n * nodes + j - 1]);
            }
        }
        EXPECT_NEAR(sum, 1, 1e-12) << b;
        EXPECT_NEAR(mean, q[n], 1e-3 * qdev[n]) << b;
        ++n;
    }
    EXPECT_EQ(n, i.size());
    EXPECT_LT(qdev.front(), 0.75f * rot.dq[first]);
    EXPECT_GT(qdev.back(), 1.1f * rot.dq[last]);
}

TEST_F(NxCanSasExample, ImageHoldsTheReducedPixelsAndTheMask) {
    const H5 h(*dir_ / "sphere_sample.h5");
    const std::string g = "sasentry01/sasdata02/";
    const auto i = h.floats(g + "I"), idev = h.floats(g + "Idev");
    const auto qx = h.doubles(g + "Qx"), qy = h.doubles(g + "Qy");
    const auto mask = h.values<uint8_t>(g + "Mask", H5T_NATIVE_UINT8, 1);
    ASSERT_TRUE(i.size() == 16384u && idev.size() == 16384u && qx.size() == 16384u && mask.size() == 16384u);
    const std::string d2d = pkt::read_file(*dir_ / "sphere_sample.d2d");
    auto rows = split(d2d.substr(d2d.find("position\n") + 9), '\n');
    std::vector<std::string> mask_lines;  // the mask file's values, comments left out
    for (const std::string& l : split(pkt::read_file(*dir_ / "detector.mask"), '\n'))
        if (l[0] != '#') mask_lines.push_back(l);
    int excluded = 0;
    float largest = 0;
    for (int k = 0; k < 16384; ++k)
        if (!mask[k]) largest = std::max(largest, idev[k]);
    for (int y = 0; y < 128; ++y) {
        const auto cells = split(rows[y], '\t');
        ASSERT_EQ(cells.size(), 128u);
        for (int x = 0; x < 128; ++x) {
            const int k = x + 128 * y;
            EXPECT_EQ(cells[x], f("%4.4f", i[k])) << x << "," << y;
            EXPECT_EQ(pk::bits_of(i[k]), pk::bits_of(reduced_->reduced.intens[k]));
            EXPECT_EQ(mask[k], pk::pixel_used(reduced_->mask.intens[k]) ? 0 : 1);
            if (mask_lines.at(k) == "0") {
                EXPECT_EQ(mask[k], 1) << "masked in the mask file: " << x << "," << y;
            }
            // An excluded pixel holds I = 0 and an Idev far above every used
            // pixel's, finite: a program that ignores the mask neither
            // divides by zero nor gives it weight.
            if (mask[k]) {
                EXPECT_TRUE(i[k] == 0 && std::isfinite(idev[k]) && idev[k] >= 1e5f * largest) << x << "," << y;
            } else {
                EXPECT_EQ(pk::bits_of(idev[k]), pk::bits_of(reduced_->reduced.uncert[k]));
            }
            excluded += mask[k];
            // Qx follows the column's side of the beam centre (x 65.5), Qy the row's (y 62.5).
            EXPECT_EQ(qx[k] > 0, x > 65) << x;
            EXPECT_EQ(qy[k] > 0, y > 62) << y;
        }
    }
    EXPECT_GT(excluded, 0);
    // Column 65's centre lies on the beam centre's column: 10 rows above it, 50 mm off axis.
    // Its mean Q is the centre's, lengthened by the mean of lambda0 / lambda
    // over the triangle of FWHM 0.1 (worked out on a fine grid here); the
    // other terms are of the order of the square of the angular spread,
    // (1.8e-3)^2: a few 1e-6.
    EXPECT_EQ(qx[65 + 128 * 72], 0.0);
    double inverse = 0, weight = 0;
    for (int j = 0; j < 100000; ++j) {
        const double d = -0.1 + (j + 0.5) * 0.2 / 100000, w = 1 - std::fabs(d) / 0.1;
        inverse += w / (1 + d), weight += w;
    }
    EXPECT_NEAR(qy[65 + 128 * 72] / (4 * M_PI / 6 * std::sin(0.5 * std::atan(50.0 / 5000))), inverse / weight, 1e-5);
}

TEST_F(NxCanSasExample, MetadataAndUnits) {
    const H5 h(*dir_ / "sphere_sample.h5");
    EXPECT_EQ(h.attr("/", "default"), "sasentry01");
    EXPECT_EQ(h.attr("/", "file_name"), "sphere_sample.h5");
    EXPECT_EQ(h.attr("/", "creator"), "Pelkaro " PELKARO_VERSION);
    const std::string t = h.attr("/", "file_time");
    EXPECT_TRUE(t.size() == 25 && t[10] == 'T' && t[22] == ':') << t;  // 2024-05-01T14:03:07+02:00
    const std::string e = "sasentry01";
    EXPECT_EQ(h.attr(e, "version"), "1.1");
    EXPECT_EQ(h.attr(e, "default"), "sasdata01");
    EXPECT_EQ(h.text(e + "/definition"), "NXcanSAS");
    EXPECT_EQ(h.text(e + "/title"), "sphere_sample");
    EXPECT_EQ(h.text(e + "/run"), "sphere_sample.dat");
    for (const char* group : {"", "/sasdata01", "/sasdata02", "/sasinstrument", "/sasinstrument/sassource",
                              "/sasinstrument/sascollimation", "/sasinstrument/sasaperture01",
                              "/sasinstrument/sasaperture02", "/sasinstrument/sasdetector", "/sassample",
                              "/sasprocess", "/sasprocess/sasnote", "/sasnote"}) {
        EXPECT_EQ(h.attr(e + group, "NX_class").substr(0, 2), "NX") << group;
        EXPECT_EQ(h.attr(e + group, "canSAS_class").substr(0, 3), "SAS") << group;
    }
    const std::string c = e + "/sasdata01", im = e + "/sasdata02";
    EXPECT_EQ(h.attr(c, "signal") + h.attr(c, "I_axes"), "IQ");
    EXPECT_EQ(h.ints(c, "Q_indices"), std::vector<int>{0});
    EXPECT_EQ(h.attr(c + "/I", "uncertainties") + h.attr(c + "/Q", "resolutions"), "IdevQdev");
    EXPECT_EQ(h.attr(c + "/Q", "resolutions_description"), "Gaussian");
    EXPECT_EQ(h.attr(im, "I_axes") + " " + h.attr(im, "mask"), "Qx,Qy Mask");
    EXPECT_EQ(h.ints(im, "Q_indices"), (std::vector<int>{0, 1}));
    EXPECT_EQ(h.ints(im, "Mask_indices"), (std::vector<int>{0, 1}));
    for (const char* d : {"/sasdata01/I", "/sasdata01/Idev", "/sasdata02/I", "/sasdata02/Idev"})
        EXPECT_EQ(h.attr(e + d, "units"), "1/cm") << d;
    for (const char* d : {"/sasdata01/Q", "/sasdata01/Qmean", "/sasdata01/Qdev", "/sasdata02/Qx", "/sasdata02/Qy"})
        EXPECT_EQ(h.attr(e + d, "units"), "1/angstrom") << d;
    const std::string ins = e + "/sasinstrument/";
    EXPECT_EQ(h.number(ins + "sassource/incident_wavelength"), 6.0);
    EXPECT_EQ(h.number(ins + "sassource/incident_wavelength_spread"), 0.6);
    EXPECT_EQ(h.number(ins + "sascollimation/distance"), 5000.0);
    EXPECT_EQ(h.number(ins + "sasaperture01/x_gap") + h.number(ins + "sasaperture02/y_gap"), 30.0 + 10.0);
    EXPECT_EQ(h.number(ins + "sasdetector/SDD"), 5000.0);
    EXPECT_EQ(h.number(ins + "sasdetector/beam_center_x"), 65.5 * 5);
    EXPECT_EQ(h.number(ins + "sasdetector/beam_center_y"), 62.5 * 5);
    EXPECT_EQ(h.attr(ins + "sasdetector/x_pixel_size", "units"), "mm");
    EXPECT_EQ(h.number(e + "/sassample/thickness"), 1.0);  // 0.1 cm
    EXPECT_EQ(h.attr(e + "/sassample/thickness", "units"), "mm");
    EXPECT_EQ(h.number(e + "/sassample/transmission"), 0.899425);
    EXPECT_EQ(h.text(e + "/sasprocess/name"), "Pelkaro");
    // One sample and one buffer: each file a text of its own, as every other file.
    const std::string process = e + "/sasprocess/";
    std::string files;
    for (int t = 1; t <= 6; ++t) {
        const std::string term = process + pk::format("term%02d", t);
        EXPECT_EQ(h.dims(term), std::vector<hsize_t>{}) << term;
        files += h.attr(term, "name") + ": " + h.text(term) + "\n";
    }
    EXPECT_EQ(files, "parameter file: spheres.par\nsample file: sphere_sample.dat\nbuffer file: solvent_buffer.dat\n"
                     "dark current file: dark_current.dat\nsensitivity file: flat_field.dat\nmask: detector.mask\n");
    EXPECT_EQ(h.attr(process + "term07", "name"), "absolute scale factor");
    EXPECT_EQ(h.number(process + "term07"), 16.99243);
}

// The note of the parse: every line of the parameter file in order, each
// as "N: text  [verdict...]", in one NUL-terminated fixed-length string.
TEST_F(NxCanSasExample, ParseNoteHoldsEveryLineOfTheParameterFile) {
    const H5 h(*dir_ / "sphere_sample.h5");
    const std::string data = "sasentry01/sasprocess/sasnote/data";
    const std::string note = h.text(data);
    EXPECT_EQ(h.fixed_text_size(data), note.size() + 1);
    EXPECT_EQ(h.dims(data), std::vector<hsize_t>{});
    const std::vector<std::string> lines = split(note, '\n'), par = split(pkt::read_file(*dir_ / "spheres.par"), '\n');
    ASSERT_EQ(lines.size(), par.size());
    for (std::size_t k = 0; k < par.size(); ++k) {
        const std::string head = std::to_string(k + 1) + ": " + par[k] + "  [";
        EXPECT_EQ(lines[k].substr(0, head.size()), head);
        EXPECT_EQ(lines[k].back(), ']') << lines[k];
        EXPECT_EQ(lines[k].find("  [comment]") != std::string::npos, par[k][0] == '#') << lines[k];
    }
    EXPECT_EQ(lines[27], "28: AVGM 2  [accepted: 2]");
    EXPECT_EQ(h.text("sasentry01/sasprocess/sasnote/description"),
              "The parameter file spheres.par as parsed: line, text, [verdict: values read]");
}

// SasView's loader on a file in `dir` (tests/nxcansas/sasview_load.py):
// status 77 when SasView is not installed.  Where the Debian packages are,
// python3 on the PATH may be another one.
Outcome sasview_load(const TempDir& dir, const std::string& file) {
    Outcome o;
    for (const char* py : {"python3", "/usr/bin/python3"}) {
        o = run_in(dir.path(), py, {PELKARO_SOURCE_DIR "/tests/nxcansas/sasview_load.py", file});
        if (o.status != 77 && o.status != 127) break;
    }
    return o;
}

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci && *ci && std::string(ci) != "false" && std::string(ci) != "0";
}

TEST_F(NxCanSasExample, SasViewLoadsBothDataSets) {
    const Outcome o = sasview_load(*dir_, "sphere_sample.h5");
    if (o.status == 77 && !in_ci()) GTEST_SKIP() << o.err;
    EXPECT_EQ(o.status, 0) << o.err;
}

// The file against the NXcanSAS 1.1 definition and the statements it makes:
// the image has its Q, the source names its probe (radiation is
// deprecated), the process gives the radial bin width the average used
// (worked out from the .d1d's inner edges), the resolutions and notes say
// what their numbers are.
TEST_F(NxCanSasExample, ConformsToTheDefinition) {
    const H5 h(*dir_ / "sphere_sample.h5");
    const std::string e = "sasentry01", im = e + "/sasdata02/";
    // Each item on its own, so that a file missing one shows every other.
    EXPECT_TRUE(h.has(im + "Q"));
    if (h.has(im + "Q")) {
        const auto q = h.doubles(im + "Q"), qx = h.doubles(im + "Qx"), qy = h.doubles(im + "Qy");
        ASSERT_EQ(q.size(), 16384u);
        for (std::size_t k = 0; k < q.size(); ++k) EXPECT_NEAR(q[k], std::hypot(qx[k], qy[k]), 1e-15) << k;
        EXPECT_EQ(h.attr(im + "Q", "units"), "1/angstrom");
    }
    EXPECT_EQ(h.attr(im + "Qx", "resolutions") + " " + h.attr(im + "Qy", "resolutions"), "Qdev Qdev");
    EXPECT_TRUE(h.has(im + "Qdev"));
    if (h.has(im + "Qdev")) {
        EXPECT_EQ(h.dims(im + "Qdev"), (std::vector<hsize_t>{2, 128, 128}));
        EXPECT_EQ(h.attr(im + "Qdev", "units"), "1/angstrom");
    }
    EXPECT_EQ(h.attr(im + "Qx", "resolutions_description").substr(0, 9), "Gaussian;");
    EXPECT_EQ(h.text(e + "/sasinstrument/sassource/probe"), "neutron");
    EXPECT_FALSE(h.has(e + "/sasinstrument/sassource/radiation"));
    // Bin b's inner edge is at b w: Q = 4 pi / lambda sin(atan(b w / L) / 2).
    const Data1D& rot = reduced_->curve;
    double width = 0;
    int bins = 0;
    for (int b = 20; b < rot.num; ++b, ++bins)
        width += 5000 * std::tan(2 * std::asin(rot.x[b] * 6 / (4 * M_PI))) / b;
    width /= bins;
    std::string term;
    for (int t = 1; t < 30 && term.empty(); ++t)
        if (h.attr(pk::format("%s/sasprocess/term%02d", e.c_str(), t), "name") == "radial bin width")
            term = pk::format("%s/sasprocess/term%02d", e.c_str(), t);
    ASSERT_FALSE(term.empty());
    EXPECT_NEAR(h.number(term), width, 2e-5 * width);
    EXPECT_NEAR(width, 4.98, 0.01);
    const std::string note = h.text(e + "/sasnote/data");
    EXPECT_EQ(h.ints("/", "pelkaro_format_version"), std::vector<int>{2});
    for (const char* words : {"FWHM of a triangular", "resolution kernel", "deterministic quadrature", "correlated",
                              "Qdev[0]", "mean Q vector", "fall under gravity", "Qcentre"})
        EXPECT_NE(note.find(words), std::string::npos) << words << " not in: " << note;
}

// An instrument of the example's geometry, neutron by neutron: a point of
// each aperture (discs of 30 and 10 mm, 5 m apart), a wavelength from the
// triangular distribution of FWHM 0.6 A about 6 A, a point of the pixel it
// is counted in.  The spread of the true Q is the file's Qdev to 3 %: of
// the neutrons a bin counts (its pixels those whose centre lies in its
// ring), and of those a pixel counts, along and across its Q.
struct Instrument {
    double l1 = 5000, l2 = 5000, r1 = 15, r2 = 5, lambda = 6, spread = 0.1, px = 5, py = 5, bx = 65.5, by = 62.5;
    std::mt19937_64 rng{42};
    double u() { return std::uniform_real_distribution<double>(0, 1)(rng); }
    void disc(double r, double& x, double& y) {
        do x = 2 * u() - 1, y = 2 * u() - 1;
        while (x * x + y * y >= 1);
        x *= r, y *= r;
    }
    // The scattering vector of a neutron counted at (X, Y), in pixels.
    std::array<double, 3> q_at(double X, double Y) {
        double sx, sy, ax, ay;
        disc(r1, sx, sy), disc(r2, ax, ay);
        const double k = 2 * M_PI / (lambda * (1 + spread * (u() + u() - 1)));
        double in[3] = {ax - sx, ay - sy, l1}, out[3] = {(X - bx) * px - ax, (Y - by) * py - ay, l2};
        const double ni = std::sqrt(in[0] * in[0] + in[1] * in[1] + in[2] * in[2]);
        const double no = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
        return {k * (out[0] / no - in[0] / ni), k * (out[1] / no - in[1] / ni), k * (out[2] / no - in[2] / ni)};
    }
};

double spread_of(const std::vector<double>& v) {
    double m = 0, s = 0;
    for (double x : v) m += x / v.size();
    for (double x : v) s += (x - m) * (x - m) / (v.size() - 1);
    return std::sqrt(s);
}

TEST_F(NxCanSasExample, QdevIsTheSpreadOfAMonteCarloInstrument) {
    const H5 h(*dir_ / "sphere_sample.h5");
    const auto qdev = h.floats("sasentry01/sasdata01/Qdev"), qdev2 = h.floats("sasentry01/sasdata02/Qdev");
    const auto qx = h.doubles("sasentry01/sasdata02/Qx"), qy = h.doubles("sasentry01/sasdata02/Qy");
    ASSERT_EQ(qdev2.size(), 2 * 16384u);
    RadialBins rb;
    ASSERT_TRUE(pk::radial_bins(reduced_->p, rb));
    Instrument ins;
    constexpr int kNeutrons = 100000;
    int first = 0;
    while (reduced_->curve.area[first] == 0) ++first;
    for (int b : {first, 20, 50, 85}) {
        std::vector<int> ring;  // pixels whose centre lies in bin b
        for (int k = 0; k < 16384; ++k) {
            const double r = std::hypot((k % 128 + 0.5 - ins.bx) * ins.px, (k / 128 + 0.5 - ins.by) * ins.py);
            if (static_cast<int>(r / rb.width) == b && pk::pixel_used(reduced_->mask.intens[k])) ring.push_back(k);
        }
        ASSERT_GT(ring.size(), 10u) << b;
        std::vector<double> q;
        for (int n = 0; n < kNeutrons; ++n) {
            const int k = ring[static_cast<std::size_t>(ins.u() * ring.size())];
            const auto v = ins.q_at(k % 128 + ins.u(), k / 128 + ins.u());
            q.push_back(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
        }
        RecordProperty(pk::format("bin%d", b), pk::format("%.4f", qdev[b - first] / spread_of(q)));
        EXPECT_NEAR(qdev[b - first] / spread_of(q), 1.0, b == first ? 0.05 : 0.03) << "bin " << b;
    }
    for (const auto& [x, y] : {std::pair{100, 62}, std::pair{65, 120}, std::pair{120, 10}, std::pair{10, 120}}) {
        const std::size_t k = static_cast<std::size_t>(x + 128 * y);
        const double ux = qx[k] / std::hypot(qx[k], qy[k]), uy = qy[k] / std::hypot(qx[k], qy[k]);
        std::vector<double> along, across;
        for (int n = 0; n < kNeutrons; ++n) {
            const auto v = ins.q_at(x + ins.u(), y + ins.u());
            along.push_back(v[0] * ux + v[1] * uy), across.push_back(-v[0] * uy + v[1] * ux);
        }
        RecordProperty(pk::format("pixel%d_%d", x, y), pk::format("%.4f %.4f", qdev2[k] / spread_of(along), qdev2[k + 16384] / spread_of(across)));
        EXPECT_NEAR(qdev2[k] / spread_of(along), 1.0, 0.03) << x << "," << y;
        EXPECT_NEAR(qdev2[k + 16384] / spread_of(across), 1.0, 0.03) << x << "," << y;
    }
}

// The curve the library hands pelkaro.merge for a reduction in memory is
// the one pelkaro-merge reads from the file the library writes for it,
// number for number.  A file that cannot be written is the output's
// failure; a reduction without a curve has nothing to join.
TEST_F(NxCanSasExample, CurveForTheJoinIsTheFilesAndRefusalsSayWhatFailed) {
    TempDir out;
    pk::NxOptions opt;
    opt.param = "spheres.par";
    const pk::Status written = pk::write_file(*reduced_, opt, out / "lib.h5");
    ASSERT_TRUE(written.ok()) << written.reason;
    pk::MergeCurve file, memory;
    const pk::Status read = pk::read_curve(out / "lib.h5", file);
    ASSERT_TRUE(read.ok()) << read.reason;
    Data1D rot;
    pk::BinSums sums;
    const Console quiet{nullptr, nullptr};
    ASSERT_TRUE(ave_data_sums(reduced_->p, reduced_->reduced, rot, reduced_->mask, sums, quiet).ok());
    pk::CurveQ q;
    ASSERT_TRUE(pk::curve_q(reduced_->p, reduced_->curve, sums, reduced_->mask, pk::ResolutionOptions{}, q));
    const pk::Status taken = pk::merge_curve_of(*reduced_, q, "spheres.par", memory);
    ASSERT_TRUE(taken.ok()) << taken.reason;
    EXPECT_EQ(memory.file, "spheres.par");
    ASSERT_FALSE(file.q.empty());
    for (const auto& [a, b] : {std::make_pair(&file.q, &memory.q), std::make_pair(&file.i, &memory.i),
                               std::make_pair(&file.idev, &memory.idev), std::make_pair(&file.qdev, &memory.qdev)}) {
        ASSERT_EQ(a->size(), file.q.size());
        ASSERT_EQ(b->size(), file.q.size());
        for (std::size_t k = 0; k < a->size(); ++k) EXPECT_EQ(pk::bits_of((*a)[k]), pk::bits_of((*b)[k])) << k;
    }
    EXPECT_EQ(memory.intensity_unit, file.intensity_unit);
    EXPECT_EQ(pk::bits_of(memory.distance_mm), pk::bits_of(file.distance_mm));
    EXPECT_EQ(pk::bits_of(memory.wavelength), pk::bits_of(file.wavelength));

    const auto expect_refusal = [](const pk::Status& st, pk::Stage stage, pk::Code code, const std::string& reason) {
        EXPECT_EQ(pk::stage_name(st.stage), std::string(pk::stage_name(stage)));
        EXPECT_EQ(pk::code_name(st.code), std::string(pk::code_name(code)));
        EXPECT_EQ(st.reason, reason);
        EXPECT_EQ(st.text(), "");  // the programs print it in their own form
    };
    const std::string nowhere = out / "no/such/dir/x.h5";
    expect_refusal(pk::write_file(*reduced_, opt, nowhere), pk::Stage::output, pk::Code::cannot_write,
                   "cannot create a file beside " + nowhere + ": No such file or directory");
    expect_refusal(pk::write_file(*reduced_, opt, out.path()), pk::Stage::output, pk::Code::cannot_write,
                   "cannot write " + out.path() + ": it exists and is not a regular file");
    pk::Run image_only = *reduced_;
    image_only.p.average = 0;
    expect_refusal(pk::merge_curve_of(image_only, q, "spheres.par", memory), pk::Stage::read, pk::Code::bad_contents,
                   "the reduction made no curve (AVGM 0)");
}

// The mean Q of the bins, against the areas worked out by hand.
TEST(NxCanSasQ, MeanQOfTheBins) {
    Param p{};
    p.px = p.py = 5, p.bx = 64.5f, p.by = 64.5f, p.sam2det = 5000, p.src2sam = 5000, p.srcapp = 10, p.samapp = 5;
    p.wavelen = 6, p.dwavelen = 0.1f, p.bin_width = 1, p.thmin = 0, p.thmax = static_cast<float>(2 * M_PI);
    Data2D image, mask;
    image.intens.assign(kImageValues, 1.0f), image.uncert.assign(kImageValues, 1.0f);
    mask.intens.assign(kImageValues, 1.0f);
    Data1D rot;
    pk::BinSums sums;
    ASSERT_TRUE(ave_data_sums(p, image, rot, mask, sums, Console{nullptr, nullptr}).ok());
    pk::CurveQ c;
    ASSERT_TRUE(pk::curve_q(p, rot, sums, mask, pk::ResolutionOptions{}, c));
    ASSERT_EQ(c.bins.front(), 0);
    // Bin 0 is a disc: its mean radius is 2/3 of its outer edge, its centre 1/2.
    const double edge = rot.x[1];
    EXPECT_NEAR(c.qmean[0] / edge, 2.0 / 3, 0.01);
    EXPECT_NEAR(c.qcentre[0] / edge, 0.5, 1e-4);
    // An annulus far out has its mean radius at its centre to 1/(12 i) of a width.
    EXPECT_NEAR(c.qmean[40], c.qcentre[40], (rot.x[41] - rot.x[40]) / (12 * 40.0) + 1e-3 * (rot.x[41] - rot.x[40]));
    // A half-plane sector keeps the rings' radii; a curve the replay does not meet is refused.
    pk::CurveQ half;
    p.thmax = static_cast<float>(M_PI / 2);
    ASSERT_TRUE(ave_data_sums(p, image, rot, mask, sums, Console{nullptr, nullptr}).ok());
    ASSERT_TRUE(pk::curve_q(p, rot, sums, mask, pk::ResolutionOptions{}, half));
    EXPECT_NEAR(half.qmean[40], c.qmean[40], 1e-3 * c.qmean[40]);
    rot.area[3] = rot.area[3] == 0 ? 1.0f : 0.0f;
    EXPECT_FALSE(pk::curve_q(p, rot, sums, mask, pk::ResolutionOptions{}, half));
}

// The values a series keeps for its configuration (NxFixed) are those
// worked out afresh, bit for bit, as the configuration changes under it
// and comes back: another mask, resolution options, beam centre, sector,
// and the sample's transmission for the pixels' attenuation factors.
TEST(NxCanSasQ, FixedValuesAreTheFreshOnesAsTheConfigurationChanges) {
    Param p{};
    p.px = p.py = 5, p.bx = 64.5f, p.by = 62.5f, p.sam2det = 5000, p.src2sam = 5000, p.srcapp = 15, p.samapp = 5;
    p.wavelen = 6, p.dwavelen = 0.1f, p.bin_width = 1, p.thmin = 0, p.thmax = static_cast<float>(2 * M_PI);
    Data2D image, mask, masked;
    image.intens.assign(kImageValues, 1.0f), image.uncert.assign(kImageValues, 1.0f);
    mask.intens.assign(kImageValues, 1.0f);
    masked = mask;
    for (int k = 0; k < 40 * 128; ++k) masked.intens[static_cast<std::size_t>(k)] = 0.0f;
    pk::ResolutionOptions metres, no_fall;
    no_fall.gravity = false;
    struct Config { Param p; const Data2D* mask; pk::ResolutionOptions opt; float trans; };
    Param moved = p, sector = p;
    moved.bx = 70.25f;
    sector.thmax = static_cast<float>(M_PI / 3);
    // Each differs from the one before in one thing.
    const Config configs[] = {{p, &mask, metres, 0.9f},      {moved, &mask, metres, 0.9f}, {p, &mask, metres, 0.9f},
                              {p, &masked, metres, 0.9f},    {p, &masked, no_fall, 0.9f},  {p, &masked, no_fall, 0.8f},
                              {sector, &masked, no_fall, 0.8f}, {p, &mask, metres, 0.9f}};
    const auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
                   return pk::bits_of(x) == pk::bits_of(y);
               });
    };
    pk::NxFixed fixed;
    for (const Config& c : configs) {
        Data1D rot;
        pk::BinSums sums;
        ASSERT_TRUE(ave_data_sums(c.p, image, rot, *c.mask, sums, Console{nullptr, nullptr}).ok());
        pk::CurveQ fresh, kept;
        ASSERT_TRUE(pk::curve_q(c.p, rot, sums, *c.mask, c.opt, fresh));
        ASSERT_TRUE(pk::curve_q(c.p, rot, sums, *c.mask, c.opt, kept, &fixed));
        EXPECT_GT(fresh.kernel_nodes, 0);
        EXPECT_EQ(kept.kernel_nodes, fresh.kernel_nodes);
        for (const auto& [a, b] : {std::make_pair(&kept.q, &fresh.q), std::make_pair(&kept.qdev, &fresh.qdev),
                                   std::make_pair(&kept.kernel_q, &fresh.kernel_q),
                                   std::make_pair(&kept.kernel_weight, &fresh.kernel_weight)})
            EXPECT_TRUE(same(*a, *b));
        std::vector<double> qx, qy, along, across;
        pk::pixel_q(c.p, c.opt, qx, qy, along, across);
        const pk::NxFixed& px = pk::fixed_pixel_q(c.p, c.opt, fixed);
        EXPECT_TRUE(same(px.qx, qx) && same(px.qy, qy) && same(px.along, along) && same(px.across, across));
        EXPECT_TRUE(same(pk::fixed_attenuation(c.p, c.trans, fixed), pk::image_attenuation(c.p, c.trans)));
    }
}

// Progress that cannot be written is a failure of its own (status 2; 1 is a
// failed run); a title's control characters do not reach the file.
TEST(NxCanSasCli, FullDiskAndControlCharactersInTheTitle) {
    TempDir dir;
    copy_example(dir);
    const pkt::RunResult r =
        pkt::run_to_full_disk(PELKARO_NXCANSAS_EXE, {"--title", "red \x1b[31mtext\nsecond", "spheres.par"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "pelkaro-nxcansas: error: the report could not be written to standard output\n");
    const H5 f(dir / "sphere_sample.h5");
    EXPECT_EQ(f.text("sasentry01/title"), "red ?[31mtext?second");
}

TEST(NxCanSasCli, HelpVersionAndWrongCommandLines) {
    TempDir dir;
    const Outcome help = nx(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, pk::usage_text());
    EXPECT_EQ(nx(dir, {"--version"}).out, "pelkaro-nxcansas " PELKARO_VERSION "\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{}, "no parameter file given"},
        {{"a.par", "b.par"}, "one parameter file only, not 'a.par' and 'b.par'"},
        {{"-x", "a.par"}, "unknown option '-x'"},
        {{"a.par", "-o"}, "option '-o' needs a value"},
        {{"--title=", "a.par"}, "option '--title' needs a value that is not empty"},
        {{"--length-unit", "inch", "a.par"}, "--length-unit must be mm, cm or m, not 'inch'"}};
    for (const auto& [args, why] : wrong) {
        const Outcome o = nx(dir, args);
        EXPECT_EQ(o.status, 2) << why;
        EXPECT_EQ(o.err, "pelkaro-nxcansas: " + why + "\nTry 'pelkaro-nxcansas --help' for more information.\n");
        EXPECT_EQ(o.out, "");
    }
}

TEST(NxCanSasCli, RefusalsWriteNothing) {
    TempDir dir;
    copy_example(dir);
    const auto refused = [&](const std::vector<std::string>& args, const std::string& err_part) {
        const Outcome o = nx(dir, args);
        EXPECT_EQ(o.status, 1) << err_part;
        EXPECT_NE(o.err.find(err_part), std::string::npos) << o.err;
        EXPECT_FALSE(pkt::file_exists(dir / "sphere_sample.h5"));
        EXPECT_EQ(o.out.find("Entered"), std::string::npos) << o.out;  // no library chatter
    };
    refused({"none.par"}, "cannot read the parameter file none.par: No such file or directory");
    refused({"beam_centre.par"}, "beam_centre.par asks for the beam centre (MODE 2), not a reduction");
    refused({"-o", "sub/x.h5", "spheres.par"}, "cannot create a file beside sub/x.h5: No such file or directory");
    refused({"-o", "flat_field.dat", "spheres.par"}, "the output flat_field.dat is the input file flat_field.dat");
    edit_param(dir, "BINS 1", "BINS 0.5");
    refused({"spheres.par"}, "spheres.par:32: error: the specified bin width (in pixels) is nonsense\n"
                             "pelkaro-nxcansas: error: the reduction of spheres.par failed, nothing was written; "
                             "Pelkaro's diagnostic:\n  unable to parse the input file\n");
    edit_param(dir, "BINS 0.5", "BINS 1");
    edit_param(dir, "MODE 0", "MODE 1");
    refused({"spheres.par"}, "spheres.par asks for the mask file (MODE 1), not a reduction; run 'Pelkaro spheres.par'");
    edit_param(dir, "MODE 1", "MODE 0");
    // A file-size limit fails the write: the earlier file stays, whole, and no temporary file is left.
    pkt::write_file(dir / "old.h5", "old");
    const Outcome full = run_in(dir.path(), "/bin/sh", {"-c", "ulimit -f 100; exec \"$0\" -o old.h5 spheres.par",
                                                        PELKARO_NXCANSAS_EXE});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "pelkaro-nxcansas: error: could not write old.h5: File too large\n");
    EXPECT_EQ(pkt::read_file(dir / "old.h5"), "old");
    for (const auto& e : fs::directory_iterator(dir.path())) EXPECT_NE(e.path().filename().string()[0], '.');
    pkt::write_file(dir / "solvent_buffer.dat", pkt::read_file(dir / "solvent_buffer.dat") + "99999999999\n");
    refused({"spheres.par"}, "failed, nothing was written; Pelkaro's diagnostic:\n"
                             "  solvent_buffer.dat holds a count beyond the 32-bit range\n"
                             "  unable to read the buffer data file #0\n");
}

TEST(NxCanSasCli, AveragingModesAndOptions) {
    TempDir dir;
    copy_example(dir);
    edit_param(dir, "AVGM 2", "AVGM 0");
    ASSERT_EQ(nx(dir, {"--length-unit", "cm", "--intensity-unit=1/m", "--title", "run 7", "spheres.par"}).status, 0);
    {
        const H5 h(dir / "sphere_sample.h5");
        EXPECT_EQ(h.attr("sasentry01", "default"), "sasdata01");
        EXPECT_EQ(h.attr("sasentry01/sasdata01", "I_axes"), "Qx,Qy");
        EXPECT_FALSE(h.has("sasentry01/sasdata02"));
        EXPECT_EQ(h.text("sasentry01/title"), "run 7");
        EXPECT_EQ(h.attr("sasentry01/sasdata01/I", "units"), "1/m");
        EXPECT_EQ(h.attr("sasentry01/sasinstrument/sasdetector/SDD", "units"), "cm");
        EXPECT_EQ(h.number("sasentry01/sassample/thickness"), 100.0);  // 0.1 m
    }
    {
        // Without a collimation the image has no resolution, and says so.
        edit_param(dir, "SMRP 5000 30 10", "# no collimation");
        ASSERT_EQ(nx(dir, {"-o", "bare.h5", "spheres.par"}).status, 0);
        edit_param(dir, "# no collimation", "SMRP 5000 30 10");
        const H5 h(dir / "bare.h5");
        EXPECT_FALSE(h.has("sasentry01/sasdata01/Qdev"));
        EXPECT_EQ(h.attr("sasentry01/sasdata01/Qx", "resolutions"), "<missing>");
        EXPECT_NE(h.text("sasentry01/sasnote/data").find("carries no Q resolution"), std::string::npos);
    }
    edit_param(dir, "AVGM 0", "AVGM 1");
    const Outcome o = nx(dir, {"-o", "curve.h5", "spheres.par"});
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("Wrote curve.h5: the I(Q) curve ("), std::string::npos) << o.out;
    const H5 h(dir / "curve.h5");
    EXPECT_EQ(h.attr("sasentry01/sasdata01", "I_axes"), "Q");
    EXPECT_FALSE(h.has("sasentry01/sasdata02"));
}

// Thousands of buffer lines (three buffer files in turn) and two samples:
// the process names each kind's files in one list, entry by entry in the
// parameter file's order, so it holds as many datasets as the example's;
// the parse note has every line.  A file-size limit met half-way fails the
// run, which leaves nothing behind.
TEST(NxCanSasCli, ThousandsOfBufferLines) {
    TempDir dir;
    copy_example(dir);
    for (const char* copy : {"second.dat", "third.dat"}) fs::copy(dir / "solvent_buffer.dat", dir / copy);
    fs::copy(dir / "sphere_sample.dat", dir / "later_sample.dat");
    constexpr int kExtra = 4000;
    const std::string names[3] = {"second.dat", "third.dat", "solvent_buffer.dat"};
    std::vector<std::string> buffers{"solvent_buffer.dat"};
    std::string text = pkt::read_file(dir / "spheres.par");
    for (int i = 0; i < kExtra; ++i) {
        buffers.push_back(names[i % 3]);
        text += "DATB " + buffers.back() + " 1125 1125000 0.1 0." + std::to_string(i) + "\n";
    }
    text += "DATS later_sample.dat 1500 1500000 0.1 0.899425\n";
    // A note longer than the rest of the file, for the size limit below.
    for (int i = 0; i < 20000; ++i) text += "# a comment on the frames of the series, line " + std::to_string(i) + "\n";
    pkt::write_file(dir / "many.par", text);
    const Outcome o = nx(dir, {"-o", "many.h5", "many.par"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Reducing 2 sample files and 4001 buffer files"), std::string::npos) << o.out;
    {
        const H5 h(dir / "many.h5");
        const std::string process = "sasentry01/sasprocess/";
        EXPECT_EQ(h.attr(process + "term02", "name") + ", " + h.attr(process + "term03", "name"),
                  "sample file, buffer file");
        EXPECT_EQ(h.texts(process + "term02"), (std::vector<std::string>{"sphere_sample.dat", "later_sample.dat"}));
        EXPECT_EQ(h.texts(process + "term03"), buffers);
        EXPECT_EQ(h.attr(process + "term07", "name"), "absolute scale factor");
        EXPECT_TRUE(h.has(process + "term11") && !h.has(process + "term12"));
        const std::vector<std::string> note = split(h.text(process + "sasnote/data"), '\n');
        ASSERT_EQ(note.size(), split(text, '\n').size());
        const std::size_t last = 32 + kExtra + 1;  // the later sample's line
        EXPECT_EQ(note[last - 2],
                  pk::format("%zu: DATB second.dat 1125 1125000 0.1 0.%d  [accepted: 1125 1125000 0.100000001 %.9g]",
                             last - 1, kExtra - 1, static_cast<double>(std::stof("0.3999"))));
        EXPECT_EQ(note[last - 1], pk::format("%zu: DATS later_sample.dat 1500 1500000 0.1 0.899425  [accepted: 1500 "
                                             "1500000 0.100000001 0.89942503]", last));
        EXPECT_EQ(note.back(), pk::format("%zu: # a comment on the frames of the series, line 19999  [comment]",
                                          note.size()));
    }
    // 2000 blocks (of 512 or 1024 bytes, as the shell counts them): in the
    // parse note, which the writer writes into the file itself.
    pkt::write_file(dir / "old.h5", "old");
    const Outcome full = run_in(dir.path(), "/bin/sh", {"-c", "ulimit -f 2000; exec \"$0\" -o old.h5 many.par",
                                                        PELKARO_NXCANSAS_EXE});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "pelkaro-nxcansas: error: could not write old.h5: File too large\n");
    EXPECT_EQ(pkt::read_file(dir / "old.h5"), "old");
    for (const auto& e : fs::directory_iterator(dir.path())) EXPECT_NE(e.path().filename().string()[0], '.');
}

// A file of several samples and buffers, whose process names them in
// lists, loads in SasView as the example's does.
TEST(NxCanSasCli, SasViewLoadsAFileOfSeveralEntries) {
    TempDir dir;
    copy_example(dir);
    pkt::write_file(dir / "several.par", pkt::read_file(dir / "spheres.par") +
                                             "DATB solvent_buffer.dat 1125 1125000 0.1 0.904837\n"
                                             "DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n");
    ASSERT_EQ(nx(dir, {"-o", "several.h5", "several.par"}).status, 0);
    EXPECT_EQ(H5(dir / "several.h5").dims("sasentry01/sasprocess/term03"), std::vector<hsize_t>{2});
    const Outcome o = sasview_load(dir, "several.h5");
    if (o.status == 77 && !in_ci()) GTEST_SKIP() << o.err;
    EXPECT_EQ(o.status, 0) << o.err;
}

// The writer's ways for texts that are many or long, into `path` (to the
// descriptor `fd`).  A list: written in slices, read back whole in order.
// A long text: its pieces in order, each cleaned on its own; `size` is what
// the writer is told they add up to.
struct WrittenTexts {
    bool ok = false;
    std::string why;
    int write_error = 0;
};
WrittenTexts write_texts(const std::string& path, int fd, const std::vector<std::string>& names,
                         const std::vector<std::string>& pieces, std::size_t size) {
    std::vector<const std::string*> list;
    for (const std::string& n : names) list.push_back(&n);
    pk::Writer w;
    {
        pk::Node root = w.create(path, fd);
        w.texts(root, "names", list);
        std::size_t k = 0;
        w.long_text(root, "note", size, [&](std::string& piece) {
            if (k == pieces.size()) return false;
            piece = pieces[k++];
            return true;
        });
        w.number(root, "after", 1.5, "");
        w.finish(root);
    }
    return {w.ok(), w.why(), w.write_error()};
}

// Every name of a list in order, across the slices it is written in, one
// that is not UTF-8 or holds a NUL cleaned; a long text's pieces in order,
// a broken character cleaned, NUL-terminated in a string one byte longer.
// Pieces that do not add up to the size measured fail the writer; a disk
// that refuses the bytes is a write error, not a failure of the library.
TEST(NxCanSasWriter, ListsOfNamesAndLongTexts) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 2500; ++i) names.push_back("frame_" + std::to_string(i) + ".dat");
    names[1500] = std::string("bad\xff") + '\0' + "name";
    const std::vector<std::string> pieces{"1: first line\n", "2: caf\xc3\xa9 \xe2\x82\n", "3: last\n"};
    std::size_t size = 0;
    for (const std::string& p : pieces) size += p.size();
    const auto written = [&](const std::string& name, std::size_t told) {
        const std::string path = dir / name;
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        const WrittenTexts r = write_texts(path, fd, names, pieces, told);
        ::close(fd);
        return r;
    };
    WrittenTexts r = written("w.h5", size);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_EQ(r.write_error, 0);
    {
        const H5 h(dir / "w.h5");
        std::vector<std::string> expected = names;
        expected[1500] = "bad??name";
        EXPECT_EQ(h.texts("names"), expected);
        EXPECT_EQ(h.text("note"), "1: first line\n2: caf\xc3\xa9 ??\n3: last\n");
        EXPECT_EQ(h.fixed_text_size("note"), size + 1);
        EXPECT_EQ(h.number("after"), 1.5);
    }
    for (const std::size_t told : {size - 1, size + 1}) {
        r = written("wrong.h5", told);
        EXPECT_FALSE(r.ok) << told;
        EXPECT_EQ(r.why, "could not write the dataset /note") << told;
    }
    const int full = ::open("/dev/full", O_RDWR);
    ASSERT_GE(full, 0);
    r = write_texts(dir / "full.h5", full, names, pieces, size);
    ::close(full);
    EXPECT_TRUE(r.ok) << r.why;
    EXPECT_NE(r.write_error, 0);
}

// The values of a small file of every kind of entry the writer makes, and
// how many of its entries there are: `extra` adds a dataset, `fewer` leaves
// out the last text.
struct Small {
    std::string name = "a.h5", title = "first", note = "1: one\n2: two\n";
    std::vector<std::string> names{"s1.dat", "s2.dat"};
    std::vector<float> i{1, 2, 3, 4};
    double n = 0.5;
    int version = 1;
    bool extra = false, fewer = false;
};

void small_layout(pk::Writer& w, pk::Node& root, const Small& v) {
    w.attr(root, "file_name", v.name);
    w.attr(root, "version", v.version);
    pk::Node g = w.group(root, "entry", "NXentry", "SASentry");
    w.attr(g, "axes", std::vector<int>{0, v.version});
    w.floats(g, "I", v.i, {v.i.size()}, "1/cm");
    w.number(g, "n", v.n, "mm");
    std::vector<const std::string*> list;
    for (const std::string& s : v.names) list.push_back(&s);
    w.texts(g, "names", list);
    bool given = false;
    w.long_text(g, "note", v.note.size(), [&](std::string& piece) {
        piece = v.note;
        return !std::exchange(given, true);
    });
    if (v.extra) w.number(g, "extra", 2, "");
    if (!v.fewer) w.text(g, "title", v.title);
}

pk::Status small_file(const std::string& path, const Small& v, std::vector<pk::NxFileImage>* kept) {
    return pk::write_atomically(
        path, [](int) { return std::string("cannot open"); },
        [&](pk::Writer& w, pk::Node& root) { small_layout(w, root, v); }, kept, nullptr);
}

std::string bytes_of(const pk::NxFileImage& image) { return std::string(image.bytes.begin(), image.bytes.end()); }

// A file made from the one kept before holds what the same file written
// afresh holds, when every value changes (a longer title, other names) or
// none does; a layout that does not fit the kept file (a note of another
// length, an entry more or less, an attribute or values of another shape)
// is written afresh, and kept first, with nothing of the kept one in it.
TEST(NxCanSasWriter, AFileMadeFromTheKeptOneHoldsWhatAFreshOneHolds) {
    TempDir dir;
    std::vector<pk::NxFileImage> kept;
    const Small first;
    ASSERT_TRUE(small_file(dir / "first.h5", first, &kept).ok());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(pkt::read_file(dir / "first.h5") == bytes_of(kept[0]));
    const std::string first_bytes = bytes_of(kept[0]);
    Small other;
    other.name = "b.h5", other.title = "a title longer than the first", other.note = "1: eno\n2: owt\n";
    other.names = {"frame_0001.dat", "x"}, other.i = {-1, 0.25f, 1e30f, 7}, other.n = 2.5;
    const Small same_again;
    Small numbers;  // only numbers change: values written where they lie, attributes of integers
    numbers.i = {5, 6, 7, 8}, numbers.n = -1, numbers.version = 3;
    for (const Small* v : std::vector<const Small*>{&other, &same_again, &numbers, &first}) {
        ASSERT_TRUE(small_file(dir / "made.h5", *v, &kept).ok());
        ASSERT_TRUE(small_file(dir / "fresh.h5", *v, nullptr).ok());
        EXPECT_EQ(pkt::h5_difference(dir / "made.h5", dir / "fresh.h5"), "") << v->title;
        ASSERT_EQ(kept.size(), 1u) << "made afresh: " << v->title;
        EXPECT_TRUE(bytes_of(kept[0]) == first_bytes) << "made afresh: " << v->title;
    }
    ASSERT_TRUE(small_file(dir / "made.h5", other, &kept).ok());
    EXPECT_EQ(pkt::h5_difference(dir / "first.h5", dir / "made.h5"), "/@file_name: differs");
    Small longer_note, extra, fewer, shape, fewer_values;
    longer_note.note += "3: three\n", extra.extra = true, fewer.fewer = true, shape.names.push_back("s3.dat");
    fewer_values.i.pop_back();
    for (const Small* v : std::vector<const Small*>{&longer_note, &extra, &fewer, &shape, &fewer_values}) {
        kept.clear();
        ASSERT_TRUE(small_file(dir / "first.h5", first, &kept).ok());
        ASSERT_TRUE(small_file(dir / "made.h5", *v, &kept).ok());
        ASSERT_TRUE(small_file(dir / "fresh.h5", *v, nullptr).ok());
        EXPECT_EQ(pkt::h5_difference(dir / "made.h5", dir / "fresh.h5"), "");
        ASSERT_EQ(kept.size(), 2u);
        EXPECT_TRUE(pkt::read_file(dir / "made.h5") == bytes_of(kept[0]));
        EXPECT_TRUE(bytes_of(kept[1]) == pkt::read_file(dir / "first.h5"));
    }
}

// Layouts that take turns (notes of two lengths) are each made from their
// own kept file, which comes first when used; no more than three are kept.
TEST(NxCanSasWriter, LayoutsThatTakeTurnsAreEachMadeFromTheirOwnKeptFile) {
    TempDir dir;
    std::vector<pk::NxFileImage> kept;
    Small shorter, longer;
    longer.note += "3: three\n";
    ASSERT_TRUE(small_file(dir / "a.h5", shorter, &kept).ok());
    ASSERT_TRUE(small_file(dir / "b.h5", longer, &kept).ok());
    ASSERT_EQ(kept.size(), 2u);
    const std::string shorter_bytes = bytes_of(kept[1]), longer_bytes = bytes_of(kept[0]);
    for (int turn = 0; turn < 4; ++turn) {
        Small v = turn % 2 ? longer : shorter;
        v.title = "turn " + std::to_string(turn), v.n = turn;
        ASSERT_TRUE(small_file(dir / "made.h5", v, &kept).ok());
        ASSERT_TRUE(small_file(dir / "fresh.h5", v, nullptr).ok());
        EXPECT_EQ(pkt::h5_difference(dir / "made.h5", dir / "fresh.h5"), "") << v.title;
        ASSERT_EQ(kept.size(), 2u) << v.title;
        EXPECT_TRUE(bytes_of(kept[0]) == (turn % 2 ? longer_bytes : shorter_bytes)) << v.title;
        EXPECT_TRUE(bytes_of(kept[1]) == (turn % 2 ? shorter_bytes : longer_bytes)) << v.title;
    }
    Small extra, fewer;
    extra.extra = true, fewer.fewer = true;
    ASSERT_TRUE(small_file(dir / "c.h5", extra, &kept).ok());
    ASSERT_TRUE(small_file(dir / "d.h5", fewer, &kept).ok());
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_TRUE(bytes_of(kept[0]) == pkt::read_file(dir / "d.h5"));
    EXPECT_TRUE(bytes_of(kept[1]) == pkt::read_file(dir / "c.h5"));
}

}  // namespace

#endif
