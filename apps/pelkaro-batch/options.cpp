// pelkaro-batch's command line.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "app.h"
#include "batch.h"

namespace pk {

namespace {
// The part of the usage about the table's columns and the exit status.
std::string batch_table_usage();
}  // namespace

std::string batch_usage() {
    return pk::format(
        "Usage: %s [-j N] [-o DIR] [--formats LIST] [--shard K/N] [--strict] [--as-computed]\n"
        "                     [--empty-beam FILE,TIME,MONITOR [--attenuation A] [--dead-time TAU]\n"
        "                     | --trans TSV]\n"
        "                     BASE.par TABLE.csv\n"
        "       %s --follow [--settle S | --done-markers] [OPTIONS] BASE.par TABLE.csv\n"
        "       %s [-o DIR] --report DIR [DIR ...]\n"
        "\n"
        "Reduces every row of TABLE.csv (a sample table) with the instrument configuration of BASE.par\n"
        "(a Pelkaro parameter file; its DATS lines are ignored), in parallel, and writes for each row\n"
        "DIR/NAME.par and the outputs, then DIR/summary.csv and DIR/report.html.\n"
        "\n"
        "  -j N            reductions at a time (default: the number of processors)\n"
        "  -o DIR          the output directory (default: the table's name less its extension)\n"
        "  --formats LIST  the outputs of a row, comma-separated: d1d, d2d, h5, plot (PNG plots of the\n"
        "                  .d1d and .d2d files), aniso (NAME.aniso.txt: pelkaro-aniso's I(phi) table in\n"
        "                  the ring of --aniso-ring, its phi0 and order parameters in summary.csv);\n"
        "                  default d1d,d2d,h5 (d1d,d2d without HDF5)\n"
        "  --aniso-ring Q1,Q2  the ring of --formats aniso, Q1 <= Q < Q2 in 1/angstrom (36 bins)\n"
        "  --shard K/N     only the rows whose number (from 0) is K modulo N; the summary is then\n"
        "                  DIR/summary.K-of-N.csv, joined with --report\n"
        "  --strict        a row with a warning of the check is refused\n"
        "  --as-computed   the .h5 files' I and Idev as Pelkaro computes them; default: freed of the\n"
        "                  sample's own wide-angle attenuation (the .d1d and .d2d files are unchanged)\n"
        "  --empty-beam FILE,TIME,MONITOR\n"
        "                  the empty beam (direct beam, no sample), its counting time and monitor\n"
        "                  counts: the beam centre (CNTR) and the transmissions of the table's\n"
        "                  sample_beam and buffer_beam runs are measured as pelkaro-trans measures them\n"
        "  --attenuation A the attenuator's transmission in the empty beam: the ABSF is measured too\n"
        "  --dead-time TAU the detector's dead time in seconds: the direct beams' counts corrected as\n"
        "                  pelkaro-trans --dead-time corrects them\n"
        "  --trans TSV     pelkaro-trans's table (--format tsv) instead of measuring: each row's sample\n"
        "                  and buffer transmissions are those of the table's transmission rows whose\n"
        "                  DATAFILE is the row's (first) sample or buffer file; the beam centre (CNTR)\n"
        "                  and ABSF are its centre_x, centre_y and absf, where it has them\n"
        "  --follow        live reduction: each row as soon as its files are complete (FILE.done exists,\n"
        "                  or FILE's size and time have not changed for --settle seconds), the table read\n"
        "                  again for appended rows, summary.csv and report.html rewritten as rows finish\n"
        "                  (the page reloads itself); until every row is done, or Ctrl-C\n"
        "  --settle S      seconds a file must stay unchanged to be complete under --follow (default 2)\n"
        "  --done-markers  under --follow, a file is complete only once FILE.done exists (for writers\n"
        "                  that may pause for longer than --settle)\n"
        "  --report DIR..  joins the summaries in the directories into one summary.csv and report.html\n"
        "                  (in -o DIR, default the first DIR)\n"
        "  --help          print this help and exit\n"
        "  --version       print the version and exit\n"
        "\n",
        kBatchProgram, kBatchProgram, kBatchProgram) + batch_table_usage();
}

namespace {
std::string batch_table_usage() {
    return "The table's columns: name, sample (files separated by \";\" are summed), time, monitor,\n"
        "thickness, transmission; optional buffer, buffer_time, buffer_monitor, buffer_thickness,\n"
        "buffer_transmission (replacing the base's DATB lines), title, sample_beam and buffer_beam\n"
        "(direct-beam runs FILE,TIME,MONITOR, quoted since they hold commas: \"s1_beam.dat,180,176940\").\n"
        "A measured transmission (or one of --trans) replaces a typed one, which may be left empty; one\n"
        "that differs from the measured by more than 3 standard deviations is a warning.  A typed\n"
        "transmission outside (0, 1] refuses its row, and so does a row whose sample has neither a\n"
        "typed nor a measured one.  Optional transmission_dev, buffer_transmission_dev and absf_dev give\n"
        "the uncertainties the .h5 file carries beside Idev (without them, the measured values' own).\n"
        "\n"
        "Exit status: 0 every row reduced, 1 some row refused, failed or not done, 2 a wrong command\n"
        "line, table, --trans table or output directory (nothing reduced).\n";
}
}  // namespace

bool h5_available() {
#if PK_WITH_H5
    return true;
#else
    return false;
#endif
}

bool parse_formats(const std::string& list, unsigned& formats, std::string& why) {
    formats = 0;
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        const std::string f = list.substr(at, comma - at);
        at = comma + 1;
        if (f == "d1d") formats |= kFmtD1d;
        else if (f == "d2d") formats |= kFmtD2d;
        else if (f == "plot") formats |= kFmtPlot;
        else if (f == "aniso") formats |= kFmtAniso;
        else if (f == "h5" && h5_available()) formats |= kFmtH5;
        else if (f == "h5") why = "h5 cannot be written: this pelkaro-batch was built without HDF5";
        else why = "unknown format '" + f + "' in --formats (d1d, d2d, h5, plot, aniso)";
        if (!why.empty()) return false;
    }
    if ((formats & kFmtPlot) && !(formats & (kFmtD1d | kFmtD2d)))
        why = "--formats plot draws the .d1d and .d2d files: select d1d or d2d with it";
    return why.empty();
}

