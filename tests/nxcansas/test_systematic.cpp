// The uncertainty of the transmissions and ABSF carried to every point:
// the derivatives held to relations of the reduction's formula worked out
// by hand, the file's datasets against the table they came from, and the
// refusals of uncertainties that cannot be used.  The seed sweep against
// simulated repeats is tests/nxcansas/systematic_repeats.py (label long).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"
#include "pelkaro/run.h"

#include "nxcansas_systematic.h"
#include "sub_data.h"

namespace {

namespace fs = std::filesystem;

// The example reduced in a scratch copy (the working directory moves there).
struct Reduced {
    pkt::TempDir dir;
    pk::Run run;
    Reduced() {
        for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
            fs::copy(e.path(), dir / e.path().filename().string());
        fs::current_path(dir.path());
        run.want_sums = true;
        const pk::Console quiet{nullptr, nullptr};
        EXPECT_TRUE(pk::prepare_run("spheres.par", run, quiet).ok());
        EXPECT_TRUE(pk::reduce(run, quiet).ok());
    }
    std::vector<int> bins() const {
        std::vector<int> b;
        for (int i = 0; i < run.curve.num; ++i)
            if (run.curve.area[static_cast<std::size_t>(i)] != 0) b.push_back(i);
        return b;
    }
};

}  // namespace

// I = 1000 / (T_s d M ABSF) [S - M T_s^e / (M_b T_b^e) B] with e = 0.5 /
// cos(theta) + 0.5, so ABSF dI/dABSF = -I, T_s dI/dT_s + T_b dI/dT_b = -I,
// and T_b dI/dT_b = e (I0 - I), I0 the pixel without the buffer.
TEST(Systematic, DerivativesFollowTheReductionsFormula) {
    Reduced r;
    const pk::Run& run = r.run;
    pk::Derivatives d;
    ASSERT_TRUE(pk::derivatives(run, {true, true, true}, r.bins(), true, true, d).ok());
    std::vector<pk::Data2D> no_buffer = run.buf;
    for (pk::Data2D& b : no_buffer) b.tm = 0;
    pk::Data2D alone = run.reduced;
    ASSERT_TRUE(pk::sub_sums(run.p, run.sam, no_buffer, run.sam_sums, run.buf_sums, run.dark, run.mask, alone,
                             pk::Console{nullptr, nullptr})
                    .ok());
    const double ts = run.sam[0].trans, tb = run.buf[0].trans, a = run.p.abs_fact;
    int pixels = 0;
    for (int j = 0; j < 128; ++j)
        for (int i = 0; i < 128; ++i) {
            const std::size_t k = static_cast<std::size_t>(i + 128 * j);
            if (!pk::pixel_used(run.mask.intens[k])) continue;
            const double in = run.reduced.intens[k], i0 = alone.intens[k];
            const double scale = std::fabs(i0) + std::fabs(in);
            EXPECT_NEAR(a * d.image[2][k], -in, 1e-4 * scale) << i << " " << j;
            EXPECT_NEAR(ts * d.image[0][k] + tb * d.image[1][k], -in, 1e-3 * scale) << i << " " << j;
            const double r_mm = std::hypot((i + 0.5 - run.p.bx) * run.p.px, (j + 0.5 - run.p.by) * run.p.py);
            const double e = 0.5 / std::cos(std::atan(r_mm / run.p.sam2det)) + 0.5;
            EXPECT_NEAR(tb * d.image[1][k], e * (i0 - in), 1e-3 * scale) << i << " " << j;
            ++pixels;
        }
    EXPECT_GT(pixels, 10000);
    const std::vector<int> bins = r.bins();
    ASSERT_EQ(d.curve[2].size(), bins.size());
    for (std::size_t n = 0; n < bins.size(); ++n) {
        const double in = run.curve.y[static_cast<std::size_t>(bins[n])];
        EXPECT_NEAR(a * d.curve[2][n], -in, 1e-4 * std::fabs(in) + 1e-6) << n;
        EXPECT_NEAR(ts * d.curve[0][n] + tb * d.curve[1][n], -in, 1e-3 * std::fabs(in) + 1e-6) << n;
    }
}

