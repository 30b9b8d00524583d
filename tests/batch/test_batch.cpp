// pelkaro-batch: the table's rules (in process), then the program itself on
// copies of the example: outputs byte for byte those of Pelkaro run on the
// row's parameter file, failures that leave the other rows alone, exit
// statuses, threads, Ctrl-C, sharding and the joined summary.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "batch.h"
#include "report.h"
#include "test_util.h"
#include "pelkaro/files.h"
#ifdef PELKARO_NXCANSAS_EXE
#include "h5_content.h"
#endif

namespace {

// ---------------------------------------------------------------------------
// The table.

struct Parsed {
    bool ok;
    pk::Table table;
    std::vector<std::string> errors;
    std::string all() const {
        std::string s;
        for (const std::string& e : errors) s += e + "\n";
        return s;
    }
};

Parsed parse(const std::string& text) {
    Parsed p;
    p.ok = pk::parse_table("t.csv", text, p.table, p.errors);
    return p;
}

const char* kHead = "name,sample,time,monitor,thickness,transmission\n";

TEST(Table, ReadsQuotingCommentsAndBlankLines) {
    const Parsed p = parse(
        "# a comment before the header\n\n"
        "name,sample,time,monitor,thickness,transmission,title\r\n"
        "  # an indented comment\n"
        "a,s1.dat,1500,1.5e6,0.1,0.9,\"Spheres, \"\"first\"\"\nsecond line\"\n"
        "\n"
        "b , \"s1.dat;s2.dat\" ,900,0,0.2,0.8,plain\n"
        "c,s1.dat ; s3.dat,900,0,0.2,0.8,");
    ASSERT_TRUE(p.ok) << p.all();
    ASSERT_EQ(p.table.rows.size(), 3u);
    const pk::TableRow& a = p.table.rows[0];
    EXPECT_EQ(a.line, 5);
    EXPECT_EQ(a.index, 0);
    EXPECT_EQ(a.title, "Spheres, \"first\"\nsecond line");
    EXPECT_EQ(a.monitor, "1.5e6");
    EXPECT_EQ(p.table.rows[1].line, 8);  // the quoted line end counts
    EXPECT_EQ(p.table.rows[1].name, "b");
    EXPECT_EQ(p.table.rows[1].samples, (std::vector<std::string>{"s1.dat", "s2.dat"}));
    EXPECT_EQ(p.table.rows[2].samples, (std::vector<std::string>{"s1.dat", "s3.dat"}));
    EXPECT_EQ(p.table.rows[2].index, 2);
}

TEST(Table, NamesEveryErrorWithItsLine) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"name,sample,time,monitor,thickness,transmission,colour,size\n", "t.csv:1: error: unknown columns \"colour\", \"size\""},
        {"name,sample,time,monitor,thickness\n", "t.csv:1: error: the table has no column \"transmission\""},
        {"name,name,sample,time,monitor,thickness,transmission\n", "t.csv:1: error: the column \"name\" is named twice"},
        {"name,sample,time,monitor,thickness,transmission,buffer_time\n", "needs a column \"buffer\""},
        {"# only a comment\n", "t.csv:2: error: the table has no header line"},
        {kHead, "the table has no rows"},
        {"name,sample,time,monitor,thickness,transmission\na,s.dat,1,1,1\n", "t.csv:2: error: the row has 5 fields, the header 6"},
        {"name,sample,time,monitor,thickness,transmission\na,\"s.dat,1,1,1,1,1\n", "t.csv:2: error: a quoted field is not closed"},
        {"name,sample,time,monitor,thickness,transmission\na,s\"x\".dat,1,1,1,1\n", "t.csv:2: error: a quote inside a field"},
        {"name,sample,time,monitor,thickness,transmission\na,\"s\"x,1,1,1,1\n", "t.csv:2: error: text after the closing quote"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.text);
        EXPECT_FALSE(p.ok) << c.text;
        EXPECT_NE(p.all().find(c.error), std::string::npos) << c.text << "\n" << p.all();
    }
}

