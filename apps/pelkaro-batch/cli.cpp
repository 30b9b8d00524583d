// pelkaro-batch: the order of the work.  Everything that can be wrong
// before a reduction (command line, base, table, output directory, outputs
// that would replace inputs) is found first and stops the program with
// status 2; then the rows, the summary and the report.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "batch.h"
#include "outputs.h"

#ifndef PELKARO_VERSION
#define PELKARO_VERSION "unknown"
#endif

namespace pk {

namespace {

int bad_usage(const std::string& why) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kBatchProgram, why.c_str(),
                 kBatchProgram);
    return 2;
}

int error2(const std::string& text) {
    std::fprintf(stderr, "%s: error: %s\n", kBatchProgram, text.c_str());
    return 2;
}

// The table's name less its directory and extension.
std::string default_out_dir(const std::string& table) {
    const std::size_t slash = table.rfind('/');
    std::string base = slash == std::string::npos ? table : table.substr(slash + 1);
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) return base.substr(0, dot);
    return base + ".out";
}

}  // namespace

bool output_directory(const std::string& dir, std::string& why) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            why = "cannot create the output directory " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        why = "the output directory " + dir + " is not a directory";
        return false;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        why = "the output directory " + dir + " is not writable: " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

void keep_shard(Table& table, int k, int n) {
    std::vector<TableRow> kept;
    for (TableRow& r : table.rows)
        if (r.index % n == k) kept.push_back(std::move(r));
    table.rows = std::move(kept);
}

// What the run did, on standard error; the exit status.
int finish(const BatchJob& job, const std::vector<RowResult>& results, bool stopped) {
    int ok = 0, refused = 0, failed = 0;
    std::vector<std::string> not_done;
    for (const RowResult& r : results) {
        if (r.state == RowState::ok) ++ok;
        else if (r.state == RowState::refused) ++refused;
        else if (r.state == RowState::failed) ++failed;
        else not_done.push_back(r.name);
    }
    std::fprintf(stderr, "%s: %d of %zu rows reduced, %d refused, %d failed%s\n", kBatchProgram, ok,
                 results.size(), refused, failed,
                 not_done.empty() ? "" : pk::format(", %zu not done", not_done.size()).c_str());
    if (!not_done.empty()) {
        std::string list;
        for (std::size_t i = 0; i < not_done.size() && i < 20; ++i) list += (i ? " " : "") + not_done[i];
        if (not_done.size() > 20) list += " ...";
        std::fprintf(stderr, "%s: %s; not done: %s\n", kBatchProgram, stopped ? "stopped" : "unfinished",
                     list.c_str());
    }
    (void)job;
    return ok == static_cast<int>(results.size()) ? 0 : 1;
}

// Direct-beam runs in the table need the empty beam; with it, the centre
// (and the ABSF) measured once for all rows.  Status 2 on any error.
int measure_empty_beam(BatchJob& job) {
    const BeamRun& e = job.opt.empty_beam;
    if (e.file.empty()) {
        for (const TableRow& r : job.table.rows)
            if (!r.sample_beam.file.empty() || !r.buffer_beam.file.empty())
                return error2(job.opt.table + ":" + std::to_string(r.line) + ": the " +
                              (r.sample_beam.file.empty() ? "buffer_beam" : "sample_beam") +
                              " is measured against the empty beam: give it with --empty-beam FILE,TIME,MONITOR");
        return 0;
    }
    TransRequest req;
    req.par = job.opt.base;
    req.empty = e;
    req.attenuation = job.opt.attenuation;
    req.dead_time = job.opt.dead_time;
    job.empty_beam = pk::measure_empty_beam(req);
    int refusals = 0;
    for (const TransNote& n : job.empty_beam.result.notes) {
        std::fprintf(stderr, "%s: %s: %s\n", kBatchProgram, n.warning ? "warning" : "error", n.text.c_str());
        refusals += n.warning ? 0 : 1;
    }
    return refusals == 0 && job.empty_beam.sums ? 0 : 2;
}

// pelkaro-trans's table of --trans, read once before any row: status 2,
// "TSV:LINE: error: ..." when it cannot be used.
int read_trans(BatchJob& job) {
    if (job.opt.trans_table.empty()) return 0;
    const Status st = read_trans_table(job.opt.trans_table, job.trans);
    if (st.ok()) return 0;
    std::fprintf(stderr, "%s%s: error: %s\n", job.opt.trans_table.c_str(),
                 st.line > 0 ? (":" + std::to_string(st.line)).c_str() : "", st.reason.c_str());
    return 2;
}

