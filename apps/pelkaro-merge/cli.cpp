// pelkaro-merge: the command line, the reading of the curves, the join and
// the file, and the messages.
#include "app.h"
#include "merge_cli.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/files.h"
#include "pelkaro/nxcansas.h"

namespace pk {

namespace {

constexpr const char* kMergeProgram = "pelkaro-merge";

}  // namespace

std::string merge_usage_text() {
    return format(
        "Usage: %s [-o OUT.h5] [--reference FILE] [--scale fit|none] [--overlap average|trim]\n"
        "                     [--q-min Q] [--q-max Q] A.h5 B.h5 [C.h5 ...]\n"
        "\n"
        "Joins the 1D curves of NXcanSAS files of one sample measured at several detector distances\n"
        "and wavelengths into one curve, written as one NXcanSAS file.\n"
        "\n"
        "  -o OUT.h5            the file to write; default: beside the first input, its name up to\n"
        "                       the first \".\" with _merged.h5\n"
        "  --reference FILE     the curve kept on its own scale (one of the inputs); default: the\n"
        "                       one with the lowest Q\n"
        "  --scale fit|none     fit: each other curve multiplied by a factor fitted over its overlap\n"
        "                       with the curves joined before it, outward from the reference\n"
        "                       (default); none: joined as they are\n"
        "  --overlap average|trim  average: every point of both curves kept in an overlap (default);\n"
        "                       trim: each curve cut at the middle of the overlap (in log Q)\n"
        "  --q-min Q, --q-max Q  drop the points below / above Q (1/angstrom)\n"
        "  --help, --version\n"
        "\n"
        "One line per input file on standard output: its Q range, distance, wavelength, scale factor\n"
        "with its uncertainty and the overlap.  Exit status: 0 written, 1 an input cannot be used (the\n"
        "message names it; nothing written), 2 wrong command line.\n",
        kMergeProgram);
}

namespace {

bool positive_number(const std::string& name, const std::string& text, double& v, std::string& why) {
    char* end = nullptr;
    v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || !(v > 0))
        return why = name + " needs a finite positive Q in 1/angstrom, not '" + text + "'", false;
    return true;
}

// The valued options' texts once read.
struct Texts {
    std::string scale, overlap, qmin, qmax;
};

MergeCli read_option(int argc, const char* const* argv, int& i, MergeArgs& args, Texts& t, std::string& why) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") return MergeCli::help;
    if (a == "--version") return MergeCli::version;
    struct Valued {
        const char* name;
        std::string* target;
    } valued[] = {{"-o", &args.out},        {"--reference", &args.reference}, {"--scale", &t.scale},
                  {"--overlap", &t.overlap}, {"--q-min", &t.qmin},            {"--q-max", &t.qmax}};
    for (const Valued& v : valued) {
        bool matched = false;
        if (!option_value(argc, argv, i, v.name, *v.target, matched, why, true)) return MergeCli::bad;
        if (matched) return MergeCli::run;
    }
    why = "unknown option '" + a + "'";
    return MergeCli::bad;
}

bool apply_texts(const Texts& t, MergeOptions& opt, std::string& why) {
    if (!t.scale.empty() && t.scale != "fit" && t.scale != "none")
        return why = "--scale is fit or none, not '" + t.scale + "'", false;
    if (!t.overlap.empty() && t.overlap != "average" && t.overlap != "trim")
        return why = "--overlap is average or trim, not '" + t.overlap + "'", false;
    opt.scale = t.scale != "none";
    opt.trim = t.overlap == "trim";
    if (!t.qmin.empty() && !positive_number("--q-min", t.qmin, opt.q_min, why)) return false;
    if (!t.qmax.empty() && !positive_number("--q-max", t.qmax, opt.q_max, why)) return false;
    if (!(opt.q_min < opt.q_max)) return why = "--q-min must be below --q-max", false;
    return true;
}

bool same(const std::string& a, const std::string& b) { return a == b || same_file(a, b); }

