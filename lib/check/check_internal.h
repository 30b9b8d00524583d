// The pieces of pelkaro-check shared between its source files: the state of
// one check, the reading of a parameter line's numbers as the parser reads
// them, and small text helpers.
#ifndef PELKARO_CHECK_INTERNAL_H
#define PELKARO_CHECK_INTERNAL_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/check.h"
#include "pelkaro/run.h"

namespace pk {

struct SeriesCheck;  // pelkaro/series.h
class SeriesCache;  // pelkaro/series.h

// A detector file that the run reads, with the line that names it.
struct FileUse {
    int kw = -1;                    // DATS, DATB, DATD or SENS
    int line = 0;                   // the parameter line
    const Data2D* entry = nullptr;  // the run's entry: name, time and monitor count from the parameter line
    bool loaded = false;
    float tm = 0.0f;                // counting time and monitor count once the header is read
    float monitor = 0.0f;
    bool monitor_fallback = false;  // no monitor count: Pelkaro uses the counting time
    bool monitor_tag = false;       // the header gives the monitor count
};

// A detector data file read as Pelkaro's reader reads it, with what the
// reader passes over in silence (check_scan.cpp).
struct HeaderTag {
    int line = 0;
    std::string text;     // the tag as written, up to its first ">"
    long long value = 0;
    char kind = 0;        // 't' time, 'm' monitor, 'p' detector total
};
struct DataScan {
    long long values = 0;          // the counts the reader takes
    long long total = 0;           // their sum (of the first 36864)
    int point_line = 0;            // first data line with a decimal point, and the number it is in
    std::string point_token;
    int minus_line = 0;            // first data line with a minus sign, and the number it is in
    std::string minus_token;
    HeaderTag time, monitor, psd;  // the last tag of each kind that set a value (line 0: none)
    std::vector<HeaderTag> odd;    // tags read under another name, and tag-like lines not read
};

// Everything one check reads and finds.
struct Check {
    std::string par;                 // the parameter file as named
    std::vector<bool> rejected;      // per piece
    std::vector<int> lookalike = std::vector<int>(kKeywordCount, 0);  // per keyword: an ignored line like it
    // The last parse, the run itself when the file parses: run.file holds
    // the parameter file's pieces, run.log.records one record per piece,
    // the parse's own or, where a piece was rejected, its rejection.
    Run run;
    bool parsed = false;             // the parameter file parses as it stands
    bool no_samples = false;         // no DATS line at all
    bool no_buffers = false;         // no DATB line at all
    bool reduced = false;            // the reduction ran in memory to its end
    std::vector<FileUse> uses;       // detector files in use, in the order the run reads them
    Data2D flat;                     // the sensitivity file as read (raw values)
    bool flat_loaded = false;
    Data2D mask;                     // the mask as read or generated, before the flat field clears pixels
    // The mask's pixels where a series' checks share the file read once
    // (c.mask then holds its name and count of values): mask_pixels.
    std::shared_ptr<const Data2D> shared_mask;
    bool mask_loaded = false;
    std::vector<Diagnostic> diags;
    SeriesCheck* series = nullptr;   // the files and fixed parts shared with other checks of a series
    // Of a series' check: each sample file's scan, made on the text its
    // load read (the file read once for both).
    std::vector<std::pair<std::string, DataScan>> sample_scans;

