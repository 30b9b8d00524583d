// --follow: live reduction while the files of an experiment arrive.  The
// main thread looks every 0.2 s at the table (rows may be appended) and at
// the files of each row not yet started; a row whose files are all complete
// goes to the worker threads.  A file is complete when FILE.done exists
// beside it, or when its size and modification time have stayed the same
// for --settle seconds (with --done-markers, only the marker counts): a file
// still being written is never read.  As rows
// finish, summary.csv and report.html are rewritten (at most once a second,
// and no more often than four times the last report's own writing time;
// a finished row's part of the page is made once and kept, so a long table
// costs little more than a short one).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "batch.h"
#include "outputs.h"
#include "pelkaro/files.h"

namespace pk {

namespace {

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

bool file_complete(const std::string& path, double settle, bool markers_only, std::int64_t now_ns, FileSeen& seen) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        seen = FileSeen{};
        return false;
    }
    if (exists(path + ".done")) return true;
    if (markers_only) return false;
    const long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (seen.size != static_cast<long long>(st.st_size) || seen.mtime_ns != mtime) {
        seen = FileSeen{static_cast<long long>(st.st_size), mtime, now_ns};
        return false;  // first seen, or changed: look again later
    }
    const long long need = static_cast<long long>(settle * 1e9);
    return now_ns - seen.since_ns >= need || now_ns - mtime >= need;
}

namespace {

// What the main thread and the workers share.
struct Live {
    const BatchJob& job;
    SeriesCache cache;
    std::mutex m;
    std::mutex hdf5;  // the NXcanSAS files' library, one thread at a time
    std::condition_variable wake;
    std::deque<std::pair<std::size_t, TableRow>> queue;  // (result slot, row)
    std::vector<RowResult> results;
    std::size_t finished = 0;
    bool closing = false, changed = false;
    std::FILE* progress = nullptr;
    ReportCache report;  // the main thread's only
};

void live_worker(Live& s) {
    const std::vector<char> below = row_thread_heap();
    NxFixed fixed;  // this thread's, kept from row to row
    fixed.library = &s.hdf5;
    for (;;) {
        std::pair<std::size_t, TableRow> task;
        {
            std::unique_lock<std::mutex> lock(s.m);
            s.wake.wait(lock, [&s] { return s.closing || !s.queue.empty(); });
            if (s.closing) return;
            task = std::move(s.queue.front());
            s.queue.pop_front();
        }
        RowResult r = reduce_row(s.job, task.second, s.cache, fixed);
        std::lock_guard<std::mutex> lock(s.m);
        ++s.finished;
        if (s.progress)
            std::fprintf(s.progress, "%s: [%zu/%zu] %s: %s\n", kBatchProgram, s.finished, s.results.size(),
                         r.name.c_str(),
                         r.state == RowState::ok ? "ok" : (std::string(state_name(r.state)) + ": " + r.error).c_str());
        s.results[task.first] = std::move(r);
        s.changed = true;
    }
}

// The files of a row's own: its samples and buffers, its direct-beam runs.
std::vector<std::string> row_files(const TableRow& row) {
    std::vector<std::string> files = row.samples;
    files.insert(files.end(), row.buffers.begin(), row.buffers.end());
    for (const BeamRun* b : {&row.sample_beam, &row.buffer_beam})
        if (!b->file.empty()) files.push_back(b->file);
    return files;
}

// The table as it stands: its complete lines (a line still being written is
// left for the next look, unless the file is complete).
struct TableWatch {
    FileSeen seen;
    std::string parsed;          // the text last parsed without error
    std::set<std::string> said;  // errors printed once
};

void say_once(TableWatch& w, const std::string& text) {
    if (w.said.insert(text).second) std::fprintf(stderr, "%s\n", text.c_str());
}

// Rows appended to the table since the last look, added to job.table;
// errors printed once each, and the table's new rows left for a later look
// until it reads without error.
void read_appended(BatchJob& job, TableWatch& w) {
    std::string text;
    if (!pk::read_file(job.opt.table, text).ok()) return;
    if (!text.empty() && text.back() != '\n' && text.rfind('\n') != std::string::npos &&
        !file_complete(job.opt.table, job.opt.settle, false, wall_ns(), w.seen))
        text.erase(text.rfind('\n') + 1);
    if (text == w.parsed) return;
    Table now;
    now.transmissions_elsewhere = job.table.transmissions_elsewhere;
    now.rows_may_follow = true;
    std::vector<std::string> errors;
    if (!parse_table(job.opt.table, text, now, errors)) {
        for (const std::string& e : errors) say_once(w, e);
        return;
    }
    std::vector<TableRow> kept;
    for (TableRow& r : now.rows)
        if (r.index % job.opt.shard_n == job.opt.shard_k) kept.push_back(std::move(r));
    for (std::size_t i = 0; i < job.table.rows.size(); ++i)
        if (i >= kept.size() || kept[i].name != job.table.rows[i].name) {
            say_once(w, job.opt.table + ": error: a row was changed or removed while following; rows may only "
                                        "be appended");
            return;
        }
    w.parsed = text;
    if (kept.size() == job.table.rows.size()) return;
    const std::vector<TableRow> before = job.table.rows;
    job.table.rows = kept;
    const std::vector<std::string> clashes = overwrite_errors(job);
    for (const std::string& e : clashes) say_once(w, e);
    if (!clashes.empty()) job.table.rows = before, w.parsed.clear();
}

using Clock = std::chrono::steady_clock;

// The summary and the report of the rows as they stand.
void write_live(const BatchJob& job, Live& s, bool live) {
    std::vector<RowResult> now;
    {
        std::lock_guard<std::mutex> lock(s.m);
        now = s.results;
        s.changed = false;
    }
    std::string why;
    if (!write_summary(job.opt.out_dir + "/" + summary_name(job.opt.shard_k, job.opt.shard_n), now, why))
        std::fprintf(stderr, "%s: error: %s\n", kBatchProgram, why.c_str());
    if (job.opt.shard_n == 1 &&
        !write_report(job.opt.out_dir + "/report.html", now, report_info(job, live), job.opt.jobs, why, &s.report))
        std::fprintf(stderr, "%s: error: %s\n", kBatchProgram, why.c_str());
}

// Starts every row whose files are complete; the number still waiting.
std::size_t start_ready(BatchJob& job, Live& s, std::vector<bool>& started, std::map<std::string, FileSeen>& seen) {
    const std::int64_t now = wall_ns();
    // The base's files (buffer, dark current, flat field, mask) by their
    // size and time alone: they are there before the experiment, no marker beside them.
    bool base_ready = true;
    for (const std::string& f : job.base.inputs)
        base_ready = file_complete(f, job.opt.settle, false, now, seen[f]) && base_ready;
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < job.table.rows.size(); ++i) {
        if (i >= started.size()) started.push_back(false);
        if (started[i]) continue;
        const TableRow& row = job.table.rows[i];
        bool ready = base_ready;
        for (const std::string& f : row_files(row))
            ready = file_complete(f, job.opt.settle, job.opt.done_markers, now, seen[f]) && ready;
        if (!ready) {
            ++waiting;
            continue;
        }
        started[i] = true;
        std::lock_guard<std::mutex> lock(s.m);
        s.queue.emplace_back(i, row);
        s.wake.notify_one();
    }
    return waiting;
}

