// The rows reduced by a number of threads, each taking the next row not yet
// started, and the progress shown as they finish.  A termination signal
// lets the rows in progress finish and starts no other.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "batch.h"
#include "pelkaro/check.h"

namespace pk {

namespace {

using Clock = std::chrono::steady_clock;

struct Progress {
    std::FILE* out = nullptr;
    bool bar = false;
    std::size_t total = 0;
    std::size_t done = 0;
    std::size_t failures = 0;
    Clock::time_point start = Clock::now();
    Clock::time_point shown{};

    void finished(const RowResult& r);
    void close();
};

std::string clock_text(double seconds) {
    if (!(seconds >= 0) || seconds > 359999) return "--:--";
    const long s = std::lround(seconds);
    return s >= 3600 ? pk::format("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60)
                     : pk::format("%02ld:%02ld", s / 60, s % 60);
}

void Progress::finished(const RowResult& r) {
    ++done;
    if (r.state != RowState::ok) ++failures;
    if (!out) return;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!bar) {
        std::string what = r.state == RowState::ok ? "ok" : std::string(state_name(r.state)) + ": " + r.error;
        if (!r.warnings.empty()) what += " (" + counted_as(static_cast<long long>(r.warnings.size()), "warning",
                                                        "warnings") + ")";
        std::fprintf(out, "%s: [%zu/%zu] %s: %s\n", kBatchProgram, done, total, r.name.c_str(), what.c_str());
        return;
    }
    const auto now = Clock::now();
    if (done < total && now - shown < std::chrono::milliseconds(100)) return;
    shown = now;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    const double left = rate > 0 ? static_cast<double>(total - done) / rate : -1;
    std::fprintf(out, "\r%s: %zu/%zu rows, %zu failed, %.1f rows/s, %s left \033[K", kBatchProgram, done, total,
                 failures, rate, clock_text(left).c_str());
    std::fflush(out);
}

void Progress::close() {
    if (out && bar) std::fprintf(out, "\n");
}

struct Shared {
    const BatchJob& job;
    StopFlag stop;
    SeriesCache cache;
    std::mutex m;
    std::mutex hdf5;  // the NXcanSAS files' library, one thread at a time
    std::size_t next = 0;
    std::vector<RowResult> results;
    Progress progress;
};

void worker(Shared& s) {
    NxFixed fixed;  // this thread's, kept from row to row
    fixed.library = &s.hdf5;
    for (;;) {
        std::size_t i = 0;
        {
            std::lock_guard<std::mutex> lock(s.m);
            if (s.stop.raised() || s.next >= s.job.table.rows.size()) return;
            i = s.next++;
        }
        RowResult r = reduce_row(s.job, s.job.table.rows[i], s.cache, fixed);
        std::lock_guard<std::mutex> lock(s.m);
        s.progress.finished(r);
        s.results[i] = std::move(r);
    }
}

}  // namespace

std::vector<char> row_thread_heap() {
    // The images, plans and buffers of a row and of the series' setup it
    // may make, with room.
    constexpr std::size_t kRowThreadHeap = std::size_t{8} << 20;
    return huge_page_arena(kRowThreadHeap);
}

const char* state_name(RowState s) {
    switch (s) {
        case RowState::ok: return "ok";
        case RowState::refused: return "refused";
        case RowState::failed: return "failed";
        case RowState::not_done: break;
    }
    return "not done";
}

std::vector<RowResult> run_rows(const BatchJob& job, StopFlag stop, std::FILE* progress) {
    Shared s{job, stop, {}, {}, {}, 0, {}, {}};
    const std::vector<TableRow>& rows = job.table.rows;
    s.results.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        s.results[i].index = rows[i].index;
        s.results[i].name = rows[i].name;
        s.results[i].dir = job.opt.out_dir;
    }
    s.progress.out = progress;
    s.progress.bar = job.opt.progress_bar;
    s.progress.total = rows.size();
    const int threads = std::max(1, std::min<int>(job.opt.jobs, static_cast<int>(rows.size())));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back([&s] {
            const std::vector<char> below = row_thread_heap();
            worker(s);
        });
    worker(s);  // on the heap the program arranged
    for (std::thread& t : pool) t.join();
    s.progress.close();
    return std::move(s.results);
}

}  // namespace pk
