// pelkaro-trans: the command line; the measurement, its messages and its
// table are the library's (measure_direct_beams in pelkaro/trans.h).
#include "app.h"
#include "trans_cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "pelkaro/trans.h"

namespace pk {

namespace {

const char* const kUsage =
    "usage: pelkaro-trans [--par PARAMFILE] [--dark FILE,TIME] [--radius PIXELS] [--attenuation A]\n"
    "                     [--dead-time TAU] [--standard FILE,TIME,MONITOR,THICKNESS,T --cross-section X[,dX]]\n"
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
    "  --dead-time TAU    the detector's dead time in seconds (non-paralysable): each\n"
    "                     run's counts are multiplied by 1/(1 - m TAU), m its whole\n"
    "                     detector's count rate, before the centre, T and ABSF\n"
    "  --standard FILE,TIME,MONITOR,THICKNESS,T\n"
    "                     ABSF from a secondary standard instead (needs --par and\n"
    "                     --cross-section): a flat scatterer measured as a sample,\n"
    "                     its thickness (cm) and transmission\n"
    "  --cross-section X[,dX]  the standard's dSigma/dOmega in cm^-1 sr^-1 and its\n"
    "                     uncertainty, or FILE[,FRACTION]: a curve of Q (1/A) and\n"
    "                     dSigma/dOmega per line, and its relative uncertainty\n"
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

// The command line: the measurement asked for and how to print it.
struct Options {
    TransRequest req;
    bool tsv = false;
    bool empty_given = false;
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
                         BeamRun& arg) {
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

// FILE,TIME,MONITOR,THICKNESS,T of --standard: "" or why not.
std::string read_standard(const std::string& text, TransRequest& req) {
    req.standard_given = true;
    const std::size_t cut = text.rfind(',', text.rfind(',') - (text.rfind(',') == std::string::npos ? 0 : 1));
    const std::string said = "--standard '" + text + "' is not FILE,TIME,MONITOR,THICKNESS,T";
    if (cut == std::string::npos || cut == 0) return said;
    const std::vector<std::string> f = split(text.substr(cut + 1), ',');
    StandardRun& s = req.standard;
    if (f.size() != 2 || !number(f[0], s.thickness) || !(s.thickness > 0)) return said + " (a thickness above 0 in cm)";
    if (!number(f[1], s.transmission) || !(s.transmission > 0 && s.transmission <= 1))
        return said + " (a transmission above 0 and at most 1)";
    return read_run_arg(text.substr(0, cut), "FILE,TIME,MONITOR", 3, 3, s.run);
}

// X[,dX] of --cross-section: "" or why not.
std::string read_cross_section(const std::string& text, StandardRun& s) {
    const std::vector<std::string> f = split(text, ',');
    double x = 0.0;
    if (!f[0].empty() && !number(f[0], x) && f[0].find_first_of("\t\n\r") == std::string::npos) {
        s.curve_file = f[0];  // a curve file, and its relative uncertainty
        s.cross_section = 1.0;
        if (f.size() > 2 || (f.size() == 2 && (!number(f[1], s.cross_section_sigma) || !(s.cross_section_sigma >= 0))))
            return "--cross-section FILE[,FRACTION] needs a curve file and its relative uncertainty, not '" + text + "'";
        return "";
    }
    if (f.size() > 2 || !number(f[0], s.cross_section) || !(s.cross_section > 0) ||
        (f.size() == 2 && (!number(f[1], s.cross_section_sigma) || !(s.cross_section_sigma >= 0))))
        return "--cross-section needs X[,dX], the standard's cross-section above 0 in cm^-1 sr^-1 and its "
               "uncertainty, not '" + text + "'";
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
        o.req.par = value;
        return "";
    }
    if (name == "--dark") {
        o.req.dark_given = true;
        return read_run_arg(value, "FILE,TIME", 2, 2, o.req.dark);
    }
    if (name == "--empty") {
        o.empty_given = true;
        return read_run_arg(value, "FILE,TIME,MONITOR", 3, 3, o.req.empty);
    }
    if (name == "--radius")
        return read_number(name, value, 0.0, 0.5 * kDetSide, "a radius above 0 and at most 64 pixels", o.req.radius);
    if (name == "--attenuation")
        return read_number(name, value, 0.0, 1.0, "a transmission above 0 and at most 1", o.req.attenuation);
    if (name == "--standard") return read_standard(value, o.req);
    if (name == "--cross-section") return read_cross_section(value, o.req.standard);
    if (name == "--dead-time") {
        const char* const rule = "a dead time in seconds from 0 to 1";
        const std::string why = read_number(name, value, -1.0, 1.0, rule, o.req.dead_time);
        return why.empty() && o.req.dead_time < 0 ? name + " needs " + rule + ", not '" + value + "'" : why;
    }
    if (value != "text" && value != "tsv") return "--format is text or tsv, not '" + value + "'";
    o.tsv = value == "tsv";
    return "";
}

// One argument at argv[i] (and its value).
Cli read_argument(int argc, const char* const* argv, int& i, bool& options, Options& o, std::vector<std::string>& seen,
                  std::string& why) {
    const std::string a = argv[i];
    if (!options || a.size() < 2 || a[0] != '-') {
        BeamRun r;
        why = read_run_arg(a, "RUN,TIME,MONITOR[,DATAFILE]", 3, 4, r);
        o.req.runs.push_back(r);
        return why.empty() ? Cli::run : Cli::bad;
    }
    if (a == "--") {
        options = false;
        return Cli::run;
    }
    if (a == "--help" || a == "-h") return Cli::help;
    if (a == "--version") return Cli::version;
    for (const char* name : {"--par", "--dark", "--empty", "--radius", "--attenuation", "--dead-time", "--standard",
                             "--cross-section", "--format"}) {
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
    else if (o.req.attenuation > 0 && o.req.par.empty()) why = "--attenuation needs --par (the flat field and geometry)";
    else if (o.req.standard_given && o.req.attenuation > 0)
        why = "--standard and --attenuation both give ABSF: use one of them";
    else if (o.req.standard_given && (o.req.par.empty() || !(o.req.standard.cross_section > 0)))
        why = "--standard needs --par (the flat field and geometry) and --cross-section";
    else if (!o.req.standard_given && o.req.standard.cross_section > 0) why = "--cross-section belongs to --standard";
    return why.empty() ? Cli::run : Cli::bad;
}

// ---- The measurement ----------------------------------------------------------

// The library measures; this prints its notes, then the table.
int measure(const Options& o, std::FILE* out, std::FILE* err) {
    const TransResult r = measure_direct_beams(o.req);
    for (const TransNote& n : r.notes)
        std::fprintf(err, "pelkaro-trans: %s: %s\n", n.warning ? "warning" : "error", n.text.c_str());
    if (!r.measured) return 1;
    const std::string table = o.tsv ? trans_tsv(o.req, r) : trans_text(o.req, r);
    std::fputs(table.c_str(), out);
    if (std::fflush(out) == 0 && !std::ferror(out)) return r.failed() ? 1 : 0;
    std::fprintf(err, "pelkaro-trans: error: could not write the results: %s\n", std::strerror(errno));
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
        std::fprintf(err, "pelkaro-trans: error: out of memory\n");
        return 1;
    }
}

}  // namespace pk
