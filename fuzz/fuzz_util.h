// Shared pieces of the fuzz targets: a private scratch directory that the
// target works in, console output sent to /dev/null (the stages print a lot
// and the fuzzer's speed should not be spent on it), and a check that stops
// the fuzzer with a message when an invariant of the program breaks.
#ifndef PELKARO_FUZZ_UTIL_H
#define PELKARO_FUZZ_UTIL_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>


namespace pkf {

// Reports a broken invariant as a crash, so libFuzzer saves the input.
[[noreturn]] inline void fail(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "pelkaro fuzz: invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}
inline void check(bool ok, const char* what, const std::string& detail = std::string()) {
    if (!ok) fail(what, detail);
}

// Sends standard output to /dev/null, once per process.
inline void quiet_stdout() {
    static const bool done = [] {
        std::fflush(stdout);
        int fd = ::open("/dev/null", O_WRONLY);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::close(fd);
        }
        return true;
    }();
    (void)done;
}

// Creates a scratch directory (on tmpfs where there is one), removed when
// the process exits.
inline const std::string& scratch_dir() {
    static std::string dir;
    if (dir.empty()) {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
        std::string tmpl = base ? std::string(base) : std::filesystem::temp_directory_path().string();
        tmpl += "/pelkaro-fuzz-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) fail("cannot create the scratch directory");
        dir = buf.data();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
    }
    return dir;
}

// Makes the scratch directory the working directory while it lives.  Every
// name the targets use is relative, so nothing is written outside it, and
// libFuzzer's own relative paths (corpus, artifacts) still work between runs.
class InScratch {
public:
    InScratch() : home_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (home_ < 0 || ::chdir(scratch_dir().c_str()) != 0) fail("cannot enter the scratch directory");
    }
    ~InScratch() {
        if (::fchdir(home_) != 0) fail("cannot leave the scratch directory");
        ::close(home_);
    }
    InScratch(const InScratch&) = delete;
    InScratch& operator=(const InScratch&) = delete;

private:
    int home_;
};

inline void write_file(const std::string& name, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) fail("cannot write a scratch file", name);
    if (size > 0 && std::fwrite(data, 1, size, f) != size) fail("short write of a scratch file", name);
    std::fclose(f);
}
inline void write_file(const std::string& name, const std::string& s) {
    write_file(name, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

inline std::string read_file(const std::string& name) {
    std::string s;
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

// Removes everything in the scratch directory.
inline void clear_scratch() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(scratch_dir(), ec)) {
        std::error_code ec2;
        std::filesystem::remove_all(e.path(), ec2);
    }
}

}  // namespace pkf

#endif
