#include "pelkaro/files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "temporaries.h"

namespace pk {

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

namespace {

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// read(2) again where a signal interrupted it: the count read, -1 on an error.
ssize_t read_some(int fd, char* to, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd, to, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

}  // namespace

Status read_file(const std::string& path, std::string& text, std::uint64_t most) {
    most = std::min(most, kInputLimit);
    text.clear();
    const Status cannot = failure(Stage::read, Code::cannot_read, "cannot read " + path);
    const std::string most_text = most == kInputLimit ? std::string(kInputLimitText) : std::to_string(most) + " bytes";
    const Status too_large = failure(Stage::read, Code::too_large,
                                     path + " holds more than " + most_text + ", the most an input file may hold");
    if (path.find('\0') != std::string::npos) return cannot;
    Descriptor d;
    d.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (d.fd < 0 || ::fstat(d.fd, &st) != 0 || !S_ISREG(st.st_mode)) return cannot;
    if (static_cast<std::uint64_t>(st.st_size) > most) return too_large;
    // Read straight into the text: the size known from the file (and one
    // byte more, so that a file of that size ends with the next read's 0),
    // then in blocks while it grows.
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    std::size_t used = 0;
    text.resize(static_cast<std::size_t>(st.st_size) + 1);
    for (;;) {
        if (used == text.size()) text.resize(used + kBlock);
        const ssize_t n = read_some(d.fd, &text[used], text.size() - used);
        if (n < 0) {
            text.clear();
            return cannot;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
        if (used > most) return too_large;
    }
    text.resize(used);
    if (text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
    return ok_status();
}

std::optional<FileId> file_id(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool same_file(const std::string& a, const std::string& b) {
    const std::optional<FileId> ia = file_id(a);
    return ia && file_id(b) == ia;
}

bool regular_file_exists(const std::string& path) {
    // Asked of every file a parameter file names, for every row of a
    // series: two system calls rather than opening the file.
    struct stat st {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
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
    // The clock is read only while another run holds the lock: a process's
    // first reading of it costs two page faults.
    std::optional<std::chrono::steady_clock::time_point> until;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) break;  // no locks here
        const auto now = std::chrono::steady_clock::now();
        if (!until) until = now + std::chrono::seconds(seconds);
        else if (now >= *until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    release();
    return false;
}

AtomicFile::~AtomicFile() { atomic_abort(*this); }

namespace {

// The temporary name beside the target, within the 255 bytes a file name
// may have; empty when the target cannot be written to.  `exists` tells
// whether the target is there already.
std::string temporary_template(const std::string& target, bool* exists = nullptr) {
    if (target.empty() || target.find('\0') != std::string::npos) return "";
    struct stat st {};
    const bool there = ::lstat(target.c_str(), &st) == 0;
    if (exists) *exists = there;
    if (there && !S_ISREG(st.st_mode)) return "";
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) return "";
    return dir + "." + base.substr(0, 240) + ".tmpXXXXXX";
}

// Random bits from the kernel, or the clock where it gives none.
uint64_t noise() {
    uint64_t z = 0;
    if (::getrandom(&z, sizeof z, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof z)) return z;
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// Six letters or digits for a temporary name, different in every call of
// every thread and process: a mix of random bits, the process, the
// thread's stack and a count.
std::string random_suffix(std::atomic<uint64_t>& count) {
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const int here = 0;
    uint64_t z = noise() ^ (static_cast<uint64_t>(::getpid()) << 40) ^
                 reinterpret_cast<std::uintptr_t>(&here) ^ (count.fetch_add(1) * 0x9E3779B97F4A7C15ull);
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

// Locks a new temporary file for its writer, so that a later run can tell
// a file being written from one a killed writer left.  False when a run
// that removes stale temporaries holds it or has removed it already: the
// name is given up.  Where the file system has no locks, the file is
// written unlocked.
bool held_by_writer(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK && errno != EINTR;
    struct stat st {};
    return ::fstat(fd, &st) != 0 || st.st_nlink > 0;
}

// Takes temporary names after `tmpl` into `tmp`, each registered before a
// file has it (a termination signal in any thread at any moment finds it),
// until `make(tmp)` gives it one: 0, else the errno that gave the name up
// (EEXIST: taken, another is tried).  False, `tmp` empty, where none did.
template <class Make>
bool claim_temporary(std::string& tmp, const std::string& tmpl, const Make& make) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = tmpl.substr(0, tmpl.size() - 6) + random_suffix(g_names);
        register_temporary(tmp.c_str());
        const int e = make(tmp);
        if (e == 0) return true;
        unregister_temporary(tmp.c_str());
        tmp.clear();
        if (e != EEXIST) break;
    }
    return false;
}

// Creates a temporary file named after `tmpl` in `tmp`, registered before
// it exists.
int create_registered(std::string& tmp, const std::string& tmpl) {
    int fd = -1;
    claim_temporary(tmp, tmpl, [&fd](const std::string& name) {
        fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 && held_by_writer(fd)) return 0;
        const int e = fd >= 0 ? EEXIST : errno;
        if (fd >= 0) ::close(fd);
        fd = -1;
        return e;
    });
    return fd;
}

bool temporary_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

}  // namespace

namespace {

// The name through which a file open as `fd` can be linked into a
// directory (linkat, following it).
std::string own_link(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A new file without a name in the target's directory, created 0666 less
// the umask as a plain create would; -1 where the file system has none.
int open_unnamed(const std::string& target) {
#ifdef O_TMPFILE
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
#else
    (void)target;
    return -1;
#endif
}

// A new file without a name in the target's directory (O_TMPFILE): it
// gets one only when linked as the target at the commit, so that nothing
// of it is left behind by a writer killed on the way, and it costs the
// directory one entry rather than a temporary one and a rename.  -1 where
// the file system has no such files, or the link of an open file cannot
// be followed (no /proc): then the file is written under a temporary name.
int create_unnamed(const std::string& target) {
    const int fd = open_unnamed(target);
    if (fd < 0) return -1;
    if (::faccessat(AT_FDCWD, own_link(fd).c_str(), F_OK, 0) == 0) return fd;
    ::close(fd);
    return -1;
}

// The unnamed file `fd` linked as `target`; where a file has taken that
// name since it was opened, linked under a temporary name beside it
// (`tmp`, registered and locked as create_registered's), which the commit
// renames over it.
bool link_unnamed(int fd, const std::string& target, std::string& tmp) {
    const std::string from = own_link(fd);
    if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    const std::string tmpl = errno == EEXIST ? temporary_template(target) : std::string();
    if (tmpl.empty()) return false;
    ::flock(fd, LOCK_EX | LOCK_NB);  // where the file system has locks: a remover of stale ones leaves it
    return claim_temporary(tmp, tmpl, [&from](const std::string& name) {
        return ::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    });
}

}  // namespace

bool atomic_open_whole(const std::string& target, AtomicFile& out) {
    atomic_abort(out);
    out.target_.clear();
    bool exists = false;
    const std::string tmpl = temporary_template(target, &exists);
    if (tmpl.empty()) return false;
    // A new file without a name; one that replaces a file under a
    // temporary name, as it will be renamed over it anyway.
    out.fd_ = exists ? -1 : create_unnamed(target);
    out.unnamed_ = out.fd_ >= 0;
    // Created 0666 less the umask, as a plain create would.
    if (!out.unnamed_) out.fd_ = create_registered(out.tmp_, tmpl);
    if (out.fd_ < 0) return false;
    out.target_ = target;
    return true;
}

bool atomic_open(const std::string& target, AtomicFile& out) {
    if (!atomic_open_whole(target, out)) return false;
    std::FILE* f = ::fdopen(out.fd_, "w");
    if (!f) {
        atomic_abort(out);  // closes the descriptor, removes the file
        return false;
    }
    out.f = f;  // the FILE owns the descriptor now
    out.fd_ = -1;
    return true;
}

namespace {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A new file's last step once it is closed (`ok`: written and closed
// without error): linked as the target itself (`linked`), it is taken back
// where something failed; else its temporary name is renamed over the
// target, or removed.  True when the target holds the new file; errno keeps
// the failure's.
bool settle_closed(bool ok, bool linked, const std::string& target, std::string& tmp) {
    const int e = errno;
    if (linked) {
        if (!ok) ::unlink(target.c_str());
        errno = e;
        return ok;
    }
    if (tmp.empty()) return false;  // an unnamed file that could not be linked: gone with its descriptor
    if (ok) ok = ::rename(tmp.c_str(), target.c_str()) == 0;
    const int failed = errno;
    if (!ok) ::unlink(tmp.c_str());
    unregister_temporary(tmp.c_str());
    tmp.clear();
    errno = ok ? e : failed;
    return ok;
}

// `text` in a new unnamed file linked as `target`, or, where a file has the
// name, under a temporary name renamed over it: 1 when done, 0 when it could
// not be written (errno says why), -1 where this way is closed (no unnamed
// files or no /proc here, a target that is not a regular file, ...): the
// caller then takes atomic_open_whole's way, which words the refusal.  Two
// system calls fewer for a new file than that way's checks beforehand.
int write_unnamed(const std::string& target, std::string_view text) {
    const int fd = open_unnamed(target);
    if (fd < 0) return -1;
    if (!write_all(fd, text)) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return 0;
    }
    std::string tmp;
    if (!link_unnamed(fd, target, tmp)) {
        ::close(fd);
        return -1;
    }
    const bool linked = tmp.empty();
    return settle_closed(::close(fd) == 0, linked, target, tmp) ? 1 : 0;
}

}  // namespace

bool atomic_write(AtomicFile& out, std::string_view text) { return out.fd_ >= 0 && write_all(out.fd_, text); }

WholeFile atomic_write_file(const std::string& target, std::string_view text) {
    if (!target.empty() && target.find('\0') == std::string::npos) {
        const int r = write_unnamed(target, text);
        if (r >= 0) return r == 1 ? WholeFile::written : WholeFile::not_written;
    }
    AtomicFile out;
    errno = 0;
    if (!atomic_open_whole(target, out)) return WholeFile::not_opened;
    const bool written = atomic_write(out, text);
    const int write_error = written ? 0 : errno;
    errno = 0;
    if (atomic_finish(out, written)) return WholeFile::written;
    if (write_error != 0) errno = write_error;
    return WholeFile::not_written;
}

std::string temporary_target(const std::string& file_name) {
    constexpr std::size_t kTail = 10;  // ".tmpXXXXXX"
    const std::size_t n = file_name.size();
    if (n < kTail + 2 || file_name[0] != '.' || file_name.compare(n - kTail, 4, ".tmp") != 0) return "";
    if (!std::all_of(file_name.end() - 6, file_name.end(), temporary_letter)) return "";
    return file_name.substr(1, n - kTail - 1);
}

bool remove_stale_temporary(const std::string& path, std::int64_t before) {
    if (path.find('\0') != std::string::npos) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {}, now {};
    bool removed = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                   std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec < before &&
                   ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // Still the file that was opened, and removed while it is held: a
    // writer that meets it afterwards finds it gone and takes another name.
    removed = removed && ::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino &&
              ::unlink(path.c_str()) == 0;
    ::close(fd);
    return removed;
}

bool atomic_commit(AtomicFile& out) {
    if (!out.f && out.fd_ < 0) return false;
    bool ok = !out.f || (std::fflush(out.f) == 0 && !std::ferror(out.f));
    // An unnamed file is linked while still open; linked as the target
    // itself (no temporary name), it is taken back should closing fail.
    const bool unnamed = std::exchange(out.unnamed_, false);
    if (ok && unnamed) ok = link_unnamed(out.f ? ::fileno(out.f) : out.fd_, out.target_, out.tmp_);
    const bool linked = ok && unnamed && out.tmp_.empty();
    if (out.f) {
        ok = (std::fclose(out.f) == 0) && ok;
        out.f = nullptr;
    } else {
        ok = (::close(out.fd_) == 0) && ok;
        out.fd_ = -1;
    }
    return settle_closed(ok, linked, out.target_, out.tmp_);
}

bool atomic_finish(AtomicFile& out, bool written) {
    if (written) return atomic_commit(out);
    atomic_abort(out);
    return false;
}

void atomic_abort(AtomicFile& out) {
    out.unnamed_ = false;
    if (out.f) std::fclose(out.f);
    out.f = nullptr;
    if (out.fd_ >= 0) ::close(out.fd_);
    out.fd_ = -1;
    if (!out.tmp_.empty()) {
        ::unlink(out.tmp_.c_str());
        unregister_temporary(out.tmp_.c_str());
    }
    out.tmp_.clear();
}

}  // namespace pk