// Slots for the rows appended since the last look, not done until reduced.
void add_slots(const BatchJob& job, Live& s) {
    std::lock_guard<std::mutex> lock(s.m);
    for (std::size_t i = s.results.size(); i < job.table.rows.size(); ++i) {
        RowResult r;
        r.index = job.table.rows[i].index;
        r.name = job.table.rows[i].name;
        r.dir = job.opt.out_dir;
        s.results.push_back(std::move(r));
        s.changed = true;
    }
}

}  // namespace

std::vector<RowResult> follow_rows(BatchJob& job, StopFlag stop, std::FILE* progress) {
    Live s{job, {}, {}, {}, {}, {}, {}, 0, false, true, progress, {}};
    TableWatch watch;
    std::vector<bool> started;
    std::map<std::string, FileSeen> seen;
    std::vector<std::thread> pool;
    for (int t = 0; t < std::max(1, job.opt.jobs); ++t) pool.emplace_back(live_worker, std::ref(s));
    Clock::time_point next_write = Clock::now();
    while (!stop.raised()) {
        read_appended(job, watch);
        add_slots(job, s);
        start_ready(job, s, started, seen);
        bool changed = false, all_done = false;
        {
            std::lock_guard<std::mutex> lock(s.m);
            changed = s.changed;
            all_done = !s.results.empty() && s.finished == s.results.size();
        }
        if (all_done) break;
        if (changed && Clock::now() >= next_write) {
            const Clock::time_point t0 = Clock::now();
            write_live(job, s, true);
            next_write = Clock::now() + std::max<Clock::duration>(std::chrono::seconds(1), 4 * (Clock::now() - t0));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    {
        std::lock_guard<std::mutex> lock(s.m);
        s.closing = true;  // rows in progress finish; rows queued and not started stay not done
        s.wake.notify_all();
    }
    for (std::thread& t : pool) t.join();
    return std::move(s.results);
}

}  // namespace pk
