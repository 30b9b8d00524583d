// pelkaro-aniso: the command line, the run (the library's reduction with its
// console silenced, then I(phi), the orientation and the sector pairs) and
// the messages.
#include "aniso_cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "app.h"
#include "pelkaro/files.h"
#include "pelkaro/run.h"
#ifdef PELKARO_WITH_HDF5
#include "pelkaro/aniso_nxcansas.h"
#endif

namespace pk {

namespace {
constexpr const char* kProgram = "pelkaro-aniso";
}  // namespace

std::string aniso_usage() {
    return pk::format(
        "Usage: %s (--q-ring Q1,Q2 | --pixel-ring R1,R2) [--bins N] [-o TABLE]\n"
        "                     [--sectors WIDTH --sector-out FILE [--sector-axis DEG]] [--nxcansas OUT.h5]\n"
        "                     PARAMFILE\n"
        "\n"
        "Reduces the measurement that PARAMFILE (a Pelkaro parameter file, MODE 0) describes exactly as\n"
        "Pelkaro does, then writes the intensity against the azimuth I(phi) in a ring about the beam\n"
        "centre and the orientation of the pattern: its main axis phi0 (fitted), the order parameter\n"
        "<cos 2(phi - phi0)> and Hermans' <P2>, with their uncertainties.  These describe the pattern,\n"
        "whose streaks run perpendicular to elongated particles.  The azimuth runs from increasing\n"
        "column towards increasing row, as Pelkaro's sector average (ANGS) measures it.\n"
        "\n"
        "  --q-ring Q1,Q2       the ring Q1 <= Q < Q2, in 1/angstrom (needs WAVE)\n"
        "  --pixel-ring R1,R2   the ring by radius in pixels (times the smaller pixel spacing)\n"
        "  --bins N             azimuthal bins over 360 degrees, 2 to %d (default 36)\n"
        "  -o TABLE             the I(phi) table; default: standard output\n"
        "  --sectors WIDTH      also I(Q) over pairs of opposite sectors WIDTH degrees wide (below 180):\n"
        "                       along the axis and across it (axis + 90), into --sector-out FILE\n"
        "  --sector-axis DEG    the sectors' axis; default: the fitted phi0\n"
        "  --nxcansas OUT.h5    also an NXcanSAS file: I(phi) and, with --sectors, the two curves\n"
        "  --help               print this help and exit\n"
        "  --version            print the version and exit\n"
        "\n"
        "Errors go to standard error.  Exit status: 0 written, 1 the run or the ring failed (the message\n"
        "says why), 2 wrong command line.\n",
        kProgram, kMostAzimuthBins);
}

namespace {

// A number that is the whole argument.
bool read_number(const std::string& text, double& v) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(text.c_str(), &end);
    return *end == '\0' && errno != ERANGE && std::isfinite(v);
}

// "A,B" with 0 <= A < B.
bool read_ring(const std::string& name, const std::string& text, Ring::Unit unit, AnisoOptions& opt,
               std::string& why) {
    const std::size_t comma = text.find(',');
    double lo = 0, hi = 0;
    if (comma == std::string::npos || !read_number(text.substr(0, comma), lo) ||
        !read_number(text.substr(comma + 1), hi)) {
        why = name + " needs two numbers separated by a comma, not '" + text + "'";
        return false;
    }
    if (!(lo >= 0 && hi > lo)) {
        why = name + " needs 0 <= first < second; found " + text;
        return false;
    }
    if (opt.ring_given) {
        why = "one ring only: --q-ring or --pixel-ring, once";
        return false;
    }
    opt.ring = Ring{unit, lo, hi};
    opt.ring_given = true;
    return true;
}

bool read_bins(const std::string& text, AnisoOptions& opt, std::string& why) {
    double v = 0;
    if (!read_number(text, v) || v != std::floor(v) || v < 2 || v > kMostAzimuthBins) {
        why = pk::format("--bins needs a whole number from 2 to %d, not '%s'", kMostAzimuthBins, text.c_str());
        return false;
    }
    opt.bins = static_cast<int>(v);
    return true;
}

bool read_angle(const std::string& name, const std::string& text, double& out, std::string& why) {
    if (read_number(text, out) && std::fabs(out) <= 3600) return true;
    why = name + " needs an angle in degrees, not '" + text + "'";
    return false;
}

// The value of an option that takes one, by its name.
bool take_value(const std::string& name, const std::string& value, AnisoOptions& opt, std::string& why) {
    if (name == "--q-ring") return read_ring(name, value, Ring::Unit::q, opt, why);
    if (name == "--pixel-ring") return read_ring(name, value, Ring::Unit::pixels, opt, why);
    if (name == "--bins") return read_bins(value, opt, why);
    if (name == "--sector-axis") return opt.axis_given = read_angle(name, value, opt.axis, why);
    if (name == "--sectors") {
        if (!read_angle(name, value, opt.width, why)) return false;
        if (opt.width > 0 && opt.width < 180) return true;
        why = "--sectors needs a width above 0 and below 180 degrees, not '" + value + "'";
        return false;
    }
    std::string* target = name == "-o" ? &opt.out : name == "--sector-out" ? &opt.sector_out : &opt.nxcansas;
    *target = value;
    return true;
}

// One option at argv[i]; AnisoCli::run when it was read.
AnisoCli read_option(int argc, const char* const* argv, int& i, AnisoOptions& opt, std::string& why) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") return AnisoCli::help;
    if (a == "--version") return AnisoCli::version;
    for (const char* name : {"--q-ring", "--pixel-ring", "--bins", "--sectors", "--sector-axis", "--sector-out",
                             "--nxcansas", "-o"}) {
        bool matched = false;
        std::string value;
        if (!option_value(argc, argv, i, name, value, matched, why, true)) return AnisoCli::bad;
        if (!matched) continue;
        return take_value(name, value, opt, why) ? AnisoCli::run : AnisoCli::bad;
    }
    why = "unknown option '" + a + "'";
    return AnisoCli::bad;
}

