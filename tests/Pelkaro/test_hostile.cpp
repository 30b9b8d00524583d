// Hostile input through the real executable: malformed, absurd, oversized and
// unreadable parameter files, data files and mask files, and outputs that
// cannot be written.  Every case states its outcome (a clear failure with its
// message, or a success with its output files), and every run obeys the same
// rules: exit status 0 or 255 and no signal, nothing on standard error, input
// files never changed, each output file either untouched or complete and
// holding only finite numbers, and nothing else left behind (no temporary).
#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <sstream>

#include "app.h"
#include "pelkaro/files.h"
#include "sub_data.h"
#include "test_util.h"

using namespace pkt;
namespace fs = std::filesystem;

namespace {

std::string image(double base, double peak) {  // a 128 x 128 detector image without tags
    std::string s;
    for (int k = 0; k < 16384; ++k) {
        double r2 = std::pow(k % 128 - 64, 2) + std::pow(k / 128 - 60, 2);
        s += std::to_string(static_cast<long>(base + peak * std::exp(-r2 / 50))) + (k % 128 == 127 ? "\n" : "\t");
    }
    return s;
}
const std::string& sample() {
    static const std::string s = image(20, 1000);
    return s;
}
std::string lines(int n, const std::string& line) {
    std::string s;
    while (n-- > 0) s += line;
    return s;
}
std::string mask_file() {  // excludes the low edges
    std::string s = "# mask\n";
    for (int k = 0; k < 16384; ++k) s += (k % 128 < 3 || k / 128 < 3) ? "0\n" : "1\n";
    return s;
}
std::string binary(std::size_t n) {  // bytes of every value, NUL for a line feed
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((i * 7919 + 13) % 256 == '\n' ? 0 : (i * 7919 + 13) % 256);
    return s;
}
const std::string kBase =
    "MODE 0\nCNTR 64 60\nPXSP 5 5\nSM2D 4000\nSMRP 8000 20 10\nWAVE 6 0.1\nDATS s.dat 600 1000000 0.1 0.8\n"
    "DATB b.dat 600 1000000 0.1 0.9\nDATD d.dat 600 1000000\nSENS 0 sens.dat\nMASK m.msk 1 1\nABSF 1\n"
    "AVGM 2\nANGS 0 360\nBINS 1\n";
const char* const kDone = "Data reduction completed normally\n";
const char* const kOld = "an earlier output\n";
const std::vector<std::string> kBoth = {"s.d2d", "s.d1d"};

// The base parameter file with keyword lines replaced ("" drops the line),
// "+" appended, or "=" the whole text.
using Lines = std::map<std::string, std::string>;
std::string param(const Lines& with) {
    if (with.count("=")) return with.at("=");
    std::string out;
    for (std::size_t pos = 0, end; pos < kBase.size(); pos = end + 1) {
        end = kBase.find('\n', pos);
        auto it = with.find(kBase.substr(pos, 4));
        out += it == with.end() ? kBase.substr(pos, end - pos + 1) : it->second.empty() ? "" : it->second + "\n";
    }
    return out + (with.count("+") ? with.at("+") : "");
}

using Files = std::vector<std::pair<std::string, std::string>>;
struct Case {
    Case(std::string w, Lines l, Files f, int st, std::string e, std::vector<std::string> o = {}, long fs = -1)
        : what(std::move(w)), lines(std::move(l)), files(std::move(f)), status(st), expect(std::move(e)),
          outputs(std::move(o)), fsize(fs) {}
    std::string what;
    Lines lines;                       // parameter file changes
    Files files;                       // content, or "<dir>", "<fifo>"
    int status;
    std::string expect;                // the console must show this
                                       // (files "<dir>", "<fifo>", "<65 MiB>": a sparse file of zeros)
    std::vector<std::string> outputs;  // written complete and new; every other output untouched
    long fsize;                        // RLIMIT_FSIZE of the run
    std::string lock = {};             // made unreadable ("." makes the directory read-only)
};

// Runs the executable in `cwd` (as user `as` unless 0), with an alarm
// against hangs.
RunResult run(const std::string& cwd, const std::string& arg, long fsize, uid_t as) {
    RunResult r;
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::fileno(out), 1), ::dup2(::fileno(err), 2);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        struct rlimit rl {static_cast<rlim_t>(fsize), static_cast<rlim_t>(fsize)};
        if (fsize >= 0) ::setrlimit(RLIMIT_FSIZE, &rl);
        if (as != 0 && (::setgid(as) != 0 || ::setuid(as) != 0)) ::_exit(125);
        ::alarm(300);
        ::execl(PELKARO_EXE, "Pelkaro", arg.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    r.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
    for (auto [f, s] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
        std::fflush(f), ::lseek(::fileno(f), 0, SEEK_SET);
        *s = slurp_fd(::fileno(f));
        std::fclose(f);
    }
    return r;
}

using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::string& dir) {  // every readable file below `dir`
    Snapshot s;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && (e.status().permissions() & fs::perms::owner_read) != fs::perms::none)
            s[e.path().string()] = read_file(e.path().string());
    return s;
}

