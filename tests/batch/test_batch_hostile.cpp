// pelkaro-batch against whoever tries to break it: outputs that would
// replace an input under another name, a disk that fills, shards joined
// from directories spelt in other ways, temporaries of a killed run, and
// table values far too long to echo.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "app.h"
#include "batch.h"
#include "test_util.h"
#include "pelkaro/files.h"
#include "pelkaro/series.h"

namespace {

pkt::RunResult batch(const std::vector<std::string>& args, const std::string& cwd,
                     const pkt::RunOptions& opt = pkt::RunOptions{}) {
    return pkt::run_program(PELKARO_BATCH_EXE, args, cwd, opt);
}

using pkt::files_in;

// The example's files in a scratch directory, and a table of two rows.
struct Example {
    pkt::TempDir dir;
    Example() {
        for (const char* f : {"dark_current.dat", "detector.mask", "flat_field.dat", "solvent_buffer.dat",
                              "sphere_sample.dat", "spheres.par", "empty_beam.dat"})
            pkt::write_file(dir / f, pkt::read_file(std::string(PELKARO_SOURCE_DIR) + "/examples/" + f));
        ::mkdir((dir / "out").c_str(), 0777);
    }
    std::string read(const std::string& f) const { return pkt::read_file(dir / f); }
    std::string summary_rows(const std::string& f) const {
        const std::string s = read(f);
        return s.substr(std::min(s.size(), s.find('\n') + 1));
    }
};

const char* kTable =
    "name,sample,time,monitor,thickness,transmission\n"
    "s1,sphere_sample.dat,1500,1500000,0.1,0.9\n"
    "s2,sphere_sample.dat,1500,1500000,0.1,0.9\n";
const char* kNote = "spheres.par:16: note: the DATS line is ignored: the samples come from the table\n";

// ---------------------------------------------------------------------------
// No output replaces an input.

TEST(BatchOutputs, NoOutputReplacesAnInputUnderAnyName) {
    Example ex;
    const std::string table = ex.dir / "t.csv";
    pkt::write_file(table, kTable);
    struct Case {
        const char* link;  // made in the output directory, leading to the input
        const char* input;
        bool hard;
        std::vector<std::string> extra;  // options
        const char* named;               // the input as the message names it
    } cases[] = {
        {"summary.csv", "t.csv", false, {}, "t.csv"},
        {"report.html", "spheres.par", true, {}, "spheres.par"},
        {"summary.1-of-2.csv", "t.csv", true, {"--shard", "1/2"}, "t.csv"},
        {"summary.csv", "detector.mask", true, {}, "detector.mask"},
        {"s2.h5", "sphere_sample.dat", false, {}, "sphere_sample.dat"},
        {"summary.csv", "empty_beam.dat", true, {"--empty-beam", "empty_beam.dat,600,1000000"}, "empty_beam.dat"},
    };
    for (const Case& c : cases) {
        const std::string link = ex.dir / (std::string("out/") + c.link);
        ASSERT_EQ(c.hard ? ::link((ex.dir / c.input).c_str(), link.c_str())
                         : ::symlink((std::string("../") + c.input).c_str(), link.c_str()),
                  0);
        std::vector<std::string> args = c.extra;
        for (const char* a : {"-o", "out", "spheres.par", "t.csv"}) args.push_back(a);
        const pkt::RunResult r = batch(args, ex.dir.path());
        EXPECT_EQ(r.status, 2) << c.link;
        const std::string line = std::string(kNote) + "pelkaro-batch: error: the output out/" + c.link +
                                 " is the input file " + c.named + "; choose another output directory\n";
        const std::string row_line = std::string(kNote) + "t.csv:3: error: the output out/" + c.link +
                                     " of row \"s2\" is the input file " + c.named +
                                     "; choose another output directory or name\n";
        EXPECT_EQ(r.err, std::string(c.link) == "s2.h5" ? row_line : line) << c.link;
        EXPECT_EQ(files_in(ex.dir / "out"), std::vector<std::string>{c.link}) << "something was written";
        ::unlink(link.c_str());
    }
    EXPECT_EQ(pkt::read_file(table), kTable);
    // A shard writes no report: a report.html that is an input is no concern of it.
    ASSERT_EQ(::link((ex.dir / "t.csv").c_str(), (ex.dir / "out/report.html").c_str()), 0);
    EXPECT_EQ(batch({"--shard", "0/2", "--formats", "d1d", "-o", "out", "spheres.par", "t.csv"}, ex.dir.path()).status,
              0);
    EXPECT_EQ(ex.read("out/report.html"), kTable);
}

// ---------------------------------------------------------------------------
// A full disk.

TEST(BatchOutputs, AFileThatCannotBeWrittenFailsItsRowWithTheSystemsReason) {
    Example ex;
    pkt::write_file(ex.dir / "t.csv", kTable);
    const std::string too_large = std::strerror(EFBIG);
    pkt::RunOptions limited;
    limited.ignore_sigxfsz = true;
    struct Case {
        long bytes;  // a row's parameter file holds 1632, its curve 3540, its image 232350
        const char* formats;
        std::string error;
    } cases[] = {
        {2000, "d1d,d2d", "could not write the output file out/s1.d1d: " + too_large},
        {100000, "d1d,d2d", "could not write the output file out/s1.d2d: " + too_large},
        {1000, "d1d", "cannot write out/s1.par: " + too_large},
        {300000, "h5", "could not write out/s1.h5: " + too_large},  // its file holds 721927
    };
    for (const Case& c : cases) {
        if (std::string(c.formats) == "h5" && !pk::h5_available()) continue;
        limited.fsize_limit = c.bytes;
        const pkt::RunResult r = batch({"-j", "1", "--formats", c.formats, "-o", "out", "spheres.par", "t.csv"},
                                       ex.dir.path(), limited);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("pelkaro-batch: [1/2] s1: failed: " + c.error + "\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("0 of 2 rows reduced, 0 refused, 2 failed"), std::string::npos) << r.err;
        const std::string outputs = c.bytes == 1000 ? "" : "s1.par";
        const std::string row = "0,s1,failed,0," + c.error + "," + outputs + ",";
        EXPECT_EQ(ex.summary_rows("out/summary.csv").substr(0, row.size()), row) << c.bytes;
        for (const char* gone : {"out/s1.d1d", "out/s1.d2d"}) EXPECT_FALSE(pkt::file_exists(ex.dir / gone)) << gone;
    }
}

// The library's writers give the system's reason in the Status's reason;
// what Pelkaro prints (the detail) stays as it always was.
TEST(BatchOutputs, WritersGiveTheSystemsReasonBesideTheirDiagnostic) {
    pkt::TempDir dir;
    pk::Data1D curve;
    const std::string target = dir / "no_such_directory/x.d1d";
    const pk::Status st = pk::write_1D_as(curve, target);
    EXPECT_EQ(st.code, pk::Code::cannot_write);
    EXPECT_EQ(st.detail, "file_out:write_1D -> could not open the output file " + target + " for writing\n");
    EXPECT_EQ(st.reason, "could not open the output file " + target + " for writing: " + std::strerror(ENOENT));
}

// ---------------------------------------------------------------------------
// Shards joined.

TEST(BatchJoin, OutputsAreNamedFromTheJoinedSummarysDirectory) {
    Example ex;
    pkt::write_file(ex.dir / "t.csv", kTable);
    for (const char* k : {"0/2", "1/2"})
        ASSERT_EQ(batch({"-o", "rj/", "--formats", "d1d", "--shard", k, "spheres.par", "t.csv"}, ex.dir.path()).status,
                  0);
    ASSERT_EQ(::symlink("rj", (ex.dir / "link").c_str()), 0);
    const std::string here = "0,s1,ok,0,,s1.par s1.d1d,";
    const std::vector<std::vector<std::string>> same_directory = {
        {"--report", "rj"}, {"--report", "rj/"}, {"-o", "rj/", "--report", "rj"},
        {"-o", "./rj", "--report", "rj//"}, {"-o", "rj", "--report", "link"}};
    for (const auto& args : same_directory) {
        ASSERT_EQ(batch(args, ex.dir.path()).status, 0);
        EXPECT_EQ(ex.summary_rows("rj/summary.csv").substr(0, here.size()), here) << args[1];
    }
    // Joined elsewhere: each listed path leads to the file from there.
    ASSERT_EQ(batch({"-o", "far/joined", "--report", "rj"}, ex.dir.path()).status, 0);
    const std::string there = "0,s1,ok,0,,../../rj/s1.par ../../rj/s1.d1d,";
    EXPECT_EQ(ex.summary_rows("far/joined/summary.csv").substr(0, there.size()), there);
    EXPECT_EQ(ex.read("far/joined/../../rj/s1.d1d"), ex.read("rj/s1.d1d"));
}

// ---------------------------------------------------------------------------
// Temporaries of a killed run.

TEST(BatchTemporaries, TheWritersTemporariesAreKnownByNameAndHeldWhileWritten) {
    EXPECT_EQ(pk::temporary_target(".s1.d1d.tmpAbC123"), "s1.d1d");
    EXPECT_EQ(pk::temporary_target(".summary.csv.tmp0z9Z0a"), "summary.csv");
    for (const char* not_one : {"s1.d1d.tmpAbC123", ".s1.d1d.tmpAbC12", ".s1.d1d.tmpAbC-23", ".tmpAbC123",
                                ".s1.d1d.tmpAbC1234", ".s1.d1d"})
        EXPECT_EQ(pk::temporary_target(not_one), "") << not_one;
    pkt::TempDir dir;
    const std::int64_t later = std::numeric_limits<std::int64_t>::max();
    // A file that replaces another is written under a temporary name.
    pkt::write_file(dir / "x.d1d", "earlier\n");
    pk::AtomicFile out;
    ASSERT_TRUE(pk::atomic_open(dir / "x.d1d", out));
    std::vector<std::string> names = files_in(dir.path());
    ASSERT_EQ(names.size(), 2u);
    const std::string tmp = names[0] == "x.d1d" ? names[1] : names[0];
    EXPECT_EQ(pk::temporary_target(tmp), "x.d1d");
    EXPECT_FALSE(pk::remove_stale_temporary(dir / tmp, later)) << "removed while it was being written";
    EXPECT_EQ(pkt::read_file(dir / "x.d1d"), "earlier\n");
    EXPECT_TRUE(pk::atomic_finish(out, std::fputs("written\n", out.f) >= 0));
    EXPECT_EQ(pkt::read_file(dir / "x.d1d"), "written\n");
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"x.d1d"});
    // A new file has no name until it is complete, whole or through a FILE;
    // one whose name another writer took meanwhile replaces that one.
    for (const bool whole : {true, false})
        for (const bool taken : {false, true}) {
            const std::string name = std::string(whole ? "w" : "f") + (taken ? "t" : "n") + ".d1d";
            pk::AtomicFile fresh;
            ASSERT_TRUE(whole ? pk::atomic_open_whole(dir / name, fresh) : pk::atomic_open(dir / name, fresh));
            EXPECT_EQ(files_in(dir.path()).size(), 1u) << name;
            if (taken) pkt::write_file(dir / name, "the other writer's\n");
            const bool wrote = whole ? pk::atomic_write(fresh, "whole\n") : std::fputs("whole\n", fresh.f) >= 0;
            EXPECT_TRUE(pk::atomic_finish(fresh, wrote)) << name;
            EXPECT_EQ(pkt::read_file(dir / name), "whole\n") << name;
            std::remove((dir / name).c_str());
        }
    pk::AtomicFile dropped;
    ASSERT_TRUE(pk::atomic_open(dir / "dropped.d1d", dropped));
    std::fputs("half", dropped.f);
    EXPECT_FALSE(pk::atomic_finish(dropped, false));
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"x.d1d"});
    // Left by a writer that is gone: removed, unless it is not older than the run.
    pkt::write_file(dir / ".x.d1d.tmpAAAAAA", "left");
    EXPECT_FALSE(pk::remove_stale_temporary(dir / ".x.d1d.tmpAAAAAA", 0));
    EXPECT_TRUE(pk::remove_stale_temporary(dir / ".x.d1d.tmpAAAAAA", later));
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"x.d1d"});
}

