// pelkaro-merge: curves of several configurations joined into one NXcanSAS
// file.  Inputs are written here with known values (a power law, one curve
// spoiled by a known factor); the program is run and its exit status,
// messages and file checked.
#include <gtest/gtest.h>

#ifndef PELKARO_MERGE_EXE

#include <cstdlib>
#include <string>

// Continuous integration installs HDF5; elsewhere its absence is a skip.
TEST(Merge, NotBuilt) {
    const char* ci = std::getenv("CI");
    if (ci && *ci && std::string(ci) != "false" && std::string(ci) != "0")
        FAIL() << "built without the HDF5 library in continuous integration";
    GTEST_SKIP() << "built without the HDF5 library: pelkaro-merge is not built";
}

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "nxcansas_h5.h"
#include "pelkaro/merge.h"
#include "test_util.h"
#include "pelkaro/files.h"

namespace {

using pkt::RunResult;
using pkt::TempDir;

pk::MergeOptions options(int reference, bool scale, bool trim, double q_min, double q_max) {
    pk::MergeOptions o;
    o.reference = reference, o.scale = scale, o.trim = trim, o.q_min = q_min, o.q_max = q_max;
    return o;
}

// One synthetic configuration: points at Q = q0 * ratio^k, I = 1e-3 / Q^2
// times `factor`, Idev 1 % of I, Qdev = `res` * Q.
struct Config {
    double q0 = 0.001, q1 = 0.02;
    int points = 40;
    double factor = 1, res = 0.1;
    std::string q_unit = "1/angstrom", i_unit = "1/cm";
    double q_scale = 1;  // Q stored times this (10 for 1/nm)
};

pk::MergeCurve make_curve(const Config& c) {
    pk::MergeCurve m;
    for (int k = 0; k < c.points; ++k) {
        const double q = c.q0 * std::pow(c.q1 / c.q0, k / double(c.points - 1));
        m.q.push_back(q);
        m.i.push_back(c.factor * 1e-3 / (q * q));
        m.idev.push_back(0.01 * m.i.back());
        m.qdev.push_back(c.res * q);
    }
    return m;
}

// Writes a curve as NXcanSAS 1D data; `distance` and `wavelength` go into
// the instrument when positive.
void write_curve(const std::string& path, const pk::MergeCurve& m, const Config& c, double distance = 0,
                 double wavelength = 0) {
    pk::Writer w;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    {
        pk::Node root = w.create(path, fd);
        w.attr(root, "default", "sasentry01");
        pk::Node e = w.group(root, "sasentry01", "NXentry", "SASentry");
        pk::Node g = w.group(e, "sasdata01", "NXdata", "SASdata");
        w.attr(g, "signal", "I");
        w.attr(g, "I_axes", "Q");
        std::vector<double> q = m.q, qdev = m.qdev;
        for (double& v : q) v *= c.q_scale;
        for (double& v : qdev) v *= c.q_scale;
        const std::vector<hsize_t> dims{m.q.size()};
        pk::Node qn = w.doubles(g, "Q", q, dims, c.q_unit);
        w.attr(qn, "resolutions", "Qdev");
        pk::Node in = w.doubles(g, "I", m.i, dims, c.i_unit);
        w.attr(in, "uncertainties", "Idev");
        w.doubles(g, "Idev", m.idev, {m.idev.size()}, c.i_unit);
        w.doubles(g, "Qdev", qdev, dims, c.q_unit);
        if (distance > 0) {
            pk::Node ins = w.group(e, "sasinstrument", "NXinstrument", "SASinstrument");
            pk::Node det = w.group(ins, "sasdetector", "NXdetector", "SASdetector");
            w.number(det, "SDD", distance, "m");
            pk::Node src = w.group(ins, "sassource", "NXsource", "SASsource");
            w.number(src, "incident_wavelength", wavelength, "nm");
        }
        w.finish(root);
    }
    ::close(fd);
    ASSERT_TRUE(w.ok()) << w.why();
    ASSERT_EQ(w.write_error(), 0);
}

std::string make_file(const TempDir& d, const std::string& name, const Config& c) {
    write_curve(d / name, make_curve(c), c);
    return d / name;
}

RunResult merge(const TempDir& d, const std::vector<std::string>& args) {
    return pkt::run_program(PELKARO_MERGE_EXE, args, d.path());
}

pk::MergeCurve read_back(const std::string& path) {
    pk::MergeCurve m;
    const pk::Status st = pk::read_curve(path, m);
    EXPECT_TRUE(st.ok()) << st.reason;
    return m;
}

Config low() { return Config{}; }
Config high(double factor) {
    Config c;
    c.q0 = 0.01;
    c.q1 = 0.2;
    c.factor = factor;
    return c;
}

}  // namespace

