// Library work in a working directory of its own, with C's number formats.
#include <locale.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "py_run.h"

namespace pk::py {

namespace {

// C's number formats on the calling thread while the object lives: the
// library reads numbers with strtof and writes them with printf, which
// follow the thread's locale, and an interpreter may have set another
// (locale.setlocale in a notebook: "0.1" would then read as 0).
class CNumbers {
public:
    CNumbers() : c_(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr))), old_(c_ ? uselocale(c_) : nullptr) {}
    ~CNumbers() {
        if (!c_) return;
        uselocale(old_);
        freelocale(c_);
    }
    CNumbers(const CNumbers&) = delete;
    CNumbers& operator=(const CNumbers&) = delete;

private:
    locale_t c_;
    locale_t old_;
};

std::string errno_text(int err) { return std::error_code(err, std::generic_category()).message(); }

}  // namespace

void in_directory(const std::optional<std::string>& cwd, const std::function<void()>& job) {
    if (!cwd) {
        CNumbers c;
        job();
        return;
    }
    std::exception_ptr failed;
    std::string why;
    // The working directory belongs to the process; a thread that unshares
    // its file-system attributes gets one of its own, gone with the thread.
    std::thread worker([&] {
        try {
            if (::unshare(CLONE_FS) != 0)
                why = "cwd= needs a thread with a working directory of its own, which this system refuses (" +
                      errno_text(errno) + "); change to the directory instead (os.chdir)";
            else if (::chdir(cwd->c_str()) != 0)
                why = "cannot enter the directory " + *cwd + " given as cwd: " + errno_text(errno);
            if (!why.empty()) return;
            CNumbers c;
            job();
        } catch (...) {
            failed = std::current_exception();
        }
    });
    worker.join();
    if (failed) std::rethrow_exception(failed);
    if (!why.empty()) throw refusal(Stage::parameters, Code::cannot_read, why);
}

}  // namespace pk::py
