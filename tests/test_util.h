// Shared helpers of the test programs: scratch directories, files, running
// the real Pelkaro executable with its console output captured, and a
// stage's success as an assertion.
#ifndef PELKARO_TEST_UTIL_H
#define PELKARO_TEST_UTIL_H

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pelkaro/status.h"

namespace pkt {

// The names in a directory, sorted; none when it cannot be listed.
inline std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A text as a field of a CSV file quotes it: its double quotes doubled.
inline std::string csv_field(const std::string& s) {
    std::string out;
    for (const char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out;
}

// A scratch directory, removed with everything in it at the end of its scope.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "pelkaro-test-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) std::abort();
        path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Outcome of one run of the executable.
struct RunResult {
    int status = -1;       // exit status as a shell sees it (0..255), or -1 if killed
    int signal = 0;        // terminating signal, 0 if it exited
    std::string out;       // everything on standard output
    std::string err;       // everything on standard error
};

struct RunOptions {
    long fsize_limit = -1;  // RLIMIT_FSIZE in bytes for the child, -1 = unchanged
    bool ignore_sigxfsz = false;
};

inline std::string slurp_fd(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

// Runs the program `exe` with the given arguments in directory `cwd`.
inline RunResult run_program(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd,
                             const RunOptions& opt = RunOptions{}) {
    RunResult r;
    char out_tmpl[] = "/tmp/pelkaro-out-XXXXXX";
    char err_tmpl[] = "/tmp/pelkaro-err-XXXXXX";
    int out_fd = ::mkstemp(out_tmpl);
    int err_fd = ::mkstemp(err_tmpl);
    ::unlink(out_tmpl);
    ::unlink(err_tmpl);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        if (opt.ignore_sigxfsz) ::signal(SIGXFSZ, SIG_IGN);
        if (opt.fsize_limit >= 0) {
            struct rlimit rl {};
            rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(opt.fsize_limit);
            ::setrlimit(RLIMIT_FSIZE, &rl);
        }
        std::vector<char*> argv;
        std::string program = exe;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    ::lseek(out_fd, 0, SEEK_SET);
    ::lseek(err_fd, 0, SEEK_SET);
    r.out = slurp_fd(out_fd);
    r.err = slurp_fd(err_fd);
    ::close(out_fd);
    ::close(err_fd);
    return r;
}

// Runs a program with its standard output on /dev/full, where every write
// fails (standard error is captured as usual).
inline RunResult run_to_full_disk(const std::string& exe, std::vector<std::string> args, const std::string& cwd) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" >/dev/full", exe});
    return run_program("/bin/sh", args, cwd);
}

// Runs Pelkaro with the given arguments in directory `cwd`.
inline RunResult run_pelkaro(const std::vector<std::string>& args, const std::string& cwd,
                             const RunOptions& opt = RunOptions{}) {
    return run_program(PELKARO_EXE, args, cwd, opt);
}

// Runs Pelkaro on one parameter file, in the directory that holds it.
inline RunResult run_param(const TempDir& dir, const std::string& param_name,
                           const RunOptions& opt = RunOptions{}) {
    return run_pelkaro({param_name}, dir.path(), opt);
}

// A stage that succeeded; a refusal shows its stage, code and words.
inline ::testing::AssertionResult succeeded(const pk::Status& st) {
    if (st.ok()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << pk::stage_name(st.stage) << "/" << pk::code_name(st.code) << ": "
                                         << st.text();
}

// Runs f with standard output sent to a scratch file; returns what it printed.
template <class F>
std::string capture(F&& f) {
    std::fflush(stdout);
    std::FILE* tmp = std::tmpfile();
    int saved = ::dup(1);
    ::dup2(::fileno(tmp), 1);
    f();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    std::string s(static_cast<std::size_t>(std::ftell(tmp)), '\0');
    std::rewind(tmp);
    s.resize(std::fread(s.data(), 1, s.size(), tmp));
    std::fclose(tmp);
    return s;
}

// A detector data file: optional header tags, then `values` as rows of 128.
inline std::string detector_file(const std::vector<long>& values, double time, double monitor) {
    std::string s;
    char line[128];
    std::snprintf(line, sizeof line, "<time>%.0f</time>\n<monitor>%.0f</monitor>\n", time, monitor);
    s += line;
    for (size_t i = 0; i < values.size(); ++i) {
        s += std::to_string(values[i]);
        s += ((i + 1) % 128 == 0 || i + 1 == values.size()) ? '\n' : '\t';
    }
    return s;
}

}  // namespace pkt

// The reference of the azimuthal average.
#include <cmath>
#include <cstdarg>

#include "pelkaro/Pelkaro.h"
#include "geometry.h"
#include "pelkaro/files.h"

using namespace pk;  // the tests speak of the library's records unqualified