bool finite_row(const std::string& line, int n, bool trailing_tab) {
    const char* s = line.c_str();
    for (int i = 0; i < n; ++i, ++s) {
        char* end = nullptr;
        double v = std::strtod(s, &end);
        if (end == s || !std::isfinite(v)) return false;
        s = end;
        if (i + 1 == n && !trailing_tab) return *s == '\0';
        if (*s != '\t') return false;
    }
    return *s == '\0';
}
// A complete output file holding only finite numbers: ".d1d" lines of four
// values; ".d2d" 128 rows, two empty lines and 128 rows after its header;
// "mask.d2d" 128 rows after two header lines.
bool complete(const std::string& path, const std::string& text) {
    std::vector<std::string> ln;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) ln.push_back(l);
    if (text.empty() || text.back() != '\n') return false;
    if (path.substr(path.size() - 4) == ".d1d")
        return std::all_of(ln.begin(), ln.end(), [](auto& l) { return finite_row(l, 4, false); });
    bool mask = text.rfind("# mask file created from beam center", 0) == 0 && ln.size() == 130;
    std::size_t rows = mask ? 128 : 258;
    if (ln.size() <= rows || ln[ln.size() - rows - 1].find("# detector appears as if looking") == std::string::npos)
        return false;
    for (std::size_t i = ln.size() - rows, k = 0; i < ln.size(); ++i, ++k)
        if (mask || (k != 128 && k != 129) ? !finite_row(ln[i], 128, true) : !ln[i].empty()) return false;
    return true;
}

// With PELKARO_KEEP_CASES=DIR, keeps each case as set up, before its run, in
// DIR/<test>/<n>/ for scripts/compare_runs.sh: the files, the argument, and
// why it cannot be replayed from the files alone (a file size limit, a lock).
void keep_case(const std::string& dir, const Case& c, uid_t as, const std::string& arg) {
    const char* keep = std::getenv("PELKARO_KEEP_CASES");
    if (!keep) return;
    const fs::path top = fs::path(keep) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(top);
    fs::path to = top / "1";
    for (int n = 2; !fs::create_directory(to); ++n) to = top / std::to_string(n);
    fs::create_directory(to / "files");
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const fs::path copy = to / "files" / fs::relative(e.path(), dir);
        if (e.is_directory()) fs::create_directory(copy);
        else if (e.is_fifo()) ::mkfifo(copy.c_str(), 0644);
        else fs::copy_file(e.path(), copy);
    }
    write_file((to / "what").string(), c.what + "\n");
    write_file((to / "args").string(), arg + "\n");
    if (c.fsize >= 0 || !c.lock.empty() || as != 0)
        write_file((to / "skip").string(), "needs a file size limit or an unreadable file\n");
}