namespace {

bool whole_number(const std::string& s, long lo, long hi, long& v) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    v = std::strtol(s.c_str(), nullptr, 10);
    return v >= lo && v <= hi;
}

bool parse_shard(const std::string& s, BatchOptions& opt, std::string& why) {
    const std::size_t slash = s.find('/');
    long k = -1, n = 0;
    if (slash == std::string::npos || !whole_number(s.substr(slash + 1), 1, 1000000, n) ||
        !whole_number(s.substr(0, slash), 0, n - 1, k)) {
        why = "--shard takes K/N with N from 1 and K from 0 to N-1, not '" + s + "'";
        return false;
    }
    opt.shard_k = static_cast<int>(k);
    opt.shard_n = static_cast<int>(n);
    return true;
}

// The attenuator's transmission: a number in (0, 1].
void parse_attenuation(const std::string& v, BatchOptions& opt, std::string& why) {
    char* end = nullptr;
    const double a = v.empty() || v.find_first_of(" \t\n") != std::string::npos ? 0.0 : std::strtod(v.c_str(), &end);
    if (end == v.c_str() + v.size() && a > 0 && a <= 1) opt.attenuation = a;
    else why = "--attenuation takes the attenuator's transmission, a number above 0 and at most 1, not '" + v + "'";
}

// The seconds a file must stay unchanged: a number from 0.1 to 3600.
void parse_settle(const std::string& v, BatchOptions& opt, std::string& why) {
    char* end = nullptr;
    const double s = v.empty() || v.find_first_of(" \t\n") != std::string::npos ? 0.0 : std::strtod(v.c_str(), &end);
    if (end == v.c_str() + v.size() && s >= 0.1 && s <= 3600) opt.settle = s;
    else why = "--settle takes the seconds a file must stay unchanged, from 0.1 to 3600, not '" + v + "'";
}

// pelkaro-aniso's Q ring, "Q1,Q2" with 0 <= Q1 < Q2.
void parse_aniso_ring(const std::string& v, BatchOptions& opt, std::string& why) {
    const std::size_t comma = v.find(',');
    char* end1 = nullptr;
    char* end2 = nullptr;
    const std::string lo = v.substr(0, comma), hi = comma == std::string::npos ? "" : v.substr(comma + 1);
    const double a = std::strtod(lo.c_str(), &end1), b = std::strtod(hi.c_str(), &end2);
    if (lo.empty() || hi.empty() || *end1 != '\0' || *end2 != '\0' || !(a >= 0 && b > a && std::isfinite(b))) {
        why = "--aniso-ring takes Q1,Q2 with 0 <= Q1 < Q2, not '" + v + "'";
        return;
    }
    opt.aniso_ring = Ring{Ring::Unit::q, a, b};
    opt.aniso_ring_given = true;
}

// The detector's dead time: a number of seconds from 0 to 1.
void parse_dead_time(const std::string& v, BatchOptions& opt, std::string& why) {
    char* end = nullptr;
    const double t = v.empty() || v.find_first_of(" \t\n") != std::string::npos ? -1.0 : std::strtod(v.c_str(), &end);
    if (end == v.c_str() + v.size() && t >= 0 && t <= 1) opt.dead_time = t;
    else why = "--dead-time takes the detector's dead time in seconds, a number from 0 to 1, not '" + v + "'";
}

void parse_empty_beam(const std::string& v, BatchOptions& opt, std::string& why) {
    if (!parse_beam(v, opt.empty_beam, why)) why = "--empty-beam " + why;
}