// A curve spoiled by 1/1.07 is put back by a factor of 1.07, its points
// kept with their own Q resolution, the result sorted by Q.
TEST(Merge, SpoiledFactorRecoveredAndPointsKeptWithTheirOwnResolution) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const std::string b = make_file(d, "b.h5", high(1 / 1.07));
    const RunResult r = merge(d, {"-o", "m.h5", b, a});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(a + ": Q 0.001-0.02 1/angstrom"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(a + ": ") , std::string::npos);
    EXPECT_NE(r.out.find("reference"), std::string::npos);
    EXPECT_NE(r.out.find(b + ": Q 0.01-0.2 1/angstrom, distance unknown, wavelength unknown, scale 1.070000"),
              std::string::npos)
        << r.out;
    const pk::MergeCurve m = read_back(d / "m.h5");
    ASSERT_EQ(m.q.size(), 80u);
    for (std::size_t k = 0; k < m.q.size(); ++k) {
        if (k > 0) {
            EXPECT_LE(m.q[k - 1], m.q[k]);
        }
        EXPECT_NEAR(m.i[k], 1e-3 / (m.q[k] * m.q[k]), 1e-6 * m.i[k]) << m.q[k];
        EXPECT_NEAR(m.idev[k], 0.01 * m.i[k], 1e-6 * m.idev[k]);
        // Each point's resolution is that of its configuration: 10 % or 5 %.
        const double rel = m.qdev[k] / m.q[k];
        EXPECT_TRUE(std::fabs(rel - 0.1) < 1e-9 || std::fabs(rel - 0.05) < 1e-9) << rel;
    }
}

TEST(Merge, FitRecoversAKnownFactorWithNoiseWithinItsUncertainty) {
    // R = 2.5 I with deterministic scatter of about the uncertainties.
    std::vector<double> r, dr, i, di;
    for (int k = 0; k < 200; ++k) {
        const double v = 10.0 + k % 7, noise = ((k * 37) % 11 - 5) / 5.0;
        i.push_back(v);
        di.push_back(0.1);
        r.push_back(2.5 * v + 0.2 * noise);
        dr.push_back(0.2);
    }
    pk::ScaleFit fit;
    ASSERT_TRUE(pk::fit_scale(r, dr, i, di, fit));
    EXPECT_NEAR(fit.s, 2.5, 3 * fit.ds);
    EXPECT_GT(fit.ds, 0);
    EXPECT_LT(fit.ds, 0.01);
    EXPECT_EQ(fit.points, 200u);
}