// Sets up the base measurement with the case's changes in a scratch
// directory, runs it, checks the outcome and the rules of every run, and
// returns the outputs written, by name.
Snapshot check_case(const Case& c, uid_t as = 0, const std::string& arg = "p.in") {
    SCOPED_TRACE(c.what);
    TempDir dir;
    static const std::string buffer = image(10, 0), dark = image(1, 0), sens = image(100, 0), mask = mask_file();
    for (auto [name, text] : Snapshot{{"s.dat", sample()}, {"b.dat", buffer}, {"d.dat", dark}, {"sens.dat", sens},
                                      {"m.msk", mask}, {"s.d2d", kOld}, {"s.d1d", kOld}, {"mask.d2d", kOld},
                                      {"p.in", param(c.lines)}})
        write_file(dir / name, text);
    fs::create_directory(dir / "sub");
    for (const auto& [name, text] : c.files) {
        fs::remove(dir / name);
        if (text == "<dir>") fs::create_directory(dir / name);
        else if (text == "<65 MiB>") write_file(dir / name, ""), fs::resize_file(dir / name, 65 << 20);
        else if (text == "<fifo>") ::mkfifo((dir / name).c_str(), 0644);
        else write_file(dir / name, text);
    }
    if (as != 0) fs::permissions(dir.path(), fs::perms::all);
    const Snapshot before = snapshot(dir.path());
    keep_case(dir.path(), c, as, arg);
    if (c.lock == ".") fs::permissions(dir.path(), fs::perms::all & ~fs::perms::owner_write & ~fs::perms::group_write &
                                                       ~fs::perms::others_write);
    else if (!c.lock.empty()) fs::permissions(dir / c.lock, fs::perms::none);
    const RunResult r = run(dir.path(), arg, c.fsize, as);
    const std::string tail = r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(r.status == 0 || r.status == 255) << r.status;
    EXPECT_EQ(r.status, c.status) << tail;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << "missing: " << c.expect << "\nconsole:\n" << tail;
    Snapshot written;
    for (const auto& [path, text] : snapshot(dir.path())) {
        const std::string& p = path;  // (a structured binding cannot be captured in C++17)
        const auto o = std::find_if(c.outputs.begin(), c.outputs.end(), [&](auto& o) { return dir / o == p; });
        if (o != c.outputs.end()) written[*o] = text;
        if (o != c.outputs.end()) EXPECT_TRUE(complete(path, text) && text != kOld) << path << " is not complete";
        else if (!before.count(path)) ADD_FAILURE() << "left behind: " << path;  // a temporary file, say
        else if (before.at(path) != text) ADD_FAILURE() << "changed: " << path;
    }
    for (const auto& o : c.outputs) EXPECT_TRUE(written.count(o)) << "not written: " << o;
    return written;
}

}  // namespace

TEST(Hostile, ParameterFileSyntax) {
    const std::string pieces = "count_parse -> bad number of sample or buffer files (must be > 0)\n";
    const std::string x(100000, 'x');
    for (const Case& c : std::vector<Case>{
             {"empty", {{"=", ""}}, {}, 255, pieces},
             {"binary", {{"=", binary(5000)}}, {}, 255, pieces},
             {"binary lines between keywords", {{"+", binary(3000) + "\n\x01\xff\xfe\n"}}, {}, 0, kDone, kBoth},
             {"comment of 100000 characters", {{"+", "#" + x + "\n"}}, {}, 0, kDone, kBoth},
             {"100000 blanks after the numbers", {{"DATS", "DATS s.dat 600 1000000 0.1 0.8" + std::string(100000, ' ')}},
              {}, 0, kDone, kBoth},
             {"SENS line of 100000 characters", {{"SENS", "SENS 0 " + x}}, {}, 255, "parse_in -> the SENS line is too long"},
             {"number cut by the piece limit", {{"ABSF", "ABSF 1." + std::string(600, '0')}}, {}, 255,
              "parse_in -> the ABSF line is too long"},
             {"name of 1000 characters", {{"DATS", "DATS " + std::string(1000, 'n') + " 600 1 1 1"}}, {}, 255,
              "parse_in -> the DATS line is too long"},
             {"NUL inside a DATS line", {{"DATS", std::string("DATS s.dat\0 600 1000000 0.1 0.8", 31)}}, {}, 255,
              "There is no sample time specified...exiting program\n"},
             {"NUL in a comment", {{"+", std::string("# \0\0\0 DATS\n", 12)}}, {}, 0, kDone, kBoth},
             {"DATS line without its last number", {{"DATS", "DATS s.dat 600 1000000 0.1"}}, {}, 255,
              "parse_in -> missing or invalid number on the DATS line\n"},
             {"truncated in the middle of a line", {{"=", kBase.substr(0, kBase.find("DATB") + 14)}}, {}, 255,
              "parse_in -> missing or invalid number on the DATB line\n"},
             {"no WAVE line", {{"WAVE", ""}}, {}, 255, "Pelkaro:  the parameter file has no WAVE line"},
         })
        check_case(c);
}

