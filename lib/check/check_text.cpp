// Small text helpers of pelkaro-check: quoting names so that blanks and tabs
// show, absolute paths, why a file cannot be read, numbers and counts.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check_internal.h"
#include "keywords.h"

namespace pk {

std::string shown(const std::string& s) { return escaped(s); }

std::string quote(const std::string& s) { return "\"" + shown(s) + "\""; }

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return path;
        buf.resize(buf.size() * 2);
    }
    return std::string(buf.data()) + "/" + path;
}

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

}  // namespace

std::string unusable_reason(const std::string& path) {
    struct stat st {};
    if (path.empty()) return "the name is empty";
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            struct stat lst {};
            return ::lstat(path.c_str(), &lst) == 0 ? "is a symbolic link to nothing" : "is missing";
        }
        if (errno == ENOTDIR) return "is missing (a part of the path is not a directory)";
        if (errno == EACCES) return "cannot be reached: permission denied";
        return std::string("cannot be reached: ") + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) return std::string("is ") + kind_of(st.st_mode) + ", not a regular file";
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::string("cannot be opened: ") + (errno == EACCES ? "permission denied" : std::strerror(errno));
    ::close(fd);
    return std::string();
}

std::string cannot_use(const std::string& what, const std::string& path) {
    std::string reason = unusable_reason(path);
    if (reason.empty()) reason = "cannot be read";
    std::string out = what + " " + quote(path) + " cannot be used: ";
    if (path.empty()) return out + reason;
    return out + (path[0] == '/' ? std::string("it") : quote(absolute(path))) + " " + reason;
}

std::string trailing_blanks(const std::string& name) {
    std::size_t n = 0;
    while (n < name.size() && (name[name.size() - 1 - n] == ' ' || name[name.size() - 1 - n] == '\t')) ++n;
    if (n == 0) return std::string();
    return "ends in " + counted(static_cast<long long>(n), "blank", "blanks") +
           (n == 1 ? ", which belongs" : ", which belong") + " to it (everything after the flag is the name)";
}

std::string num(double v) {
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) return pk::format("%.0f", v);
    return pk::format("%g", v);
}

std::string counted(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

const char* role_of(int kw) {
    switch (kw) {
        case DATS: return "sample file";
        case DATB: return "buffer file";
        case DATD: return "dark-current file";
        case SENS: return "sensitivity file";
        case MASK: return "mask file";
        default: return "file";
    }
}

std::string stage_text(const Status& st) { return shown(st.reason); }

bool one_edit_apart(const std::string& a, const std::string& b) {
    if (a == b) return false;
    const std::size_t na = a.size();
    const std::size_t nb = b.size();
    if (na == nb) {
        std::vector<std::size_t> diff;
        for (std::size_t i = 0; i < na; ++i)
            if (a[i] != b[i]) diff.push_back(i);
        if (diff.size() == 1) return true;
        return diff.size() == 2 && diff[1] == diff[0] + 1 && a[diff[0]] == b[diff[1]] && a[diff[1]] == b[diff[0]];
    }
    const std::string& lo = na < nb ? a : b;
    const std::string& hi = na < nb ? b : a;
    if (hi.size() != lo.size() + 1) return false;
    for (std::size_t skip = 0; skip < hi.size(); ++skip)
        if (hi.compare(0, skip, lo, 0, skip) == 0 && hi.compare(skip + 1, std::string::npos, lo, skip) == 0)
            return true;
    return false;
}

}  // namespace pk