TEST(Merge, ReferenceGivenKeepsItsScale) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const std::string b = make_file(d, "b.h5", high(0.5));
    const RunResult r = merge(d, {"-o", "m.h5", "--reference", "b.h5", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    const pk::MergeCurve m = read_back(d / "m.h5");
    for (std::size_t k = 0; k < m.q.size(); ++k) EXPECT_NEAR(m.i[k], 0.5e-3 / (m.q[k] * m.q[k]), 1e-6 * m.i[k]);
    EXPECT_NE(r.out.find(a + ": Q 0.001-0.02 1/angstrom, distance unknown, wavelength unknown, scale 0.500000"),
              std::string::npos)
        << r.out;
}

TEST(Merge, ScaleNoneJoinsAsTheyAre) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const std::string b = make_file(d, "b.h5", high(0.5));
    const RunResult r = merge(d, {"-o", "m.h5", "--scale", "none", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    const pk::MergeCurve m = read_back(d / "m.h5");
    int halved = 0;
    for (std::size_t k = 0; k < m.q.size(); ++k)
        if (std::fabs(m.i[k] - 0.5e-3 / (m.q[k] * m.q[k])) < 1e-9 * m.i[k]) ++halved;
    EXPECT_EQ(halved, 40);
}

// Trimmed, each Q comes from the curve that resolves it best: over the
// overlap the finer curve b's points alone; a curve without Qdev is cut at
// the middle of the overlap in log Q.
TEST(Merge, TrimKeepsTheFinerResolutionAtEachQ) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    Config fine = high(1);
    fine.res = 0.05;
    const std::string b = make_file(d, "b.h5", fine);
    const RunResult r = merge(d, {"-o", "m.h5", "--scale", "none", "--overlap", "trim", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    const pk::MergeCurve m = read_back(d / "m.h5");
    ASSERT_FALSE(m.q.empty());
    for (std::size_t k = 0; k < m.q.size(); ++k)
        EXPECT_NEAR(m.qdev[k] / m.q[k], m.q[k] < 0.01 ? 0.1 : 0.05, 1e-9) << m.q[k];
    EXPECT_EQ(m.q.size(), 40u + 30u);  // a's 30 points below 0.01, b's 40
    EXPECT_NEAR(m.q.front(), 0.001, 1e-12);
    EXPECT_NEAR(m.q.back(), 0.2, 1e-12);

    pk::MergeCurve x = make_curve(low()), y = make_curve(fine);
    y.qdev.clear();
    pk::MergeResult cut;
    ASSERT_TRUE(pk::merge_curves({x, y}, options(-1, false, true, 0, 1), cut).ok());
    const double middle = std::sqrt(0.01 * 0.02);
    for (std::size_t k = 0; k + 1 < cut.q.size(); ++k) EXPECT_LT(cut.q[k], cut.q[k + 1]);
    for (std::size_t k = 0; k < cut.q.size(); ++k)
        EXPECT_EQ(cut.from[k], cut.q[k] < middle ? 0 : 1) << cut.q[k];
}

TEST(Merge, QLimitsTrimTheEnds) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const std::string b = make_file(d, "b.h5", high(1));
    const RunResult r = merge(d, {"-o", "m.h5", "--q-min", "0.002", "--q-max=0.1", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    const pk::MergeCurve m = read_back(d / "m.h5");
    ASSERT_FALSE(m.q.empty());
    EXPECT_GE(m.q.front(), 0.002);
    EXPECT_LE(m.q.back(), 0.1);
    EXPECT_LT(m.q.front(), 0.0022);
    EXPECT_GT(m.q.back(), 0.09);
}

// Q in 1/nm, distance in m and wavelength in nm are converted.
TEST(Merge, UnitsDeclaredAreConverted) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    Config c = high(1 / 1.07);
    c.q_unit = "1/nm";
    c.q_scale = 10;
    write_curve(d / "b.h5", make_curve(c), c, 5.0, 0.6);
    const RunResult r = merge(d, {"-o", "m.h5", a, d / "b.h5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("b.h5: Q 0.01-0.2 1/angstrom, distance 5000 mm, wavelength 6 angstrom, scale 1.070000"),
              std::string::npos)
        << r.out;
}

TEST(Merge, CurvesThatDoNotOverlapAreRefusedUnlessScaleNone) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    Config c = high(1);
    c.q0 = 0.03;
    const std::string b = make_file(d, "b.h5", c);
    RunResult r = merge(d, {"-o", "m.h5", a, b});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("pelkaro-merge: " + b + ": error: the curve does not overlap", 0), 0u) << r.err;
    EXPECT_FALSE(pkt::file_exists(d / "m.h5"));
    r = merge(d, {"-o", "m.h5", "--scale", "none", a, b});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_back(d / "m.h5").q.size(), 80u);
}

namespace {

// A file whose curve is spoiled by `spoil` before it is written.
template <typename F>
std::string bad_file(const TempDir& d, const std::string& name, F spoil, Config c = high(1)) {
    pk::MergeCurve m = make_curve(c);
    spoil(m, c);
    write_curve(d / name, m, c);
    return d / name;
}

void expect_refused(const TempDir& d, const std::vector<std::string>& args, int status, const std::string& message) {
    const RunResult r = merge(d, args);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("pelkaro-merge: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(pkt::file_exists(d / "m.h5"));
}

}  // namespace

TEST(MergeRefuses, CommandLinesThatCannotMerge) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const std::string b = make_file(d, "b.h5", high(1));
    expect_refused(d, {"-o", "m.h5", a}, 2, "error: at least two input files are needed");
    expect_refused(d, {"-o", "m.h5", a, "./a.h5"}, 2, "error: './a.h5' is given twice");
    expect_refused(d, {"-o", "a.h5", a, b}, 2, "error: the output 'a.h5' is an input file");
    expect_refused(d, {"-o", "m.h5", "--reference", "c.h5", a, b}, 2,
                   "error: the reference 'c.h5' is not among the input files");
    expect_refused(d, {"-o", "m.h5", "--scale", "maybe", a, b}, 2, "--scale is fit or none");
    expect_refused(d, {"-o", "m.h5", "--overlap", "mean", a, b}, 2, "--overlap is average or trim");
    expect_refused(d, {"-o", "m.h5", "--q-min", "-1", a, b}, 2, "--q-min needs a finite positive Q");
    expect_refused(d, {"-o", "m.h5", "--q-min", "0.1", "--q-max", "0.01", a, b}, 2, "--q-min must be below --q-max");
    expect_refused(d, {"-o", "m.h5", "--bogus", a, b}, 2, "unknown option '--bogus'");
    expect_refused(d, {"-o", "m.h5", a, b, "--reference"}, 2, "option '--reference' needs a value");
}

TEST(MergeRefuses, UnusableFilesNamingThem) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const auto one = [&](const std::string& bad, const std::string& message) {
        expect_refused(d, {"-o", "m.h5", a, bad}, 1, "pelkaro-merge: " + bad + ": error: " + message);
    };
    one(bad_file(d, "nan_dev.h5", [](pk::MergeCurve& m, Config&) { m.idev[3] = NAN; }),
        "an uncertainty of I (Idev) is negative or not finite");
    one(bad_file(d, "neg_dev.h5", [](pk::MergeCurve& m, Config&) { m.idev[5] = -1e-3; }),
        "an uncertainty of I (Idev) is negative or not finite");
    one(bad_file(d, "zero_q.h5", [](pk::MergeCurve& m, Config&) { m.q[0] = 0; }), "a Q value is not finite and positive");
    one(bad_file(d, "inf_q.h5", [](pk::MergeCurve& m, Config&) { m.q[7] = INFINITY; }),
        "a Q value is not finite and positive");
    one(bad_file(d, "nan_i.h5", [](pk::MergeCurve& m, Config&) { m.i[2] = NAN; }), "an I value is not finite");
    one(bad_file(d, "nan_qdev.h5", [](pk::MergeCurve& m, Config&) { m.qdev[2] = NAN; }),
        "a Q resolution (Qdev) is negative or not finite");
    one(bad_file(d, "empty.h5", [](pk::MergeCurve& m, Config&) { m = pk::MergeCurve{}; }), "the 1D data hold no points");
    one(bad_file(d, "short.h5", [](pk::MergeCurve& m, Config&) { m.idev.pop_back(); }),
        "Q, I, Idev and Qdev of the 1D data differ in length");
    one(bad_file(d, "units.h5", [](pk::MergeCurve&, Config& c) { c.i_unit = "1/m"; }),
        "its intensities are in '1/m', those of " + a + " in '1/cm'");
    one(bad_file(d, "q_unit.h5", [](pk::MergeCurve&, Config& c) { c.q_unit = "furlong"; }),
        "the unit of Q, 'furlong', is not an inverse length known here");
    pkt::write_file(d / "text.h5", "Q I Idev\n0.01 1 0.1\n");
    one(d / "text.h5", "not an HDF5 file");
    one(d / "missing.h5", "cannot read the file");
    // An HDF5 file without a SASdata group.
    pk::Writer w;
    const std::string no_data = d / "no_data.h5";
    const int fd = ::open(no_data.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    {
        pk::Node root = w.create(no_data, fd);
        w.group(root, "sasentry01", "NXentry", "SASentry");
        w.finish(root);
    }
    ::close(fd);
    one(d / "no_data.h5", "no 1D data");
}

namespace {

// A good file of the high configuration, changed afterwards through the
// HDF5 library by `edit` (given the file, its entry and its data group).
template <typename F>
std::string edited_file(const TempDir& d, const std::string& name, F edit) {
    const std::string path = make_file(d, name, high(1));
    const hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    const hid_t e = H5Gopen2(f, "sasentry01", H5P_DEFAULT);
    const hid_t g = H5Gopen2(e, "sasdata01", H5P_DEFAULT);
    EXPECT_GE(g, 0);
    edit(f, e, g);
    H5Gclose(g);
    H5Gclose(e);
    H5Fclose(f);
    return path;
}

}  // namespace

// A curve's arrays or groups that are links to another file are not
// followed (the link can point anywhere); a curve longer than 2^24 points
// is refused for its length (while groups of long names are found); the
// same data under two names is not joined with every point twice.
TEST(MergeRefuses, LinksOutOfTheFileHugeArraysAndTheSameDataTwice) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const std::string b = make_file(d, "b.h5", high(1));
    const auto one = [&](const std::string& bad, const std::string& message) {
        expect_refused(d, {"-o", "m.h5", a, bad}, 1, "pelkaro-merge: " + bad + ": error: " + message + "\n");
    };
    one(edited_file(d, "q_out.h5", [&](hid_t, hid_t, hid_t g) {
            H5Ldelete(g, "Q", H5P_DEFAULT);
            H5Lcreate_external(b.c_str(), "/sasentry01/sasdata01/Q", g, "Q", H5P_DEFAULT, H5P_DEFAULT);
        }),
        "Q is a link to another file (links out of a file are not followed)");
    one(edited_file(d, "entry_out.h5", [&](hid_t f, hid_t, hid_t) {
            H5Ldelete(f, "sasentry01", H5P_DEFAULT);
            H5Lcreate_external(b.c_str(), "/sasentry01", f, "sasentry01", H5P_DEFAULT, H5P_DEFAULT);
        }),
        "no NXcanSAS entry (SASentry) in the file; 'sasentry01' is a link to another file "
        "(links out of a file are not followed)");
    one(edited_file(d, "huge.h5", [](hid_t, hid_t, hid_t g) {
            // Never written: the file stays small, its space says 2^24 + 1.
            H5Ldelete(g, "I", H5P_DEFAULT);
            const hsize_t n = (hsize_t{1} << 24) + 1;
            const hid_t space = H5Screate_simple(1, &n, nullptr);
            H5Dclose(H5Dcreate2(g, "I", H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
            H5Sclose(space);
        }),
        "I holds 16777217 points, more than the 16777216 (2^24) a curve may have");
    // An entry and a data group of long names, found without the root's
    // "default": read as any other.
    const std::string long_names = edited_file(d, "long_names.h5", [](hid_t f, hid_t e, hid_t) {
        H5Adelete(f, "default");
        H5Lmove(e, "sasdata01", e, std::string(300, 'd').c_str(), H5P_DEFAULT, H5P_DEFAULT);
        H5Lmove(f, "sasentry01", f, std::string(400, 'e').c_str(), H5P_DEFAULT, H5P_DEFAULT);
    });
    pk::MergeCurve read;
    const pk::Status st = pk::read_curve(long_names, read);
    EXPECT_TRUE(st.ok()) << st.reason;
    EXPECT_EQ(read.i, make_curve(high(1)).i);
    pkt::write_file(d / "b_copy.h5", pkt::read_file(b));
    expect_refused(d, {"-o", "m.h5", a, b, d / "b_copy.h5"}, 1,
                   "pelkaro-merge: " + d / "b_copy.h5" + ": error: its curve is the same as that of " + b +
                       " (the same data under two names)\n");
}

// The intensity units "cm^-1" and "1/cm" are one unit.
TEST(Merge, IntensityUnitSpellingsAgree) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    Config c = high(1);
    c.i_unit = "cm^-1";
    const std::string b = make_file(d, "b.h5", c);
    EXPECT_EQ(merge(d, {"-o", "m.h5", a, b}).status, 0);
}

// Three curves with the middle one as reference: the curves on both sides
// get their own spoiled factors back, joining outward.
TEST(Merge, JoinsOutwardFromAReferenceInTheMiddle) {
    TempDir d;
    Config lo = low();
    lo.factor = 0.8;
    Config hi = high(1);
    hi.q0 = 0.1;
    hi.q1 = 1.0;
    hi.factor = 1.25;
    const std::string a = make_file(d, "a.h5", lo);
    const std::string b = make_file(d, "b.h5", high(1));
    const std::string c = make_file(d, "c.h5", hi);
    const RunResult r = merge(d, {"-o", "m.h5", "--reference", b, c, a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(a + ": Q 0.001-0.02 1/angstrom, distance unknown, wavelength unknown, scale 1.250000"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(c + ": Q 0.1-1 1/angstrom, distance unknown, wavelength unknown, scale 0.800000"),
              std::string::npos)
        << r.out;
    const pk::MergeCurve m = read_back(d / "m.h5");
    EXPECT_EQ(m.q.size(), 120u);
    for (std::size_t k = 0; k < m.q.size(); ++k) EXPECT_NEAR(m.i[k], 1e-3 / (m.q[k] * m.q[k]), 1e-6 * m.i[k]);
}

namespace {

// The text datasets of a group, one string.
std::string texts_of(hid_t file, const std::string& group) {
    std::string all;
    for (int k = 1; k < 100; ++k) {
        const std::string name = group + pk::format("/term%02d", k);
        if (H5Lexists(file, name.c_str(), H5P_DEFAULT) <= 0) break;
        hid_t d = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
        hid_t t = H5Dget_type(d);
        if (H5Tget_class(t) == H5T_STRING) {
            hid_t mem = H5Tcopy(H5T_C_S1);
            H5Tset_size(mem, H5T_VARIABLE);
            H5Tset_cset(mem, H5T_CSET_UTF8);
            char* p = nullptr;
            if (H5Dread(d, mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, &p) >= 0 && p) all += std::string(p) + "\n";
            H5free_memory(p);
            H5Tclose(mem);
        }
        H5Tclose(t);
        H5Dclose(d);
    }
    return all;
}

}  // namespace

// The process records every input with its factor; there is no instrument.
TEST(Merge, ProcessRecordsEveryInputAndNoInstrumentIsWritten) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    Config c = high(1 / 1.07);
    write_curve(d / "b.h5", make_curve(c), c, 5.0, 0.6);
    const RunResult r = merge(d, {"-o", "m.h5", a, d / "b.h5"});
    ASSERT_EQ(r.status, 0) << r.err;
    hid_t f = H5Fopen((d / "m.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(f, 0);
    EXPECT_GT(H5Lexists(f, "/sasentry01", H5P_DEFAULT), 0);
    EXPECT_LE(H5Lexists(f, "/sasentry01/sasinstrument", H5P_DEFAULT), 0);
    const std::string terms = texts_of(f, "/sasentry01/sasprocess");
    H5Fclose(f);
    EXPECT_NE(terms.find(a + ": Q 0.001-0.02 1/angstrom"), std::string::npos) << terms;
    const std::string line = d / "b.h5" + ": Q 0.01-0.2 1/angstrom, distance 5000 mm, wavelength 6 angstrom, scale "
                                          "1.070000 +- ";
    const std::size_t at = terms.find(line);
    ASSERT_NE(at, std::string::npos) << terms;
    // The factor's uncertainty: 10 points of b in the overlap, each ratio
    // with two 1 % uncertainties, so about 1.07 * 1.41 % / sqrt(10).
    const double dev = std::strtod(terms.c_str() + at + line.size(), nullptr);
    EXPECT_NEAR(dev, 1.07 * 0.01 * std::sqrt(2.0 / 10.0), 0.1 * 1.07 * 0.01 * std::sqrt(2.0 / 10.0));
    EXPECT_NE(terms.find("overlap 0.01-0.02 1/angstrom", at), std::string::npos) << terms;
    // The same lines on standard output, one per input.
    EXPECT_NE(r.out.find(terms.substr(0, terms.find('\n'))), std::string::npos);
}

// Damaged files (bytes of a good file overwritten, the file cut short) are
// refused with a message naming them, or read when the damage missed what
// is read; never a crash or a hang, never a half-written output.
TEST(MergeRefuses, DamagedFilesWithoutCrashing) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    make_file(d, "good.h5", high(1));
    const std::string good = pkt::read_file(d / "good.h5");
    ASSERT_GT(good.size(), 1000u);
    unsigned state = 12345;
    const auto next = [&] { return state = state * 1103515245u + 12345u, (state >> 8) & 0xffffffu; };
    for (int trial = 0; trial < 200; ++trial) {
        std::string bad = good;
        if (trial % 10 == 9) {
            bad.resize(next() % bad.size());
        } else {
            for (unsigned k = 0, n = 1 + next() % 12; k < n; ++k) bad[next() % bad.size()] = static_cast<char>(next());
        }
        pkt::write_file(d / "bad.h5", bad);
        const RunResult r = merge(d, {"-o", "m.h5", a, "bad.h5"});
        ASSERT_EQ(r.signal, 0) << trial;
        ASSERT_TRUE(r.status == 0 || r.status == 1) << trial << " " << r.err;
        // The message is the last line (under the sanitizer build, the
        // reading process's report of the library's fault comes before it).
        const std::size_t last = r.err.rfind('\n', r.err.size() >= 2 ? r.err.size() - 2 : 0);
        const std::string message = last == std::string::npos ? r.err : r.err.substr(last + 1);
        if (r.status == 1) {
            EXPECT_EQ(message.rfind("pelkaro-merge: bad.h5: error: ", 0), 0u) << r.err;
            EXPECT_FALSE(pkt::file_exists(d / "m.h5"));
        }
        for (char ch : message) EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7f)) << r.err;
        std::remove((d / "m.h5").c_str());
    }
}

namespace {

// The fields a front end reads of a refusal: which part of the join failed,
// why, which input it concerns, in a sentence that names no file and is
// not printed by the library.
void expect_status(const pk::Status& st, pk::Stage stage, pk::Code code, int entry, const std::string& reason) {
    EXPECT_EQ(pk::stage_name(st.stage), std::string(pk::stage_name(stage))) << st.reason;
    EXPECT_EQ(pk::code_name(st.code), std::string(pk::code_name(code))) << st.reason;
    EXPECT_EQ(st.entry, entry) << st.reason;
    EXPECT_EQ(st.reason, reason);
    EXPECT_EQ(st.text(), "");
}

}  // namespace

// Reading: a file that is not there is one that cannot be read; one that is
// there but not an NXcanSAS curve, or whose values cannot be joined, has
// contents that cannot be used.  The code comes through the reading
// process as the reader gave it, and the input at fault is the entry.
TEST(MergeStatus, ReadingTellsAMissingFileFromUnusableContents) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    pkt::write_file(d / "text.h5", "Q I Idev\n0.01 1 0.1\n");
    const std::string nan_dev = bad_file(d, "nan_dev.h5", [](pk::MergeCurve& m, Config&) { m.idev[3] = NAN; });
    const std::string per_m = bad_file(d, "per_m.h5", [](pk::MergeCurve&, Config& c) { c.i_unit = "1/m"; });
    const std::string missing = "cannot read the file (missing, unreadable or not a regular file)";
    pk::MergeCurve c;
    expect_status(pk::read_curve(d / "gone.h5", c), pk::Stage::read, pk::Code::cannot_read, -1, missing);
    expect_status(pk::read_curve(d.path(), c), pk::Stage::read, pk::Code::cannot_read, -1, missing);
    expect_status(pk::read_curve(d / "text.h5", c), pk::Stage::read, pk::Code::bad_contents, -1, "not an HDF5 file");
    expect_status(pk::read_curve(nan_dev, c), pk::Stage::read, pk::Code::bad_contents, -1,
                  "an uncertainty of I (Idev) is negative or not finite");
    for (const std::string& f : {d / "gone.h5", d / "text.h5", nan_dev}) {
        const pk::Status direct = pk::read_curve(f, c);
        const pk::Status isolated = pk::read_curve_isolated(f, c);
        EXPECT_EQ(isolated.code, direct.code) << f;
        EXPECT_EQ(isolated.reason, direct.reason) << f;
    }
    std::vector<pk::MergeCurve> curves;
    expect_status(pk::read_curves({a, d / "gone.h5"}, curves), pk::Stage::read, pk::Code::cannot_read, 1, missing);
    expect_status(pk::read_curves({d / "text.h5", a}, curves), pk::Stage::read, pk::Code::bad_contents, 0,
                  "not an HDF5 file");
    expect_status(pk::read_curves({a, a, per_m}, curves), pk::Stage::read, pk::Code::bad_contents, 2,
                  "its intensities are in '1/m', those of " + a + " in '1/cm'");
    // A curve in memory (no name) is checked as a file's values are.
    curves = {pk::MergeCurve{}, make_curve(high(1))};
    curves[1].q[4] = -0.01;
    expect_status(pk::read_curves({a, ""}, curves), pk::Stage::read, pk::Code::bad_contents, 1,
                  "a Q value is not finite and positive");
    curves.clear();
    const pk::Status both = pk::read_curves({a, make_file(d, "b.h5", high(1))}, curves);
    EXPECT_TRUE(both.ok()) << both.reason;
    ASSERT_EQ(curves.size(), 2u);
    EXPECT_EQ(curves[1].file, d / "b.h5");
    EXPECT_EQ(curves[1].q.size(), 40u);
}