// Every numeric field of every keyword: non-finite or out-of-range numbers are
// refused with the keyword's own message (file lines: the parser's
// diagnostic) before anything is read; -1 is refused by the parser (R) or
// the reduction (S), or reduced (A), field by field.
TEST(Hostile, BadValuesInEveryField) {
    struct Line { std::string text, minus_one, message; };  // "%" a float, "#" an integer
    const std::vector<Line> lines = {
        {"MODE #", "R", "the reduction mode specified is undefined"},
        {"CNTR % %", "RR", "the specified beam center is not on the detector"},
        {"PXSP % %", "RR", "the specified pixel spacing is unphysical"},
        {"SM2D %", "R", "sample-to-detector distance is not physically realistic"},
        {"SMRP % % %", "RAA", "source-to-sample distance is not physically realistic"},
        {"WAVE % %", "RA", "the specified wavelength is unphysical"},
        {"DATS s.dat % % % %", "SSSS", "invalid number on the DATS line"},
        {"DATB b.dat % % % %", "SSAS", "invalid number on the DATB line"},
        {"DATD d.dat % %", "AA", "invalid number on the DATD line"},
        {"MASK m.msk % #", "AA", "invalid number on the MASK line"},
        {"ABSF %", "R", "absolute intensity scaling factor is not physical"},
        {"AVGM #", "R", "the averaging mode specified is undefined"},
        {"ANGS % %", "RR", "The azimuthal averagingn angles are improperly defined"},
        {"BINS %", "R", "the specified bin width (in pixels) is nonsense"}};
    for (const Line& l : lines) {
        std::size_t field = 0;
        for (std::size_t at = l.text.find_first_of("%#"); at != std::string::npos; at = l.text.find_first_of("%#", at + 1)) {
#ifdef PELKARO_SANITIZED  // each run costs a sanitized process start: the signs repeat the same checks
            std::vector<const char*> bad = {"nan", "2147483648", "-1"};
            if (l.text[at] == '%') bad = {"inf", "nan", "1e39", "-1"};
#else
            std::vector<const char*> bad = {"inf", "nan", "2147483648", "-2147483649", "-1"};
            if (l.text[at] == '%') bad = {"inf", "-inf", "nan", "1e39", "-1e39", "-1"};
#endif
            const char outcome = l.minus_one[field++];
            for (const std::string value : bad) {
                const std::string text =
                    std::regex_replace(l.text.substr(0, at) + value + l.text.substr(at + 1), std::regex("[%#]"), "1");
                if (value != "-1" || outcome == 'R') check_case({text, {{text.substr(0, 4), text}}, {}, 255, l.message});
                else if (outcome == 'S') check_case({text, {{text.substr(0, 4), text}}, {}, 255, "unable to reduce the data"});
                else check_case({text, {{text.substr(0, 4), text}}, {}, 0, kDone, kBoth});
            }
        }
    }
}

// Huge and tiny finite values: refused where they cannot give a
// finite result, reduced where they can.
TEST(Hostile, AbsurdFiniteValues) {
    const std::string sub = "Pelkaro:  unable to reduce the data\n", avg = "unable to perform the circular average";
    for (const Case& c : std::vector<Case>{
             {"pixel spacing 1e30", {{"PXSP", "PXSP 1e30 1e30"}}, {}, 255, "sub_data -> the reduced value of pixel"},
             {"pixel spacing 1e-30", {{"PXSP", "PXSP 1e-30 1e-30"}}, {}, 0, kDone, kBoth},
             {"distance 1e-30, solid angle", {{"SM2D", "SM2D 1e-30"}, {"SENS", "SENS 1 sens.dat"}}, {}, 255,
              "Pelkaro:  unable to perform jacobian correction on data file 0"},
             {"distance 1e-30", {{"SM2D", "SM2D 1e-30"}}, {}, 255, sub},
             {"distance 1e30", {{"SM2D", "SM2D 1e30"}}, {}, 0, kDone, kBoth},
             {"beam centre far off the detector", {{"CNTR", "CNTR 511 511"}}, {}, 0, kDone, kBoth},
             {"bins of 1e10 by 1e-10 pixels", {{"PXSP", "PXSP 1e10 1e-10"}, {"SM2D", "SM2D 1e30"}}, {}, 255, avg},
             {"one huge bin", {{"BINS", "BINS 1e30"}}, {}, 0, kDone, kBoth},
             {"wavelength 1e-30", {{"WAVE", "WAVE 1e-30 0.1"}}, {}, 0, kDone, kBoth},
             {"wavelength spread 1e30", {{"WAVE", "WAVE 6 1e30"}}, {}, 255, avg},
             {"apertures 1e30", {{"SMRP", "SMRP 8000 1e30 1e30"}}, {}, 255, avg},
             {"scale factor 1e-45", {{"ABSF", "ABSF 1e-45"}}, {}, 255, "sub_data -> the normalisation prefactor"},
             {"transmission 1e30", {{"DATS", "DATS s.dat 600 1000000 0.1 1e30"}}, {}, 255, sub},
             {"monitor 1e30: variance beyond floats", {{"DATS", "DATS s.dat 600 1e30 0.1 0.8"}}, {}, 255, sub},
             {"monitor 1e12", {{"DATS", "DATS s.dat 600 1e12 0.1 0.8"}}, {}, 0, kDone, kBoth},
             {"buffer transmission 0", {{"DATB", "DATB b.dat 600 1000000 0.1 0"}}, {}, 255, sub},
             {"dark time 1e-30", {{"DATD", "DATD d.dat 1e-30 1000000"}}, {}, 255, sub},
         })
        check_case(c);
}