TEST(Table, RefusesUnsafeOrDuplicateNamesAndBadNumbers) {
    const std::string text = std::string(kHead) +
                             "ok.1_x-2,s.dat,1,1,1,1\n"
                             "ok.1_x-2,t.dat,1,1,1,1\n"
                             ".hidden,s.dat,1,1,1,1\n"
                             "-opt,s.dat,1,1,1,1\n"
                             "a/b,s.dat,1,1,1,1\n"
                             ",s.dat,1,1,1,1\n"
                             "n1,s.dat,0,1,1,1\n"
                             "n2,s.dat,1e39,1,1,1\n"
                             "n3,s.dat,1,nan,1,1\n"
                             "n4,s.dat,1,1,0.1cm,1\n"
                             "n5,with blank.dat,1,1,1,1\n"
                             "n6,s.dat;,1,1,1,1\n"
                             "n7,s.dat,1,1,1,\"\f0.9\"\n";
    const Parsed p = parse(text);
    EXPECT_FALSE(p.ok);
    const std::string all = p.all();
    for (const char* want : {"t.csv:3: error: the name \"ok.1_x-2\" is taken by the row on line 2",
                             "t.csv:4: error: the name \".hidden\" is not a safe file name",
                             "t.csv:5: error: the name \"-opt\" is not a safe file name",
                             "t.csv:6: error: the name \"a/b\" is not a safe file name",
                             "t.csv:7: error: the row has no name",
                             "t.csv:8: error: the counting time is 0",
                             "t.csv:9: error: the time \"1e39\" is not a finite number",
                             "t.csv:10: error: the monitor \"nan\" is not a finite number",
                             "t.csv:11: error: the thickness \"0.1cm\" is not a finite number",
                             "t.csv:12: error: the sample file name \"with blank.dat\"",
                             "t.csv:13: error: the sample file name \"\"",
                             "t.csv:14: error: the transmission \"\\x0c0.9\" is not a finite number"})
        EXPECT_NE(all.find(want), std::string::npos) << want << "\n" << all;
    EXPECT_TRUE(pk::safe_name("A-z_0.9"));
    EXPECT_FALSE(pk::safe_name(std::string(201, 'a')));
    EXPECT_FALSE(pk::safe_name("caf\xc3\xa9"));
}

TEST(Table, BufferColumnsGoTogether) {
    const std::string head = "name,sample,time,monitor,thickness,transmission,buffer,buffer_time,buffer_monitor,"
                             "buffer_thickness,buffer_transmission\n";
    Parsed p = parse(head + "a,s.dat,1,1,1,1,b.dat,10,20,0.1,0.9\nb,s.dat,1,1,1,1,,,,,\nc,s.dat,1,1,1,1,b.dat,0,,,\n");
    ASSERT_TRUE(p.ok) << p.all();
    EXPECT_EQ(p.table.rows[0].buffers, std::vector<std::string>{"b.dat"});
    EXPECT_TRUE(p.table.rows[1].buffers.empty());
    p = parse(head + "a,s.dat,1,1,1,1,,10,,,\nb,s.dat,1,1,1,1,b.dat,10,,0.1,0.9\n");
    EXPECT_NE(p.all().find("t.csv:2: error: the buffer_time is given without a buffer file"), std::string::npos);
    EXPECT_NE(p.all().find("t.csv:3: error: the buffer_monitor \"\" is not a finite number"), std::string::npos);
}

TEST(Table, RowParameterFileReplacesSampleAndBufferLines) {
    pk::BaseFile base;
    base.path = "base.par";
    base.lines = {"CNTR 64 64\n", "DATB old.dat 1 1 1 1\n", "BINS 1"};
    pk::TableRow row;
    row.name = "r1";
    row.line = 7;
    row.samples = {"a.dat", "b.dat"};
    row.time = "10", row.monitor = "20", row.thickness = "0.1", row.transmission = "0.9";
    row.title = "two\nlines";
    std::string text = pk::row_param_text(base, row, "t.csv");
    EXPECT_EQ(text,
              "CNTR 64 64\nDATB old.dat 1 1 1 1\nBINS 1\n"
              "# pelkaro-batch: row r1 of t.csv (line 7), configuration from base.par\n# title: two lines\n"
              "DATS a.dat 10 20 0.1 0.9\nDATS b.dat 10 20 0.1 0.9\n");
    row.buffers = {"new.dat"};
    row.buffer_time = "5", row.buffer_monitor = "6", row.buffer_thickness = "0.1", row.buffer_transmission = "1";
    row.title.clear();
    text = pk::row_param_text(base, row, "t.csv");
    EXPECT_EQ(text.find("old.dat"), std::string::npos);
    EXPECT_NE(text.find("\nDATB new.dat 5 6 0.1 1\n"), std::string::npos);
}