// The names among themselves and the options are the caller's request: a
// wrong one is refused as a parameter; an output that is an input, as an
// output that would replace an input.
TEST(MergeStatus, NamesThatCannotBeJoinedAreTheRequestsFault) {
    TempDir d;
    const std::string a = make_file(d, "a.h5", low());
    const std::string b = make_file(d, "b.h5", high(1));
    expect_status(pk::check_merge_inputs({a}), pk::Stage::parameters, pk::Code::bad_parameter, -1,
                  "at least two input files are needed");
    expect_status(pk::check_merge_inputs({a, b, d.path() + "/./b.h5"}), pk::Stage::parameters,
                  pk::Code::bad_parameter, -1, "'" + d.path() + "/./b.h5' is given twice (as '" + b + "')");
    EXPECT_TRUE(pk::check_merge_inputs({a, "", ""}).ok());  // curves in memory are not compared
    expect_status(pk::output_not_input({a, b}, d.path() + "/./a.h5"), pk::Stage::output, pk::Code::replaces_input,
                  -1, "the output '" + d.path() + "/./a.h5' is an input file");
    EXPECT_TRUE(pk::output_not_input({a, b}, d / "m.h5").ok());
    int index = -1;
    expect_status(pk::reference_index({a, b}, d / "c.h5", index), pk::Stage::parameters, pk::Code::bad_parameter,
                  -1, "the reference '" + d / "c.h5" + "' is not among the input files");
    EXPECT_EQ(index, -1);
    EXPECT_TRUE(pk::reference_index({a, "", b}, d.path() + "/./b.h5", index).ok());
    EXPECT_EQ(index, 2);
}