TEST(Hostile, DataAndMaskFiles) {
    const std::string read0 = "Pelkaro:  unable to read the sample data file #0\n...Exiting program\n";
    const std::string rmask = "Pelkaro:  unable to read the mask data file\n";
    const std::string sens = "Pelkaro:  unable to normalize the sensitivity correction\n";
    const std::string grid = "# mask file created from beam center 64.000000 60.000000\n# detector appears\n" +
                             lines(128, lines(128, "1.00\t") + "\n");
    const std::string deep = std::string(200, 'a') + "/" + std::string(190, 'b');
    for (const Case& c : std::vector<Case>{
             {"too many values", {}, {{"s.dat", lines(36865, "1\n")}}, 255, "read_data -> s.dat holds more than 36864"},
             {"count beyond 32 bits", {}, {{"s.dat", "5\t99999999999\n"}}, 255, "beyond the 32-bit range"},
             {"time tag beyond 32 bits", {}, {{"s.dat", "<time>" + std::string(1000, '9') + "\n1\n"}}, 255, read0},
             {"time tag 0", {}, {{"s.dat", "<time>0</time>\n1\n"}}, 255, "counting time of sample data file #0 is 0"},
             {"largest counts everywhere", {}, {{"s.dat", lines(16384, "2147483647\n")}}, 0, kDone, kBoth},
             {"binary data file", {}, {{"s.dat", binary(20000)}}, 255,
              "Pelkaro:  the sample data file #0 (s.dat) holds no detector values; it cannot be used\n"},
             {"empty sample", {}, {{"s.dat", ""}}, 255, "the sample data file #0 (s.dat) holds no detector values"},
             {"empty buffer", {}, {{"b.dat", "<time>10</time>\n"}}, 255,
              "the buffer data file #0 (b.dat) holds no detector values"},
             {"empty dark current", {}, {{"d.dat", "\n\n"}}, 255,
              "Pelkaro:  the dark current data file (d.dat) holds no detector values; it cannot be used\n"},
             {"empty sensitivity", {}, {{"sens.dat", ""}}, 255, sens},
             {"one huge sensitivity pixel", {}, {{"sens.dat", lines(8256, "1\n") + "2147483647\n" + lines(8127, "1\n")}},
              255, sens},
             {"every pixel excluded", {}, {{"m.msk", lines(16384, "0\n")}}, 255, sens},
             {"too many mask lines", {}, {{"m.msk", lines(36865, "1\n")}}, 255, rmask},
             {"mask value beyond 32 bits", {}, {{"m.msk", "1\n-99999999999\n"}}, 255, rmask},
             {"generated mask read back", {}, {{"m.msk", grid}}, 0, kDone, kBoth},
             {"generated mask truncated", {}, {{"m.msk", grid.substr(0, grid.size() / 2)}}, 255, "not a 128 x 128 grid"},
             {"path of 400 characters", {{"DATS", "DATS " + deep + "/s.dat 600 1000000 0.1 0.8"}},
              {{deep.substr(0, 200), "<dir>"}, {deep, "<dir>"}, {deep + "/s.dat", sample()}}, 0, kDone,
              {deep + "/s.d2d", deep + "/s.d1d"}},
             {"output name of 254 characters", {{"DATS", "DATS " + std::string(250, 'n') + " 600 1000000 0.1 0.8"}},
              {{std::string(250, 'n'), sample()}}, 0, kDone, {std::string(250, 'n') + ".d2d", std::string(250, 'n') + ".d1d"}},
         })
        check_case(c);
}