TEST(Options, CommandLine) {
    pk::BatchOptions o;
    std::string why;
    const char* good[] = {"pelkaro-batch", "-j2", "-o", "out", "--formats=d1d,plot", "--shard", "2/5", "--strict",
                          "b.par", "t.csv"};
    ASSERT_EQ(pk::parse_batch_args(10, good, o, why), pk::BatchCli::run) << why;
    EXPECT_EQ(o.jobs, 2);
    EXPECT_EQ(o.out_dir, "out");
    EXPECT_EQ(o.formats, pk::kFmtD1d | pk::kFmtPlot);
    EXPECT_EQ(o.shard_k, 2);
    EXPECT_EQ(o.shard_n, 5);
    EXPECT_TRUE(o.strict);
    const char* report[] = {"pelkaro-batch", "--report", "a", "b"};
    ASSERT_EQ(pk::parse_batch_args(4, report, o, why), pk::BatchCli::report);
    EXPECT_EQ(o.report_dirs.size(), 2u);
    const std::vector<std::vector<const char*>> bad = {
        {"x", "b.par"}, {"x", "-j", "0", "b", "t"}, {"x", "--shard", "5/5", "b", "t"}, {"x", "--shard", "1", "b", "t"},
        {"x", "--formats", "d1d,pdf", "b", "t"}, {"x", "--formats", "plot", "b", "t"}, {"x", "--bogus", "b", "t"},
        {"x", "--report"}, {"x", "b", "t", "u"}};
    for (const auto& args : bad)
        EXPECT_EQ(pk::parse_batch_args(static_cast<int>(args.size()), args.data(), o, why), pk::BatchCli::bad)
            << args[1];
}

// ---------------------------------------------------------------------------
// The program.

struct Result {
    int status = -1;
    int signal = 0;
    std::string out, err;
};

// Runs `exe` in `cwd`; with `interrupt_after` > 0, sends SIGINT once that
// many lines have appeared on standard error (or `sig`).
Result run_exe(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd,
               int interrupt_after = 0, int sig = SIGINT) {
    int out_pipe[2], err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], 1), ::dup2(err_pipe[1], 2);
        ::close(out_pipe[0]), ::close(err_pipe[0]);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        // The signal to be sent is not ignored, whatever the test runs under
        // (nohup, a shell's background job).
        if (interrupt_after > 0) ::signal(sig, SIG_DFL);
        std::vector<std::string> copy = args;
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (std::string& a : copy) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]), ::close(err_pipe[1]);
    Result r;
    bool sent = false;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && ::poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(fds[i].fd), fds[i].fd = -1, --open;
                continue;
            }
            (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
        }
        if (interrupt_after > 0 && !sent &&
            std::count(r.err.begin(), r.err.end(), '\n') >= interrupt_after) {
            ::kill(pid, sig);
            sent = true;
        }
    }
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
    if (WIFSIGNALED(ws)) r.signal = WTERMSIG(ws);
    return r;
}

Result batch(const std::vector<std::string>& args, const std::string& cwd, int interrupt_after = 0,
             int sig = SIGINT) {
    return run_exe(PELKARO_BATCH_EXE, args, cwd, interrupt_after, sig);
}

using pkt::files_in;

// The example's files in a scratch directory, with a base parameter file.
struct Example {
    pkt::TempDir dir;
    Example() {
        for (const char* f : {"dark_current.dat", "detector.mask", "flat_field.dat", "solvent_buffer.dat",
                              "sphere_sample.dat", "direct_beam.dat", "spheres.par"})
            pkt::write_file(dir / f, pkt::read_file(std::string(PELKARO_SOURCE_DIR) + "/examples/" + f));
        ::mkdir((dir / "data").c_str(), 0777);
        pkt::write_file(dir / "data/frame.dat", pkt::read_file(dir / "sphere_sample.dat"));
    }
    void table(const std::string& text) const { pkt::write_file(dir / "t.csv", text); }
    std::string read(const std::string& f) const { return pkt::read_file(dir / f); }
};