// The join names the curve it cannot join, in the Status as in the result;
// a request it cannot meet is the caller's; the file that cannot be
// written is the output's failure.
TEST(MergeStatus, TheJoinNamesTheCurveAtFaultAndWritingTheOutput) {
    Config far = high(1);
    far.q0 = 0.03;
    const std::vector<pk::MergeCurve> apart{make_curve(low()), make_curve(far)};
    pk::MergeOptions opt;
    pk::MergeResult r;
    expect_status(pk::merge_curves(apart, opt, r), pk::Stage::merge, pk::Code::bad_contents, 1,
                  "the curve does not overlap the curves joined before it, so no scale factor can be fitted "
                  "(--scale none joins without one)");
    EXPECT_EQ(r.culprit, 1);
    // Two points in the overlap with no uncertainty: no factor to fit.
    std::vector<pk::MergeCurve> flat{make_curve(low()), make_curve(high(1))};
    for (double& v : flat[1].idev) v = 0;
    for (double& v : flat[0].idev) v = 0;
    expect_status(pk::merge_curves(flat, opt, r), pk::Stage::merge, pk::Code::bad_contents, 1,
                  "no scale factor can be fitted over the overlap 0.01-0.02 1/angstrom (too few points, or "
                  "intensities that do not fix a positive factor)");
    std::vector<pk::MergeCurve> empty{make_curve(low()), pk::MergeCurve{}};
    expect_status(pk::merge_curves(empty, opt, r), pk::Stage::merge, pk::Code::bad_contents, 1,
                  "the curve holds no points (or its arrays differ in length)");
    expect_status(pk::merge_curves(flat, options(-1, false, false, 0.3, 1.0), r), pk::Stage::merge,
                  pk::Code::bad_contents, -1, "no point is left between --q-min and --q-max");
    EXPECT_EQ(r.culprit, -1);
    expect_status(pk::merge_curves({make_curve(low())}, pk::MergeOptions{}, r), pk::Stage::merge,
                  pk::Code::bad_parameter, -1, "at least two curves are needed");
    expect_status(pk::merge_curves(apart, options(2, true, false, 0, 1), r), pk::Stage::merge,
                  pk::Code::bad_parameter, -1, "the reference is not among the curves");

    TempDir d;
    const std::vector<pk::MergeCurve> joinable{make_curve(low()), make_curve(high(1))};
    ASSERT_TRUE(pk::merge_curves(joinable, pk::MergeOptions{}, r).ok());
    const std::string nowhere = d / "no/such/dir/m.h5";
    expect_status(pk::write_merged(joinable, r, pk::MergeOptions{}, nowhere), pk::Stage::output,
                  pk::Code::cannot_write, -1, "cannot create a file beside " + nowhere + ": No such file or directory");
    ::mkdir((d / "m.h5").c_str(), 0755);
    expect_status(pk::write_merged(joinable, r, pk::MergeOptions{}, d / "m.h5"), pk::Stage::output,
                  pk::Code::cannot_write, -1, "cannot write " + d / "m.h5" + ": it exists and is not a regular file");
    const pk::Status written = pk::write_merged(joinable, r, pk::MergeOptions{}, d / "n.h5");
    EXPECT_TRUE(written.ok()) << written.reason;
    EXPECT_EQ(read_back(d / "n.h5").q.size(), 80u);
}