// One option at argv[i]; BatchCli::run when it was read.
BatchCli read_option(int argc, const char* const* argv, int& i, BatchOptions& opt, bool& report, std::string& why) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") return BatchCli::help;
    if (a == "--version") return BatchCli::version;
    if (a == "--strict") return opt.strict = true, BatchCli::run;
    if (a == "--follow") return opt.follow = true, BatchCli::run;
    if (a == "--done-markers") return opt.done_markers = true, BatchCli::run;
    if (a == "--as-computed") return opt.as_computed = true, BatchCli::run;
    if (a == "--report") return report = true, BatchCli::run;
    std::string v;
    bool matched = false;
    for (const char* name : {"-j", "-o", "--formats", "--shard", "--empty-beam", "--attenuation", "--dead-time", "--trans",
                             "--settle", "--aniso-ring"}) {
        if (!option_value(argc, argv, i, name, v, matched, why, false, true)) return BatchCli::bad;
        if (!matched) continue;
        const std::string n = name;
        long jobs = 0;
        if (n == "-j" && !whole_number(v, 1, 1024, jobs)) why = "-j takes a number of jobs from 1 to 1024, not '" + v + "'";
        else if (n == "-j") opt.jobs = static_cast<int>(jobs);
        else if (n == "-o" && v.empty()) why = "-o needs a directory";
        else if (n == "-o") opt.out_dir = v;
        else if (n == "--formats") parse_formats(v, opt.formats, why);
        else if (n == "--empty-beam") parse_empty_beam(v, opt, why);
        else if (n == "--attenuation") parse_attenuation(v, opt, why);
        else if (n == "--dead-time") parse_dead_time(v, opt, why);
        else if (n == "--trans" && v.empty()) why = "--trans needs pelkaro-trans's table (--format tsv)";
        else if (n == "--trans") opt.trans_table = v;
        else if (n == "--settle") parse_settle(v, opt, why);
        else if (n == "--aniso-ring") parse_aniso_ring(v, opt, why);
        else parse_shard(v, opt, why);
        return why.empty() ? BatchCli::run : BatchCli::bad;
    }
    why = "unknown option '" + a + "'";
    return BatchCli::bad;
}

}  // namespace

BatchCli parse_batch_args(int argc, const char* const* argv, BatchOptions& opt, std::string& why) {
    opt = BatchOptions{};
    bool report = false, options_end = false, formats_given = false, settle_given = false;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!options_end && a == "--") {
            options_end = true;
        } else if (!options_end && a.size() > 1 && a[0] == '-') {
            formats_given = formats_given || a.rfind("--formats", 0) == 0;
            settle_given = settle_given || a.rfind("--settle", 0) == 0;
            const BatchCli c = read_option(argc, argv, i, opt, report, why);
            if (c != BatchCli::run) return c;
        } else {
            operands.push_back(a);
        }
    }
    for (const std::string& o : operands)
        if (o.empty()) why = "an empty file name";
    if (!why.empty()) return BatchCli::bad;
    if ((settle_given || opt.done_markers) && !opt.follow)
        why = std::string(settle_given ? "--settle" : "--done-markers") +
              " needs --follow: it says when a file is complete";
    if (settle_given && opt.done_markers) why = "--settle and --done-markers both say when a file is complete: use one";
    if (report && opt.follow) why = "--follow reduces a table as it arrives: it does not go with --report";
    if (!why.empty()) return BatchCli::bad;
    if (report) {
        if (operands.empty()) why = "--report needs at least one directory";
        opt.report_dirs = operands;
        return why.empty() ? BatchCli::report : BatchCli::bad;
    }
    if (operands.size() != 2) {
        why = operands.size() < 2 ? "expected BASE.par and TABLE.csv" : "too many operands: expected BASE.par and TABLE.csv";
        return BatchCli::bad;
    }
    if (opt.attenuation > 0 && opt.empty_beam.file.empty()) {
        why = "--attenuation needs --empty-beam: the ABSF is measured on the empty beam";
        return BatchCli::bad;
    }
    if (opt.dead_time > 0 && opt.empty_beam.file.empty()) {
        why = "--dead-time needs --empty-beam: it corrects the direct beams measured here";
        return BatchCli::bad;
    }
    if (!opt.trans_table.empty() && !opt.empty_beam.file.empty()) {
        why = "--trans and --empty-beam both give the transmissions: use one of them";
        return BatchCli::bad;
    }
    if ((opt.formats & kFmtAniso) != 0 && !opt.aniso_ring_given) {
        why = "--formats aniso needs --aniso-ring Q1,Q2";
        return BatchCli::bad;
    }
    opt.base = operands[0];
    opt.table = operands[1];
    if (!formats_given && !h5_available()) opt.formats &= ~static_cast<unsigned>(kFmtH5);
    return BatchCli::run;
}

}  // namespace pk
