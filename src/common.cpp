#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Pelkaro.h"

namespace pk {

std::string format(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::va_list again;
    va_copy(again, args);
    const int len = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (len > 0) {
        out.resize(static_cast<std::size_t>(len) + 1);
        std::vsnprintf(&out[0], out.size(), fmt, again);
        out.resize(static_cast<std::size_t>(len));
    }
    va_end(again);
    return out;
}

void say(const Console& con, const char* fmt, ...) {
    std::va_list args;
    if (con.file) {
        va_start(args, fmt);
        std::vfprintf(con.file, fmt, args);
        va_end(args);
    }
    if (con.capture) {
        va_start(args, fmt);
        std::va_list again;
        va_copy(again, args);
        const int len = std::vsnprintf(nullptr, 0, fmt, args);
        if (len > 0) {
            const std::size_t at = con.capture->size();
            con.capture->resize(at + static_cast<std::size_t>(len) + 1);
            std::vsnprintf(&(*con.capture)[at], static_cast<std::size_t>(len) + 1, fmt, again);
            con.capture->resize(at + static_cast<std::size_t>(len));
        }
        va_end(again);
        va_end(args);
    }
}

bool next_piece(std::FILE* f, std::string& piece, std::size_t limit, bool* cut) {
    piece.clear();
    if (cut) *cut = false;
    int c = 0;
    while (piece.size() < limit && (c = std::getc(f)) != EOF) {
        if (c == '\r') {
            int next = std::getc(f);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, f);
            }
        }
        piece.push_back(static_cast<char>(c));
        if (c == '\n') return true;
    }
    if (piece.empty()) return false;
    if (cut && piece.size() >= limit) {
        int next = std::getc(f);
        if (next != EOF) {
            std::ungetc(next, f);
            *cut = true;
        }
    }
    return true;
}

std::FILE* open_regular(const std::string& path) {
    if (path.find('\0') != std::string::npos) return nullptr;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "r");
    if (!f) ::close(fd);
    return f;
}

bool read_file(const std::string& path, std::string& text) {
    text.clear();
    FilePtr f(open_regular(path));
    if (!f) return false;
    char buf[1 << 16];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
    return !std::ferror(f.get());
}

bool regular_file_exists(const std::string& path) {
    std::FILE* f = open_regular(path);
    if (!f) return false;
    std::fclose(f);
    return true;
}

static const char* skip_space(const char* s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\v' || *s == '\f' || *s == '\r') ++s;
    return s;
}

Scan scan_float(const char*& s, float& out) {
    const char* start = skip_space(s);
    char* end = nullptr;
    float v = std::strtof(start, &end);
    if (end == start) return Scan::missing;
    s = end;
    out = v;
    if (!std::isfinite(v)) return Scan::bad;
    return Scan::ok;
}

Scan scan_int(const char*& s, int32_t& out) {
    const char* start = skip_space(s);
    const char* q = start;
    if (*q == '+' || *q == '-') ++q;
    if (*q < '0' || *q > '9') return Scan::missing;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(start, &end, 10);
    s = end;
    if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return Scan::bad;
    out = static_cast<int32_t>(v);
    return Scan::ok;
}

AtomicFile::~AtomicFile() { atomic_abort(*this); }

bool atomic_open(const std::string& target, AtomicFile& out) {
    atomic_abort(out);
    out.target.clear();
    if (target.empty() || target.find('\0') != std::string::npos) return false;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
    std::string dir;
    std::string base = target;
    std::size_t slash = target.rfind('/');
    if (slash != std::string::npos) {
        dir = target.substr(0, slash + 1);
        base = target.substr(slash + 1);
    }
    if (base.empty()) return false;
    // The temporary name must stay within the 255 bytes a file name may have.
    std::string tmpl = dir + "." + base.substr(0, 240) + ".tmpXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = ::mkstemp(buf.data());
    if (fd < 0) return false;
    // Give the new file the permissions a plain create would: 0666 less the umask.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) {
        ::close(fd);
        ::unlink(buf.data());
        return false;
    }
    out.f = f;
    out.tmp = buf.data();
    out.target = target;
    return true;
}

bool atomic_commit(AtomicFile& out) {
    if (!out.f) return false;
    bool ok = std::fflush(out.f) == 0 && !std::ferror(out.f);
    ok = (std::fclose(out.f) == 0) && ok;
    out.f = nullptr;
    if (ok) ok = ::rename(out.tmp.c_str(), out.target.c_str()) == 0;
    if (!ok) ::unlink(out.tmp.c_str());
    out.tmp.clear();
    return ok;
}

bool atomic_finish(AtomicFile& out, bool written) {
    if (written) return atomic_commit(out);
    atomic_abort(out);
    return false;
}

void atomic_abort(AtomicFile& out) {
    if (out.f) std::fclose(out.f);
    out.f = nullptr;
    if (!out.tmp.empty()) ::unlink(out.tmp.c_str());
    out.tmp.clear();
}

}  // namespace pk