namespace {

// A Guinier curve exp(-Q^2 R^2 / 3), R = 100 A (or another cross-section),
// as an instrument of Gaussian resolution sigma(Q) = a + b Q measures it: the cross-section
// averaged over the Gaussian about each point (numerically, 4001 nodes
// over +-8 sigma), times `factor`; 1 % uncertainties.
double guinier(double q) { return std::exp(-q * q * 1e4 / 3); }

// A sphere's form factor, R = 95 A: deep minima a few tens of points apart.
double sphere(double q) {
    const double x = std::fabs(q) * 95;
    const double f = x < 1e-3 ? 1 - x * x / 10 : 3 * (std::sin(x) - x * std::cos(x)) / (x * x * x);
    return f * f;
}

pk::MergeCurve guinier_seen(double q0, double q1, int points, double a, double b, double factor,
                            double (*cross_section)(double) = guinier) {
    pk::MergeCurve m;
    for (int k = 0; k < points; ++k) {
        const double q = q0 + (q1 - q0) * k / (points - 1), sigma = a + b * q;
        double sum = 0, weight = 0;
        for (int n = 0; n <= 4000; ++n) {
            const double x = -8 + 16.0 * n / 4000, w = std::exp(-0.5 * x * x), at = q + sigma * x;
            sum += w * cross_section(at), weight += w;
        }
        m.q.push_back(q), m.i.push_back(factor * sum / weight), m.idev.push_back(0.01 * m.i.back());
        m.qdev.push_back(sigma);
    }
    return m;
}

}  // namespace