TEST(BatchTemporaries, ARerunRemovesOnlyTheStaleTemporariesOfItsOwnOutputs) {
    Example ex;
    pkt::write_file(ex.dir / "t.csv", kTable);
    const std::vector<std::string> stale = {".s1.d1d.tmpAbC123", ".s2.h5.tmpZZZ999", ".summary.csv.tmpQwErTy",
                                            ".report.html.tmp000000", ".s1.par.tmpa1B2c3"};
    const std::vector<std::string> kept = {".other.d1d.tmpAbC123", ".s1.d1d.tmpAbC12", ".s1.d1d.tmpHeld01",
                                           ".s1.csv.tmpAbC123"};
    for (const auto* names : {&stale, &kept})
        for (const std::string& n : *names) pkt::write_file(ex.dir / ("out/" + n), "partial");
    // One is being written by another run: it holds it.
    const int held = ::open((ex.dir / "out/.s1.d1d.tmpHeld01").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const pkt::RunResult r = batch({"--formats", "d1d", "-o", "out", "spheres.par", "t.csv"}, ex.dir.path());
    ::close(held);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> want = kept;
    for (const char* f : {"report.html", "s1.d1d", "s1.par", "s2.d1d", "s2.par", "summary.csv"}) want.push_back(f);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(files_in(ex.dir / "out"), want);
}

// The hidden files in `dir`.
std::vector<std::string> hidden_in(const std::string& dir) {
    std::vector<std::string> names = files_in(dir);
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n[0] != '.'; }),
                names.end());
    return names;
}