// Mended inputs that succeed give exactly the output of their plain twin:
// CRLF files, a short data file ending inside a number without its line feed
// (the rest of the detector counts 0), a sample name without a dot.
TEST(Hostile, MendedInputsGiveThePlainOutput) {
    auto crlf = [](const std::string& s) { return std::regex_replace(s, std::regex("\n"), "\r\n"); };
    const auto plain = check_case({"plain", {}, {}, 0, kDone, kBoth});
    EXPECT_EQ(check_case({"CRLF everywhere", {{"=", crlf(kBase)}},
                          {{"s.dat", crlf(sample())}, {"b.dat", crlf(image(10, 0))}, {"m.msk", crlf(mask_file())}},
                          0, kDone, kBoth}),
              plain);
    std::size_t cut = 30000;
    while (!std::isdigit(sample()[cut - 1]) || !std::isdigit(sample()[cut])) ++cut;
    const std::string half = sample().substr(0, cut);
    const auto values = 1 + std::count_if(half.begin(), half.end(), [](char c) { return c == '\t' || c == '\n'; });
    EXPECT_EQ(check_case({"short data file", {}, {{"s.dat", half}}, 0, kDone, kBoth}),
              check_case({"padded twin", {}, {{"s.dat", half + "\n" + lines(16384 - values, "0\n")}}, 0, kDone, kBoth}));
    // Byte-order marks at the start of the parameter, data and mask files.
    const std::string bom = "\xEF\xBB\xBF";
    EXPECT_EQ(check_case({"byte-order marks", {{"=", bom + kBase}},
                          {{"s.dat", bom + sample()}, {"m.msk", bom + mask_file().substr(7)}}, 0, kDone, kBoth}),
              plain);
    auto named = check_case({"sample name without a dot", {{"DATS", "DATS sample 600 1000000 0.1 0.8"}},
                             {{"sample", sample()}}, 0, kDone, {"sample.d2d", "sample.d1d"}});
    EXPECT_EQ(named["sample.d1d"], plain.at("s.d1d"));
}

// Directories, FIFOs and devices named as inputs count as missing files and
// never block; outputs that cannot be written leave the earlier files alone.
TEST(Hostile, FilesThatAreNotFilesAndOutputsThatCannotBeWritten) {
    const Lines mode1 = {{"MODE", "MODE 1"}};
    for (const Case& c : std::vector<Case>{
             {"sample is a directory", {{"DATS", "DATS sub 600 1 1 1"}}, {}, 255, "The data file sub does not exist\n"},
             {"sample is a FIFO", {}, {{"s.dat", "<fifo>"}}, 255, "The data file s.dat does not exist\n"},
             {"sample is a device", {{"DATS", "DATS /dev/zero 600 1 1 1"}}, {}, 255, "/dev/zero does not exist"},
             {"sensitivity is a directory", {{"SENS", "SENS 0 sub"}}, {}, 255, "The sensitivity file sub does not exist"},
             {"mask is a FIFO", {}, {{"m.msk", "<fifo>"}}, 255, "The mask file m.msk does not exist"},
             {"2D output is a directory", {}, {{"s.d2d", "<dir>"}}, 255,
              "file_out:write_2D -> could not open the output file s.d2d for writing\n"},
             {"1D output is a directory", {}, {{"s.d1d", "<dir>"}}, 255,
              "file_out:write_1D -> could not open the output file s.d1d for writing\n", {"s.d2d"}},
             {"full disk", {}, {}, 255, "file_out:write_2D -> could not write the output file s.d2d\n", {}, 4096},
             {"mask run, full disk", mode1, {}, 255, "could not write the output file mask.d2d", {}, 4096},
             {"mask run, mask.d2d is a directory", mode1, {{"mask.d2d", "<dir>"}}, 255,
              "file_out:write_mask -> could not open the output file\n"},
             {"mask run", mode1, {}, 0, "Mask file generation completed normally\n", {"mask.d2d"}},
             {"beam-centre run", {{"MODE", "MODE 2"}}, {{"s.dat", image(0, 1000)}}, 0, "X = 60.000000, Y = 64.000000\n"},
             {"beam-centre run on an empty image", {{"MODE", "MODE 2"}}, {{"s.dat", ""}}, 255, "beam_center -> "},
             {"dark current read without end", {{"DATD", "DATD /proc/self/pagemap 600 1000000"}}, {}, 255,
              "read_data -> /proc/self/pagemap holds more than 64 MiB, the most an input file may hold\n"},
             {"huge sample file", {}, {{"s.dat", "<65 MiB>"}}, 255, "read_data -> s.dat holds more than 64 MiB"},
             {"huge mask file", {}, {{"m.msk", "<65 MiB>"}}, 255,
              "read_saxs -> the mask file m.msk holds more than 64 MiB, the most an input file may hold\n"},
             {"huge parameter file", {{"=", ""}}, {{"p.in", "<65 MiB>"}}, 255,
              "count_parse -> the file p.in holds more than 64 MiB, the most an input file may hold\n"},
         })
        check_case(c);
    for (const char* arg : {"sub", "fifo", "/dev/zero", "missing"})
        check_case({std::string("parameter file ") + arg, {}, {{"fifo", "<fifo>"}}, 255,
                    std::string("count_parse -> could not open the file ") + arg},
                   0, arg);
}

