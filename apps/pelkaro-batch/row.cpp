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
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "app.h"
#include "batch.h"
#include "outputs.h"
#include "report.h"
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
    errno = 0;
    if (pk::atomic_write_file(path, text) == pk::WholeFile::written) return "";
    const int e = errno;
    return "cannot write " + path + (e != 0 ? std::string(": ") + std::strerror(e) : "");
}

// The check's diagnostics that do not concern this row: the places Pelkaro
// itself would write (beside the first sample file) are not where the
// row's outputs go.
bool about_own_outputs(const Diagnostic& d) {
    return d.severity == Severity::error &&
           (d.kind == DiagnosticKind::output_location || d.kind == DiagnosticKind::output_not_regular);
}

// A diagnostic on a detector file that a table's column named (a sample or
// buffer file): placed at the table's line and that column, the file and
// its line after it.  Files the base names keep their own place.
std::string file_diagnostic(const Diagnostic& d, const RowParFile& pf) {
    std::size_t at = 0;
    for (std::size_t i = 0; at < pf.text.size(); ++i) {
        const std::size_t end = std::min(pf.text.find('\n', at), pf.text.size());
        const std::string line = pf.text.substr(at, end - at);
        at = end + 1;
        const bool sample = line.compare(0, 5, "DATS ") == 0, buffer = line.compare(0, 5, "DATB ") == 0;
        if ((!sample && !buffer) || i >= pf.lines.size()) continue;
        const std::size_t name_end = line.find(' ', 5);
        if (line.substr(5, name_end == std::string::npos ? std::string::npos : name_end - 5) != d.file) continue;
        const ParSource& from = pf.lines[i];
        if (from.file.empty() || from.columns.find(sample ? "sample" : "buffer") == std::string::npos) break;
        Diagnostic placed = d;
        placed.file = from.file;
        placed.line = from.line;
        placed.text = std::string("column ") + (sample ? "sample" : "buffer") + ": " + d.file +
                      (d.line > 0 ? ":" + std::to_string(d.line) : std::string()) + ": " + d.text;
        return diagnostic_line(placed);
    }
    return diagnostic_line(d);
}

// A diagnostic on a line of the row's parameter file, placed where the
// line came from: the table's line and columns, the base's line or the
// empty beam, with the parameter file's line after it.
std::string row_diagnostic(const Diagnostic& d, const std::string& par, const RowParFile& pf) {
    if (d.file != par) return file_diagnostic(d, pf);
    if (d.line < 1 || static_cast<std::size_t>(d.line) > pf.lines.size()) return diagnostic_line(d);
    const ParSource& from = pf.lines[static_cast<std::size_t>(d.line) - 1];
    if (from.file.empty()) return diagnostic_line(d);
    Diagnostic placed = d;
    placed.file = from.file;
    placed.line = from.line;
    const bool several = from.columns.find(',') != std::string::npos;
    placed.text = (from.columns.empty() ? std::string() : (several ? "columns " : "column ") + from.columns + ": ") +
                  d.text + " (" + par + ":" + std::to_string(d.line) + ")";
    return diagnostic_line(placed);
}