    const ParamFile& pf() const { return run.file; }
    const std::vector<ParseRecord>& recs() const { return run.log.records; }
    void add(Severity s, const std::string& file, int line, const std::string& text,
             DiagnosticKind kind = DiagnosticKind::general);
    void error(int line, const std::string& text, DiagnosticKind kind = DiagnosticKind::general) {
        add(Severity::error, par, line, text, kind);
    }
    void warning(int line, const std::string& text) { add(Severity::warning, par, line, text); }
    int error_count() const;
    // The line of the last accepted record of keyword kw; 0 when none.
    int line_of(int kw) const;
    const ParseRecord* last_accepted(int kw) const;
    const ParseRecord* nth_accepted(int kw, std::size_t n) const;  // from 0
    // The line of the n-th accepted record of keyword kw (from 0); 0 when none.
    int line_of_nth(int kw, std::size_t n) const;
};

// A record with the text of its piece and the file name it read, for the
// checks that quote the line.
struct Line : ParseRecord {
    std::string text;  // the piece as read
    std::string name;  // the file name of a file line
    Status rejection;  // why the parser refused it
};
Line with_text(const Check& c, const ParseRecord& rec);

// The steps of a check, in the order they run.
void parse_file(Check& c);          // check_param.cpp: the parse, every rejection explained
void line_warnings(Check& c);       // check_lines.cpp: what the parameter lines do not say plainly
void missing_keywords(Check& c);    // check_lines.cpp: lines a run cannot do without
void check_files(Check& c);         // check_data.cpp: loads and reads every file in use
void check_reduction(Check& c);     // check_reduce.cpp: the reduction in memory
void check_beam_centre(Check& c);   // check_reduce.cpp: the measurement of a mode 2 run
void check_outputs(Check& c);       // check_reduce.cpp: where the outputs would go
void mask_warnings(Check& c);       // check_data.cpp: beam stop and flat field against the mask
void check_trans(Check& c, const std::string& table);  // check_trans.cpp: against pelkaro-trans's table

// False when the file cannot be opened.
bool scan_data_file(const std::string& name, DataScan& scan);
// The same on the file's text read already (its byte-order mark removed).
// With `known`, the count of values and their sum are taken from there (the
// reader's, counts_of) rather than read again.
struct DataCounts {
    long long values = 0, total = 0;
};
void scan_data_text(std::string_view text, DataScan& scan, const DataCounts* known = nullptr);
// The count and sum of the values of an image the reader loaded from a
// file: false where its floats may not be the counts exactly (2^24 or more).
bool counts_of(const Data2D& d, DataCounts& counts);

// Loads, reads and reduces, through the series' shared files and fixed
// parts where the check has them (check_series.cpp).  A shared file gives
// its pixel arrays (the flat field's; none for the others) only with `pixels`.
Status check_read_data(Check& c, int kw, Data2D& d, bool pixels = false);
// The files but samples a series has read, each once, fine: a row's parse
// takes them as there (the row's check takes them from the series too).
std::vector<std::string> known_files(SeriesCache& cache);
bool check_scan(Check& c, int kw, const std::string& name, DataScan& scan);
Status check_reduce_run(Check& c);
// The mask file of the run read as read_mask reads it, and the flat-field
// pixels outside 0.5 to 1.5 times the mean that the mask leaves in use:
// once for a series.
Status check_read_mask(Check& c);
// The mask's pixels as read or generated (c.mask or c.shared_mask).
const Data2D& mask_pixels(const Check& c);
std::vector<int> check_flat_outliers(Check& c);
// Whether a series keeps the flat field's outliers (found once, from its
// pixels); flat_pixels gives c.flat its pixels where the load left them out.
bool outliers_kept(const Check& c);
void flat_pixels(Check& c);

// The whole check, sharing files and fixed parts with other checks of a
// series where `series` is given (check.cpp).
CheckResult check_run_with(const std::string& param_name, SeriesCheck* series, const std::string& trans_table);

// Where one number of a parameter line stands and how it read.
struct NumberSpan {
    std::size_t from = 0;  // its first character (after white space)
    std::size_t to = 0;    // one past its last
    pk::Scan scan = pk::Scan::missing;
};
// The numbers of a keyword line as the parser reads them, up to the first
// one missing or malformed (which is the last span); `need` is how many the
// keyword reads.
std::vector<NumberSpan> number_spans(const Line& rec, std::size_t& need);
// Where a keyword line's values begin: index 5, or the blank after the
// file name of a file line.
std::size_t values_start(const Line& rec);
// The value text of a line: from `from` to the line end, trimmed.
std::string value_text(const std::string& piece, std::size_t from);
// The fifth character joins the keyword to its value ("BINS12").
bool glued(const std::string& piece);
// What a tab after a file name does to the line.
std::string tab_hint(const Line& rec);

// Text helpers (check_text.cpp).
// Text as the diagnostics show it.
std::string quote(const std::string& s);   // "..." with tabs, line ends and controls escaped
std::string counted(long long n, const char* one, const char* many);  // "1 error", "2 errors"
std::string shown(const std::string& s);   // the same escapes, no quotes
std::string absolute(const std::string& path);
// Why a file cannot be read, as a predicate ("is missing", "is a directory,
// not a regular file", "cannot be opened: permission denied"); empty when it
// can.
std::string unusable_reason(const std::string& path);
// "the sample file "s1.dat" cannot be used: "/data/s1.dat" is missing": the
// path it was looked up as, and why.
std::string cannot_use(const std::string& what, const std::string& path);
// "ends in 2 blanks, which belong to it (...)" for a SENS name; empty when
// it has none.
std::string trailing_blanks(const std::string& name);
std::string num(double v);                 // "%g", whole numbers in full
const char* role_of(int kw);               // "sample file", "buffer file", ...
// A stage's message without its label ("read_data -> ") and line end.
std::string stage_text(const Status& st);
// The one-edit neighbours: one letter changed, added or dropped, or two
// neighbouring letters swapped.
bool one_edit_apart(const std::string& a, const std::string& b);

}  // namespace pk

#endif
