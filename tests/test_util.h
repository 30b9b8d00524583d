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

using namespace pk;  // the tests speak of the library's records unqualified

// The reference of the azimuthal average.
#include "literal_average.h"

namespace pkt {

// The packed loops the stages a test calls are to take: as the programs take
// them, from PELKARO_ISA ("sse2" holds the SSE2 loops to the same bits on a
// processor with AVX-512; .ci/run runs the tests once so).
inline Simd test_simd() { return pk::simd_named(std::getenv("PELKARO_ISA")); }

}  // namespace pkt

#endif