// Where two configurations see the same Q with different resolutions, the
// factor is the spoil itself, from either side and either way round; the
// curves compared as they are would take the difference of resolution for
// a factor.
TEST(MergeResolution, FactorsWithTheResolutionsMatched) {
    const pk::MergeCurve fine = guinier_seen(0.004, 0.03, 60, 0.0005, 0.02, 1);
    for (double spoil : {1.0, 1.07}) {
        const pk::MergeCurve coarse = guinier_seen(0.012, 0.06, 50, 0.002, 0.05, spoil);
        for (int reference : {0, 1}) {
            pk::MergeResult r;
            ASSERT_TRUE(pk::merge_curves({fine, coarse}, options(reference, true, false, 0, 1), r).ok());
            const pk::MergedInput& joined = r.inputs[reference == 0 ? 1 : 0];
            const double expected = reference == 0 ? 1 / spoil : spoil;  // the joined curve onto the reference
            EXPECT_NEAR(joined.scale, expected, 2e-3 * expected) << spoil << " " << reference;
            EXPECT_LT(joined.scale_dev, 5e-3 * expected);
        }
        pk::MergeCurve bare = coarse;
        bare.qdev.clear();
        pk::MergeCurve fine_bare = fine;
        fine_bare.qdev.clear();
        pk::MergeResult unmatched;
        ASSERT_TRUE(pk::merge_curves({fine_bare, bare}, options(0, true, false, 0, 1), unmatched).ok());
        EXPECT_GT(std::fabs(unmatched.inputs[1].scale * spoil - 1), 0.02) << spoil;
    }
}

