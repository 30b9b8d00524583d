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
#include <utility>
#include <vector>

#include "pelkaro/files.h"
#include "pelkaro/merge.h"
#include "pelkaro/nxcansas.h"
#include "nxcansas_file.h"

namespace pk {

namespace {

bool same(const std::string& a, const std::string& b) { return a == b || same_file(a, b); }

// A request the inputs cannot meet: too few, the same file twice, a
// reference not among them.
Status wrong_request(std::string reason) { return failure(Stage::parameters, Code::bad_parameter, std::move(reason)); }

}  // namespace

Status check_merge_inputs(const std::vector<std::string>& in) {
    if (in.size() < 2) return wrong_request("at least two input files are needed");
    for (std::size_t a = 0; a < in.size(); ++a)
        for (std::size_t b = a + 1; b < in.size(); ++b)
            if (!in[a].empty() && !in[b].empty() && same(in[a], in[b]))
                return wrong_request("'" + in[b] + "' is given twice (as '" + in[a] + "')");
    return ok_status();
}

std::string merged_output(const std::string& first) {
    const std::size_t slash = first.rfind('/');
    return (slash == std::string::npos ? "" : first.substr(0, slash + 1)) + stem_of(first) + "_merged.h5";
}

Status output_not_input(const std::vector<std::string>& in, const std::string& out) {
    for (const std::string& f : in)
        if (!f.empty() && same(f, out))
            return failure(Stage::output, Code::replaces_input, "the output '" + out + "' is an input file");
    return ok_status();
}

Status reference_index(const std::vector<std::string>& in, const std::string& reference, int& index) {
    for (std::size_t k = 0; k < in.size(); ++k)
        if (!in[k].empty() && same(in[k], reference)) return index = static_cast<int>(k), ok_status();
    return wrong_request("the reference '" + reference + "' is not among the input files");
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

// The result of a read as the reading process hands it over: '1' and the
// curve, or '0', the refusal's code and its reason.
std::string encode(const Status& st, const MergeCurve& c) {
    std::string buf(1, st.ok() ? '1' : '0');
    if (!st.ok()) {
        const std::int32_t code = static_cast<std::int32_t>(st.code);
        put(buf, &code, sizeof code);
        return put_text(buf, st.reason), buf;
    }
    for (const std::vector<double>* v : {&c.q, &c.i, &c.idev, &c.qdev, &c.kernel_q, &c.kernel_weight})
        put_values(buf, *v);
    put_text(buf, c.intensity_unit);
    put_text(buf, c.sample);
    put_text(buf, c.title);
    for (const double* d : {&c.distance_mm, &c.wavelength, &c.thickness_mm}) put(buf, d, sizeof *d);
    const std::int32_t nodes = c.kernel_nodes;
    put(buf, &nodes, sizeof nodes);
    return buf;
}

// A refusal of the reading process as it came through: the codes read_curve
// gives, anything else taken as a damaged hand-over.
Status refusal_of(Taker& t) {
    std::int32_t code = 0;
    std::string why;
    if (!t.take(&code, sizeof code) || !t.text(why) ||
        (code != static_cast<std::int32_t>(Code::cannot_read) && code != static_cast<std::int32_t>(Code::bad_contents)))
        return failure(Stage::read, Code::bad_contents, "reading the file failed");
    return failure(Stage::read, static_cast<Code>(code), why);
}

Status decode(const std::string& buf, MergeCurve& c) {
    Taker t(buf);
    char ok = 0;
    if (!t.take(&ok, 1)) return failure(Stage::read, Code::bad_contents, "reading the file failed");
    if (ok != '1') return refusal_of(t);
    std::int32_t nodes = 0;
    if (!t.values(c.q) || !t.values(c.i) || !t.values(c.idev) || !t.values(c.qdev) || !t.values(c.kernel_q) ||
        !t.values(c.kernel_weight) || !t.text(c.intensity_unit) || !t.text(c.sample) || !t.text(c.title) ||
        !t.take(&c.distance_mm, sizeof c.distance_mm) || !t.take(&c.wavelength, sizeof c.wavelength) ||
        !t.take(&c.thickness_mm, sizeof c.thickness_mm) || !t.take(&nodes, sizeof nodes))
        return failure(Stage::read, Code::bad_contents, "reading the file failed");
    c.kernel_nodes = nodes;
    return check_curve(c);
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
    const std::string buf = encode(read_curve(path, c), c);
    for (std::size_t at = 0; at < buf.size();) {
        const ssize_t n = ::write(fd, buf.data() + at, buf.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(3);
        at += static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

}  // namespace

Status read_curve_isolated(const std::string& path, MergeCurve& c) {
    int fds[2];
    // Close-on-exec: no program another thread starts meanwhile keeps it open.
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return failure(Stage::read, Code::cannot_read, std::string("cannot make a pipe: ") + std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int e = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return failure(Stage::read, Code::cannot_read, std::string("cannot start a process: ") + std::strerror(e));
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
        return failure(Stage::read, Code::bad_contents,
                       "the HDF5 library failed on the file (it is damaged, or not what it seems)");
    c = MergeCurve{};
    c.file = path;
    return decode(buf, c);
}

Status read_curves(const std::vector<std::string>& files, std::vector<MergeCurve>& curves) {
    curves.resize(files.size());
    for (std::size_t k = 0; k < curves.size(); ++k) {
        Status st = files[k].empty() ? check_curve(curves[k]) : read_curve_isolated(files[k], curves[k]);
        if (st.ok() && curves[k].intensity_unit != curves[0].intensity_unit)
            st = failure(Stage::read, Code::bad_contents,
                         "its intensities are in '" + curves[k].intensity_unit + "', those of " + curves[0].file +
                             " in '" + curves[0].intensity_unit + "'");
        if (!st.ok()) {
            st.entry = static_cast<int>(k);
            return st;
        }
    }
    return ok_status();
}

}  // namespace pk
