// One row: its parameter file written, checked as pelkaro-check checks it
// (the check reduces it through the library, with the fixed parts of its
// configuration prepared once for all rows that share them), and its
// outputs written from that reduction.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_set>
#include <map>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "app.h"
#include "batch.h"
#include "outputs.h"
#include "pelkaro/files.h"
#include "pelkaro/check.h"
#include "pelkaro/run.h"
#include "pelkaro/series.h"
#if PK_WITH_H5
#include "pelkaro/nxcansas.h"
#endif

namespace pk {

namespace {

// Writes `text` as the file `path`: "" when done, else why not (the
// system's reason where it gives one).
std::string write_text(const std::string& path, const std::string& text) {
    pk::AtomicFile out;
    errno = 0;
    bool done = pk::atomic_open(path, out);
    if (done) {
        const bool written = std::fwrite(text.data(), 1, text.size(), out.f) == text.size();
        const int write_error = written ? 0 : errno;
        done = pk::atomic_finish(out, written);
        if (write_error != 0) errno = write_error;
    }
    const int e = errno;
    return done ? std::string() : "cannot write " + path + (e != 0 ? std::string(": ") + std::strerror(e) : "");
}

// The check's diagnostics that do not concern this row: the places Pelkaro
// itself would write (beside the first sample file) are not where the
// row's outputs go.
bool about_own_outputs(const Diagnostic& d) {
    return d.severity == Severity::error &&
           (d.kind == DiagnosticKind::output_location || d.kind == DiagnosticKind::output_not_regular);
}

// The check of the row, with its reduction: false with the row refused or
// failed.  A warning refuses the row under --strict.
bool checked(const BatchJob& job, const std::string& par, SeriesCheck& sc, RowResult& res) {
    const CheckResult chk = check_run(par, sc);
    std::string first_error;
    int errors = 0;
    for (const Diagnostic& d : chk.diagnostics) {
        if (about_own_outputs(d)) continue;
        if (d.severity == Severity::warning) res.warnings.push_back(diagnostic_line(d));
        if (d.severity == Severity::error && errors++ == 0) first_error = diagnostic_line(d);
    }
    res.state = RowState::refused;
    if (!sc.reduction.ok()) {
        res.state = RowState::failed;
        res.error = "the reduction failed: " + sc.reduction.reason;
    } else if (errors > 0) {
        res.error = first_error + (errors > 1 ? " (and " + counted_as(errors - 1, "more error", "more errors") + ")" : "");
    } else if (sc.run.p.mode != 0) {
        res.error = pk::format("%s asks for %s (MODE %d), not a reduction", par.c_str(),
                               sc.run.p.mode == 1 ? "the mask file" : "the beam centre", sc.run.p.mode);
    } else if (job.opt.strict && !res.warnings.empty()) {
        res.error = "refused under --strict: " + res.warnings.front() +
                    (res.warnings.size() > 1 ? " (and " +
                                                   counted_as(static_cast<long long>(res.warnings.size()) - 1,
                                                           "more warning", "more warnings") +
                                                   ")"
                                             : "");
    } else if (!sc.reduced) {
        res.state = RowState::failed;
        res.error = "the check made no reduction";
    }
    return res.error.empty();
}

// The row's files but its parameter file.
void remove_outputs(const std::string& stem) {
    const std::vector<std::string> files = row_output_names(stem);
    for (std::size_t i = 1; i < files.size(); ++i) ::unlink(files[i].c_str());
}

}  // namespace

namespace {

bool has_curve(const Param& p) { return p.average == 1 || p.average == 2; }
bool has_image(const Param& p) { return p.average == 0 || p.average == 2; }

// The row's files from a completed reduction, as --formats selects them:
// the text files only where Pelkaro writes them (its averaging mode).
bool write_row_files(const BatchJob& job, const TableRow& row, const Run& run, const std::string& stem,
                     RowResult& res) {
    const unsigned f = job.opt.formats;
    struct Text {
        unsigned fmt;
        bool wanted;
        const char* ext;
    } texts[] = {{kFmtD1d, has_curve(run.p), ".d1d"}, {kFmtD2d, has_image(run.p), ".d2d"}};
    for (const Text& t : texts) {
        if (!(f & t.fmt) || !t.wanted) continue;
        const Status st = t.fmt == kFmtD1d ? write_1D_as(run.curve, stem + t.ext)
                                           : write_2D_as(run.reduced, run.file, stem + t.ext);
        if (!st.ok()) {
            res.error = st.reason;
            return false;
        }
        res.outputs.push_back(row.name + t.ext);
        if (!(f & kFmtPlot)) continue;
        std::string why;
        if (!draw_plot(job.plot_program, stem + t.ext, stem + t.ext + ".png", why)) {
            res.error = "cannot draw " + stem + t.ext + ".png: " + why;
            return false;
        }
        res.outputs.push_back(row.name + t.ext + ".png");
    }
#if PK_WITH_H5
    if (f & kFmtH5) {
        NxOptions nx;
        nx.param = stem + ".par";
        nx.out = stem + ".h5";
        nx.title = row.title;
        nx.title_given = !row.title.empty();
        const Status st = write_file(run, nx, nx.out);
        if (!st.ok()) {
            res.error = st.reason;
            return false;
        }
        res.outputs.push_back(row.name + ".h5");
    }
#endif
    return true;
}

void curve_figures(const Run& run, RowResult& res) {
    if (!has_curve(run.p)) return;
    res.has_curve = true;
    for (int i = 0; i < run.curve.num && static_cast<std::size_t>(i) < run.curve.area.size(); ++i) {
        if (run.curve.area[static_cast<std::size_t>(i)] == 0) continue;
        if (res.points++ == 0) res.i_low_q = run.curve.y[static_cast<std::size_t>(i)];
    }
}

RowResult reduce_row_unguarded(const BatchJob& job, const TableRow& row, SeriesCache& cache) {
    RowResult res;
    res.index = row.index;
    res.name = row.name;
    res.dir = job.opt.out_dir;
    const std::string stem = job.opt.out_dir + "/" + row.name;
    remove_outputs(stem);
    res.state = RowState::failed;
    res.error = write_text(stem + ".par", row_param_text(job.base, row, job.opt.table));
    if (!res.error.empty()) return res;
    res.outputs.push_back(row.name + ".par");
    SeriesCheck sc;
    sc.cache = &cache;
    sc.want_sums = (job.opt.formats & kFmtH5) != 0;  // the NXcanSAS file's Qmean, Idev and Qdev
    if (!checked(job, stem + ".par", sc, res)) return res;
    const Run& run = sc.run;
    if (!write_row_files(job, row, run, stem, res)) {
        res.state = RowState::failed;  // checked, then not written: a full disk, a file-size limit
        remove_outputs(stem);
        res.outputs.resize(1);
        return res;
    }
    curve_figures(run, res);
    res.state = RowState::ok;
    return res;
}

}  // namespace

RowResult reduce_row(const BatchJob& job, const TableRow& row, SeriesCache& cache) {
    try {
        return reduce_row_unguarded(job, row, cache);
    } catch (const std::bad_alloc&) {
        RowResult res;
        res.index = row.index;
        res.name = row.name;
        res.dir = job.opt.out_dir;
        res.state = RowState::failed;
        res.error = "out of memory";
        remove_outputs(job.opt.out_dir + "/" + row.name);
        return res;
    }
}

}  // namespace pk