const char* kRows =
    "name,sample,time,monitor,thickness,transmission,title\n"
    "thin,sphere_sample.dat,1500,1500000,0.1,0.899425,Spheres\n"
    "thick,data/frame.dat,1500,1500000,0.2,0.8,\n"
    "summed,sphere_sample.dat;data/frame.dat,1500,1500000,0.1,0.899425,\n";

TEST(Program, OutputsAreThoseOfPelkaroOnTheRowsParameterFile) {
    Example ex;
    ex.table(kRows);
    const Result r = batch({"-j", "2", "-o", "out", "--formats", "d1d,d2d", "spheres.par", "t.csv"}, ex.dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("spheres.par:16: note: the DATS line is ignored"), std::string::npos) << r.err;
    // The report's image of each row beside its .d2d, where libpng is.
    std::vector<std::string> written{"report.html", "summary.csv", "summed.d1d", "summed.d2d", "summed.par",
                                     "thick.d1d",   "thick.d2d",   "thick.par",  "thin.d1d",   "thin.d2d",
                                     "thin.par"};
    if (pk::png_available())
        for (const char* row : {"summed", "thick", "thin"}) written.push_back(std::string(row) + ".image.png");
    std::sort(written.begin(), written.end());
    EXPECT_EQ(files_in(ex.dir / "out"), written);
    // Pelkaro on each row's parameter file, from the same directory, writes
    // beside the first sample file.
    const struct {
        const char* row;
        const char* pelkaro_stem;
    } rows[] = {{"thin", "sphere_sample"}, {"thick", "data/frame"}, {"summed", "sphere_sample"}};
    for (const auto& row : rows) {
        const pkt::RunResult p = pkt::run_pelkaro({std::string("out/") + row.row + ".par"}, ex.dir.path());
        ASSERT_EQ(p.status, 0) << p.out;
        for (const char* ext : {".d1d", ".d2d"}) {
            const std::string mine = ex.read(std::string("out/") + row.row + ext);
            EXPECT_FALSE(mine.empty());
            EXPECT_EQ(mine, ex.read(std::string(row.pelkaro_stem) + ext)) << row.row << ext;
        }
    }
    const std::string summary = ex.read("out/summary.csv");
    EXPECT_EQ(summary.substr(0, summary.find('\n')),
              "row,name,status,warnings,error,outputs,i_lowest_q,points,warning_text");
    EXPECT_NE(summary.find("\n0,thin,ok,0,,thin.par thin.d1d thin.d2d,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\n2,summed,ok,0,,summed.par summed.d1d summed.d2d,"), std::string::npos) << summary;
}

// Pelkaro's own output places, beside the first sample file, are not where
// a row's outputs go: something in the way there, which pelkaro-check
// calls an error of the row's parameter file, does not refuse the row.
TEST(Program, PelkarosOwnOutputPlacesDoNotConcernARow) {
    Example ex;
    ex.table("name,sample,time,monitor,thickness,transmission\nthick,data/frame.dat,1500,1500000,0.2,0.8\n");
    ::mkdir((ex.dir / "data/frame.d1d").c_str(), 0777);
    ::mkdir((ex.dir / "data/frame.d2d").c_str(), 0777);
    const Result r = batch({"-o", "out", "--formats", "d1d,d2d", "spheres.par", "t.csv"}, ex.dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string summary = ex.read("out/summary.csv");
    EXPECT_NE(summary.find("\n0,thick,ok,0,,thick.par thick.d1d thick.d2d,"), std::string::npos) << summary;
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(ex.dir.path());
    const pk::CheckResult own = pk::check_run("out/thick.par");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(own.errors, 2);
    for (const pk::Diagnostic& d : own.diagnostics) {
        if (d.severity == pk::Severity::error) {
            EXPECT_EQ(d.kind, pk::DiagnosticKind::output_not_regular) << d.text;
        }
    }
}

TEST(Program, ThreadsGiveTheSameFilesAsOne) {
    Example ex;
    std::string t = "name,sample,time,monitor,thickness,transmission\n";
    for (int i = 0; i < 12; ++i)
        t += "r" + std::to_string(i) + ",sphere_sample.dat," + std::to_string(1000 + 50 * i) + ",1500000,0.1,0.9\n";
    ex.table(t);
    ASSERT_EQ(batch({"-j", "1", "-o", "one", "--formats", "d1d,d2d", "spheres.par", "t.csv"}, ex.dir.path()).status, 0);
    ASSERT_EQ(batch({"-j", "3", "-o", "three", "--formats", "d1d,d2d", "spheres.par", "t.csv"}, ex.dir.path()).status, 0);
    const std::vector<std::string> names = files_in(ex.dir / "one");
    ASSERT_EQ(names, files_in(ex.dir / "three"));
    for (const std::string& n : names) {
        if (n == "report.html") continue;
        std::string a = ex.read("one/" + n), b = ex.read("three/" + n);
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".par") == 0) continue;  // they name nothing different
        EXPECT_EQ(a, b) << n;
    }
}