// Shares of the empty beam move all three values at once: one dataset for
// them, one for each value's own; a value not given has none.
TEST(Systematic, OneSourcePerIndependentMeasurement) {
    Reduced r;
    pk::ScaleUncertainty u;
    u.sample = u.absf = u.split = true;
    u.sample_t = pk::SigmaShares{-0.002, 0.0, 0.001};
    u.absf_f = pk::SigmaShares{0.05, 0.0, 0.1};
    pk::Systematics s;
    ASSERT_TRUE(pk::systematic_terms(r.run, u, r.bins(), true, false, s).ok());
    std::vector<std::string> names;
    for (const pk::SystematicSource& src : s.sources) names.push_back(src.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Isys_empty_beam", "Isys_sample_transmission", "Isys_absf"}));
    pk::Derivatives d;
    ASSERT_TRUE(pk::derivatives(r.run, {true, false, true}, r.bins(), true, false, d).ok());
    for (std::size_t n = 0; n < d.curve[0].size(); ++n) {
        EXPECT_DOUBLE_EQ(s.sources[0].curve[n], -0.002 * d.curve[0][n] + 0.05 * d.curve[2][n]);
        EXPECT_DOUBLE_EQ(s.sources[1].curve[n], 0.001 * d.curve[0][n]);
        EXPECT_DOUBLE_EQ(s.sources[2].curve[n], 0.1 * d.curve[2][n]);
    }
    EXPECT_NEAR(s.relative_scale, std::hypot(0.05, 0.1) / r.run.p.abs_fact, 1e-12);
    EXPECT_NE(pk::systematic_note(u, s).find("measured against the same empty beam"), std::string::npos);
}

TEST(Systematic, UncertaintiesThatCannotBeUsed) {
    EXPECT_EQ(pk::uncertainty_fault(0.9, 0.002), "");
    EXPECT_EQ(pk::uncertainty_fault(0.9, 0.0), "");
    EXPECT_EQ(pk::uncertainty_fault(0.9, -0.002), "the uncertainty -0.002 is negative");
    EXPECT_EQ(pk::uncertainty_fault(0.9, NAN), "the uncertainty nan is not a finite number");
    EXPECT_EQ(pk::uncertainty_fault(0.9, INFINITY), "the uncertainty inf is not a finite number");
    EXPECT_EQ(pk::uncertainty_fault(0.001, 0.002), "the uncertainty 0.002 is larger than the value 0.001");
}

#if PELKARO_WITH_HDF5 && defined(PELKARO_NXCANSAS_EXE)
#include <hdf5.h>

namespace {

// A float dataset of a file; empty when it is not there.
std::vector<float> floats_of(const std::string& file, const std::string& path) {
    std::vector<float> v;
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (f < 0) return v;
    if (H5Lexists(f, path.c_str(), H5P_DEFAULT) > 0) {
        const hid_t d = H5Dopen2(f, path.c_str(), H5P_DEFAULT);
        const hid_t s = H5Dget_space(d);
        v.resize(static_cast<std::size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(s), 0)));
        if (H5Dread(d, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()) < 0) v.clear();
        H5Sclose(s), H5Dclose(d);
    }
    H5Fclose(f);
    return v;
}

// The example with pelkaro-trans's table of its direct beams.
struct WithTable {
    pkt::TempDir dir;
    std::string table;
    WithTable() {
        for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
            fs::copy(e.path(), dir / e.path().filename().string());
        const pkt::RunResult r = pkt::run_program(
            PELKARO_TRANS_EXE,
            {"--format", "tsv", "--par", "spheres.par", "--attenuation", "0.0001", "--empty",
             "empty_beam.dat,120,120000", "sample_beam.dat,180,176940,sphere_sample.dat",
             "buffer_beam.dat,150,148320,solvent_buffer.dat"},
            dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        table = r.out;
        pkt::write_file(dir / "trans.tsv", table);
    }
    pkt::RunResult nx(const std::vector<std::string>& args) const {
        return pkt::run_program(PELKARO_NXCANSAS_EXE, args, dir.path());
    }
    // A field of the table: row `line` (1 the header), column `column`.
    double field(int line, int column) const {
        std::size_t at = 0;
        for (int l = 1; l < line; ++l) at = table.find('\n', at) + 1;
        for (int c = 0; c < column; ++c) at = table.find('\t', at) + 1;
        return std::strtod(table.c_str() + at, nullptr);
    }
};

}  // namespace

