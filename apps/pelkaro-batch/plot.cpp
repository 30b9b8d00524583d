// Plots through the plotting script, run as a program.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "batch.h"
#include "pelkaro/files.h"

extern char** environ;

namespace pk {

namespace {

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string own_directory() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "";
    const std::string self(buf.data(), static_cast<std::size_t>(n));
    const std::size_t slash = self.rfind('/');
    return slash == std::string::npos ? "" : self.substr(0, slash);
}

// Runs argv with standard output and error discarded; its exit status, or
// -1 when it could not be started or died of a signal.
int run_quietly(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string find_plot_program() {
    const char* env = std::getenv("PELKARO_PLOT");
    if (env && *env) return executable(env) ? env : "";
    const std::string beside = own_directory() + "/pelkaro-plot";
    if (executable(beside)) return beside;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    std::size_t at = 0;
    while (at <= dirs.size()) {
        std::size_t colon = dirs.find(':', at);
        if (colon == std::string::npos) colon = dirs.size();
        const std::string dir = colon > at ? dirs.substr(at, colon - at) : ".";
        if (executable(dir + "/pelkaro-plot")) return dir + "/pelkaro-plot";
        at = colon + 1;
    }
    return "";
}

bool draw_plot(const std::string& program, const std::string& in, const std::string& out, std::string& why) {
    // The plotting program writes the PNG under a temporary name of its own
    // and renames it over `out` only when complete (and removes it when
    // stopped), so a failed plot leaves no partial file.
    const int status = run_quietly({program, in, out});
    struct stat st {};
    const bool drawn = status == 0 && ::stat(out.c_str(), &st) == 0 && st.st_size > 0;
    if (!drawn) why = status < 0 ? "the plotting program " + program + " could not be run or was stopped"
                                 : "the plotting program " + program + " failed (exit status " +
                                       std::to_string(status) + ")";
    return drawn;
}

}  // namespace pk