TEST(Program, AFailingRowIsReportedAndTheOthersGoOn) {
    Example ex;
    ex.table(std::string(kRows) +
             "missing,no_such.dat,1500,1500000,0.1,0.9,\n"
             "negative,sphere_sample.dat,1500,1500000,-0.1,0.9,\n"
             "odd,sphere_sample.dat,1500,1500000,0.1,1.5,\n");
    // Stale outputs of an earlier run of the failing rows go.
    ::mkdir((ex.dir / "out").c_str(), 0777);
    pkt::write_file(ex.dir / "out/negative.d1d", "stale");
    const Result r = batch({"-j", "2", "-o", "out", "--formats", "d1d", "spheres.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("3 of 6 rows reduced, 2 refused, 1 failed"), std::string::npos) << r.err;
    const std::string summary = ex.read("out/summary.csv");
    // Each finding names the table's line and columns, then the row's parameter file's line.
    EXPECT_NE(summary.find("\n3,missing,refused,0,\"t.csv:5: error: columns sample, time, monitor, thickness, "
                           "transmission: the sample file \"\"no_such.dat\"\" cannot be used: "),
              std::string::npos) << summary;
    EXPECT_NE(summary.find(" is missing (out/missing.par:33)\",missing.par,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("no_such.dat"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\n4,negative,failed,0,the reduction failed: "), std::string::npos) << summary;
    EXPECT_NE(summary.find("thickness of the first sample is not positive"), std::string::npos) << summary;
    // A transmission outside (0, 1] refuses its row.
    const std::string odd = "\n5,odd,refused,0,\"t.csv:7: error: column transmission: the transmission 1.5 lies "
                            "outside (0, 1]; is it given in percent?\",odd.par,";
    EXPECT_NE(summary.find(odd), std::string::npos) << summary;
    EXPECT_FALSE(pkt::file_exists(ex.dir / "out/negative.d1d"));
    EXPECT_FALSE(pkt::file_exists(ex.dir / "out/missing.d1d"));
    EXPECT_TRUE(pkt::file_exists(ex.dir / "out/missing.par"));  // Pelkaro out/missing.par shows the failure
    // And so it does under --strict.
    const Result s = batch({"--strict", "-o", "strict", "--formats", "d1d", "spheres.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(ex.read("strict/summary.csv").find(odd), std::string::npos);
    EXPECT_FALSE(pkt::file_exists(ex.dir / "strict/odd.d1d"));
}

TEST(Program, ErrorsBeforeAnyReductionExitWithTwoAndWriteNothing) {
    Example ex;
    ex.table("name,sample,time,monitor,thickness,transmission,colour\na,sphere_sample.dat,1,1,1,1,red\n");
    Result r = batch({"-o", "out", "spheres.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("t.csv:1: error: unknown column \"colour\""), std::string::npos) << r.err;
    EXPECT_FALSE(pkt::file_exists(ex.dir / "out"));
    // A row whose parameter file would replace the base.
    ::mkdir((ex.dir / "cfg").c_str(), 0777);
    pkt::write_file(ex.dir / "cfg/base.par", ex.read("spheres.par"));
    ex.table(std::string(kRows) + "base,sphere_sample.dat,1,1,1,1,\n");
    r = batch({"-o", "cfg", "cfg/base.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("t.csv:5: error: the output cfg/base.par of row \"base\" is the input file cfg/base.par"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ex.read("cfg/base.par"), ex.read("spheres.par"));
    // A row whose curve would replace the sample of another row.
    pkt::write_file(ex.dir / "cfg/early.d1d", ex.read("sphere_sample.dat"));
    ex.table(std::string(kRows) + "early,sphere_sample.dat,1,1,1,1,\nlate,cfg/early.d1d,1,1,1,1,\n");
    r = batch({"-o", "cfg", "spheres.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("t.csv:5: error: the output cfg/early.d1d of row \"early\" is the input file cfg/early.d1d"),
              std::string::npos)
        << r.err;
    ::unlink((ex.dir / "cfg/early.d1d").c_str());
    EXPECT_EQ(files_in(ex.dir / "cfg"), std::vector<std::string>{"base.par"});
    // An output directory that cannot be made; a missing base; a bad option.
    r = batch({"-o", "spheres.par/out", "spheres.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot create the output directory spheres.par"), std::string::npos) << r.err;
    r = batch({"-o", "out", "none.par", "t.csv"}, ex.dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("none.par: cannot read the base parameter file"), std::string::npos) << r.err;
    r = batch({"--frobnicate"}, ex.dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Try 'pelkaro-batch --help'"), std::string::npos);
    r = batch({"--help"}, ex.dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: pelkaro-batch"), std::string::npos);
    EXPECT_EQ(batch({"--version"}, ex.dir.path()).out.rfind("pelkaro-batch ", 0), 0u);
}

class Interrupt : public ::testing::TestWithParam<int> {};

TEST_P(Interrupt, FinishesTheRowsInProgressAndNamesTheRest) {
    Example ex;
    std::string t = "name,sample,time,monitor,thickness,transmission\n";
    for (int i = 0; i < 400; ++i) t += "r" + std::to_string(i) + ",sphere_sample.dat,1500,1500000,0.1,0.9\n";
    ex.table(t);
    const Result r = batch({"-j", "2", "-o", "out", "--formats", "d1d,d2d", "spheres.par", "t.csv"}, ex.dir.path(), 3,
                           GetParam());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_NE(r.err.find("not done"), std::string::npos) << r.err;
    const std::string summary = ex.read("out/summary.csv");
    const std::string reference = ex.read("out/r0.d1d");
    ASSERT_FALSE(reference.empty());
    int done = 0, not_done = 0;
    for (const std::string& f : files_in(ex.dir / "out")) {
        EXPECT_NE(f[0], '.') << "a temporary file was left: " << f;
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".d1d") == 0) {
            EXPECT_EQ(ex.read("out/" + f), reference) << f;
            ++done;
        }
    }
    for (int i = 0; i < 400; ++i) {
        const std::string name = "r" + std::to_string(i);
        const bool listed_not_done = summary.find("," + name + ",not done,") != std::string::npos;
        not_done += listed_not_done;
        EXPECT_NE(listed_not_done, pkt::file_exists(ex.dir / ("out/" + name + ".d2d"))) << name;
    }
    EXPECT_GT(not_done, 0);
    EXPECT_EQ(done + not_done, 400);
}
INSTANTIATE_TEST_SUITE_P(Program, Interrupt, ::testing::Values(SIGINT, SIGTERM));

TEST(Program, ShardsJoinedGiveTheSummaryOfOneRun) {
    Example ex;
    std::string t = "# comments and blank lines are not counted\nname,sample,time,monitor,thickness,transmission\n";
    for (int i = 0; i < 7; ++i) t += "r" + std::to_string(i) + ",sphere_sample.dat,1500,1500000,0.1,0.9\n\n";
    ex.table(t);
    ASSERT_EQ(batch({"-o", "whole", "--formats", "d1d", "spheres.par", "t.csv"}, ex.dir.path()).status, 0);
    for (int k = 0; k < 3; ++k) {
        const Result r = batch({"-o", "sharded", "--formats", "d1d", "--shard", std::to_string(k) + "/3",
                                "spheres.par", "t.csv"},
                               ex.dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const std::string shard1 = ex.read("sharded/summary.1-of-3.csv");
    EXPECT_NE(shard1.find("\n1,r1,ok"), std::string::npos);
    EXPECT_NE(shard1.find("\n4,r4,ok"), std::string::npos);
    EXPECT_EQ(shard1.find("r2"), std::string::npos);
    const Result j = batch({"--report", "sharded"}, ex.dir.path());
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_EQ(ex.read("sharded/summary.csv"), ex.read("whole/summary.csv"));
    for (int i = 0; i < 7; ++i) {
        const std::string f = "/r" + std::to_string(i) + ".d1d";
        EXPECT_EQ(ex.read("sharded" + f), ex.read("whole" + f));
    }
    EXPECT_TRUE(pkt::file_exists(ex.dir / "sharded/report.html"));
    // The rows of the report, each with the values its parameter file says:
    // kept by the run that reduced them, read back from the files when
    // joined; the same table either way.
    const auto rows = [](const std::string& page) {
        std::string out;
        for (std::size_t at = page.find("<tr class=\"row"); at != std::string::npos;
             at = page.find("<tr class=\"row", at + 1))
            out += page.substr(at, page.find('\n', at) - at) + "\n";
        return out;
    };
    const std::string whole_rows = rows(ex.read("whole/report.html"));
    EXPECT_NE(whole_rows.find("<td>sphere_sample.dat</td><td>1500</td><td>1500000</td><td>0.1</td><td>0.9</td>"),
              std::string::npos) << whole_rows;
    EXPECT_EQ(rows(ex.read("sharded/report.html")), whole_rows);
    // A summary that is not one, or a row in two summaries: nothing joined.
    ::mkdir((ex.dir / "bad").c_str(), 0777);
    pkt::write_file(ex.dir / "bad/summary.csv", "row,name,status,warnings,error,outputs,i_lowest_q,points,"
                                                 "warning_text\n0,r0,ok,0,,r0.d1d,1,2,\nx,r1,ok\n");
    Result b = batch({"--report", "bad"}, ex.dir.path());
    EXPECT_EQ(b.status, 2);
    EXPECT_NE(b.err.find("bad/summary.csv:3: error: a malformed summary line"), std::string::npos) << b.err;
    b = batch({"-o", "joined", "--report", "whole", "sharded"}, ex.dir.path());
    EXPECT_EQ(b.status, 2);
    EXPECT_NE(b.err.find("is in more than one summary"), std::string::npos) << b.err;
}

// Plots through the plotting script as a program: a PNG beside each text
// file, no temporary file left.
TEST(Program, PlotsAreDrawnBesideTheTextFiles) {
    if (::system("command -v gnuplot > /dev/null 2>&1") != 0) {
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") FAIL() << "gnuplot is missing";
        GTEST_SKIP() << "gnuplot is missing";
    }
    Example ex;
    ex.table(kRows);
    ::setenv("PELKARO_PLOT", (std::string(PELKARO_SOURCE_DIR) + "/scripts/plot.sh").c_str(), 1);
    const Result r = batch({"-o", "out", "--formats", "d1d,d2d,plot", "spheres.par", "t.csv"}, ex.dir.path());
    ::unsetenv("PELKARO_PLOT");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* f : {"thin.d1d.png", "thin.d2d.png", "summed.d1d.png", "summed.d2d.png"})
        EXPECT_EQ(ex.read(std::string("out/") + f).substr(0, 8), "\x89PNG\r\n\x1a\n") << f;
    for (const std::string& f : files_in(ex.dir / "out")) EXPECT_NE(f[0], '.') << f;
    EXPECT_NE(ex.read("out/summary.csv").find("thin.d1d thin.d1d.png thin.d2d thin.d2d.png"), std::string::npos);
    // Without a plotting program the run does not start.
    ::setenv("PELKARO_PLOT", "/nonexistent/plot", 1);
    const Result none = batch({"-o", "none", "--formats", "d1d,plot", "spheres.par", "t.csv"}, ex.dir.path());
    ::unsetenv("PELKARO_PLOT");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("--formats plot needs the plotting program"), std::string::npos) << none.err;
}

#ifdef PELKARO_NXCANSAS_EXE
// A byte that differs as part of a time: in a time written as text
// (2026-12-08T01:33:33), or in a 32-bit time in seconds (the HDF5 objects'
// modification times), a few seconds apart.
bool iso_time_at(const std::string& s, std::size_t from) {
    static constexpr char kForm[] = "dddd-dd-ddTdd:dd:dd";
    if (from + sizeof kForm - 1 > s.size()) return false;
    for (std::size_t k = 0; k + 1 < sizeof kForm; ++k) {
        const char c = s[from + k];
        if (kForm[k] == 'd' ? !(c >= '0' && c <= '9') : c != kForm[k]) return false;
    }
    return true;
}

bool time_byte(const std::string& a, const std::string& b, std::size_t at) {
    for (std::size_t from = at >= 18 ? at - 18 : 0; from <= at; ++from)
        if (iso_time_at(a, from) && iso_time_at(b, from)) return true;
    const auto word = [](const std::string& s, std::size_t from) {
        uint32_t v = 0;
        for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<uint8_t>(s[from + static_cast<std::size_t>(k)]);
        return v;
    };
    for (std::size_t from = at >= 3 ? at - 3 : 0; from <= at && from + 4 <= a.size(); ++from) {
        const uint32_t x = word(a, from), y = word(b, from);
        if (x > 1500000000u && y > 1500000000u && (x > y ? x - y : y - x) <= 10) return true;
    }
    return false;
}

// The .h5 of a row holds what pelkaro-nxcansas's on the row's parameter
// file holds; only the times of writing may differ.  The first file a
// thread writes is written afresh, byte for byte pelkaro-nxcansas's but
// for those times; the thread's next files are made from one of the
// last three it wrote afresh (the first whose layout fits).  One thread: the first row makes the series' fixed parts, the
// others (another sample and transmission, a longer title, two samples)
// are reduced with them, the bin sums by the plan.
TEST(Program, NxcansasFileIsThatOfPelkaroNxcansas) {
    Example ex;
    std::string more;
    for (int k = 0; k < 16; ++k)
        more += "r" + std::to_string(k) + (k % 2 ? ",data/frame.dat" : ",sphere_sample.dat") + ",1500,1500000,0.1,0." +
                std::to_string(5 + k) + ",\n";
    ex.table(std::string(kRows) + "again,sphere_sample.dat,1500,1500000,0.1,0.899425,a longer title than any\n"
                                  "fourth,sphere_sample.dat,1500,1500000,0.1,0.5,\n" + more);
    ASSERT_EQ(batch({"-j", "1", "-o", "out", "--formats", "h5", "spheres.par", "t.csv"}, ex.dir.path()).status, 0);
    ASSERT_EQ(batch({"-j", "2", "-o", "out2", "--formats", "h5", "spheres.par", "t.csv"}, ex.dir.path()).status, 0);
    ::mkdir((ex.dir / "ref").c_str(), 0777);
    // r2 and r3 name samples of two name lengths in turn: each is made from
    // the kept file of its own layout.
    for (const std::string row : {"thin", "thick", "summed", "again", "fourth", "r2", "r3"}) {
        std::vector<std::string> args{"-o", "ref/" + row + ".h5", "out/" + row + ".par"};
        if (row == "thin") args.insert(args.begin(), {"--title", "Spheres"});
        if (row == "again") args.insert(args.begin(), {"--title", "a longer title than any"});
        const Result n = run_exe(PELKARO_NXCANSAS_EXE, args, ex.dir.path());
        ASSERT_EQ(n.status, 0) << n.err;
        EXPECT_EQ(pkt::h5_difference(ex.dir / ("out/" + row + ".h5"), ex.dir / ("ref/" + row + ".h5"),
                                     {"/@file_time", "/sasentry01/sasprocess/date"}),
                  "")
            << row;

        if (row != "thin") continue;
        const std::string a = ex.read("out/" + row + ".h5"), b = ex.read("ref/" + row + ".h5");
        ASSERT_EQ(a.size(), b.size()) << row;
        int timed = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] == b[i]) continue;
            ASSERT_TRUE(time_byte(a, b, i)) << row << ": byte " << i << " differs, not as a time";
            ++timed;
        }
        EXPECT_LT(timed, 200) << row;
    }
    // Two threads, each with its own kept file, one library: the parameter
    // file's name (out2/) is the only other difference.
    for (int k = 0; k < 16; ++k) {
        const std::string row = "r" + std::to_string(k) + ".h5";
        EXPECT_EQ(pkt::h5_difference(ex.dir / ("out2/" + row), ex.dir / ("out/" + row),
                                     {"/@file_time", "/sasentry01/sasprocess/date", "/sasentry01/sasnote/data",
                                      "/sasentry01/sasprocess/sasnote/description", "/sasentry01/sasprocess/term01"}),
                  "")
            << row;
    }
}
#endif

}  // namespace
