// pelkaro-batch: a whole experiment reduced from a sample table.  The job in
// functions its tests call: the command line, the table, the parameter file
// of each row, the reduction of a row, the runs in threads, the summary and
// the report.
#ifndef PELKARO_BATCH_H
#define PELKARO_BATCH_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/aniso.h"
#include "pelkaro/check.h"
#include "pelkaro/nxcansas.h"
#include "pelkaro/series.h"
#include "pelkaro/trans.h"

namespace pk {

constexpr const char* kBatchProgram = "pelkaro-batch";

// --------------------------------------------------------------------------
// The command line.

// The output files a row may have.
enum Format : unsigned { kFmtD1d = 1u, kFmtD2d = 2u, kFmtH5 = 4u, kFmtPlot = 8u, kFmtAniso = 16u };

struct BatchOptions {
    int jobs = 0;                 // -j; 0: the number of processors
    std::string out_dir;          // -o; empty: the table's name less its extension
    unsigned formats = kFmtD1d | kFmtD2d | kFmtH5;
    int shard_k = 0, shard_n = 1; // --shard K/N
    bool strict = false;          // a warning refuses the row
    bool progress_bar = false;    // one updating line (standard error is a terminal)
    std::string base, table;
    std::vector<std::string> report_dirs;  // --report DIR...
    BeamRun empty_beam;           // --empty-beam FILE,TIME,MONITOR; no file: none
    double attenuation = 0;       // --attenuation A: the ABSF measured too; 0: not
    double dead_time = 0;         // --dead-time TAU: the direct beams' dead time, s
    bool as_computed = false;     // --as-computed: the .h5 files' I and Idev as Pelkaro computes them
    std::string trans_table;      // --trans TSV: pelkaro-trans's table; empty: none
    bool follow = false;          // --follow: each row as soon as its files are complete
    double settle = 2;            // --settle S: a file is complete when unchanged for S seconds
    bool done_markers = false;    // --done-markers: a file is complete only once FILE.done exists
    Ring aniso_ring;              // --aniso-ring Q1,Q2: the ring of --formats aniso
    bool aniso_ring_given = false;
    int aniso_bins = 36;
};

enum class BatchCli { run, report, help, version, bad };

BatchCli parse_batch_args(int argc, const char* const* argv, BatchOptions& opt, std::string& why);
std::string batch_usage();
// The formats of a --formats list, "d1d,d2d,h5,plot"; false with `why`.
bool parse_formats(const std::string& list, unsigned& formats, std::string& why);
// Whether this build writes NXcanSAS files.
bool h5_available();

// --------------------------------------------------------------------------
// The table.

struct TableRow {
    int line = 0;    // line of the table where the row starts
    int index = 0;   // data row number, from 0 (comments and blank lines not counted)
    std::string name;
    std::vector<std::string> samples;
    std::string time, monitor, thickness, transmission;
    std::vector<std::string> buffers;  // empty: the base's DATB lines
    std::string buffer_time, buffer_monitor, buffer_thickness, buffer_transmission;
    // The standard uncertainties of the transmissions and ABSF (optional
    // columns); empty: the measured ones', or none.
    std::string transmission_dev, buffer_transmission_dev, absf_dev;
    std::string title;
    BeamRun sample_beam, buffer_beam;  // direct-beam runs through sample and buffer; no file: none
};

struct Table {
    std::vector<TableRow> rows;
    // Set before reading: the transmissions may come from pelkaro-trans's
    // table (--trans), so a typed one may be left empty.
    bool transmissions_elsewhere = false;
    // Set before reading under --follow: a table of no rows yet is taken,
    // and read_table leaves out a last line that has no line end yet.
    bool rows_may_follow = false;
};

// Reads and checks the table; every error as "TABLE:LINE: error: TEXT".
bool read_table(const std::string& path, Table& table, std::vector<std::string>& errors);
// The same on text in memory (`path` names it in the errors).
bool parse_table(const std::string& path, const std::string& text, Table& table, std::vector<std::string>& errors);
// A direct-beam run "FILE,TIME,MONITOR" (blanks about each part ignored);
// false with `why`, which follows the run's name in a message.
bool parse_beam(const std::string& text, BeamRun& run, std::string& why);
// A name of a row: [A-Za-z0-9._-]+, not starting with "." or "-".
bool safe_name(const std::string& name);

// --------------------------------------------------------------------------
// The parameter file of a row.

// The base parameter file's lines (each with its line end).
struct BaseFile {
    std::string path;
    std::vector<std::string> lines;
    int dats_lines = 0;        // DATS lines, left out of every row
    std::vector<int> dats_line_numbers;
    std::vector<std::string> inputs;  // files its lines name (buffer, dark current, flat field, mask)
    std::vector<int> line_numbers;    // the line of the base each of `lines` starts on
};

// Reads the base; false with `why`.
bool read_base(const std::string& path, BaseFile& base, std::string& why);
// The values measured on direct beams that a row's parameter file shows
// in place of the base's and the table's.
struct RowMeasured {
    bool centre = false, absf = false, sample = false, buffer = false;
    double centre_x = 0, centre_y = 0, absf_value = 0, sample_t = 0, buffer_t = 0;
    std::string empty_beam;  // the empty beam's file, where CNTR and ABSF come from
    // Taken from pelkaro-trans's table (--trans): its name and the lines of
    // its centre_x and absf rows, where CNTR and ABSF come from.
    std::string trans_table;
    int centre_line = 0, absf_line = 0;
    // The uncertainties of what was measured, split by the measurements they
    // rest on (a table without the split: all its sigma `own`).
    SigmaShares sample_shares, buffer_shares, absf_shares;
    bool split = false;
};

// Where a line of a row's parameter file came from: a line of the table
// (and its columns), of the base, or the empty beam's measurement.
struct ParSource {
    std::string file;     // the table, the base or the empty beam's file; empty: the row's own comment
    int line = 0;         // 0: the file as a whole
    std::string columns;  // the table's columns the line holds, as "sample, time"
};
struct RowParFile {
    std::string text;
    std::vector<ParSource> lines;  // one per line of `text`
};

// The complete parameter file of a row, and where each of its lines came from.
RowParFile row_param_file(const BaseFile& base, const TableRow& row, const std::string& table_path,
                          const RowMeasured& measured = RowMeasured{});
std::string row_param_text(const BaseFile& base, const TableRow& row, const std::string& table_path);

// --------------------------------------------------------------------------
// The result of a row.

enum class RowState { not_done, ok, refused, failed };
const char* state_name(RowState s);

struct RowResult {
    int index = 0;
    std::string name;
    RowState state = RowState::not_done;
    std::vector<std::string> warnings;  // diagnostic lines
    std::string error;
    std::vector<std::string> outputs;   // file names in the output directory
    bool has_curve = false;
    double i_low_q = 0;                 // I of the first point of the curve
    int points = 0;
    std::string dir;                    // where the outputs are (for the report)
    // --formats aniso: the orientation of I(phi) in the ring (pelkaro-aniso's).
    bool has_orientation = false;
    Orientation orientation;
    // The report's image of the row (NAME.image.png), written as the row
    // finished, with the ends of its colour scale (log10 of I); not
    // written: the report makes it from the .d2d.
    bool image_written = false;
    bool image_any = false;  // some pixel above 0
    double image_lo = 0, image_hi = 0;
    // The values the row used, as its parameter file says them (the
    // report's columns: RowUsed), kept when this process wrote the file;
    // not kept, the report reads the file.
    bool used_kept = false;
    std::vector<std::string> used_columns;
};

// --------------------------------------------------------------------------
// The runs.

// Everything the rows share.
struct BatchJob {
    BatchOptions opt;
    BaseFile base;
    Table table;
    std::string plot_program;  // the plotting script, when plots are asked for
    EmptyBeam empty_beam;      // measured once when --empty-beam is given
    TransTable trans;          // read once when --trans is given
    // The output directory's names as the run found it (`listed`: read
    // before the first row): the only files of an earlier run a row has to
    // remove.  Not listed (--follow), a row removes each of its names.
    bool listed = false;
    std::unordered_set<std::string> present;
};

// Draws FILE.d1d or FILE.d2d as a PNG with the plotting program (run in
// its own process group, so that a Ctrl-C reaches this program only); the
// PNG appears complete or not at all.
bool draw_plot(const std::string& program, const std::string& in, const std::string& out, std::string& why);
// The plotting program: $PELKARO_PLOT, else pelkaro-plot beside this
// program or on the PATH; empty when there is none.
std::string find_plot_program();

// Reduces one row into the output directory.  `fixed` is the calling
// thread's: the NXcanSAS values of the configuration, kept from row to row.
RowResult reduce_row(const BatchJob& job, const TableRow& row, SeriesCache& cache, NxFixed& fixed);

// Outputs of the run (the rows' files, the summary, the report) that would
// replace one of its inputs, compared as files: errors, one per output.
std::vector<std::string> overwrite_errors(const BatchJob& job);

// Set by a termination signal: no further row is started.
struct StopFlag {
    const std::atomic<int>* flag = nullptr;
    bool raised() const { return flag && flag->load() != 0; }
};

// Reduces the rows with opt.jobs threads; results in the rows' order.
std::vector<RowResult> run_rows(const BatchJob& job, StopFlag stop, std::FILE* progress);

// For a thread of rows other than the main one, held while it works: the
// memory its rows use again and again on huge pages (huge_page_arena).
std::vector<char> row_thread_heap();
// The main thread's for its rows, the summary and the report.
constexpr std::size_t kMainHeap = std::size_t{32} << 20;

// --follow: each row reduced as soon as its files are complete (see
// follow.cpp), the table read again as rows are appended, the summary and
// the report rewritten as rows finish; until every row is done or `stop`
// is raised.  Results in the rows' order, not-done ones included.
std::vector<RowResult> follow_rows(BatchJob& job, StopFlag stop, std::FILE* progress);

// Whether `path` is complete: `path`.done exists beside it, or its size and
// modification time have not changed for `settle` seconds (watched across
// calls, whose observations `seen` keeps, or by its modification time's
// age); only by the marker when `markers_only`.  `now_ns` is the system
// clock in nanoseconds.
struct FileSeen {
    long long size = -1, mtime_ns = 0, since_ns = 0;  // as last seen, and since when unchanged
};
bool file_complete(const std::string& path, double settle, bool markers_only, std::int64_t now_ns, FileSeen& seen);

// --------------------------------------------------------------------------
// Summary and report.

bool write_summary(const std::string& path, const std::vector<RowResult>& rows, std::string& why);
bool read_summary(const std::string& path, std::vector<RowResult>& rows, std::string& why);
// What the report says besides its rows.
struct ReportInfo {
    std::string title;               // the table, or the joined directory
    std::vector<std::string> notes;  // where CNTR, ABSF and transmissions were measured
    bool live = false;               // rows still to come (--follow): the page reloads itself
};
// The finished rows of a report as its page shows them, by name: a report
// rewritten as rows finish (--follow) reads each row's files once.
struct ReportCache {
    std::map<std::string, std::string> rows;
};
// The report, its rows' values and images made by `jobs` threads.
bool write_report(const std::string& path, const std::vector<RowResult>& rows, const ReportInfo& info, int jobs,
                  std::string& why, ReportCache* cache = nullptr);
// The report's title and notes for a run of `job`.
ReportInfo report_info(const BatchJob& job, bool live);
// The summary's name: summary.csv, or summary.K-of-N.csv for a shard.
std::string summary_name(int shard_k, int shard_n);

// CSV fields.
std::string csv_field(const std::string& s);
bool csv_split(const std::string& text, std::size_t& pos, std::vector<std::string>& fields, int& line,
               std::string& why);

// Creates the output directory (and its parents); false with `why` when it
// cannot take new files.
bool output_directory(const std::string& dir, std::string& why);

// The whole program.
int batch_main(int argc, const char* const* argv, const std::atomic<int>* stop);

}  // namespace pk

#endif
