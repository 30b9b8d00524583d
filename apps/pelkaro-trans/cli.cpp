// pelkaro-trans: the command line, the order of the measurements (the
// library's, pelkaro/trans.h), the table and the messages.
#include "app.h"
#include "trans_cli.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "pelkaro/run.h"
#include "pelkaro/trans.h"

namespace pk {

namespace {

const char* const kUsage =
    "usage: pelkaro-trans [--par PARAMFILE] [--dark FILE,TIME] [--radius PIXELS] [--attenuation A]\n"
    "                     [--format text|tsv] --empty FILE,TIME,MONITOR RUN,TIME,MONITOR[,DATAFILE] ...\n";

const char* const kHelp =
    "\n"
    "Measures direct-beam runs (the attenuated beam, beam stop out): the empty beam\n"
    "(no sample) gives the beam centre, and each RUN (the beam through a sample or\n"
    "buffer) its transmission: its counts in a disc about that centre per monitor\n"
    "count over the empty beam's.  With --attenuation and --par it also gives the\n"
    "absolute scale factor.  It prints, ready to paste into a parameter file:\n"
    "  RUN  T  dT  [DATAFILE]   one line per run (DATAFILE: its DATS or DATB file)\n"
    "  CNTR X Y                 the beam centre (pixel (x, y) centred at x+0.5, y+0.5)\n"
    "  ABSF VALUE               with --attenuation, its uncertainty in a comment\n"
    "\n"
    "  --empty FILE,TIME,MONITOR  the empty beam, its counting time (s) and monitor counts\n"
    "  RUN,TIME,MONITOR[,DATAFILE]  a run through a sample or buffer\n"
    "  --par PARAMFILE    pixel spacing, distance, flat field, mask and dark current\n"
    "                     from a Pelkaro parameter file\n"
    "  --dark FILE,TIME   the dark current and its counting time (instead of DATD)\n"
    "  --radius PIXELS    the disc's radius; default: the smallest that holds 99.5 %\n"
    "                     of the empty beam's net counts\n"
    "  --attenuation A    the attenuator's transmission: print ABSF (needs --par)\n"
    "  --format text|tsv  tsv: a header naming the columns, one row per value\n"
    "  --help, --version\n"
    "\n"
    "Header tags of a detector file (<time, <monitor) win over the values given.\n"
    "Uncertainties are one standard deviation from the detector counts of the\n"
    "runs and the dark current; monitor counts are taken as exact.  File names\n"
    "holding a comma, tab or line end cannot be given.\n"
    "\n"
    "Exit status: 0 all measured, 1 an input could not be used (the other runs'\n"
    "lines are still printed, unless it was the empty beam), 2 a wrong command line.\n"
    "The manual: man pelkaro-trans.\n";

const Console kSilent{nullptr, nullptr};

// A detector file named on the command line, with its counting time and
// monitor counts, and the scattering run it belongs to.
struct BeamRunArg {
    std::string file;
    double time = 0.0;
    double monitor = 0.0;
    std::string datafile;
};

struct Options {
    std::string par;
    bool dark_given = false;
    BeamRunArg dark;
    double radius = 0.0;       // 0: the default disc
    double attenuation = 0.0;  // 0: no absolute scale
    bool tsv = false;
    bool empty_given = false;
    BeamRunArg empty;
    std::vector<BeamRunArg> runs;
};

enum class Cli { run, help, version, bad };

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out(1);
    for (const char c : s) {
        if (c == sep) out.emplace_back();
        else out.back().push_back(c);
    }
    return out;
}

// The whole text as a finite number.
bool number(const std::string& text, double& v) {
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    v = std::strtod(begin, &end);
    return end == begin + text.size() && errno != ERANGE && std::isfinite(v) &&
           text.find_first_of(" \t\n\v\f\r") == std::string::npos;
}

bool printable_name(const std::string& s) { return s.find_first_of("\t\n\r") == std::string::npos; }

// Reads FILE,TIME[,MONITOR][,DATAFILE] with `least` to `most` fields; "" or why not.
std::string read_run_arg(const std::string& text, const char* form, std::size_t least, std::size_t most,
                      BeamRunArg& arg) {
    const std::vector<std::string> f = split(text, ',');
    const std::string said = "'" + text + "'";
    const std::string comma = f.size() > least ? " (a file name that holds a comma cannot be given this way)" : "";
    if (f.size() < least || f.size() > most) return said + " is not " + form + comma;
    arg.file = f[0];
    if (arg.file.empty()) return said + " names no file";
    if (!number(f[1], arg.time) || !(arg.time > 0))
        return "the counting time '" + f[1] + "' in " + said + " is not a number above 0" + comma;
    if (least >= 3 && (!number(f[2], arg.monitor) || !(arg.monitor > 0)))
        return "the monitor count '" + f[2] + "' in " + said + " is not a number above 0" + comma;
    if (f.size() == 4) {
        arg.datafile = f[3];
        if (arg.datafile.empty()) return said + " names no DATAFILE after its last comma";
    }
    if (!printable_name(arg.file) || !printable_name(arg.datafile))
        return said + " holds a tab or line end in a file name, which the table cannot show";
    return "";
}

// Reads the value of a numeric option from lo (excluded) to hi (included).
std::string read_number(const std::string& name, const std::string& text, double lo, double hi, const char* rule,
                        double& v) {
    if (!number(text, v) || !(v > lo && v <= hi)) return name + " needs " + rule + ", not '" + text + "'";
    return "";
}

// The option's value, once: "" or why not.
std::string set_option(const std::string& name, const std::string& value, Options& o) {
    if (name == "--par") {
        if (value.empty()) return "--par needs a file name";
        o.par = value;
        return "";
    }
    if (name == "--dark") {
        o.dark_given = true;
        return read_run_arg(value, "FILE,TIME", 2, 2, o.dark);
    }
    if (name == "--empty") {
        o.empty_given = true;
        return read_run_arg(value, "FILE,TIME,MONITOR", 3, 3, o.empty);
    }
    if (name == "--radius")
        return read_number(name, value, 0.0, 0.5 * kDetSide, "a radius above 0 and at most 64 pixels", o.radius);
    if (name == "--attenuation")
        return read_number(name, value, 0.0, 1.0, "a transmission above 0 and at most 1", o.attenuation);
    if (value != "text" && value != "tsv") return "--format is text or tsv, not '" + value + "'";
    o.tsv = value == "tsv";
    return "";
}

// One argument at argv[i] (and its value).
Cli read_argument(int argc, const char* const* argv, int& i, bool& options, Options& o, std::vector<std::string>& seen,
                  std::string& why) {
    const std::string a = argv[i];
    if (!options || a.size() < 2 || a[0] != '-') {
        BeamRunArg r;
        why = read_run_arg(a, "RUN,TIME,MONITOR[,DATAFILE]", 3, 4, r);
        o.runs.push_back(r);
        return why.empty() ? Cli::run : Cli::bad;
    }
    if (a == "--") {
        options = false;
        return Cli::run;
    }
    if (a == "--help" || a == "-h") return Cli::help;
    if (a == "--version") return Cli::version;
    for (const char* name : {"--par", "--dark", "--empty", "--radius", "--attenuation", "--format"}) {
        std::string value;
        bool matched = false;
        if (!option_value(argc, argv, i, name, value, matched, why)) return Cli::bad;
        if (!matched) continue;
        for (const std::string& s : seen)
            if (s == name) why = std::string(name) + " is given twice";
        seen.emplace_back(name);
        if (why.empty()) why = set_option(name, value, o);
        return why.empty() ? Cli::run : Cli::bad;
    }
    why = "unknown option '" + a + "'";
    return Cli::bad;
}

Cli read_command_line(int argc, const char* const* argv, Options& o, std::string& why) {
    bool options = true;
    std::vector<std::string> seen;
    for (int i = 1; i < argc; ++i) {
        const Cli c = read_argument(argc, argv, i, options, o, seen, why);
        if (c != Cli::run) return c;
    }
    if (!o.empty_given) why = "no empty beam given (--empty FILE,TIME,MONITOR)";
    else if (o.attenuation > 0 && o.par.empty()) why = "--attenuation needs --par (the flat field and geometry)";
    return why.empty() ? Cli::run : Cli::bad;
}

// ---- Messages ---------------------------------------------------------------

void error(std::FILE* err, const std::string& what) { std::fprintf(err, "pelkaro-trans: error: %s\n", what.c_str()); }

void warning(std::FILE* err, const std::string& what) {
    std::fprintf(err, "pelkaro-trans: warning: %s\n", what.c_str());
}

// Why a detector file could not be read, for a reader's refusal to open it.
std::string reason(const Status& st, const std::string& file) {
    if (st.code != Code::cannot_read) return st.reason();
    struct stat s {};
    if (::stat(file.c_str(), &s) != 0) return file + ": " + std::strerror(errno);
    if (!S_ISREG(s.st_mode)) return file + " is not a regular file";
    return file + " cannot be read";
}

// ---- The measurements -------------------------------------------------------

// What the parameter file and the dark current give every run.
struct Inputs {
    BeamImage dark;   // no counts: no dark current
    FlatField flat;   // no flat: none known
    bool scale = true;  // the parameter file has what the absolute scale needs
};

// What is printed: one line per run measured, the centre, the disc and the
// absolute scale.
struct RunLine {
    const BeamRunArg* arg;
    Measured t;
};
struct Report {
    std::vector<RunLine> runs;
    std::string empty;
    BeamCentre centre;
    Disc disc;
    bool radius_given = false;
    bool scaled = false;
    AbsoluteScale absf;
};

// Reads the parameter file: the dark current (unless --dark gives one) and
// the flat field with its mask and geometry.  False when it cannot be read.
bool read_parameters(const Options& o, Inputs& in, BeamRunArg& dark, bool& with_dark, std::FILE* err, int& status) {
    if (o.par.empty()) return true;
    Run run;
    const Status st = prepare_run(o.par, run, kSilent);
    if (!st.ok()) {
        error(err, (st.code == Code::cannot_read ? reason(st, o.par) : o.par + ": " + st.reason()) +
                       "; nothing measured");
        return false;
    }
    const auto has = [&run](int kw) { return (run.log.seen >> kw & 1u) != 0; };
    if (!o.dark_given && run.dcur.tm > 0) {
        dark = BeamRunArg{run.dcur.name, static_cast<double>(run.dcur.tm), 0.0, ""};
        with_dark = true;
    }
    for (const int kw : {PXSP, SM2D, SENS}) {
        if (o.attenuation > 0 && !has(kw)) {
            error(err, o.par + " has no " + keyword_name(kw) + " line, which the absolute scale (ABSF) needs");
            in.scale = false;
            status = 1;
        }
    }
    if (!has(SENS)) return true;
    Status flat = load_flat_field(run.p, run.sens.name, run.mask.name, in.flat);
    Efficiencies e;  // the flat field and geometry give efficiencies (the centre hardly matters)
    if (flat.ok()) flat = efficiencies(in.flat, 0.5 * kDetSide, 0.5 * kDetSide, e);
    if (!flat.ok()) {
        in.flat = FlatField{};
        error(err, "the flat field of " + o.par + ": " + reason(flat, run.sens.name) +
                       "; the centre is measured without it" + (o.attenuation > 0 ? " and no ABSF is given" : ""));
        in.scale = false;
        status = 1;
    }
    return true;
}

// The parameter file and the dark current; false when nothing can be measured.
bool read_inputs(const Options& o, Inputs& in, std::FILE* err, int& status) {
    BeamRunArg dark = o.dark;
    bool with_dark = o.dark_given;
    if (!read_parameters(o, in, dark, with_dark, err, status)) return false;
    if (!with_dark) return true;
    const Status st = read_beam_image(dark.file, dark.time, 0.0, true, in.dark);
    if (st.ok()) return true;
    error(err, "the dark current: " + reason(st, dark.file) + "; nothing measured");
    return false;
}

// The centre and the disc on the empty beam, and its sums over the disc;
// false when the empty beam cannot be used.
bool measure_empty(const Options& o, const Inputs& in, BeamImage& empty, Report& r, DiscCounts& sums,
                   std::FILE* err) {
    Status st = read_beam_image(o.empty.file, o.empty.time, o.empty.monitor, false, empty);
    if (st.ok()) st = beam_centre(empty, in.dark, in.flat, r.centre);
    r.radius_given = o.radius > 0;
    if (st.ok() && r.radius_given) r.disc = Disc{r.centre.x, r.centre.y, o.radius};
    else if (st.ok()) st = default_disc(empty, in.dark, r.centre, kDiscShare, r.disc);
    if (st.ok()) st = check_disc(r.disc);
    if (st.ok()) {
        sums = disc_counts(empty, in.dark, r.disc);
        st = check_empty_beam(sums, empty.name);
    }
    if (st.ok()) return true;
    error(err, "the empty beam: " + reason(st, o.empty.file) + "; nothing measured");
    return false;
}

// The transmission of every run that can be used.
void measure_runs(const Options& o, const Inputs& in, const DiscCounts& empty, Report& r, std::FILE* err,
                  int& status) {
    for (const BeamRunArg& arg : o.runs) {
        BeamImage run;
        Status st = read_beam_image(arg.file, arg.time, arg.monitor, false, run);
        Measured t;
        if (st.ok()) st = transmission(disc_counts(run, in.dark, r.disc), empty, arg.file, t);
        if (!st.ok()) {
            error(err, reason(st, arg.file));
            status = 1;
            continue;
        }
        if (t.value > 1 + kAboveOneSigmas * t.sigma)
            warning(err, pk::format("%s: the transmission %.4f +- %.4f is above 1 by %.1f standard deviations: more "
                                    "counts per monitor count than the empty beam",
                                    arg.file.c_str(), t.value, t.sigma, (t.value - 1) / t.sigma));
        r.runs.push_back(RunLine{&arg, t});
    }
}

void measure_scale(const Options& o, const Inputs& in, const BeamImage& empty, Report& r, std::FILE* err,
                   int& status) {
    if (!(o.attenuation > 0) || !in.scale) return;
    const Status st = absolute_scale(empty, in.dark, r.centre, in.flat, o.attenuation, r.absf);
    r.scaled = st.ok();
    if (r.scaled) return;
    error(err, "the absolute scale: " + st.reason());
    status = 1;
}

// ---- The table --------------------------------------------------------------

void print_text(const Report& r, std::FILE* out) {
    if (r.radius_given)
        std::fprintf(out, "# disc of radius %.4f pixels (--radius) about the centre of %s\n", r.disc.radius,
                     r.empty.c_str());
    else
        std::fprintf(out, "# disc of radius %.4f pixels about the centre of %s: the smallest that holds %g %% of its "
                     "net counts\n", r.disc.radius, r.empty.c_str(), 100 * kDiscShare);
    for (const RunLine& l : r.runs) {
        std::fprintf(out, "%s  %.6f  %.6f", l.arg->file.c_str(), l.t.value, l.t.sigma);
        if (!l.arg->datafile.empty()) std::fprintf(out, "  %s", l.arg->datafile.c_str());
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "CNTR %.3f %.3f\n# beam centre uncertainty %.2g %.2g pixels\n", r.centre.x, r.centre.y,
                 r.centre.sx, r.centre.sy);
    if (!r.scaled) return;
    std::fprintf(out, "ABSF %.6g\n# ABSF uncertainty %.2g: counting statistics", r.absf.value, r.absf.sigma);
    if (r.absf.stand_ins > 0)
        std::fprintf(out, ", and %d pixels about the beam (%.1f %% of its counts) whose efficiency the flat field "
                     "does not give, taken as the mean of %d about them", r.absf.stand_ins, 100 * r.absf.stand_in_share,
                     r.absf.around);
    std::fprintf(out, "\n");
}

void print_tsv(const Report& r, std::FILE* out) {
    std::fprintf(out, "quantity\tfile\tvalue\tsigma\tdatafile\n");
    for (const RunLine& l : r.runs)
        std::fprintf(out, "transmission\t%s\t%.9g\t%.9g\t%s\n", l.arg->file.c_str(), l.t.value, l.t.sigma,
                     l.arg->datafile.c_str());
    const char* e = r.empty.c_str();
    std::fprintf(out, "centre_x\t%s\t%.9g\t%.9g\t\ncentre_y\t%s\t%.9g\t%.9g\t\nradius\t%s\t%.9g\t\t\n", e, r.centre.x,
                 r.centre.sx, e, r.centre.y, r.centre.sy, e, r.disc.radius);
    if (r.scaled) std::fprintf(out, "absf\t%s\t%.9g\t%.9g\t\n", e, r.absf.value, r.absf.sigma);
}

int measure(const Options& o, std::FILE* out, std::FILE* err) {
    int status = 0;
    Inputs in;
    if (!read_inputs(o, in, err, status)) return 1;
    BeamImage empty;
    Report r;
    r.empty = o.empty.file;
    DiscCounts sums;
    if (!measure_empty(o, in, empty, r, sums, err)) return 1;
    measure_runs(o, in, sums, r, err, status);
    measure_scale(o, in, empty, r, err, status);
    if (o.tsv) print_tsv(r, out);
    else print_text(r, out);
    if (std::fflush(out) == 0 && !std::ferror(out)) return status;
    error(err, std::string("could not write the results: ") + std::strerror(errno));
    return 1;
}

}  // namespace

int trans_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    Options o;
    std::string why;
    switch (read_command_line(argc, argv, o, why)) {
        case Cli::help: std::fprintf(out, "%s%s", kUsage, kHelp); return 0;
        case Cli::version: std::fprintf(out, "pelkaro-trans %s\n", PELKARO_VERSION); return 0;
        case Cli::bad:
            std::fprintf(err, "pelkaro-trans: error: %s\n%sTry 'pelkaro-trans --help' for more information.\n",
                         why.c_str(), kUsage);
            return 2;
        case Cli::run: break;
    }
    try {
        return measure(o, out, err);
    } catch (const std::bad_alloc&) {
        error(err, "out of memory");
        return 1;
    }
}

}  // namespace pk
