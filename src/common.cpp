#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

namespace {

// The term of each pixel centre (x + 0.5 - centre)^2 spacing^2 and the
// first index with the same term, found at the mirrored index.
void terms_of(double spacing, double centre, std::vector<double>& term, std::vector<int>& first) {
    term.assign(kDetSide, 0.0);
    first.assign(kDetSide, 0);
    for (int i = 0; i < kDetSide; ++i) {
        const double d = i + 0.5 - centre;
        term[static_cast<std::size_t>(i)] = d * d * spacing * spacing;
        first[static_cast<std::size_t>(i)] = i;
        const double mirror = 2 * centre - 1 - i;  // the index with -d, when a whole number
        if (!(mirror >= 0 && mirror < i)) continue;
        for (int c : {static_cast<int>(std::floor(mirror)), static_cast<int>(std::ceil(mirror))}) {
            if (c >= 0 && c < i && term[static_cast<std::size_t>(c)] == term[static_cast<std::size_t>(i)]) {
                first[static_cast<std::size_t>(i)] = first[static_cast<std::size_t>(c)];
                break;
            }
        }
    }
}

}  // namespace

PixelTerms::PixelTerms(double px, double py, double bx, double by) {
    terms_of(px, bx, col_term, first_col);
    terms_of(py, by, row_term, first_row);
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

PieceSpan piece_at(const char* pos, const char* end, std::size_t limit) {
    // A piece holds at most `limit` characters, a CR LF counting as one (the
    // LF).  Its line end is the first LF among its first `limit` characters,
    // or at position `limit` right after a CR.
    const std::size_t avail = static_cast<std::size_t>(end - pos);
    const std::size_t span = avail < limit ? avail : limit;
    const std::size_t look = avail > limit ? limit + 1 : avail;
    const void* found = look > 0 ? std::memchr(pos, '\n', look) : nullptr;
    if (found) {
        const char* lf = static_cast<const char*>(found);
        const bool cr = lf > pos && lf[-1] == '\r';
        if (static_cast<std::size_t>(lf - pos) < limit || cr) return {cr ? lf - 1 : lf, lf + 1, true, false};
    }
    return {pos + span, pos + span, false, span >= limit && span < avail};
}

bool next_piece(const char*& pos, const char* end, std::string& piece, std::size_t limit, bool* cut) {
    piece.clear();
    if (cut) *cut = false;
    if (pos >= end || limit == 0) return false;
    const PieceSpan s = piece_at(pos, end, limit);
    piece.assign(pos, s.text_end);
    if (s.newline) piece.push_back('\n');
    if (cut) *cut = s.cut;
    pos = s.next;
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

Slurp read_file(const std::string& path, std::string& text) {
    text.clear();
    FilePtr f(open_regular(path));
    if (!f) return Slurp::cannot_open;
    struct stat st {};
    if (::fstat(::fileno(f.get()), &st) == 0 && static_cast<std::uint64_t>(st.st_size) > kInputLimit)
        return Slurp::too_large;
    // Read straight into the text: the size known from the file, then in
    // blocks while it grows.
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    std::size_t used = 0;
    text.resize(static_cast<std::size_t>(st.st_size) + 1);
    for (;;) {
        if (used == text.size()) text.resize(used + kBlock);
        const std::size_t n = std::fread(&text[used], 1, text.size() - used, f.get());
        if (n == 0) break;
        used += n;
        if (used > kInputLimit) return Slurp::too_large;
    }
    text.resize(used);
    if (std::ferror(f.get())) return Slurp::cannot_open;
    if (text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
    return Slurp::ok;
}

// The C library's allocator, not a sanitizer's.
#if defined(__SANITIZE_ADDRESS__)
#define PK_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PK_OWN_ALLOCATOR 0
#endif
#endif
#ifndef PK_OWN_ALLOCATOR
#define PK_OWN_ALLOCATOR 1
#endif

std::vector<char> huge_page_heap(std::size_t bytes) {
    std::vector<char> spacer;
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE) && PK_OWN_ALLOCATOR
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    constexpr std::size_t kMost = std::size_t{16} << 20;
    if (bytes == 0 || bytes > kMost) return spacer;
    const std::size_t blocks = (bytes + kHuge - 1) / kHuge;
    const std::size_t reach = (blocks + 1) * kHuge;  // heap needed from its top on
    if (mallopt(M_MMAP_THRESHOLD, static_cast<int>(reach + kHuge)) != 1 ||
        mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * reach + kHuge)) != 1)
        return spacer;
    try {
        // Grows the heap and gives the room back to its top: the address
        // is where the next large allocations start.
        std::uintptr_t top = 0;
        {
            std::vector<char> probe;
            probe.reserve(reach);
            top = reinterpret_cast<std::uintptr_t>(probe.data());
        }
        const std::uintptr_t aligned = (top + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
        // Nothing in [aligned, aligned + blocks * kHuge) has been touched
        // yet, so the first touch there takes a huge page.
        if (::madvise(reinterpret_cast<void*>(aligned), blocks * kHuge, MADV_HUGEPAGE) == 0)
            spacer.reserve(aligned - top);
    } catch (const std::bad_alloc&) {
        spacer = std::vector<char>();
    }
#else
    (void)bytes;
#endif
    return spacer;
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

namespace {

// The temporary output files being written, for the termination handler:
// the one piece of process-wide state, because a signal handler can reach
// nothing else.  Each slot holds the path of one open temporary file (the
// characters of its AtomicFile's `tmp`, unchanged while registered).
std::atomic<const char*> g_pending[4];

void register_tmp(const char* path) {
    for (auto& slot : g_pending) {
        const char* none = nullptr;
        if (slot.compare_exchange_strong(none, path)) return;
    }
}

void unregister_tmp(const char* path) {
    for (auto& slot : g_pending) {
        const char* mine = path;
        slot.compare_exchange_strong(mine, nullptr);
    }
}

// Removes the temporary files and dies of the same signal (the handler is
// installed with SA_RESETHAND, and the signal stays blocked until it returns).
extern "C" void on_termination(int sig) {
    for (auto& slot : g_pending) {
        const char* path = slot.load();
        if (path) ::unlink(path);
    }
    ::raise(sig);
}

// The termination signals, blocked while a temporary file is created and
// registered so that none is left unregistered.
struct BlockTermination {
    sigset_t old;
    BlockTermination() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~BlockTermination() { ::sigprocmask(SIG_SETMASK, &old, nullptr); }
};

}  // namespace

void init_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = ::open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) ::close(opened);
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        struct sigaction now {};
        // A signal the caller ignores (nohup) stays ignored.
        if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        struct sigaction act {};
        act.sa_handler = on_termination;
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &act, nullptr);
    }
}