namespace pkt {

// The refusal of the azimuthal average, worded as Pelkaro prints it.
inline Status average_refusal(Code code, int keyword, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
inline Status average_refusal(Code code, int keyword, const char* fmt, ...) {
    char reason[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(reason, sizeof reason, fmt, args);
    va_end(args);
    Status s;
    s.stage = Stage::average;
    s.code = code;
    s.keyword = keyword;
    s.reason = reason;
    s.detail = std::string("ave_data -> ") + reason + "\n";
    return s;
}

// The curve's bins as the average lays them out: their number in out.num,
// their width in `bin`, Q and its resolution, the sums cleared.  False when
// the curve cannot hold them.
inline bool literal_bins(const Param& p, Data1D& out, float& bin, float& max, double& quotient) {
    const double pi = 3.141592653589793;
    auto f = [](double v) { return pk::to_float(v); };
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    bin = f(p.px > p.py ? 1.0 * p.bin_width * py : 1.0 * p.bin_width * px);
    const double X = p.bx > 95.0f ? bx + 0.5 : 191.5 - bx, Y = p.by > 95.0f ? by + 0.5 : 191.5 - by;
    max = f(std::sqrt(X * X * px * px + Y * Y * py * py));
    quotient = 1.0 * max / bin;
    if (!(quotient >= 0 && quotient < kCurveValues)) return false;
    const int tot = static_cast<int>(quotient) + 1;
    bin = f(1.0 * max / tot);
    out.num = tot;
    const double L1 = p.src2sam, R1 = p.srcapp, R2 = p.samapp, k0 = 2 * pi / p.wavelen;
    for (int i = 0; i < tot; ++i) {
        const float theta = f(0.5 * std::atan(i * 1.0 * bin / p.sam2det));
        out.x[i] = f(std::sin(1.0 * theta) * 4 * pi / p.wavelen);
        out.y[i] = out.dy[i] = out.area[i] = 0;
        const float L2 = f(1.0 * p.sam2det * std::cos(1.0 * theta)), L = f(L1 * L2 / (L1 + L2));
        const double l2 = L2, l = L, rp = f((i + 0.5) * bin);
        const float t1 = f(6 * R1 * R1 / (L1 * L1)), t2 = f(6 * R2 * R2 / (l * l));
        const float t3 = f((px * px + py * py) / (l2 * l2)), t4 = f(rp * rp * p.dwavelen * p.dwavelen / (l2 * l2));
        out.dq[i] = f(std::sqrt(k0 * k0 / 12 * (1.0 * t1 + t2 + t3 + t4)));
    }
    return true;
}

// The sums of the curve's bins over every used sub-pixel within the sector,
// a star on the console every eight columns.
inline Status literal_sums(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, float max,
                           const Console& con) {
    const double pi = 3.141592653589793;
    auto f = [](double v) { return pk::to_float(v); };
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    const int tot = out.num;
    for (int i = 0; i < 128; ++i) {
        if (std::fmod(1.0 * i, 8.0) == 0) pk::say(con, "*");
        for (int j = 0; j < 128; ++j) {
            const int k = i + 128 * j;
            if (!(mask.intens[k] > 0.25f)) continue;
            for (int m = 0; m < 10; ++m)
                for (int n = 0; n < 10; ++n) {
                    const float x = f(i + (m + 0.5) * 0.1), y = f(j + (n + 0.5) * 0.1);
                    const double dx = x - bx, dy = y - by;
                    const float r = f(std::sqrt(dx * dx * px * px + dy * dy * py * py));
                    const double where = tot * 1.0 * r / max;
                    if (!(where >= 0 && where < tot))
                        return average_refusal(Code::not_finite, -1,
                                               "pixel (%d, %d) lies beyond the averaging radius; "
                                               "the curve cannot be averaged", i, j);
                    const int idx = static_cast<int>(where);
                    const float tx = f(dx), ty = f(dy);
                    float az;
                    if (tx == 0) {
                        az = ty >= 0 ? static_cast<float>(pi / 2) : static_cast<float>(3 * pi / 2);
                    } else {
                        az = f(std::atan(1.0 * ty / tx));
                        if (tx < 0) az = f(az + pi);
                        if (az < 0) az = f(az + 2 * pi);
                    }
                    if (!(p.thmin <= az && az <= p.thmax)) continue;
                    out.y[idx] = f(out.y[idx] + in.intens[k] * 0.01);
                    out.dy[idx] = f(out.dy[idx] + in.uncert[k] * 0.01 * in.uncert[k]);
                    out.area[idx] = f(out.area[idx] + 0.01);
                }
        }
    }
    pk::say(con, "\n");
    return Status{};
}

// The azimuthal average worked out plainly, formula by formula, one
// sub-pixel at a time, printing on `con` what ave_data prints and refusing
// what it refuses in the same words; the yardstick of the averaging tests.
// `out`'s arrays must hold kCurveValues values.
inline Status literal_average(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask,
                              const Console& con = Console{nullptr, nullptr}) {
    auto f = [](double v) { return pk::to_float(v); };
    float bin = 0, max = 0;
    double quotient = 0;
    if (!literal_bins(p, out, bin, max, quotient))
        return average_refusal(Code::too_many_bins, BINS,
                               "the bin width and geometry ask for %g bins, more than the %d the curve holds; "
                               "the curve cannot be averaged", quotient, kCurveValues);
    const Status summed = literal_sums(p, in, out, mask, max, con);
    if (!summed.ok()) return summed;
    const int tot = out.num;
    for (int i = 0; i < tot; ++i) {
        out.y[i] = f(1.0 * out.y[i] / out.area[i]);
        out.dy[i] = out.area[i] != 0 ? f(std::sqrt(1.0 * out.dy[i]) / out.area[i]) : f(std::sqrt(1.0 * out.dy[i]));
    }
    for (int i = 0; i < tot; ++i) {
        if (out.area[i] == 0) continue;
        if (!std::isfinite(out.x[i]) || !std::isfinite(out.y[i]) || !std::isfinite(out.dy[i]) ||
            !std::isfinite(out.dq[i]))
            return average_refusal(Code::not_finite, -1,
                                   "bin %d would hold a value that is not finite (Q %f, I %f, dI %f, dQ %f); "
                                   "the curve cannot be averaged", i, 1.0 * out.x[i], 1.0 * out.y[i],
                                   1.0 * out.dy[i], 1.0 * out.dq[i]);
    }
    return Status{};
}

}  // namespace pkt

#endif
