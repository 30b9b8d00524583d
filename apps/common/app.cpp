#include "app.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "pelkaro/Pelkaro.h"
#include "pelkaro/process.h"

namespace pk {

namespace {

// Removes the temporary files and dies of the same signal (the handler is
// installed with SA_RESETHAND, and the signal stays blocked until it returns).
extern "C" void on_termination(int sig) {
    remove_pending_temporaries();
    ::raise(sig);
}

}  // namespace

bool option_value(int argc, const char* const* argv, int& i, const std::string& name, std::string& value,
                  bool& matched, std::string& why, bool non_empty, bool glued_short) {
    const std::string a = argv[i];
    const bool short_glued = glued_short && name.size() == 2 && a.size() > 2 && a.compare(0, 2, name) == 0;
    matched = a == name || a.compare(0, name.size() + 1, name + "=") == 0 || short_glued;
    if (!matched) return true;
    if (short_glued) value = a.substr(2);
    else if (a.size() > name.size()) value = a.substr(name.size() + 1);
    else if (i + 1 < argc) value = argv[++i];
    else why = "option '" + name + "' needs a value";
    if (why.empty() && non_empty && value.empty()) why = "option '" + name + "' needs a value that is not empty";
    return why.empty();
}

int finish_output(int status, const char* program, int failure, bool keep_failure) {
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    if (!failed) return status;
    std::fprintf(stderr, "%s: error: the report could not be written to standard output\n", program);
    return keep_failure && status != 0 ? status : failure;
}

Simd simd_from_environment() { return simd_named(std::getenv("PELKARO_ISA")); }

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

#if defined(__GLIBC__) && defined(MADV_HUGEPAGE) && PK_OWN_ALLOCATOR
#define PK_HUGE_PAGES 1
namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

// The calling thread's heap filled up to a 2 MiB boundary (the returned
// reservation), and the `blocks` 2 MiB above it marked for huge pages: the
// heap's next large allocations start there.
std::vector<char> huge_page_room(std::size_t blocks) {
    std::vector<char> spacer;
    try {
        // Grows the heap and gives the room back to its top: the address
        // is where the next large allocations start.
        std::uintptr_t top = 0;
        {
            std::vector<char> probe;
            probe.reserve((blocks + 1) * kHuge);
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
    return spacer;
}

}  // namespace
#endif

std::vector<char> huge_page_heap(std::size_t bytes) {
#if PK_HUGE_PAGES
    constexpr std::size_t kMost = std::size_t{16} << 20;
    if (bytes == 0 || bytes > kMost) return {};
    const std::size_t blocks = (bytes + kHuge - 1) / kHuge;
    const std::size_t reach = (blocks + 1) * kHuge;  // heap needed from its top on
    if (mallopt(M_MMAP_THRESHOLD, static_cast<int>(reach + kHuge)) != 1 ||
        mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * reach + kHuge)) != 1)
        return {};
    return huge_page_room(blocks);
#else
    (void)bytes;
    return {};
#endif
}

std::vector<char> huge_page_arena(std::size_t bytes) {
#if PK_HUGE_PAGES
    constexpr std::size_t kMost = std::size_t{32} << 20;  // with the room below, within keep_freed_memory's
    if (bytes == 0 || bytes > kMost) return {};
    return huge_page_room((bytes + kHuge - 1) / kHuge);
#else
    (void)bytes;
    return {};
#endif
}

void keep_freed_memory() {
#if defined(__GLIBC__) && PK_OWN_ALLOCATOR
    constexpr int kLarge = 64 << 20;
    mallopt(M_MMAP_THRESHOLD, kLarge);
    mallopt(M_TRIM_THRESHOLD, 2 * kLarge);
#endif
}

std::string quoted(const std::string& s) { return "\"" + escaped(s) + "\""; }

std::string quoted_value(const std::string& s) {
    constexpr int kMost = 80;
    // The first kMost characters, a UTF-8 sequence never split.
    int chars = 0;
    std::size_t cut = 0;
    for (; cut < s.size(); ++cut) {
        const bool starts_char = (static_cast<unsigned char>(s[cut]) & 0xC0) != 0x80;
        if (starts_char && chars++ == kMost) break;
    }
    return cut == s.size() ? quoted(s) : quoted(s.substr(0, cut)) + "...";
}

std::string counted_as(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace pk
