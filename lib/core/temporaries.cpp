#include "temporaries.h"

#include <atomic>
#include <deque>
#include <mutex>

#include <unistd.h>

namespace pk {

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

}  // namespace

void register_temporary(const char* path) {
    if (claim_slot(path)) return;
    TmpRegistry& r = registry();
    const std::lock_guard<std::mutex> hold(r.grow);
    if (claim_slot(path)) return;
    TmpBlock& b = r.blocks.emplace_back();
    b.slot[0].store(path);
    b.next.store(r.first.load());
    r.first.store(&b);
}

void unregister_temporary(const char* path) {
    for (TmpBlock* b = registry().first.load(); b; b = b->next.load())
        for (auto& slot : b->slot) {
            const char* mine = path;
            if (slot.compare_exchange_strong(mine, nullptr)) return;
        }
}

void remove_registered_temporaries() {
    for (TmpBlock* b = registry().first.load(); b; b = b->next.load())
        for (auto& slot : b->slot) {
            const char* path = slot.load();
            if (path) ::unlink(path);
        }
}

}  // namespace pk