OutputLock::~OutputLock() { release(); }

void OutputLock::release() {
    if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
    fd_ = -1;
}

bool OutputLock::acquire(const std::string& target, int seconds) {
    release();
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    if (dir.find('\0') != std::string::npos) return false;
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) break;  // no locks here
        if (std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    release();
    return false;
}

AtomicFile::~AtomicFile() { atomic_abort(*this); }

namespace {

// The temporary name beside the target, within the 255 bytes a file name
// may have; empty when the target cannot be written to.
std::string temporary_template(const std::string& target) {
    if (target.empty() || target.find('\0') != std::string::npos) return "";
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return "";
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) return "";
    return dir + "." + base.substr(0, 240) + ".tmpXXXXXX";
}

}  // namespace

bool atomic_open(const std::string& target, AtomicFile& out) {
    atomic_abort(out);
    out.target.clear();
    const std::string tmpl = temporary_template(target);
    if (tmpl.empty()) return false;
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const BlockTermination blocked;
    const int fd = ::mkstemp(buf.data());
    if (fd < 0) return false;
    // Give the new file the permissions a plain create would: 0666 less the umask.
    const mode_t mask = ::umask(0);
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
    register_tmp(out.tmp.c_str());
    return true;
}

bool atomic_commit(AtomicFile& out) {
    if (!out.f) return false;
    bool ok = std::fflush(out.f) == 0 && !std::ferror(out.f);
    ok = (std::fclose(out.f) == 0) && ok;
    out.f = nullptr;
    if (ok) ok = ::rename(out.tmp.c_str(), out.target.c_str()) == 0;
    if (!ok) ::unlink(out.tmp.c_str());
    unregister_tmp(out.tmp.c_str());
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
    if (!out.tmp.empty()) {
        ::unlink(out.tmp.c_str());
        unregister_tmp(out.tmp.c_str());
    }
    out.tmp.clear();
}

}  // namespace pk
