// pelkaro-batch: reduces a whole experiment from a sample table, in
// parallel, with a summary and a report.
#include <signal.h>

#include <atomic>
#include <csignal>

#include "app.h"
#include "batch.h"
#include "pelkaro/process.h"

namespace {

// Set by the first SIGINT or SIGTERM: the rows in progress finish, no other
// starts.  A signal handler can reach nothing else; a lock-free atomic is
// safe both there and in the threads that read it.
std::atomic<int> stop_requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

// The first signal asks for a stop; a second one ends the program at once,
// its temporary files removed.
extern "C" void on_stop(int sig) {
    if (stop_requested.exchange(1) == 0) return;
    pk::remove_pending_temporaries();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void catch_stop_signals() {
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction now {};
        if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        struct sigaction act {};
        act.sa_handler = on_stop;
        sigemptyset(&act.sa_mask);
        ::sigaction(sig, &act, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    pk::init_process();
    pk::keep_freed_memory();
    catch_stop_signals();
    return pk::batch_main(argc, argv, &stop_requested);
}