// The rules the file names must follow among themselves.
bool check_names(MergeArgs& args, std::string& why) {
    const std::vector<std::string>& in = args.inputs;
    if (in.size() < 2) return why = "at least two input files are needed", false;
    for (std::size_t a = 0; a < in.size(); ++a)
        for (std::size_t b = a + 1; b < in.size(); ++b)
            if (same(in[a], in[b])) return why = "'" + in[b] + "' is given twice (as '" + in[a] + "')", false;
    if (args.out.empty()) {
        const std::size_t slash = in[0].rfind('/');
        args.out = (slash == std::string::npos ? "" : in[0].substr(0, slash + 1)) + stem_of(in[0]) + "_merged.h5";
    }
    for (const std::string& f : in)
        if (same(f, args.out)) return why = "the output '" + args.out + "' is an input file", false;
    if (args.reference.empty()) return true;
    for (std::size_t k = 0; k < in.size(); ++k)
        if (same(in[k], args.reference)) return args.opt.reference = static_cast<int>(k), true;
    return why = "the reference '" + args.reference + "' is not among the input files", false;
}

}  // namespace

MergeCli parse_merge_args(int argc, const char* const* argv, MergeArgs& args, std::string& why) {
    Texts t;
    bool options_end = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (!options_end && a == "--") {
            options_end = true;
        } else if (!options_end && a.size() > 1 && a[0] == '-') {
            const MergeCli c = read_option(argc, argv, i, args, t, why);
            if (c != MergeCli::run) return c;
        } else {
            args.inputs.push_back(a);
        }
    }
    if (!apply_texts(t, args.opt, why) || !check_names(args, why)) return MergeCli::bad;
    return MergeCli::run;
}

namespace {

// A curve read in a child process and handed over through a pipe: the
// HDF5 library can crash or loop on a damaged file, which must not take
// the program with it.
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

bool read_isolated(const std::string& path, MergeCurve& c, std::string& why) {
    int fds[2];
    if (::pipe(fds) != 0) return why = std::string("cannot make a pipe: ") + std::strerror(errno), false;
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

void error(std::FILE* err, const std::string& file, const std::string& why) {
    std::fprintf(err, "%s: %s%serror: %s\n", kMergeProgram, file.c_str(), file.empty() ? "" : ": ", why.c_str());
}

int run(const MergeArgs& args, std::FILE* out, std::FILE* err) {
    std::vector<MergeCurve> curves(args.inputs.size());
    std::string why;
    for (std::size_t k = 0; k < curves.size(); ++k) {
        if (!read_isolated(args.inputs[k], curves[k], why)) return error(err, args.inputs[k], why), 1;
        if (curves[k].intensity_unit != curves[0].intensity_unit)
            return error(err, args.inputs[k],
                         "its intensities are in '" + curves[k].intensity_unit + "', those of " + args.inputs[0] +
                             " in '" + curves[0].intensity_unit + "'"),
                   1;
    }
    MergeResult r;
    if (!merge_curves(curves, args.opt, r, why)) {
        const std::size_t c = static_cast<std::size_t>(r.culprit);
        return error(err, r.culprit >= 0 ? args.inputs[c] : std::string(), why), 1;
    }
    if (!write_merged(curves, r, args.opt, args.out, why)) return error(err, args.out, why), 1;
    for (std::size_t k = 0; k < curves.size(); ++k) std::fprintf(out, "%s\n", merge_line(curves[k], r.inputs[k]).c_str());
    std::fprintf(out, "%s: %zu points written to %s\n", kMergeProgram, r.q.size(), args.out.c_str());
    return 0;
}

}  // namespace

int merge_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    try {
        MergeArgs args;
        std::string why;
        switch (parse_merge_args(argc > 0 ? argc - 1 : 0, argv + (argc > 0 ? 1 : 0), args, why)) {
        case MergeCli::help: return std::fputs(merge_usage_text().c_str(), out), 0;
        case MergeCli::version: return std::fprintf(out, "%s %s\n", kMergeProgram, PELKARO_VERSION), 0;
        case MergeCli::bad:
            error(err, "", why);
            std::fprintf(err, "Try '%s --help'.\n", kMergeProgram);
            return 2;
        case MergeCli::run: break;
        }
        return run(args, out, err);
    } catch (const std::bad_alloc&) {
        error(err, "", "out of memory");
    } catch (const std::exception& e) {
        error(err, "", e.what());
    }
    return 1;
}

}  // namespace pk