// Spheres seen at 5 m and 1.5 m (bins 0.001 and 0.0035 1/A apart): the
// finer curve turns within a few of its points at the minima, and the
// factor comes back to 0.02 % (a power law between neighbouring points,
// cutting those corners, and the smearing cut at 3 sigma gave 0.18 %).
TEST(MergeResolution, FactorOfCurvesWithSharpMinima) {
    pk::MergeCurve fine = guinier_seen(0.008, 0.1, 93, 0.0012, 0.015, 1, sphere);
    pk::MergeCurve coarse = guinier_seen(0.02, 0.2, 52, 0.0025, 0.03, 1, sphere);
    // Counting statistics: the minima are not the most precise points.
    for (pk::MergeCurve* c : {&fine, &coarse})
        for (std::size_t k = 0; k < c->i.size(); ++k) c->idev[k] = 1e-3 * std::sqrt(c->i[k]);
    for (int reference : {0, 1}) {
        pk::MergeResult r;
        ASSERT_TRUE(pk::merge_curves({fine, coarse}, options(reference, true, false, 0, 1), r).ok());
        EXPECT_NEAR(r.inputs[reference == 0 ? 1 : 0].scale, 1, 2e-4) << reference;
    }
}

// The joined file keeps each point's kernel row from its own curve, the
// input it came from, the sample the inputs share and their title, or the
// one --title gives.
TEST(MergeResolution, FileKeepsKernelRowsAndTheSample) {
    TempDir d;
    std::vector<pk::MergeCurve> in{make_curve(low()), make_curve(high(1))};
    for (std::size_t c = 0; c < in.size(); ++c) {
        for (double q : in[c].q)
            for (double f : {0.9, 1.0, 1.1}) {
                in[c].kernel_q.push_back(q * f);
                in[c].kernel_weight.push_back(c == 0 ? 1.0 / 3 : (f == 1.0 ? 0.5 : 0.25));
            }
        in[c].kernel_nodes = 3;
        in[c].sample = "latex", in[c].title = "latex in D2O", in[c].thickness_mm = 1;
        in[c].file = c == 0 ? "near.h5" : "far.h5";
    }
    in[1].sample = "latex (far)";
    for (bool given : {false, true}) {
        pk::MergeOptions opt;
        opt.title = "run 7\n", opt.title_given = given;
        pk::MergeResult r;
        ASSERT_TRUE(pk::merge_curves(in, opt, r).ok());
        ASSERT_TRUE(pk::write_merged(in, r, opt, d / "m.h5").ok());
        const pk::MergeCurve m = read_back(d / "m.h5");
        ASSERT_EQ(m.kernel_nodes, 3);
        ASSERT_EQ(m.q.size(), 80u);
        for (std::size_t k = 0; k < m.q.size(); ++k) {
            EXPECT_NEAR(m.kernel_q[3 * k + 1], m.q[k], 1e-12 * m.q[k]);
            const bool near = r.from[k] == 0;
            EXPECT_EQ(near, m.kernel_weight[3 * k] > 0.3) << k;
            EXPECT_TRUE(near ? m.q[k] <= 0.02 : m.q[k] >= 0.01) << k;
        }
        EXPECT_EQ(m.title, given ? "run 7?" : "latex in D2O");
        EXPECT_EQ(m.sample, "");  // the inputs name it differently
        EXPECT_EQ(m.thickness_mm, 1.0);
    }
}

#endif
