// pelkaro-check: inspects the run that Pelkaro would make on a parameter
// file, without writing anything, and reports what would stop it (errors)
// and what looks wrong (warnings), one diagnostic per line in the form
// compilers and editors use: "run.par:3: error: ...".
//
// The errors are those of Pelkaro itself, found by running the same parse,
// loads and reduction in memory with the console silenced; the warnings
// come from the checker's own reading of the parameter file and of the
// detector files in use.
#ifndef PELKARO_CHECK_H
#define PELKARO_CHECK_H

#include <cstdio>
#include <string>
#include <vector>

#include "pelkaro/status.h"
#include "pelkaro/trans.h"

namespace pk {

enum class Severity { error, warning, note };

// What a diagnostic is about, for a program that acts on some of them
// (pelkaro-batch writes a row's outputs elsewhere than Pelkaro would, so
// the findings on Pelkaro's own output places do not concern it).
enum class DiagnosticKind {
    general,             // any other finding
    output_location,     // the directory beside the first sample file, where a reduction's outputs go,
                         // cannot be written
    mask_location,       // the working directory, where a mask run's mask.d2d goes, cannot be written
    output_not_regular,  // an output file (a reduction's or mask.d2d) exists and is not a regular file
};

struct Diagnostic {
    std::string file;   // the file as the user named it
    int line = 0;       // line number as an editor counts it; 0: the file as a whole
    Severity severity = Severity::error;
    std::string text;
    std::string paste;  // a line for the user to paste, printed on its own after this one
    DiagnosticKind kind = DiagnosticKind::general;
};

struct CheckResult {
    std::vector<Diagnostic> diagnostics;  // parameter file first, by line; then the detector files
    int errors = 0;
    int warnings = 0;
};

// Checks the run that "Pelkaro param_name" would make in the working
// directory.  Reads files, writes none.  With `trans_table` (the table of
// pelkaro-trans --format tsv), also compares the transmissions, beam centre
// and absolute scale factor with those measured on the direct-beam runs.
CheckResult check_run(const std::string& param_name, const std::string& trans_table = std::string());

// One row of pelkaro-trans's table (--format tsv): a quantity measured on a
// direct-beam run ("transmission", "centre_x", "centre_y", "radius",
// "absf"), its value and standard uncertainty, and for a transmission the
// DATS or DATB file it belongs to.  A table with three more columns
// (sigma_empty_beam, sigma_dark_current, sigma_own) splits the uncertainty
// of a transmission and of ABSF by the measurements it rests on
// (SigmaShares); an older table's rows have none.
struct TransTableRow {
    int line = 0;  // the table's line, as an editor counts
    std::string quantity, file, datafile;
    double value = 0.0, sigma = 0.0;
    bool split = false;   // `shares` read from the row
    SigmaShares shares;
};
struct TransTable {
    std::string name;  // the table as the user named it
    std::vector<TransTableRow> rows;
    // The last row of a quantity (nullptr: none).
    const TransTableRow* last(const char* quantity) const;
};
// Reads pelkaro-trans's table by the rules pelkaro-check --trans reads it
// with.  A table that cannot be read or used: Stage::transmission, its
// reason, and in `line` the first line at fault (0: the table as a whole).
Status read_trans_table(const std::string& path, TransTable& out);

// "FILE:LINE: error: TEXT" ("FILE: ..." for the file as a whole), no line end.
std::string diagnostic_line(const Diagnostic& d);

}  // namespace pk

#endif
