// A refused run as a value: which stage failed, why, the entry, keyword and
// parameter-file line it concerns, and the text Pelkaro prints for it (the
// program's own console, run alongside, ends with exactly that text).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "keywords.h"
#include "pelkaro/run.h"
#include "test_util.h"
#include "pelkaro/files.h"

namespace {

namespace fs = std::filesystem;
using pkt::TempDir;

// The bundled example in a scratch directory, its parameter file with one
// line replaced (`from` must be there) and lines appended.
struct Example {
    TempDir dir;
    explicit Example(const std::string& from = "", const std::string& to = "", const std::string& more = "") {
        for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
            fs::copy_file(e.path(), dir / e.path().filename().string());
        std::string par = pkt::read_file(dir / "spheres.par");
        if (!from.empty()) {
            const std::size_t at = par.find(from);
            EXPECT_NE(at, std::string::npos) << from;
            if (at != std::string::npos) par.replace(at, from.size(), to);
        }
        pkt::write_file(dir / "spheres.par", par + more);
    }
    // The line number of the first line that starts with `text`.
    int line_of(const std::string& text) const {
        std::ifstream in(dir / "spheres.par");
        std::string l;
        for (int n = 1; std::getline(in, l); ++n)
            if (l.compare(0, text.size(), text) == 0) return n;
        return 0;
    }
};

// The reduction through the library, in the example's directory.
Status reduce_in(const Example& ex) {
    const fs::path before = fs::current_path();
    fs::current_path(ex.dir.path());
    Run run;
    const Console quiet{nullptr, nullptr};
    Status st = prepare_run("spheres.par", run, quiet);
    if (st.ok()) st = reduce(run, quiet);
    fs::current_path(before);
    return st;
}

// Pelkaro's console for the same run ends with the status's text.
void printed_by_pelkaro(const Example& ex, const Status& st) {
    const pkt::RunResult r = pkt::run_param(ex.dir, "spheres.par");
    EXPECT_EQ(r.status, 255);
    ASSERT_GE(r.out.size(), st.text().size());
    EXPECT_EQ(r.out.substr(r.out.size() - st.text().size()), st.text());
}

TEST(Status, SecondBufferFileUnreadableNamesItsEntryAndLine) {
    Example ex("", "", "DATB second.dat 100 1000 0.1 0.9\n");
    pkt::write_file(ex.dir / "second.dat", "1 2 3 99999999999\n");
    const Status st = reduce_in(ex);
    EXPECT_EQ(st.stage, Stage::read);
    EXPECT_EQ(st.code, Code::bad_contents);
    EXPECT_EQ(st.keyword, DATB);
    EXPECT_EQ(st.entry, 1);
    EXPECT_EQ(st.line, ex.line_of("DATB second.dat"));
    EXPECT_EQ(st.detail, "read_data -> second.dat holds a count beyond the 32-bit range\n");
    EXPECT_EQ(st.message, "Pelkaro:  unable to read the buffer data file #1\n...Exiting program\n");
    EXPECT_EQ(st.reason, "second.dat holds a count beyond the 32-bit range");
    printed_by_pelkaro(ex, st);
}

TEST(Status, RefusedParameterLineCarriesItsLine) {
    Example ex("PXSP 5 5", "PXSP 5 -5");
    const Status st = reduce_in(ex);
    EXPECT_EQ(st.stage, Stage::parameters);
    EXPECT_EQ(st.code, Code::bad_parameter);
    EXPECT_EQ(st.keyword, PXSP);
    EXPECT_EQ(st.line, ex.line_of("PXSP"));
    EXPECT_EQ(st.message, "Pelkaro:  unable to parse the input file\nExiting program\n");
    printed_by_pelkaro(ex, st);
}

TEST(Status, MissingDataFileIsCannotRead) {
    Example ex("DATB solvent_buffer.dat", "DATB nowhere.dat");
    const Status st = reduce_in(ex);
    EXPECT_EQ(st.stage, Stage::parameters);
    EXPECT_EQ(st.code, Code::cannot_read);
    EXPECT_EQ(st.keyword, DATB);
    EXPECT_EQ(st.entry, 0);
    EXPECT_EQ(st.line, ex.line_of("DATB"));
    EXPECT_EQ(st.detail, "The buffer file nowhere.dat does not exist\n");
    printed_by_pelkaro(ex, st);
}

TEST(Status, ZeroSampleTransmissionIsTheSubtractionsOnTheSampleLine) {
    Example ex("0.1 0.899425", "0.1 0");
    const Status st = reduce_in(ex);
    EXPECT_EQ(st.stage, Stage::subtraction);
    EXPECT_EQ(st.keyword, DATS);
    EXPECT_EQ(st.entry, 0);
    EXPECT_EQ(st.line, ex.line_of("DATS"));
    EXPECT_EQ(st.reason, "the transmission of the first sample is not positive; the data cannot be reduced");
    printed_by_pelkaro(ex, st);
}

TEST(Status, DeadFlatFieldIsTheSensitivitysOnItsLine) {
    Example ex("SENS 1 flat_field.dat", "SENS 1 dead.dat");
    pkt::write_file(ex.dir / "dead.dat", pkt::detector_file(std::vector<long>(16384, 0), 1, 1));
    const Status st = reduce_in(ex);
    EXPECT_EQ(st.stage, Stage::sensitivity);
    EXPECT_EQ(st.code, Code::not_finite);
    EXPECT_EQ(st.keyword, SENS);
    EXPECT_EQ(st.line, ex.line_of("SENS"));
    EXPECT_EQ(st.message, "Pelkaro:  unable to normalize the sensitivity correction\n");
    printed_by_pelkaro(ex, st);
}

TEST(Status, MissingKeywordHasNoLine) {
    Example ex("BINS 1", "# no bin width");
    const Status st = reduce_in(ex);
    EXPECT_EQ(st.code, Code::missing_keyword);
    EXPECT_EQ(st.keyword, BINS);
    EXPECT_EQ(st.line, 0);
    EXPECT_EQ(st.detail, "");
    EXPECT_EQ(st.reason, "the parameter file has no BINS line, which the azimuthal average needs");
    printed_by_pelkaro(ex, st);
}

TEST(Status, SuccessIsEmpty) {
    Example ex;
    const Status st = reduce_in(ex);
    EXPECT_TRUE(st.ok());
    EXPECT_EQ(st.text(), "");
    EXPECT_STREQ(code_name(st.code), "ok");
}

}  // namespace
