// pelkaro-flat: the command line, the parameter file's geometry and mask,
// and the outputs written all or nothing; the measurement is the library's
// (make_sensitivity in pelkaro/flat_field.h).
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app.h"
#include "flat_cli.h"
#include "pelkaro/check.h"
#include "pelkaro/files.h"
#include "pelkaro/run.h"

namespace pk {

namespace {

const char* const kUsage =
    "usage: pelkaro-flat --par PARAMFILE [--dark FILE,TIME] (--transmission T | --trans-table TSV)\n"
    "                    [--dead-time TAU] [--mask-out FILE] [--sigma-out FILE] [--plot PNG]\n"
    "                    -o OUT RUN,TIME,MONITOR [RUN,TIME,MONITOR ...]\n";

const char* const kHelp =
    "\n"
    "Makes the detector sensitivity (flat-field) file that a SENS line names from runs\n"
    "of a scatterer flat in Q (1 mm of light water), the beam stop in: the dark\n"
    "current subtracted by counting time, each run put per monitor count, the\n"
    "scatterer's own angle-dependent attenuation divided out, and the beam stop's\n"
    "shadow of each run filled from the others (give a run with the stop moved).\n"
    "Dead and hot pixels (an efficiency of 0 or outside 0.5 to 1.5 of the mean, the\n"
    "rule of pelkaro-mask --from-flat and pelkaro-check) are written as 0.\n"
    "\n"
    "  RUN,TIME,MONITOR   a flat-scatterer run, its counting time (s) and monitor counts\n"
    "  -o OUT             the sensitivity file to write (Pelkaro's detector-file format)\n"
    "  --par PARAMFILE    pixel spacing, distance, beam centre, the SENS flag, the mask\n"
    "                     and the dark current (DATD) from a Pelkaro parameter file\n"
    "  --dark FILE,TIME   the dark current and its counting time (instead of DATD)\n"
    "  --transmission T   the scatterer's transmission, above 0 and at most 1\n"
    "  --trans-table TSV  or pelkaro-trans's table: its transmission row whose DATAFILE\n"
    "                     is one of the RUNs\n"
    "  --dead-time TAU    the detector's dead time in seconds, as pelkaro-trans takes it\n"
    "  --mask-out FILE    the mask: the parameter file's, less the dead, hot and unseen pixels\n"
    "  --sigma-out FILE   each pixel's efficiency and its uncertainty, a table\n"
    "  --plot PNG         an image of the efficiencies (needs libpng)\n"
    "  --help, --version\n"
    "\n"
    "The file holds each pixel's efficiency times its solid angle, which the water\n"
    "measures; Pelkaro's SENS line with either flag then gives intensities per unit\n"
    "solid angle (measure ABSF through the same file).  With flag 1 Pelkaro's 0.5 to\n"
    "1.5 band judges the efficiency; with flag 0 it judges it times cos^3 2theta,\n"
    "and the report says how many good pixels that would mask.\n"
    "\n"
    "Exit status: 0 written, 1 an input could not be used (nothing written),\n"
    "2 a wrong command line.  The manual: man pelkaro-flat.\n";

struct Options {
    std::string par, out, mask_out, sigma_out, plot, trans_table;
    bool dark_given = false;
    FlatRun dark;
    double transmission = 0.0;
    double dead_time = 0.0;
    std::vector<FlatRun> runs;
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

bool number(const std::string& text, double& v) {
    if (text.empty() || text.find_first_of(std::string(" \t\n\v\f\r\0", 7)) != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && errno != ERANGE && std::isfinite(v);
}

// FILE,TIME or FILE,TIME,MONITOR: "" or why not.
std::string read_run(const std::string& text, bool with_monitor, FlatRun& r) {
    const std::vector<std::string> f = split(text, ',');
    const std::string said = "'" + text + "'";
    if (f.size() != (with_monitor ? 3u : 2u))
        return said + " is not " + (with_monitor ? "RUN,TIME,MONITOR" : "FILE,TIME") +
               " (a file name that holds a comma cannot be given this way)";
    r.file = f[0];
    if (r.file.empty()) return said + " names no file";
    if (!number(f[1], r.time) || !(r.time > 0)) return "the counting time '" + f[1] + "' in " + said + " is not a number above 0";
    if (with_monitor && (!number(f[2], r.monitor) || !(r.monitor > 0)))
        return "the monitor count '" + f[2] + "' in " + said + " is not a number above 0";
    return "";
}

std::string set_number(const std::string& name, const std::string& value, double lo, bool lo_open, double hi,
                       const char* rule, double& v) {
    if (!number(value, v) || !(lo_open ? v > lo : v >= lo) || !(v <= hi))
        return name + " needs " + rule + ", not '" + value + "'";
    return "";
}

std::string set_option(const std::string& name, const std::string& value, Options& o) {
    if (name == "--dark") return o.dark_given = true, read_run(value, false, o.dark);
    if (name == "--transmission")
        return set_number(name, value, 0.0, true, 1.0, "a transmission above 0 and at most 1", o.transmission);
    if (name == "--dead-time")
        return set_number(name, value, 0.0, false, 1.0, "a dead time in seconds from 0 to 1", o.dead_time);
    std::string* const files[] = {&o.par, &o.out, &o.mask_out, &o.sigma_out, &o.plot, &o.trans_table};
    const char* const names[] = {"--par", "-o", "--mask-out", "--sigma-out", "--plot", "--trans-table"};
    for (std::size_t k = 0; k < 6; ++k)
        if (name == names[k]) *files[k] = value;
    return value.empty() ? name + " needs a file name" : "";
}

Cli read_argument(int argc, const char* const* argv, int& i, bool& options, Options& o,
                  std::vector<std::string>& seen, std::string& why) {
    const std::string a = argv[i];
    if (!options || a.size() < 2 || a[0] != '-') {
        o.runs.emplace_back();
        why = read_run(a, true, o.runs.back());
        return why.empty() ? Cli::run : Cli::bad;
    }
    if (a == "--") return options = false, Cli::run;
    if (a == "--help" || a == "-h") return Cli::help;
    if (a == "--version") return Cli::version;
    for (const char* name : {"--par", "-o", "--dark", "--transmission", "--trans-table", "--dead-time", "--mask-out",
                             "--sigma-out", "--plot"}) {
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

// The outputs must be different files, none of them an input.
std::string check_names(const Options& o) {
    std::vector<std::string> inputs{o.par, o.trans_table};
    if (o.dark_given) inputs.push_back(o.dark.file);
    for (const FlatRun& r : o.runs) inputs.push_back(r.file);
    std::vector<std::string> outs{o.out};
    for (const std::string* s : {&o.mask_out, &o.sigma_out, &o.plot})
        if (!s->empty()) outs.push_back(*s);
    for (std::size_t k = 0; k < outs.size(); ++k) {
        for (const std::string& in : inputs)
            if (!in.empty() && same_file(in, outs[k])) return "the output " + outs[k] + " is one of the inputs";
        for (std::size_t j = 0; j < k; ++j)
            if (outs[j] == outs[k]) return "the output " + outs[k] + " is named twice";
    }
    return "";
}

Cli read_command_line(int argc, const char* const* argv, Options& o, std::string& why) {
    bool options = true;
    std::vector<std::string> seen;
    for (int i = 1; i < argc; ++i) {
        const Cli c = read_argument(argc, argv, i, options, o, seen, why);
        if (c != Cli::run) return c;
    }
    if (o.par.empty()) why = "no parameter file given (--par PARAMFILE): the geometry comes from it";
    else if (o.out.empty()) why = "no output given (-o OUT)";
    else if (o.runs.empty()) why = "no flat-scatterer run given (RUN,TIME,MONITOR)";
    else if ((o.transmission > 0) == !o.trans_table.empty())
        why = "give the scatterer's transmission once: --transmission T or --trans-table TSV";
    else if (!o.plot.empty() && !png_available()) why = "--plot needs libpng, which this build was made without";
    else why = check_names(o);
    return why.empty() ? Cli::run : Cli::bad;
}

// ---- The inputs -----------------------------------------------------------------

// The geometry, mask and dark current of the parameter file.  Its SENS
// line may name the file about to be made: a file that does not exist yet
// stands in as an empty image.
Status read_parameters(const Options& o, SensitivityRequest& req) {
    Run run;
    Status st = prepare_run(o.par, run, Console{nullptr, nullptr});
    if (!st.ok() && st.keyword == SENS && st.code == Code::cannot_read && !run.sens.name.empty()) {
        const std::string sens = run.sens.name;
        run = Run{};
        if (Status f = read_param_file(o.par, run.file); !f.ok()) return f;
        run.held.push_back(HeldImage{sens, false, std::vector<uint32_t>(kDetPixels, 1)});
        st = prepare_run(run, Console{nullptr, nullptr});
    }
    if (!st.ok()) return st.reason = o.par + ": " + st.reason, st;
    req.p = run.p;
    req.mask.name = run.mask.name;
    if (run.p.mask_source == 1) st = read_image_file(req.mask, true);
    else internal_mask(req.mask);
    if (st.ok() && req.mask.intens.size() < static_cast<std::size_t>(kDetPixels))
        st = failure(Stage::mask, Code::no_values, "holds fewer values than the detector has pixels");
    if (!st.ok()) return st.reason = "the mask " + run.mask.name + " of " + o.par + ": " + st.reason, st;
    req.with_dark = o.dark_given || run.dark.tm > 0;
    req.dark = o.dark_given ? o.dark : FlatRun{run.dark.name, static_cast<double>(run.dark.tm), 0.0};
    return ok_status();
}

// The scatterer's transmission from pelkaro-trans's table: the row of one of the runs.
Status table_transmission(const Options& o, double& t) {
    TransTable table;
    if (Status st = read_trans_table(o.trans_table, table); !st.ok())
        return st.reason = o.trans_table + (st.line > 0 ? ":" + std::to_string(st.line) : "") + ": " + st.reason, st;
    for (const TransTableRow& row : table.rows)
        for (const FlatRun& r : o.runs)
            if (row.quantity == "transmission" && row.datafile == r.file) t = row.value;
    if (!(t > 0 && t <= 1))
        return failure(Stage::transmission, Code::bad_contents,
                       t == 0 ? o.trans_table + ": no transmission row names one of the runs as its DATAFILE"
                              : format("%s: the scatterer's transmission %g is not above 0 and at most 1",
                                       o.trans_table.c_str(), t));
    return ok_status();
}

// ---- The outputs ----------------------------------------------------------------

std::string mask_text(const SensitivityRequest& req, const Sensitivity& s, const std::string& origin) {
    std::string text = "# Mask made by " + origin + ": 1 = pixel used, 0 = masked (the parameter file's mask, " +
                       "less the dead, hot and unseen pixels of the flat field)\n";
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        const bool used = pixel_used(req.mask.intens[k]) && s.fate[k] == PixelFate::good;
        text += used ? "1\n" : "0\n";
    }
    return text;
}

std::string sigma_text(const Sensitivity& s) {
    const char* const fates[] = {"good", "dead_or_hot", "unseen", "masked"};
    std::string text = "x\ty\tefficiency\tsigma\tpixel\n";
    for (int k = 0; k < kDetPixels; ++k) {
        const auto i = static_cast<std::size_t>(k);
        text += format("%d\t%d\t%.6f\t%.6f\t%s\n", k % kDetSide, k / kDetSide, s.efficiency[i], s.sigma[i],
                       fates[static_cast<int>(s.fate[i])]);
    }
    return text;
}

// Writes every output or none: each under a temporary name, then all put in place.
std::string write_all(const std::vector<std::pair<std::string, std::string>>& texts, const Sensitivity& s,
                      const std::string& png) {
    std::vector<AtomicFile> files(texts.size() + (png.empty() ? 0 : 1));
    for (std::size_t k = 0; k < files.size(); ++k) {
        const std::string& name = k < texts.size() ? texts[k].first : png;
        errno = 0;
        if (!atomic_open(name, files[k])) return name + ": cannot be created: " + std::strerror(errno);
        if (k == texts.size()) {
            const std::string why = write_efficiency_png(s, files[k].f, name);
            if (!why.empty()) return why;
        } else if (std::fwrite(texts[k].second.data(), 1, texts[k].second.size(), files[k].f) != texts[k].second.size()) {
            return name + ": could not be written: " + std::strerror(errno);
        }
        if (std::fflush(files[k].f) != 0) return name + ": could not be written: " + std::strerror(errno);
    }
    for (std::size_t k = 0; k < files.size(); ++k)
        if (!atomic_commit(files[k]))
            return (k < texts.size() ? texts[k].first : png) + ": could not be put in place: " + std::strerror(errno);
    return "";
}

std::string origin_of(int argc, const char* const* argv) {
    std::string s = "pelkaro-flat";
    for (int i = 1; i < argc; ++i) s += std::string(" ") + argv[i];
    return s;
}

int make(const Options& o, const std::string& origin, std::FILE* out, std::FILE* err) {
    SensitivityRequest req;
    req.runs = o.runs;
    req.dead_time = o.dead_time;
    req.transmission = o.transmission;
    Status st = read_parameters(o, req);
    if (st.ok() && !o.trans_table.empty()) st = table_transmission(o, req.transmission);
    Sensitivity s;
    if (st.ok()) st = make_sensitivity(req, s);
    if (!st.ok()) {
        std::fprintf(err, "pelkaro-flat: error: %s; nothing written\n", st.reason.c_str());
        return 1;
    }
    std::vector<std::pair<std::string, std::string>> texts{{o.out, sensitivity_file_text(s, origin)}};
    if (!o.mask_out.empty()) texts.emplace_back(o.mask_out, mask_text(req, s, origin));
    if (!o.sigma_out.empty()) texts.emplace_back(o.sigma_out, sigma_text(s));
    const std::string why = write_all(texts, s, o.plot);
    if (!why.empty()) {
        std::fprintf(err, "pelkaro-flat: error: %s; nothing written\n", why.c_str());
        return 1;
    }
    std::fputs(flat_report(s, o.runs, req.p.jacobian, flag0_band_losses(s, req.p)).c_str(), out);
    return 0;
}

}  // namespace

int flat_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    Options o;
    std::string why;
    switch (read_command_line(argc, argv, o, why)) {
        case Cli::help: std::fprintf(out, "%s%s", kUsage, kHelp); return 0;
        case Cli::version: std::fprintf(out, "pelkaro-flat %s\n", PELKARO_VERSION); return 0;
        case Cli::bad:
            std::fprintf(err, "pelkaro-flat: error: %s\n%sTry 'pelkaro-flat --help' for more information.\n",
                         why.c_str(), kUsage);
            return 2;
        case Cli::run: break;
    }
    try {
        return make(o, origin_of(argc, argv), out, err);
    } catch (const std::bad_alloc&) {
        std::fprintf(err, "pelkaro-flat: error: out of memory; nothing written\n");
        return 1;
    }
}

}  // namespace pk
