// The inputs of a join as pelkaro-merge and the Python module take them: the
// rules their names follow among themselves, and their curves read each in
// a process of its own (the HDF5 library can crash or loop on a damaged
// file, which must not take the caller with it) and handed over through a
// pipe.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pelkaro/files.h"
#include "pelkaro/merge.h"
#include "pelkaro/nxcansas.h"

namespace pk {

namespace {

bool same(const std::string& a, const std::string& b) { return a == b || same_file(a, b); }

}  // namespace

bool check_merge_inputs(const std::vector<std::string>& in, std::string& why) {
    if (in.size() < 2) return why = "at least two input files are needed", false;
    for (std::size_t a = 0; a < in.size(); ++a)
        for (std::size_t b = a + 1; b < in.size(); ++b)
            if (!in[a].empty() && !in[b].empty() && same(in[a], in[b]))
                return why = "'" + in[b] + "' is given twice (as '" + in[a] + "')", false;
    return true;
}

std::string merged_output(const std::string& first) {
    const std::size_t slash = first.rfind('/');
    return (slash == std::string::npos ? "" : first.substr(0, slash + 1)) + stem_of(first) + "_merged.h5";
}

bool output_not_input(const std::vector<std::string>& in, const std::string& out, std::string& why) {
    for (const std::string& f : in)
        if (!f.empty() && same(f, out)) return why = "the output '" + out + "' is an input file", false;
    return true;
}

bool reference_index(const std::vector<std::string>& in, const std::string& reference, int& index,
                     std::string& why) {
    for (std::size_t k = 0; k < in.size(); ++k)
        if (!in[k].empty() && same(in[k], reference)) return index = static_cast<int>(k), true;
    return why = "the reference '" + reference + "' is not among the input files", false;
}

namespace {

constexpr unsigned kReadSeconds = 120;
[[maybe_unused]] constexpr rlim_t kReadMemory = rlim_t{4} << 30;  // bytes

void put(std::string& buf, const void* p, std::size_t n) {
    if (n > 0) buf.append(static_cast<const char*>(p), n);
}

void put_text(std::string& buf, const std::string& s) {
    const std::uint64_t n = s.size();
    put(buf, &n, sizeof n);
    buf += s;
}

void put_values(std::string& buf, const std::vector<double>& v) {
    const std::uint64_t n = v.size();
    put(buf, &n, sizeof n);
    put(buf, v.data(), v.size() * sizeof(double));
}

// Reads what put_* wrote; false when the bytes run out.
class Taker {
public:
    explicit Taker(const std::string& b) : b_(b) {}
    bool take(void* p, std::size_t n) {
        if (n == 0) return true;  // an empty array has no storage to copy into
        if (n > b_.size() - at_) return false;
        std::memcpy(p, b_.data() + at_, n);
        at_ += n;
        return true;
    }
    bool text(std::string& s) {
        std::uint64_t n = 0;
        if (!take(&n, sizeof n) || n > b_.size() - at_) return false;
        s.assign(b_, at_, static_cast<std::size_t>(n));
        at_ += static_cast<std::size_t>(n);
        return true;
    }
    bool values(std::vector<double>& v) {
        std::uint64_t n = 0;
        if (!take(&n, sizeof n) || n > (b_.size() - at_) / sizeof(double)) return false;
        v.resize(static_cast<std::size_t>(n));
        return take(v.data(), v.size() * sizeof(double));
    }

private:
    const std::string& b_;
    std::size_t at_ = 0;
};

std::string encode(bool ok, const MergeCurve& c, const std::string& why) {
    std::string buf(1, ok ? '1' : '0');
    if (!ok) return put_text(buf, why), buf;
    for (const std::vector<double>* v : {&c.q, &c.i, &c.idev, &c.qdev}) put_values(buf, *v);
    put_text(buf, c.intensity_unit);
    put(buf, &c.distance_mm, sizeof c.distance_mm);
    put(buf, &c.wavelength, sizeof c.wavelength);
    return buf;
}

bool decode(const std::string& buf, MergeCurve& c, std::string& why) {
    Taker t(buf);
    char ok = 0;
    if (!t.take(&ok, 1)) return why = "reading the file failed", false;
    if (ok != '1') return t.text(why) ? false : (why = "reading the file failed", false);
    if (!t.values(c.q) || !t.values(c.i) || !t.values(c.idev) || !t.values(c.qdev) || !t.text(c.intensity_unit) ||
        !t.take(&c.distance_mm, sizeof c.distance_mm) || !t.take(&c.wavelength, sizeof c.wavelength))
        return why = "reading the file failed", false;
    return true;
}

// AddressSanitizer's own mappings would be refused by a memory limit (GCC
// says so with __SANITIZE_ADDRESS__, Clang with __has_feature).
#if defined(__SANITIZE_ADDRESS__)
#define PK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PK_UNDER_ASAN 1
#endif
#endif

[[noreturn]] void child_reads(int fd, const std::string& path) {
    // A damaged file can make the library ask for absurd amounts of memory.
#ifndef PK_UNDER_ASAN
    struct rlimit data {};
    if (::getrlimit(RLIMIT_DATA, &data) == 0 && (data.rlim_cur == RLIM_INFINITY || data.rlim_cur > kReadMemory)) {
        data.rlim_cur = kReadMemory;
        ::setrlimit(RLIMIT_DATA, &data);
    }
#endif
    ::alarm(kReadSeconds);
    MergeCurve c;
    std::string why;
    const bool ok = read_curve(path, c, why);
    const std::string buf = encode(ok, c, why);
    for (std::size_t at = 0; at < buf.size();) {
        const ssize_t n = ::write(fd, buf.data() + at, buf.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(3);
        at += static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

}  // namespace

bool read_curve_isolated(const std::string& path, MergeCurve& c, std::string& why) {
    int fds[2];
    // Close-on-exec: no program another thread starts meanwhile keeps it open.
    if (::pipe2(fds, O_CLOEXEC) != 0) return why = std::string("cannot make a pipe: ") + std::strerror(errno), false;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return why = std::string("cannot start a process: ") + std::strerror(errno), false;
    }
    if (pid == 0) {
        ::close(fds[0]);
        child_reads(fds[1], path);
    }
    ::close(fds[1]);
    std::string buf;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buf.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return why = "the HDF5 library failed on the file (it is damaged, or not what it seems)", false;
    c = MergeCurve{};
    c.file = path;
    return decode(buf, c, why);
}

bool read_curves(const std::vector<std::string>& files, std::vector<MergeCurve>& curves, std::string& why,
                 int& culprit) {
    curves.resize(files.size());
    for (std::size_t k = 0; k < curves.size(); ++k) {
        culprit = static_cast<int>(k);
        if (files[k].empty() ? !check_curve(curves[k], why) : !read_curve_isolated(files[k], curves[k], why))
            return false;
        if (curves[k].intensity_unit != curves[0].intensity_unit)
            return why = "its intensities are in '" + curves[k].intensity_unit + "', those of " + curves[0].file +
                         " in '" + curves[0].intensity_unit + "'",
                   false;
    }
    culprit = -1;
    return true;
}

}  // namespace pk