// Base, table, shard, output directory and outputs; status 2 on any error.
int prepare_job(BatchJob& job) {
    std::string why;
    if ((job.opt.formats & kFmtPlot) && (job.plot_program = find_plot_program()).empty())
        return error2("--formats plot needs the plotting program pelkaro-plot (on the PATH, beside this program, "
                      "or named by PELKARO_PLOT)");
    if (!read_base(job.opt.base, job.base, why)) return error2(job.opt.base + ": " + why);
    for (int line : job.base.dats_line_numbers)
        std::fprintf(stderr, "%s:%d: note: the DATS line is ignored: the samples come from the table\n",
                     job.opt.base.c_str(), line);
    std::vector<std::string> errors;
    job.table.transmissions_elsewhere = !job.opt.trans_table.empty();
    job.table.rows_may_follow = job.opt.follow;
    if (!read_table(job.opt.table, job.table, errors)) {
        for (const std::string& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
        return 2;
    }
    keep_shard(job.table, job.opt.shard_k, job.opt.shard_n);
    if (const int unread = read_trans(job)) return unread;
    if (const int measured = measure_empty_beam(job)) return measured;
    if (!output_directory(job.opt.out_dir, why)) return error2(why);
    errors = overwrite_errors(job);
    for (const std::string& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    if (!errors.empty()) return 2;
    remove_stale_temporaries(job);
    // One listing for all rows: a row removes only the earlier outputs that
    // are there, not every name it may write (a look-up in the directory
    // each, on disk).  Rows that --follow adds come later, and remove all.
    if (!job.opt.follow) job.listed = names_in(job.opt.out_dir, job.present);
    return 0;
}

int run_batch(BatchOptions opt, const std::atomic<int>* stop) {
    BatchJob job;
    if (opt.jobs <= 0) opt.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (opt.out_dir.empty()) opt.out_dir = default_out_dir(opt.table);
    opt.progress_bar = ::isatty(2) == 1;
    job.opt = opt;
    // The main thread's rows, then the summary and the report of them all
    // (3 MB for 1,000 rows), on huge pages.
    const std::vector<char> below = huge_page_arena(kMainHeap);
    const int prepared = prepare_job(job);
    if (prepared != 0) return prepared;
    const std::vector<RowResult> results =
        opt.follow ? follow_rows(job, StopFlag{stop}, stderr) : run_rows(job, StopFlag{stop}, stderr);
    std::string why;
    const std::string summary = job.opt.out_dir + "/" + summary_name(opt.shard_k, opt.shard_n);
    if (!write_summary(summary, results, why)) std::fprintf(stderr, "%s: error: %s\n", kBatchProgram, why.c_str());
    if (opt.shard_n == 1 &&
        !write_report(job.opt.out_dir + "/report.html", results, report_info(job, false), job.opt.jobs, why))
        std::fprintf(stderr, "%s: error: %s\n", kBatchProgram, why.c_str());
    const int status = finish(job, results, StopFlag{stop}.raised());
    return why.empty() ? status : 1;
}

}  // namespace

ReportInfo report_info(const BatchJob& job, bool live) {
    ReportInfo info{job.opt.table, {}, live};
    if (!job.opt.empty_beam.file.empty())
        info.notes.push_back("CNTR" + std::string(job.opt.attenuation > 0 ? " and ABSF" : "") +
                             " measured on the empty beam " + job.opt.empty_beam.file +
                             ", the transmissions of the sample_beam and buffer_beam columns against it");
    if (!job.opt.trans_table.empty())
        info.notes.push_back("transmissions, CNTR and ABSF (where it gives them) from pelkaro-trans's table " +
                             job.opt.trans_table);
    return info;
}

int run_report(const BatchOptions& opt);

int batch_main(int argc, const char* const* argv, const std::atomic<int>* stop) {
    BatchOptions opt;
    std::string why;
    try {
        switch (parse_batch_args(argc, argv, opt, why)) {
            case BatchCli::help: std::fputs(batch_usage().c_str(), stdout); return 0;
            case BatchCli::version: std::printf("%s %s\n", kBatchProgram, PELKARO_VERSION); return 0;
            case BatchCli::bad: return bad_usage(why);
            case BatchCli::report: return run_report(opt);
            case BatchCli::run: break;
        }
        return run_batch(opt, stop);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: error: out of memory\n", kBatchProgram);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: error: internal error (%s)\n", kBatchProgram, e.what());
    }
    return 1;
}

}  // namespace pk