// Permissions bind only an unprivileged user: when the tests run as root the
// executable runs as "nobody" in a directory open to it.
TEST(Hostile, UnreadableInputsAndReadOnlyDirectory) {
    uid_t nobody = 0;
    if (::geteuid() == 0) {
        nobody = 65534;
        pid_t pid = ::fork();
        if (pid == 0) ::_exit(::setgid(nobody) == 0 && ::setuid(nobody) == 0 && ::access(PELKARO_EXE, X_OK) == 0 ? 0 : 1);
        int ws = 0;
        ::waitpid(pid, &ws, 0);
        if (!WIFEXITED(ws) || WEXITSTATUS(ws) != 0) GTEST_SKIP() << "the executable cannot run as an unprivileged user";
    }
    const std::string exists = " does not exist\n";
    for (auto [lock, message] : std::vector<std::pair<std::string, std::string>>{
             {"p.in", "count_parse -> could not open the file p.in\n"}, {"s.dat", "The data file s.dat" + exists},
             {"sens.dat", "The sensitivity file sens.dat" + exists}, {"m.msk", "The mask file m.msk" + exists},
             {".", "file_out:write_2D -> could not open the output file s.d2d"}}) {
        Case c{"unreadable " + lock, {}, {}, 255, message};
        c.lock = lock;
        check_case(c, nobody);
    }
}

namespace {

// A run of the executable started in the background, with the child's
// setup (descriptors, limits) done by `prepare` before the exec.
template <class Prepare>
pid_t start(const std::string& cwd, Prepare prepare) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0), ::dup2(devnull, 1), ::dup2(devnull, 2);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        prepare();
        ::alarm(300);
        ::execl(PELKARO_EXE, "Pelkaro", "p.in", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

int wait_status(pid_t pid) {
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 1000 + (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
}

// The base measurement in a scratch directory.
void base_files(const TempDir& dir) {
    for (auto [name, text] : Snapshot{{"s.dat", sample()}, {"b.dat", image(10, 0)}, {"d.dat", image(1, 0)},
                                      {"sens.dat", image(100, 0)}, {"m.msk", mask_file()}, {"p.in", kBase}})
        write_file(dir / name, text);
}

bool leftovers(const TempDir& dir) {
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().find(".tmp") != std::string::npos) return true;
    return false;
}

}  // namespace