// Starts the batch in `dir` and kills it (SIGKILL) the moment a temporary
// file appears; whether one was left behind.
bool killed_while_writing(const std::string& dir) {
    const std::string exe = PELKARO_BATCH_EXE;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execl(exe.c_str(), exe.c_str(), "-j", "2", "-o", "out", "spheres.par", "t.csv", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int ws = 0;
    while (hidden_in(dir + "/out").empty() && std::chrono::steady_clock::now() < until &&
           ::waitpid(pid, &ws, WNOHANG) == 0) {
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &ws, 0);
    return !hidden_in(dir + "/out").empty();
}

// A run killed while writing, then run again: nothing hidden is left.
TEST(BatchTemporaries, NothingOfAKilledRunIsLeftAfterTheRerun) {
    Example ex;
    std::string t = "name,sample,time,monitor,thickness,transmission\n";
    for (int i = 0; i < 40; ++i) t += "r" + std::to_string(i) + ",sphere_sample.dat,1500,1500000,0.1,0.9\n";
    pkt::write_file(ex.dir / "t.csv", t);
    bool left = false;
    for (int attempt = 0; attempt < 20 && !left; ++attempt) left = killed_while_writing(ex.dir.path());
    ASSERT_TRUE(left) << "no run was killed with a temporary file present";
    ASSERT_EQ(batch({"--formats", "d1d", "-o", "out", "spheres.par", "t.csv"}, ex.dir.path()).status, 0);
    EXPECT_EQ(hidden_in(ex.dir / "out"), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// Messages that echo the table.

TEST(BatchMessages, LongValuesAreCutAndLongFileNamesCalledTooLong) {
    const std::string a80(80, 'a');
    std::string text = "name,sample,time,monitor,thickness,transmission," + std::string(100000, 'c') + "\n";
    pk::Table table;
    std::vector<std::string> errors;
    EXPECT_FALSE(pk::parse_table("t.csv", text, table, errors));
    ASSERT_EQ(errors.size(), 1u);
    const std::string unknown = "t.csv:1: error: unknown column \"" + std::string(80, 'c') + "\"...; the columns are";
    EXPECT_EQ(errors[0].substr(0, unknown.size()), unknown);
    text = "name,sample,time,monitor,thickness,transmission,buffer,buffer_time\n"
           "ok," + std::string(450, 'a') + ",1,1,1,1," + std::string(401, 'b') + ",0\n" +
           std::string(1 << 20, 'n') + ",s.dat," + std::string(1 << 20, '9') + ",1,1,1,,\n";
    errors.clear();
    EXPECT_FALSE(pk::parse_table("t.csv", text, table, errors));
    const std::vector<std::string> want = {
        "t.csv:2: error: the sample file name \"" + a80 +
            "\"... is too long: 450 bytes, more than the 400 a parameter line can carry",
        "t.csv:2: error: the buffer file name \"" + std::string(80, 'b') +
            "\"... is too long: 401 bytes, more than the 400 a parameter line can carry",
        "t.csv:3: error: the name \"" + std::string(80, 'n') +
            "\"... is not a safe file name (letters, digits, \".\", \"_\" and \"-\", at most 200, not starting with "
            "\".\" or \"-\")",
        "t.csv:3: error: the time \"" + std::string(80, '9') +
            "\"... is not a finite number within the range of a float"};
    EXPECT_EQ(errors, want);
    // Characters, not bytes; and a value of 80 is shown whole.
    std::string e100;
    for (int i = 0; i < 100; ++i) e100 += "\xc3\xa9";
    EXPECT_EQ(pk::quoted_value(e100), "\"" + e100.substr(0, 160) + "\"...");
    EXPECT_EQ(pk::quoted_value(a80), "\"" + a80 + "\"");
    EXPECT_EQ(pk::quoted_value(a80 + "\t"), "\"" + a80 + "\"...");
}

TEST(BatchMessages, AMegabyteFieldIsNotEchoedWhole) {
    Example ex;
    pkt::write_file(ex.dir / "t.csv", "name,sample,time,monitor,thickness,transmission\n"
                                      "s1,sphere_sample.dat,1500,1500000,0.1," + std::string(1 << 20, 'x') + "\n");
    const pkt::RunResult r = batch({"-o", "out", "spheres.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, std::string(kNote) + "t.csv:2: error: the transmission \"" + std::string(80, 'x') +
                         "\"... is not a finite number within the range of a float\n");
}

}  // namespace