// The file with --trans: I and Idev as without it, and beside them the
// datasets that the table's shares give, each worked out again here from
// the relations of the reduction's formula.
TEST(SystematicFile, DatasetsFromTheTableAndIAndIdevKept) {
    WithTable w;
    ASSERT_EQ(w.nx({"-o", "plain.h5", "spheres.par"}).status, 0);
    const pkt::RunResult r = w.nx({"--trans", "trans.tsv", "-o", "sys.h5", "spheres.par"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string plain = w.dir / "plain.h5", sys = w.dir / "sys.h5";
    for (const char* g : {"sasentry01/sasdata01/", "sasentry01/sasdata02/"})
        for (const char* name : {"I", "Idev"}) EXPECT_EQ(floats_of(plain, g + std::string(name)), floats_of(sys, g + std::string(name)));
    const std::string c = "sasentry01/sasdata01/";
    const std::vector<float> i = floats_of(sys, c + "I");
    const std::vector<float> absf = floats_of(sys, c + "Isys_absf"), sample = floats_of(sys, c + "Isys_sample_transmission");
    const std::vector<float> buffer = floats_of(sys, c + "Isys_buffer_transmission");
    ASSERT_EQ(absf.size(), i.size());
    ASSERT_EQ(sample.size(), i.size());
    ASSERT_EQ(buffer.size(), i.size());
    EXPECT_EQ(floats_of(sys, c + "Isys_empty_beam").size(), i.size());
    // Rows 2 and 3 the sample's and buffer's transmissions, 7 ABSF; column 7 the own share.
    // The derivatives are taken at the parameter file's values, not the table's.
    const double ts = 0.899425, own_s = w.field(2, 7), tb = 0.904837, own_b = w.field(3, 7);
    const double a = 16.99243, own_a = w.field(7, 7);
    for (std::size_t n = 0; n < i.size(); ++n) {
        EXPECT_NEAR(absf[n], -i[n] * own_a / a, 1e-4 * std::fabs(i[n]) * own_a / a + 1e-9) << n;
        EXPECT_NEAR(ts * sample[n] / own_s + tb * buffer[n] / own_b, -i[n], 1e-3 * std::fabs(i[n]) + 1e-6) << n;
    }
    EXPECT_EQ(floats_of(plain, c + "Isys_absf").size(), 0u);
}

// An older table (five columns) still serves, each sigma a measurement of
// its own; uncertainties that cannot be used are refused at their line.
TEST(SystematicFile, OlderTablesAndRefusals) {
    WithTable w;
    std::string old;
    for (std::size_t at = 0; at < w.table.size();) {
        const std::size_t end = w.table.find('\n', at);
        std::string line = w.table.substr(at, end - at);
        std::size_t cut = 0;
        for (int k = 0; k < 5 && cut != std::string::npos; ++k) cut = line.find('\t', cut + (k > 0));
        old += line.substr(0, cut) + "\n";
        at = end + 1;
    }
    pkt::write_file(w.dir / "old.tsv", old);
    pkt::RunResult r = w.nx({"--trans", "old.tsv", "-o", "old.h5", "spheres.par"});
    ASSERT_EQ(r.status, 0) << r.err << old;
    const std::string file = w.dir / "old.h5";
    EXPECT_EQ(floats_of(file, "sasentry01/sasdata01/Isys_empty_beam").size(), 0u);
    EXPECT_GT(floats_of(file, "sasentry01/sasdata01/Isys_sample_transmission").size(), 0u);

    std::string larger = old;
    const std::size_t row = larger.find("transmission\tsample_beam.dat\t");
    const std::size_t sigma = larger.find('\t', larger.find('\t', row + 13) + 1) + 1;
    larger.replace(sigma, larger.find('\t', sigma) - sigma, "1.5");
    pkt::write_file(w.dir / "larger.tsv", larger);
    r = w.nx({"--trans", "larger.tsv", "-o", "no.h5", "spheres.par"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("larger.tsv:2: error: column sigma: the uncertainty 1.5 is larger than the value 0.9"),
              std::string::npos)
        << r.err;
    std::string share = w.table;
    share.replace(share.rfind('\t') + 1, std::string::npos, "nan\n");
    pkt::write_file(w.dir / "share.tsv", share);
    r = w.nx({"--trans", "share.tsv", "-o", "no.h5", "spheres.par"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("share.tsv:7: error: column sigma_own: \"nan\" is not a number"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(w.dir / "no.h5"));
}

#if defined(PELKARO_BATCH_EXE)
// pelkaro-batch: the direct beams it measures give the file the datasets
// pelkaro-nxcansas gives it from pelkaro-trans's table of the same runs;
// a column's sigma stands alone; one larger than its value refuses the row.
TEST(SystematicFile, BatchFromItsMeasuredBeamsAndItsColumns) {
    pkt::TempDir dir;
    ASSERT_EQ(pkt::run_program(PELKARO_SIM_EXE, {"--seed", "3", "--transmission-runs", "--out", dir.path()}, dir.path())
                  .status,
              0);
    const std::string runs = ",\"sample_beam.dat,180,176940\",\"buffer_beam.dat,150,148320\"";
    pkt::write_file(dir / "t.csv", "name,sample,time,monitor,thickness,transmission,buffer,buffer_time,buffer_monitor,"
                                   "buffer_thickness,buffer_transmission,sample_beam,buffer_beam,absf_dev\n"
                                   "m,sphere_sample.dat,1500,1500000,0.1,,solvent_buffer.dat,1125,1125000,0.1," +
                                       runs + ",\n" +
                                   "d,sphere_sample.dat,1500,1500000,0.1,,solvent_buffer.dat,1125,1125000,0.1," +
                                       runs + ",3\n");
    const pkt::RunResult b = pkt::run_program(
        PELKARO_BATCH_EXE,
        {"-o", "out", "--formats", "h5", "--empty-beam", "empty_beam.dat,120,120000", "--attenuation", "0.0001",
         "spheres.par", "t.csv"},
        dir.path());
    ASSERT_EQ(b.status, 0) << b.err;
    const pkt::RunResult t = pkt::run_program(
        PELKARO_TRANS_EXE,
        {"--format", "tsv", "--par", "spheres.par", "--attenuation", "0.0001", "--empty", "empty_beam.dat,120,120000",
         "sample_beam.dat,180,176940,sphere_sample.dat", "buffer_beam.dat,150,148320,solvent_buffer.dat"},
        dir.path());
    pkt::write_file(dir / "trans.tsv", t.out);
    ASSERT_EQ(pkt::run_program(PELKARO_NXCANSAS_EXE, {"--trans", "trans.tsv", "-o", "nx.h5", "out/m.par"}, dir.path())
                  .status,
              0);
    const std::string g = "sasentry01/sasdata01/";
    for (const char* name : {"Isys_empty_beam", "Isys_sample_transmission", "Isys_buffer_transmission", "Isys_absf"}) {
        // The same but for the table's nine digits, which the empty beam's
        // nearly cancelling terms (each of the sample's size) magnify.
        const std::vector<float> batch = floats_of(dir / "out/m.h5", g + name), nx = floats_of(dir / "nx.h5", g + name);
        ASSERT_FALSE(batch.empty()) << name;
        ASSERT_EQ(batch.size(), nx.size()) << name;
        float most = 0;
        for (const float v : floats_of(dir / "nx.h5", g + "Isys_sample_transmission")) most = std::max(most, std::fabs(v));
        for (std::size_t n = 0; n < nx.size(); ++n) EXPECT_NEAR(batch[n], nx[n], 1e-5 * most) << name << " " << n;
    }
    // absf_dev 3: ABSF's whole sigma, a measurement of its own.
    const std::vector<float> i = floats_of(dir / "out/d.h5", g + "I"), a = floats_of(dir / "out/d.h5", g + "Isys_absf");
    const double absf = std::stod(t.out.substr(t.out.find("\nabsf\t") + 1).substr(0).substr(
        t.out.substr(t.out.find("\nabsf\t") + 1).find('\t', 5) + 1));
    ASSERT_EQ(i.size(), a.size());
    for (std::size_t n = 0; n < i.size(); ++n) EXPECT_NEAR(a[n], -i[n] * 3 / absf, 2e-4 * std::fabs(i[n]) * 3 / absf);

    pkt::write_file(dir / "t.csv", "name,sample,time,monitor,thickness,transmission,transmission_dev\n"
                                   "x,sphere_sample.dat,1500,1500000,0.1,0.9,0.95\n"
                                   "y,sphere_sample.dat,1500,1500000,0.1,0.9,-0.01\n");
    const pkt::RunResult bad = pkt::run_program(PELKARO_BATCH_EXE, {"-o", "out2", "spheres.par", "t.csv"}, dir.path());
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("t.csv:2: error: column transmission_dev: the uncertainty 0.95 is larger than the value "
                           "0.9\nt.csv:3: error: column transmission_dev: the uncertainty -0.01 is negative\n"),
              std::string::npos)
        << bad.err;
}
#endif
#endif