// What the options ask for together.
std::string check_together(const AnisoOptions& opt) {
    if (opt.param.empty()) return "no parameter file given";
    if (!opt.ring_given) return "no ring given: --q-ring Q1,Q2 or --pixel-ring R1,R2";
    if (opt.width > 0 && opt.sector_out.empty()) return "--sectors needs --sector-out FILE for the two curves";
    if (opt.width == 0 && (!opt.sector_out.empty() || opt.axis_given))
        return "--sector-out and --sector-axis need --sectors WIDTH";
    const std::string* outs[] = {&opt.out, &opt.sector_out, &opt.nxcansas};
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b)
            if (!outs[a]->empty() && *outs[a] == *outs[b]) return "two outputs are one file: '" + *outs[a] + "'";
#ifndef PELKARO_WITH_HDF5
    if (!opt.nxcansas.empty()) return "--nxcansas: this build has no HDF5, so it writes no NXcanSAS file";
#endif
    return "";
}

}  // namespace

AnisoCli parse_aniso_args(int argc, const char* const* argv, AnisoOptions& opt, std::string& why) {
    opt = AnisoOptions{};
    why.clear();
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!options_end && a == "--") {
            options_end = true;
        } else if (!options_end && a.size() > 1 && a[0] == '-') {
            const AnisoCli c = read_option(argc, argv, i, opt, why);
            if (c != AnisoCli::run) return c;
        } else if (!opt.param.empty()) {
            why = "one parameter file only, not '" + opt.param + "' and '" + a + "'";
            return AnisoCli::bad;
        } else if (a.empty()) {
            why = "the parameter file's name is empty";
            return AnisoCli::bad;
        } else {
            opt.param = a;
        }
    }
    why = check_together(opt);
    return why.empty() ? AnisoCli::run : AnisoCli::bad;
}

}  // namespace pk
