#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <atomic>
#include <deque>
#include <mutex>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pelkaro/Pelkaro.h"

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

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
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

// The temporary output files being written, for a termination handler: the
// one piece of process-wide state, because a signal handler can reach
// nothing else.  Slots in blocks of 64, linked from `g_first`; a block once
// linked stays for the life of the process, so a handler may walk the chain
// at any moment without a lock.  Each slot holds the path of one open
// temporary file (the characters of its AtomicFile's `tmp`, unchanged while
// registered) or null.  Blocks are added under a mutex, slots taken and
// freed with compare-and-swap, from any thread.
struct TmpBlock {
    std::atomic<const char*> slot[64] = {};
    std::atomic<TmpBlock*> next{nullptr};
};
struct TmpRegistry {
    std::atomic<TmpBlock*> first{nullptr};
    std::mutex grow;
    std::deque<TmpBlock> blocks;  // owns the blocks; never shrinks
};
TmpRegistry g_tmp;
TmpRegistry& registry() { return g_tmp; }

bool claim_slot(const char* path) {
    for (TmpBlock* b = registry().first.load(); b; b = b->next.load())
        for (auto& slot : b->slot) {
            const char* none = nullptr;
            if (slot.compare_exchange_strong(none, path)) return true;
        }
    return false;
}

void register_tmp(const char* path) {
    if (claim_slot(path)) return;
    TmpRegistry& r = registry();
    const std::lock_guard<std::mutex> hold(r.grow);
    if (claim_slot(path)) return;
    TmpBlock& b = r.blocks.emplace_back();
    b.slot[0].store(path);
    b.next.store(r.first.load());
    r.first.store(&b);
}

void unregister_tmp(const char* path) {
    for (TmpBlock* b = registry().first.load(); b; b = b->next.load())
        for (auto& slot : b->slot) {
            const char* mine = path;
            if (slot.compare_exchange_strong(mine, nullptr)) return;
        }
}

}  // namespace

void remove_pending_temporaries() {
    for (TmpBlock* b = registry().first.load(); b; b = b->next.load())
        for (auto& slot : b->slot) {
            const char* path = slot.load();
            if (path) ::unlink(path);
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

// Six letters or digits for a temporary name, different in every call of
// every thread and process: a mix of the clock, the process, the thread's
// stack and a count.
std::string random_suffix(std::atomic<uint64_t>& count) {
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const int here = 0;
    uint64_t z = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 (static_cast<uint64_t>(::getpid()) << 40) ^ reinterpret_cast<std::uintptr_t>(&here) ^
                 (count.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::string s(6, 'X');
    for (char& ch : s) {
        ch = kChars[z % 62];
        z /= 62;
    }
    return s;
}
std::atomic<uint64_t> g_names{0};

// Creates the temporary file named `out.tmp`, registered before it exists:
// a termination signal in any thread at any moment finds it.
int create_registered(AtomicFile& out, const std::string& tmpl) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        out.tmp = tmpl.substr(0, tmpl.size() - 6) + random_suffix(g_names);
        register_tmp(out.tmp.c_str());
        const int fd = ::open(out.tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        const int e = errno;
        unregister_tmp(out.tmp.c_str());
        out.tmp.clear();
        if (e != EEXIST) break;
    }
    return -1;
}

}  // namespace

bool atomic_open(const std::string& target, AtomicFile& out) {
    atomic_abort(out);
    out.target.clear();
    const std::string tmpl = temporary_template(target);
    if (tmpl.empty()) return false;
    // Created 0666 less the umask, as a plain create would.
    const int fd = create_registered(out, tmpl);
    if (fd < 0) return false;
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) {
        ::close(fd);
        atomic_abort(out);
        return false;
    }
    out.f = f;
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
