// pelkaro-nxcansas: the command line, the run (the library's reduction with
// its console silenced, then the NXcanSAS file) and the messages.
#include "nxcansas_cli.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "app.h"
#include "pelkaro/check.h"
#include "pelkaro/files.h"

namespace pk {

std::string usage_text() {
    return pk::format(
        "Usage: %s [-o OUT.h5] [--length-unit mm|cm|m] [--intensity-unit UNIT] [--title TEXT]\n"
        "                        [--no-gravity] [--as-computed] [--trans TSV] PARAMFILE\n"
        "\n"
        "Reduces the measurement that PARAMFILE (a Pelkaro parameter file, MODE 0) describes exactly as\n"
        "Pelkaro does, and writes the result as one NXcanSAS file (HDF5) for SasView and other fitting\n"
        "programs instead of the .d2d/.d1d text files.\n"
        "\n"
        "  -o OUT.h5              the file to write; default: beside the first sample file, named as\n"
        "                         its .d1d would be, with .h5\n"
        "  --length-unit UNIT     the unit of the parameter file's lengths: mm (default), cm or m\n"
        "  --intensity-unit UNIT  the unit of the intensities (default 1/cm, true with a calibrated\n"
        "                         absolute scale factor and thicknesses in cm)\n"
        "  --title TEXT           the entry's title; default: the first sample file's name up to its\n"
        "                         first \".\"\n"
        "  --no-gravity           leave the neutrons' fall out of the resolution (for data simulated\n"
        "                         without it); by default it is in\n"
        "  --as-computed          I and Idev as Pelkaro computes them; default: freed of the sample's\n"
        "                         own wide-angle attenuation, which Pelkaro's prefactor leaves in\n"
        "  --trans TSV            pelkaro-trans's table (--format tsv) of the direct beams: the\n"
        "                         uncertainty of the sample's and the buffer's transmission and of\n"
        "                         ABSF is carried to every point, beside Idev, one dataset per\n"
        "                         independent measurement (Isys_empty_beam, Isys_absf, ...)\n"
        "  --help                 print this help and exit\n"
        "  --version              print the version and exit\n"
        "\n"
        "Progress goes to standard output, errors to standard error.  Exit status: 0 the file was\n"
        "written, 1 the run failed (the message says why), 2 wrong command line.\n",
        kProgram);
}

namespace {

// One option at argv[i]; Cli::run when it was read.
Cli read_option(int argc, const char* const* argv, int& i, NxOptions& opt, std::string& why) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") return Cli::help;
    if (a == "--version") return Cli::version;
    if (a == "--no-gravity") {
        opt.gravity = false;
        return Cli::run;
    }
    if (a == "--as-computed") return opt.as_computed = true, Cli::run;
    struct Valued {
        const char* name;
        std::string* target;
    } valued[] = {{"-o", &opt.out}, {"--length-unit", &opt.length_unit},
                  {"--intensity-unit", &opt.intensity_unit}, {"--title", &opt.title},
                  {"--trans", &opt.trans_table}};
    for (const Valued& v : valued) {
        bool matched = false;
        if (!option_value(argc, argv, i, v.name, *v.target, matched, why, true)) return Cli::bad;
        if (!matched) continue;
        if (v.target == &opt.title) opt.title_given = true;
        return Cli::run;
    }
    why = "unknown option '" + a + "'";
    return Cli::bad;
}

}  // namespace

Cli parse_args(int argc, const char* const* argv, NxOptions& opt, std::string& why) {
    opt = NxOptions{};
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!options_end && a == "--") {
            options_end = true;
        } else if (!options_end && a.size() > 1 && a[0] == '-') {
            const Cli c = read_option(argc, argv, i, opt, why);
            if (c != Cli::run) return c;
        } else if (!opt.param.empty()) {
            why = "one parameter file only, not '" + opt.param + "' and '" + a + "'";
            return Cli::bad;
        } else if (a.empty()) {
            why = "the parameter file's name is empty";
            return Cli::bad;
        } else {
            opt.param = a;
        }
    }
    if (opt.param.empty()) why = "no parameter file given";
    else if (opt.length_unit != "mm" && opt.length_unit != "cm" && opt.length_unit != "m")
        why = "--length-unit must be mm, cm or m, not '" + opt.length_unit + "'";
    return why.empty() ? Cli::run : Cli::bad;
}