// A run killed while it writes an output file leaves no temporary file
// and still dies of the signal, so that the caller sees it: a new output
// has no name until it is complete; one that replaces an earlier file is
// written under a temporary name, which the run removes, and the earlier
// file stays as it was.
TEST(Hostile, KilledWhileWritingLeavesNoTemporaryFile) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, -SIGTERM, -SIGINT}) {
        const bool replaces = sig > 0;
        sig = std::abs(sig);
        TempDir dir;
        if (replaces) write_file(dir / "s.d2d", "the earlier image\n");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            struct rlimit none {0, 0};
            ::setrlimit(RLIMIT_CORE, &none);
            if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
            // A signal ignored by whatever runs the test (nohup, a shell's
            // background job) stays ignored by the program: not ignored here.
            ::signal(sig, SIG_DFL);
            pk::init_process();
            pk::AtomicFile out;
            if (!pk::atomic_open("s.d2d", out) || std::fputs("half an image\n", out.f) < 0) ::_exit(125);
            std::fflush(out.f);
            if (::write(ready[1], "r", 1) != 1) ::_exit(124);
            for (;;) ::pause();
        }
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        EXPECT_EQ(leftovers(dir), replaces) << "signal " << sig;
        EXPECT_EQ(file_exists(dir / "s.d2d"), replaces) << "signal " << sig;
        ::kill(pid, sig);
        EXPECT_EQ(wait_status(pid), 1000 + sig);
        EXPECT_FALSE(leftovers(dir)) << "signal " << sig;
        if (replaces)
            EXPECT_EQ(read_file(dir / "s.d2d"), "the earlier image\n") << "signal " << sig;
        else
            EXPECT_FALSE(file_exists(dir / "s.d2d")) << "signal " << sig;
        ::close(ready[0]), ::close(ready[1]);
    }
}

// A console reader that goes away, or no console at all, does not stop or
// change the reduction.
TEST(Hostile, ConsoleGoneOrClosed) {
    TempDir plain, piped, closed;
    for (const TempDir* d : {&plain, &piped, &closed}) base_files(*d);
    EXPECT_EQ(wait_status(start(plain.path(), [] {})), 0);
    EXPECT_EQ(wait_status(start(piped.path(), [] {
                  int p[2];
                  if (::pipe(p) == 0) ::close(p[0]), ::dup2(p[1], 1);
              })),
              0);
    EXPECT_EQ(wait_status(start(closed.path(), [] { ::close(0), ::close(1), ::close(2); })), 0);
    for (const char* out : {"s.d2d", "s.d1d"}) {
        const std::string want = read_file(plain / out);
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(read_file(piped / out), want) << out;
        EXPECT_EQ(read_file(closed / out), want) << out;
    }
}

// Two runs whose outputs collide write one after the other: a run waits for
// the lock on its output directory.  The parameter file is read once: edited
// or moved while the run waits, it changes nothing.
TEST(Hostile, OutputLockAndParameterFileReadOnce) {
    TempDir dir;
    base_files(dir);
    const int held = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const pid_t pid = start(dir.path(), [] {});
    for (int i = 0; i < 200 && !file_exists(dir / "p.in.seen"); ++i) {
        ::usleep(20000);
        if (i == 40) {  // by now the run waits for the lock
            write_file(dir / "p.in.seen", "");
            fs::rename(dir / "p.in", dir / "moved.in");
            write_file(dir / "p.in", "ABSF 99999\n");
        }
    }
    int ws = 0;
    EXPECT_EQ(::waitpid(pid, &ws, WNOHANG), 0) << "the run did not wait for the lock";
    EXPECT_FALSE(file_exists(dir / "s.d2d"));
    ::close(held);
    EXPECT_EQ(wait_status(pid), 0);
    const std::string image = read_file(dir / "s.d2d");
    EXPECT_EQ(image.rfind("# MODE 0\n# CNTR 64 60\n", 0), 0u);
    EXPECT_NE(image.find("# ABSF 1\n"), std::string::npos);
    EXPECT_EQ(image.find("99999"), std::string::npos);
}

// Memory running out ends the run with the driver's message and status 255,
// never an abort.
TEST(Hostile, MemoryExhaustionEndsWithAMessage) {
#ifdef PELKARO_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    TempDir dir;
    base_files(dir);
    const std::string line = "DATS " + std::string(200, 's') + " 600 1000000 0.1 0.8\n";
    write_file(dir / "p.in", "MODE 1\n" + lines(60000000 / static_cast<int>(line.size()), line) + kBase);
    FILE* out = std::tmpfile();
    const pid_t pid = start(dir.path(), [&] {
        ::dup2(::fileno(out), 1);
        struct rlimit as {80000 * 1024, 80000 * 1024};
        ::setrlimit(RLIMIT_AS, &as);
    });
    EXPECT_EQ(wait_status(pid), 255);
    ::lseek(::fileno(out), 0, SEEK_SET);
    const std::string console = slurp_fd(::fileno(out));
    std::fclose(out);
    const std::size_t last = console.rfind("Pelkaro:  ");
    ASSERT_NE(last, std::string::npos) << console.substr(0, 2000);
    EXPECT_EQ(console.back(), '\n');
}