// The check of the row, with its reduction: false with the row refused or
// failed.  A warning refuses the row under --strict.
bool checked(const BatchJob& job, const std::string& par, const RowParFile& pf, SeriesCheck& sc, RowResult& res) {
    const CheckResult chk = check_run(par, sc);
    std::string first_error;
    int errors = 0;
    for (const Diagnostic& d : chk.diagnostics) {
        if (about_own_outputs(d)) continue;
        if (d.severity == Severity::warning) res.warnings.push_back(row_diagnostic(d, par, pf));
        if (d.severity == Severity::error && errors++ == 0) first_error = row_diagnostic(d, par, pf);
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

// "TABLE:LINE: error: column COLUMN: " for a finding of the row.
std::string table_place(const BatchJob& job, const TableRow& row, bool warning, const char* column) {
    return job.opt.table + ":" + std::to_string(row.line) + (warning ? ": warning: column " : ": error: column ") +
           column + ": ";
}

// A transmission measured for the row, with the run it was measured on.
struct RowBeam {
    bool measured = false;
    Measured t;
    std::string from;  // where it was measured, for a message; empty: the row's direct-beam run
    SigmaShares shares;
    bool split = false;  // `shares` split by the measurements they rest on
};

// A table row's shares of its uncertainty; all `own` when it has none.
SigmaShares shares_of(const TransTableRow& r) { return r.split ? r.shares : SigmaShares{0.0, 0.0, r.sigma}; }

// The transmission pelkaro-trans's table gives for a scattering run: its
// last transmission row whose DATAFILE is that file.
RowBeam table_beam(const TransTable& t, const std::string& datafile) {
    RowBeam beam;
    for (const TransTableRow& r : t.rows) {
        if (r.quantity != "transmission" || r.datafile.empty() || !same_file(r.datafile, datafile)) continue;
        beam = RowBeam{true, Measured{r.value, r.sigma},
                       quoted(r.file) + " (" + t.name + ":" + std::to_string(r.line) + ")", shares_of(r), r.split};
    }
    return beam;
}

// The row's transmissions, centre and ABSF from pelkaro-trans's table; false
// (the row refused) when neither the table nor the row gives the sample's
// or a used buffer's transmission.
bool row_from_trans(const BatchJob& job, const TableRow& row, RowMeasured& m, RowBeam (&beams)[2], RowResult& res) {
    const TransTable& t = job.trans;
    m.trans_table = t.name;
    const TransTableRow* x = t.last("centre_x");
    const TransTableRow* y = t.last("centre_y");
    const TransTableRow* absf = t.last("absf");
    if (x && y) m.centre = true, m.centre_x = x->value, m.centre_y = y->value, m.centre_line = x->line;
    if (absf) m.absf = true, m.absf_value = absf->value, m.absf_line = absf->line, m.absf_shares = shares_of(*absf);
    m.split = absf && absf->split;
    const bool buffer_used = !row.buffers.empty() && std::strtod(row.buffer_time.c_str(), nullptr) != 0;
    if (!row.samples.empty()) beams[0] = table_beam(t, row.samples.front());
    if (buffer_used) beams[1] = table_beam(t, row.buffers.front());
    m.sample = beams[0].measured, m.sample_t = beams[0].t.value, m.sample_shares = beams[0].shares;
    m.buffer = beams[1].measured, m.buffer_t = beams[1].t.value, m.buffer_shares = beams[1].shares;
    m.split = m.split || beams[0].split || beams[1].split;
    const struct {
        bool missing;
        const char* column;
        const std::string* file;
    } needs[] = {{!m.sample && row.transmission.empty(), "transmission", row.samples.empty() ? nullptr : &row.samples[0]},
                 {buffer_used && !m.buffer && row.buffer_transmission.empty(), "buffer_transmission",
                  row.buffers.empty() ? nullptr : &row.buffers[0]}};
    for (const auto& n : needs)
        if (n.missing && n.file && res.error.empty())
            res.error = table_place(job, row, false, n.column) + "no transmission is typed and " + quoted(t.name) +
                        " gives none for " + quoted(*n.file);
    return res.error.empty();
}

// The centre and ABSF of the empty beam, and the transmissions of the row's
// direct-beam runs measured against it; false (the row refused) when a run
// cannot be used.
bool measure_row(const BatchJob& job, const TableRow& row, RowMeasured& m, RowBeam (&beams)[2], RowResult& res) {
    if (!job.opt.trans_table.empty()) return row_from_trans(job, row, m, beams, res);
    const EmptyBeam& e = job.empty_beam;
    if (!e.sums) return true;
    m.empty_beam = job.opt.empty_beam.file;
    m.centre = true, m.centre_x = e.result.centre.x, m.centre_y = e.result.centre.y;
    m.absf = e.result.scaled, m.absf_value = e.result.absf.value, m.absf_shares = e.result.absf.shares;
    m.split = true;
    TransRequest req;
    std::vector<int> which;  // 0 the sample's run, 1 the buffer's
    if (!row.sample_beam.file.empty()) req.runs.push_back(row.sample_beam), which.push_back(0);
    if (!row.buffer_beam.file.empty()) req.runs.push_back(row.buffer_beam), which.push_back(1);
    if (req.runs.empty()) return true;
    const TransResult r = measure_beam_runs(e, req);
    const char* const columns[] = {"sample_beam", "buffer_beam"};
    for (const TransNote& n : r.notes) {
        const int k = n.run >= 0 ? which[static_cast<std::size_t>(n.run)] : 0;
        const std::string text = table_place(job, row, n.warning, columns[k]) + n.text;
        if (n.warning) res.warnings.push_back(text);
        else if (res.error.empty()) res.error = text;
    }
    for (const TransRun& run : r.runs) beams[which[run.run]] = RowBeam{true, run.t, std::string(), run.shares, true};
    m.sample = beams[0].measured, m.sample_t = beams[0].t.value, m.sample_shares = beams[0].shares;
    m.buffer = beams[1].measured, m.buffer_t = beams[1].t.value, m.buffer_shares = beams[1].shares;
    return res.error.empty();
}

// A typed transmission: outside (0, 1] it refuses the row; more than the
// checker's 3 standard deviations from the measured one it is a warning.
void typed_transmission(const BatchJob& job, const TableRow& row, const std::string& text, int k,
                        const RowBeam& beam, RowResult& res) {
    const char* const columns[] = {"transmission", "buffer_transmission"};
    const char* const beam_columns[] = {"sample_beam", "buffer_beam"};
    if (text.empty()) return;
    const double v = std::strtod(text.c_str(), nullptr);
    if (!(v > 0 && v <= 1)) {
        if (res.error.empty())
            res.error = table_place(job, row, false, columns[k]) + "the transmission " + text +
                        " lies outside (0, 1]" + (v > 1 && v <= 100 ? "; is it given in percent?" : "");
        return;
    }
    TransAgreement a;
    if (!beam.measured || !compare_transmission(v, beam.t, a).ok() || !a.disagrees) return;
    const BeamRun& run = k == 0 ? row.sample_beam : row.buffer_beam;
    const std::string from = beam.from.empty() ? quoted(run.file) + " (column " + beam_columns[k] + ")" : beam.from;
    res.warnings.push_back(table_place(job, row, true, columns[k]) + "the transmission " + text + " is " +
                           pk::format("%.3g", a.sigmas) + " standard deviations from the " +
                           pk::format("%.6f +- %.6f", beam.t.value, beam.t.sigma) + " measured on " + from +
                           (a.percent ? "; is it in percent?" : ""));
}

// The row's own findings before its check: false with the row refused.
bool row_transmissions(const BatchJob& job, const TableRow& row, const RowBeam (&beams)[2], RowResult& res) {
    typed_transmission(job, row, row.transmission, 0, beams[0], res);
    const bool buffer_used = !row.buffers.empty() && std::strtod(row.buffer_time.c_str(), nullptr) != 0;
    if (buffer_used) typed_transmission(job, row, row.buffer_transmission, 1, beams[1], res);
    if (!res.error.empty()) res.state = RowState::refused;
    return res.error.empty();
}

// The row's files but its parameter file: those an earlier run left where
// the directory was listed (`earlier`), else every name the row may write.
void remove_outputs(const BatchJob& job, const std::string& row_name, bool earlier) {
    const std::vector<std::string> files = row_output_names(row_name);
    for (std::size_t i = 1; i < files.size(); ++i)
        if (!earlier || !job.listed || job.present.count(files[i]) != 0)
            ::unlink((job.opt.out_dir + "/" + files[i]).c_str());
}

}  // namespace

namespace {

bool has_curve(const Param& p) { return p.average == 1 || p.average == 2; }
bool has_image(const Param& p) { return p.average == 0 || p.average == 2; }

#if PK_WITH_H5
// The uncertainties of the row's transmissions and ABSF for its NXcanSAS
// file: a column's sigma where given (a measurement of its own), else the
// measured one's shares.  False (the row refused) for a column's sigma
// larger than the value the reduction used.
bool row_uncertainty(const BatchJob& job, const TableRow& row, const RowMeasured& m, const Run& run,
                     ScaleUncertainty& u, RowResult& res) {
    const Data2D* buffer = nullptr;
    for (const Data2D& b : run.buf)
        if (b.tm != 0 && !buffer) buffer = &b;
    const struct {
        const std::string& dev;
        const char* column;
        bool used, measured;
        double value;
        const SigmaShares& shares;
        bool& given;
        SigmaShares& to;
    } values[] = {
        {row.transmission_dev, "transmission_dev", !run.sam.empty(), m.sample,
         run.sam.empty() ? 0.0 : static_cast<double>(run.sam[0].trans), m.sample_shares, u.sample, u.sample_t},
        {row.buffer_transmission_dev, "buffer_transmission_dev", buffer != nullptr, m.buffer,
         buffer ? static_cast<double>(buffer->trans) : 0.0, m.buffer_shares, u.buffer, u.buffer_t},
        {row.absf_dev, "absf_dev", true, m.absf, run.p.abs_fact, m.absf_shares, u.absf, u.absf_f}};
    for (const auto& v : values) {
        if (!v.used) continue;
        const bool typed = !v.dev.empty();
        const double sigma = std::strtod(v.dev.c_str(), nullptr);
        const std::string fault = typed ? uncertainty_fault(v.value, sigma) : std::string();
        if (!fault.empty()) {
            res.error = table_place(job, row, false, v.column) + fault;
            return false;
        }
        v.given = typed || v.measured;
        v.to = typed ? SigmaShares{0.0, 0.0, sigma} : v.shares;
        u.split = u.split || (!typed && v.measured && m.split);
    }
    u.source = m.trans_table.empty() ? (m.empty_beam.empty() ? "the table's columns"
                                                             : "the direct beams measured against " + m.empty_beam)
                                     : "pelkaro-trans's table " + m.trans_table;
    return true;
}
#endif

// The row's files from a completed reduction, as --formats selects them:
// the text files only where Pelkaro writes them (its averaging mode).
bool write_row_files(const BatchJob& job, const TableRow& row, const Run& run, const std::string& stem,
                     const RowMeasured& m, NxFixed& fixed, RowResult& res) {
#if !PK_WITH_H5
    (void)m, (void)fixed;
#endif
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
        nx.as_computed = job.opt.as_computed;
        if (!row_uncertainty(job, row, m, run, nx.uncertainty, res)) return false;
        const Status st = write_file(run, nx, nx.out, &fixed);
        if (!st.ok()) {
            res.error = st.reason;
            return false;
        }
        res.outputs.push_back(row.name + ".h5");
    }
#endif
    return true;
}

// --formats aniso: pelkaro-aniso's I(phi) table of the row, its orientation
// kept for the summary.  A ring that holds nothing fails the row.
bool write_aniso(const BatchJob& job, const TableRow& row, const Run& run, const std::string& stem,
                 RowResult& res) {
    AzimuthProfile prof;
    const Status st = azimuthal_profile(run.p, run.reduced, run.mask, job.opt.aniso_ring, job.opt.aniso_bins, prof);
    if (!st.ok()) {
        res.error = "I(phi): " + st.reason;
        return false;
    }
    const Status oriented = orientation(prof, res.orientation);
    res.has_orientation = oriented.ok();
    const std::string unwritten =
        write_text(stem + ".aniso.txt", azimuth_table(prof, res.has_orientation ? &res.orientation : nullptr,
                                                      oriented.reason));
    if (!unwritten.empty()) {
        res.error = unwritten;
        return false;
    }
    res.outputs.push_back(row.name + ".aniso.txt");
    return true;
}

// The report's image of a row whose .d2d was written, made as the row
// finishes (in its thread, from the image in memory) when this run writes
// the report; left to the report when it cannot be written here.
void report_image(const BatchJob& job, const Run& run, const std::string& stem, RowResult& res) {
    const bool d2d = std::find(res.outputs.begin(), res.outputs.end(), res.name + ".d2d") != res.outputs.end();
    if (!d2d || job.opt.shard_n != 1 || !png_available()) return;
    std::vector<double> values;
    image_level_values(run.reduced, values);
    ImageScale scale;
    const std::vector<std::uint8_t> levels = image_levels(values, scale);
    std::string why;
    if (!write_png(stem + ".image.png", levels, image_palette(), kDetSide, kDetSide, why)) return;
    res.image_written = true;
    res.image_any = scale.any, res.image_lo = scale.lo, res.image_hi = scale.hi;
}

void curve_figures(const Run& run, RowResult& res) {
    if (!has_curve(run.p)) return;
    res.has_curve = true;
    for (int i = 0; i < run.curve.num && static_cast<std::size_t>(i) < run.curve.area.size(); ++i) {
        if (run.curve.area[static_cast<std::size_t>(i)] == 0) continue;
        if (res.points++ == 0) res.i_low_q = run.curve.y[static_cast<std::size_t>(i)];
    }
}

RowResult reduce_row_unguarded(const BatchJob& job, const TableRow& row, SeriesCache& cache, NxFixed& fixed) {
    RowResult res;
    res.index = row.index;
    res.name = row.name;
    res.dir = job.opt.out_dir;
    const std::string stem = job.opt.out_dir + "/" + row.name;
    remove_outputs(job, row.name, true);
    res.state = RowState::failed;
    RowMeasured measured;
    RowBeam beams[2];
    const bool beams_ok = measure_row(job, row, measured, beams, res);
    const RowParFile pf = row_param_file(job.base, row, job.opt.table, measured);
    const std::string unwritten = write_text(stem + ".par", pf.text);
    if (!unwritten.empty()) {
        res.error = unwritten;
        return res;
    }
    res.outputs.push_back(row.name + ".par");
    res.used_columns = row_used(pf.text, false).columns;
    res.used_kept = true;
    if (!beams_ok) res.state = RowState::refused;
    if (!beams_ok || !row_transmissions(job, row, beams, res)) return res;
    SeriesCheck sc;
    sc.cache = &cache;
    sc.param_text = &pf.text;
    sc.own_outputs = false;  // the row's outputs go to the output directory
    sc.want_sums = (job.opt.formats & kFmtH5) != 0;  // the NXcanSAS file's Qmean, Idev and Qdev
    if (!checked(job, stem + ".par", pf, sc, res)) return res;
    const Run& run = sc.run;
#if PK_WITH_H5
    ScaleUncertainty unused;  // the row's uncertainty columns held to the values reduced with
    if ((job.opt.formats & kFmtH5) && !row_uncertainty(job, row, measured, run, unused, res)) {
        res.state = RowState::refused;
        return res;
    }
#endif
    if (!write_row_files(job, row, run, stem, measured, fixed, res) ||
        ((job.opt.formats & kFmtAniso) != 0 && !write_aniso(job, row, run, stem, res))) {
        res.state = RowState::failed;  // checked, then not written: a full disk, a file-size limit
        remove_outputs(job, row.name, false);
        res.outputs.resize(1);
        return res;
    }
    curve_figures(run, res);
    res.state = RowState::ok;
    report_image(job, run, stem, res);
    return res;
}

}  // namespace

RowResult reduce_row(const BatchJob& job, const TableRow& row, SeriesCache& cache, NxFixed& fixed) {
    try {
        return reduce_row_unguarded(job, row, cache, fixed);
    } catch (const std::bad_alloc&) {
        RowResult res;
        res.index = row.index;
        res.name = row.name;
        res.dir = job.opt.out_dir;
        res.state = RowState::failed;
        res.error = "out of memory";
        remove_outputs(job, row.name, false);
        return res;
    }
}

}  // namespace pk