namespace {

// What Pelkaro would say of a failed run, as reasons: the stage's own
// (where the stage said something) and the run's.
std::vector<std::string> diagnostics(const Status& st) {
    std::vector<std::string> lines;
    if (!st.detail.empty()) lines.push_back(st.reason);
    if (!st.message.empty()) lines.push_back(st.run_reason);
    return lines;
}

int report_failure(const Console& err, const NxOptions& opt, const Status& st) {
    // A refused line of the parameter file is named by its line number.
    std::string named;
    if (st.stage == Stage::parameters && st.line > 0) {
        named = st.reason;
        pk::say(err, "%s:%d: error: %s\n", opt.param.c_str(), st.line, named.c_str());
    }
    std::vector<std::string> lines;
    for (const std::string& l : diagnostics(st))
        if (!l.empty() && l != named) lines.push_back(l);
    pk::say(err, "%s: error: the reduction of %s failed, nothing was written%s", kProgram, opt.param.c_str(),
            lines.empty() ? "\n" : "; Pelkaro's diagnostic:\n");
    for (const std::string& l : lines) pk::say(err, "  %s\n", l.c_str());
    return 1;
}

// The parameter file must be a regular file we can read.
bool param_readable(const NxOptions& opt, const Console& err) {
    struct stat st {};
    std::string why;
    if (::stat(opt.param.c_str(), &st) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else {
        errno = 0;
        pk::FilePtr f(pk::open_regular(opt.param));
        if (!f) why = std::strerror(errno != 0 ? errno : EIO);
    }
    if (why.empty()) return true;
    pk::say(err, "%s: error: cannot read the parameter file %s: %s\n", kProgram, opt.param.c_str(), why.c_str());
    return false;
}

// The runs this program does not do, and outputs that would replace an input.
bool refused(const Run& run, const NxOptions& opt, const std::string& path, const Console& err) {
    const Param& p = run.p;
    const char* param = opt.param.c_str();
    if (p.mode == 1 || p.mode == 2) {
        pk::say(err, "%s: error: %s asks for %s (MODE %d), not a reduction; run 'Pelkaro %s' for it\n", kProgram,
                param, p.mode == 1 ? "the mask file" : "the beam centre", p.mode, param);
        return true;
    }
    if (!(run.log.seen >> WAVE & 1u)) {
        pk::say(err, "%s: error: %s has no WAVE line; the NXcanSAS file needs the wavelength for the Q of "
                     "its data\n", kProgram, param);
        return true;
    }
    std::vector<std::string> inputs{opt.param, run.sens.name, run.dark.name, run.mask.name};
    for (const Data2D& d : run.sam) inputs.push_back(d.name);
    for (const Data2D& d : run.buf) inputs.push_back(d.name);
    for (const std::string& in : inputs) {
        if (in.empty() || !same_file(path, in)) continue;
        pk::say(err, "%s: error: the output %s is the input file %s; choose another name with -o\n", kProgram,
                path.c_str(), in.c_str());
        return true;
    }
    return false;
}

// A row of the table and where it is, for a message.
std::string row_place(const TransTable& t, const TransTableRow& r) { return t.name + ":" + std::to_string(r.line); }

// The table's row of a quantity for `datafile` (any datafile when empty):
// the last one; null when there is none.
const TransTableRow* table_row(const TransTable& t, const char* quantity, const std::string& datafile) {
    const TransTableRow* found = nullptr;
    for (const TransTableRow& r : t.rows)
        if (r.quantity == quantity && (datafile.empty() || (!r.datafile.empty() && same_file(r.datafile, datafile))))
            found = &r;
    return found;
}

// One value's uncertainty from the table; false (said) when it cannot be used.
bool take_row(const TransTable& t, const TransTableRow* r, const char* what, bool& given, SigmaShares& to,
              bool& split, const Console& err) {
    if (!r) {
        pk::say(err, "%s: warning: %s gives no %s; its uncertainty is left out\n", kProgram, t.name.c_str(), what);
        return true;
    }
    const std::string fault = uncertainty_fault(r->value, r->sigma);
    if (!fault.empty()) {
        pk::say(err, "%s: error: column sigma: %s (%s)\n", row_place(t, *r).c_str(), fault.c_str(), what);
        return false;
    }
    given = true;
    to = r->split ? r->shares : SigmaShares{0.0, 0.0, r->sigma};
    split = split || r->split;
    return true;
}

// The uncertainties of the run's transmissions and ABSF from --trans; false
// (said) when the table cannot be used.
bool read_uncertainty(const Run& run, NxOptions& opt, const Console& err) {
    if (opt.trans_table.empty()) return true;
    TransTable t;
    const Status st = read_trans_table(opt.trans_table, t);
    if (!st.ok()) {
        const std::string at = st.line > 0 ? opt.trans_table + ":" + std::to_string(st.line) : opt.trans_table;
        pk::say(err, "%s: error: %s\n", at.c_str(), st.reason.c_str());
        return false;
    }
    ScaleUncertainty& u = opt.uncertainty;
    u.source = "pelkaro-trans's table " + t.name;
    const Data2D* buffer = nullptr;
    for (const Data2D& b : run.buf)
        if (b.tm != 0 && !buffer) buffer = &b;
    const std::string sample_what = "transmission for the sample file " + run.sam[0].name;
    if (!take_row(t, table_row(t, "transmission", run.sam[0].name), sample_what.c_str(), u.sample, u.sample_t,
                  u.split, err))
        return false;
    const std::string buffer_what = buffer ? "transmission for the buffer file " + buffer->name : "";
    if (buffer && !take_row(t, table_row(t, "transmission", buffer->name), buffer_what.c_str(), u.buffer, u.buffer_t,
                            u.split, err))
        return false;
    return take_row(t, table_row(t, "absf", ""), "absolute scale factor (absf)", u.absf, u.absf_f, u.split, err);
}

std::string plural(int n, const char* what) { return pk::format("%d %s%s", n, what, n == 1 ? "" : "s"); }

// The points of the curve (the bins that received detector area); -1
// without a curve.
int curve_points(const Run& run) {
    if (run.p.average != 1 && run.p.average != 2) return -1;
    int points = 0;
    for (int i = 0; i < run.curve.num; ++i) points += run.curve.area[static_cast<std::size_t>(i)] != 0;
    return points;
}

// What the file holds, in a few words.
std::string contents(const Run& run) {
    std::string s;
    if (curve_points(run) >= 0) s = "the I(Q) curve (" + plural(curve_points(run), "point") + ")";
    if (run.p.average == 0 || run.p.average == 2) s += std::string(s.empty() ? "" : " and ") + "the 128 x 128 image";
    return s;
}

// What the HDF5 library allocates while it writes the file, about: its
// metadata cache and conversion buffers (the file's bytes go to the disk as
// they are made).  More would only put the library's memory on huge pages,
// each taken whole once touched.
constexpr std::size_t kWriterBytes = std::size_t{1} << 20;

int reduce_to_file(const NxOptions& opt, const Console& out, const Console& err, bool huge_pages, Simd simd) {
    if (!param_readable(opt, err)) return 1;
    const Console quiet{nullptr, nullptr};
    Run run;
    pk::say(out, "Reading the parameter file %s\n", opt.param.c_str());
    Status st = prepare_run(opt.param, run, quiet);
    if (!st.ok()) return report_failure(err, opt, st);
    run.p.simd = simd;
    const std::string path = opt.out.empty() ? default_output(run.sam[0].name) : opt.out;
    if (refused(run, opt, path, err)) return 1;
    NxOptions with = opt;
    if (!read_uncertainty(run, with, err)) return 1;
    int buffers = 0;
    for (const Data2D& b : run.buf) buffers += b.tm != 0;
    pk::say(out, "Reducing %s and %s\n", plural(static_cast<int>(run.sam.size()), "sample file").c_str(),
            plural(buffers, "buffer file").c_str());
    run.want_sums = true;  // the mean Q and the uncertainties of the bins, in the average's pass
    const std::vector<char> filler = huge_pages ? huge_page_heap(reduction_bytes(run) + kWriterBytes)
                                                : std::vector<char>();
    st = reduce(run, quiet);
    if (!st.ok()) return report_failure(err, opt, st);
    st = write_file(run, with, path);
    if (!st.ok()) {
        pk::say(err, "%s: error: %s\n", kProgram, st.reason.c_str());
        return 1;
    }
    pk::say(out, "Wrote %s: %s\n", path.c_str(), contents(run).c_str());
    if (curve_points(run) == 0)
        pk::say(err, "%s: warning: the I(Q) curve has no points: no unmasked detector area lies in the sector\n",
                kProgram);
    return 0;
}

}  // namespace

int nxcansas_main(int argc, const char* const* argv, const Console& out, const Console& err, bool huge_pages,
                  Simd simd) {
    NxOptions opt;
    std::string why;
    switch (parse_args(argc, argv, opt, why)) {
        case Cli::help: pk::say(out, "%s", usage_text().c_str()); return 0;
        case Cli::version: pk::say(out, "%s %s\n", kProgram, PELKARO_VERSION); return 0;
        case Cli::bad:
            pk::say(err, "%s: %s\nTry '%s --help' for more information.\n", kProgram, why.c_str(), kProgram);
            return 2;
        case Cli::run: break;
    }
    try {
        return reduce_to_file(opt, out, err, huge_pages, simd);
    } catch (const std::bad_alloc&) {
        pk::say(err, "%s: error: out of memory; nothing was written\n", kProgram);
    } catch (const std::exception& e) {
        pk::say(err, "%s: error: internal error (%s); nothing was written\n", kProgram, e.what());
    }
    return 1;
}

}  // namespace pk
