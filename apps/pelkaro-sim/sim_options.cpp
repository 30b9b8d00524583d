// Command line of pelkaro_sim: one table of options, each with its unit, its
// default and the range of values that make a measurement.
#include "sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>

#include "pelkaro/Pelkaro.h"

#ifndef PELKARO_VERSION  // set by the build, the same for every program
#define PELKARO_VERSION "unknown"
#endif

namespace sim {
namespace {

constexpr const char* kVersion = "pelkaro_sim (Pelkaro) " PELKARO_VERSION;

// The values an option accepts: lo..hi, each bound included unless marked
// open, whole numbers only when `whole`; `text` says the same in words.
struct Rule {
    double lo, hi;
    bool lo_open, hi_open, whole;
    const char* text;
};

// Each range keeps the values within what an instrument has and what the
// parameter file and Pelkaro's single-precision arithmetic hold; the
// combinations that still cannot be reduced are refused by check_together.
const Rule kDistance{500.0, 1e5, false, false, false, "from 500 to 100000 mm"};
const Rule kCollimation{100.0, 1e5, false, false, false, "from 100 to 100000 mm"};
const Rule kAperture{0.01, 1000.0, false, false, false, "from 0.01 to 1000 mm"};
const Rule kWavelength{0.1, 100.0, false, false, false, "from 0.1 to 100 angstrom"};
const Rule kPixel{0.01, 50.0, false, false, false, "from 0.01 to 50 mm"};
const Rule kRadius{1.0, 1e5, false, false, false, "from 1 to 100000 angstrom"};
const Rule kContrast{-1e12, 1e12, false, false, false, "from -1e12 to 1e12 cm^-2"};
const Rule kTransmission{0.001, 1.0, false, false, false, "from 0.001 to 1"};
const Rule kBelowOne{0.0, 1.0, false, true, false, "0 or more and less than 1"};
const Rule kFlatSpread{0.0, 0.15, false, false, false,
                       "from 0 to 0.15 (a wider spread would make some efficiencies negative)"};
const Rule kThickness{0.001, 10.0, false, false, false, "from 0.001 to 10 cm"};
const Rule kCount{1.0, 1e9, false, false, true, "a whole number from 1 to 1000000000"};
// Fewer flat-field counts than about a hundred per pixel cannot tell a hot or
// dead pixel from the counting noise.
const Rule kFlatCount{1e5, 1e9, false, false, true, "a whole number from 100000 to 1000000000"};
const Rule kDarkRate{0.0, 1000.0, false, false, false, "from 0 to 1000 counts per second"};
const Rule kSpread{2.0, 90.0, false, false, false, "from 2 to 90 degrees"};
const Rule kAxis{-360.0, 360.0, false, false, false, "from -360 to 360 degrees"};
const Rule kAspect{0.1, 10.0, false, false, false, "from 0.1 to 10"};
const Rule kDeadTime{0.0, 1e-3, false, false, false, "from 0 to 0.001 s"};
const Rule kCentre{0.0, 128.0, false, false, false, "on the detector, from 0 to 128 pixels"};

struct Option {
    const char* name;          // nullptr: a heading of the help text
    const char* meta;
    double Settings::*field;
    const Rule* rule;
    const char* help;
    const char* derived;       // default in words, for the derived settings
};

const Option kOptions[] = {
    {"Instrument (lengths in mm, the parameter file's unit):", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"distance", "MM", &Settings::distance, &kDistance, "sample-to-detector distance", nullptr},
    {"collimation", "MM", &Settings::collimation, &kCollimation, "source-to-sample distance, for the Q resolution", nullptr},
    {"source-aperture", "MM", &Settings::source_aperture, &kAperture, "source aperture diameter, for the Q resolution",
     nullptr},
    {"sample-aperture", "MM", &Settings::sample_aperture, &kAperture, "sample aperture diameter, for the Q resolution",
     nullptr},
    {"wavelength", "A", &Settings::wavelength, &kWavelength, "neutron wavelength in angstrom", nullptr},
    {"spread", "FRACTION", &Settings::spread, &kBelowOne, "relative wavelength spread, for the Q resolution", nullptr},
    {"pixel-x", "MM", &Settings::pixel_x, &kPixel, "pixel spacing along x, from column to column", nullptr},
    {"pixel-y", "MM", &Settings::pixel_y, &kPixel, "pixel spacing along y, from row to row", nullptr},
    {"centre-x", "PIXELS", &Settings::centre_x, &kCentre, "beam centre along x; column x spans x to x+1",
     nullptr},
    {"centre-y", "PIXELS", &Settings::centre_y, &kCentre, "beam centre along y; row y spans y to y+1",
     nullptr},
    {"Sample (dilute monodisperse spheres in a solvent):", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"radius", "A", &Settings::radius, &kRadius, "sphere radius in angstrom", nullptr},
    {"volume-fraction", "F", &Settings::volume_fraction, &kBelowOne, "volume fraction of the spheres", nullptr},
    {"contrast", "CM^-2", &Settings::contrast, &kContrast, "scattering length density difference in cm^-2", nullptr},
    {"thickness", "CM", &Settings::thickness, &kThickness, "sample and buffer thickness in cm", nullptr},
    {"sample-transmission", "T", &Settings::sample_transmission, &kTransmission, "sample transmission",
     "exp(-1.06/cm x thickness)"},
    {"buffer-transmission", "T", &Settings::buffer_transmission, &kTransmission, "buffer transmission",
     "exp(-1/cm x thickness)"},
    {"Oriented sample (ellipsoids of revolution, axes in the detector plane):", nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"orientation", "DEG", &Settings::orientation, &kSpread,
     "spread (standard deviation) of the axes; --radius is then the equatorial radius", "none: spheres"},
    {"axis", "DEG", &Settings::axis, &kAxis, "mean direction of the long axes, from increasing column to row", nullptr},
    {"aspect", "RATIO", &Settings::aspect, &kAspect, "polar over equatorial semi-axis", nullptr},
    {"Counting:", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"monitor", "COUNTS", &Settings::monitor, &kCount, "sample monitor counts", nullptr},
    {"buffer-monitor", "COUNTS", &Settings::buffer_monitor, &kCount, "buffer monitor counts",
     "3/4 of --monitor"},
    {"time", "S", &Settings::time, &kCount, "sample counting time in s", "sample monitor / 1000"},
    {"buffer-time", "S", &Settings::buffer_time, &kCount, "buffer counting time in s", "buffer monitor / 1000"},
    {"dark-time", "S", &Settings::dark_time, &kCount, "dark-current counting time in s", nullptr},
    {"flat-monitor", "COUNTS", &Settings::flat_monitor, &kFlatCount, "flat-field monitor counts; its time is monitor / 1000 s",
     nullptr},
    {"Detector:", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"dark-rate", "RATE", &Settings::dark_rate, &kDarkRate, "dark counts per second and pixel", nullptr},
    {"flat-spread", "FRACTION", &Settings::flat_spread, &kFlatSpread,
     "pixel-to-pixel spread of the efficiencies", nullptr},
    {"dead-time", "S", &Settings::dead_time, &kDeadTime,
     "dead time of the detector (non-paralysable, on its whole count rate)", nullptr},
    {"flat-stop-x", "PIXELS", &Settings::flat_stop_x, &kCentre, "--flat-runs: the beam stop of flat_run_2.dat along x",
     "centre-x + 12"},
    {"flat-stop-y", "PIXELS", &Settings::flat_stop_y, &kCentre, "--flat-runs: the beam stop of flat_run_2.dat along y",
     "centre-y"},
};

int fail(const std::string& why) {
    std::fprintf(stderr, "pelkaro_sim: error: %s\nTry 'pelkaro_sim --help' for the options.\n", why.c_str());
    return 2;
}

const Option* find(const std::string& name) {
    for (const Option& o : kOptions)
        if (o.field && name == o.name) return &o;
    return nullptr;
}

void print_help() {
    const Settings d;
    std::printf(
        "usage: pelkaro_sim [OPTION]...\n"
        "Simulates a small-angle neutron scattering measurement of dilute spheres on the 128 x 128 detector\n"
        "and writes it in Pelkaro's formats: sphere_sample.dat, solvent_buffer.dat, dark_current.dat,\n"
        "flat_field.dat, direct_beam.dat, detector.mask, and the parameter files spheres.par (reduces it,\n"
        "intensity in cm^-1) and beam_centre.par (measures the beam centre).  The defaults are the bundled\n"
        "example, which a run without options regenerates byte for byte.  Options take their value as\n"
        "'--name VALUE' or '--name=VALUE'.\n");
    for (const Option& o : kOptions) {
        if (!o.field) {
            std::printf("\n%s\n", o.name);
            continue;
        }
        const std::string flag = std::string(o.name) + " " + o.meta;
        const std::string def = o.derived ? o.derived : shortest(d.*o.field);
        std::printf("  --%-24s %s (default %s)\n", flag.c_str(), o.help, def.c_str());
    }
    std::printf("\nResolution:\n"
                "  --%-24s draw the sample, buffer and direct-beam counts neutron by neutron through the\n"
                "  %-26s apertures, wavelength spread and pixels (default: an ideal instrument)\n",
                "resolution", "");
    std::printf("  --%-24s with --resolution: the neutrons fall along -y (towards lower rows) over their flight\n"
                "  %-26s from the source aperture to the detector, each by g t^2/2 for its speed h/(m lambda);\n"
                "  %-26s the collimation is aimed above the beam centre by the direct beam's mean fall, so that\n"
                "  %-26s its centroid, and CNTR, stay at --centre-x, --centre-y (default: no gravity)\n",
                "gravity", "", "", "");
    std::printf("\nOutput:\n"
                "  --%-24s seed of the counting statistics (default %llu)\n"
                "  --%-24s directory to write into, created if need be (default %s)\n"
                "  --%-24s also the attenuated direct-beam runs empty_beam.dat, sample_beam.dat and\n"
                "  %-26s buffer_beam.dat, and the pelkaro-trans command that measures them\n"
                "  --%-24s also two flat-field runs of water, flat_run_1.dat with the beam stop at the\n"
                "  %-26s beam centre and flat_run_2.dat with it at --flat-stop-x/-y, the detector's\n"
                "  %-26s efficiencies (detector_efficiency.txt) and the pelkaro-flat command\n"
                "  --%-24s this text\n  --%-24s the program's version\n"
                "\nExit status: 0 written, 1 the files could not be written, 2 a bad option.\n",
                "seed N", static_cast<unsigned long long>(d.seed), "out DIR", d.out.c_str(), "transmission-runs", "",
                "flat-runs", "", "",
                "help",
                "version");
}

// Reads `text` as the value of option `o` into `s`; "" on success, else why not.
std::string set_number(const Option& o, const std::string& text, Settings& s) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    const std::string flag = std::string("--") + o.name;
    if (text.empty() || end == begin || *end != '\0' || !std::isfinite(v) || errno == ERANGE)
        return flag + " needs a number, not '" + text + "'";
    const Rule& r = *o.rule;
    const bool low = r.lo_open ? !(v > r.lo) : !(v >= r.lo);
    const bool high = r.hi_open ? !(v < r.hi) : !(v <= r.hi);
    if (low || high || (r.whole && v != std::floor(v)))
        return flag + " must be " + r.text + ", not " + text;
    s.*o.field = v;
    return "";
}

std::string set_seed(const std::string& text, Settings& s) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || *end != '\0' ||
        errno == ERANGE)
        return "--seed needs a whole number from 0 to 18446744073709551615, not '" + text + "'";
    s.seed = v;
    return "";
}

// `v` with `decimals` digits after the point.
std::string fixed(double v, int decimals) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << v;
    return out.str();
}

// The detector corner farthest from the beam centre and its distance there, mm.
struct Reach {
    int x = 0, y = 0;
    double mm = 0.0;
};

Reach farthest_corner(const Settings& s) {
    Reach far;
    for (int y : {0, 128})
        for (int x : {0, 128}) {
            const double mm = std::hypot((x - s.centre_x) * s.pixel_x, (y - s.centre_y) * s.pixel_y);
            if (mm > far.mm) far = {x, y, mm};
        }
    return far;
}

// Settings that are each fine alone but not together.  Beyond 60 degrees
// the slab transmission of a thick sample underflows in single precision
// and the solid-angle correction grows without bound.
std::string check_together(const Settings& s) {
    if (s.resolution && s.orientation > 0)
        return "--resolution draws isotropic spheres only; it does not take --orientation";
    if (s.pixel_x > 10.0 * s.pixel_y || s.pixel_y > 10.0 * s.pixel_x)
        return "the pixel spacings " + shortest(s.pixel_x) + " and " + shortest(s.pixel_y) +
               " mm differ more than tenfold; the radial averaging needs nearly square pixels";
    constexpr double kMostDegrees = 60.0;
    const Reach far = farthest_corner(s);
    const double degrees = std::atan(far.mm / s.distance) * 180.0 / 3.141592653589793;
    if (!(degrees > kMostDegrees)) return "";
    return "the detector reaches " + fixed(degrees, 1) + " degrees from the beam (corner (" + std::to_string(far.x) +
           ", " + std::to_string(far.y) + ") of the detector, " + fixed(far.mm, 0) +
           " mm from the beam centre at a distance of " + shortest(s.distance) +
           " mm); more than 60 degrees is beyond small-angle scattering: lengthen --distance, shrink the pixels or "
           "move the beam centre towards the middle";
}

std::string set_option(const std::string& name, const std::string& value, Settings& s) {
    if (name == "seed") return set_seed(value, s);
    if (name == "out") {
        if (value.empty()) return "--out needs a directory name";
        s.out = value;
        return "";
    }
    const Option* o = find(name);
    return o ? set_number(*o, value, s) : "unknown option '--" + name + "'";
}

}  // namespace

Parsed parse_options(int argc, char** argv, Settings& s) {
    const Parsed done{Parsed::Action::Exit, 0};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_help();
            return done;
        }
        if (arg == "--version") {
            std::printf("%s\n", kVersion);
            return done;
        }
        if (arg == "--transmission-runs") {
            s.transmission_runs = true;
            continue;
        }
        if (arg.rfind("--transmission-runs=", 0) == 0)
            return {Parsed::Action::Exit, fail("--transmission-runs takes no value")};
        if (arg == "--flat-runs") {
            s.flat_runs = true;
            continue;
        }
        if (arg == "--resolution") {
            s.resolution = true;
            continue;
        }
        if (arg == "--gravity") {
            s.gravity = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0 || arg.size() == 2)
            return {Parsed::Action::Exit, fail("unexpected argument '" + arg + "'")};
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        if (name == "flat-runs") return {Parsed::Action::Exit, fail("--flat-runs takes no value")};
        if (name == "resolution") return {Parsed::Action::Exit, fail("--resolution takes no value")};
        if (name == "gravity") return {Parsed::Action::Exit, fail("--gravity takes no value")};
        if (name != "seed" && name != "out" && !find(name))
            return {Parsed::Action::Exit, fail("unknown option '--" + name + "'")};
        std::string value;
        if (eq != std::string::npos) value = arg.substr(eq + 1);
        else if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) value = argv[++i];
        else return {Parsed::Action::Exit, fail("--" + name + " needs a value")};
        const std::string why = set_option(name, value, s);
        if (!why.empty()) return {Parsed::Action::Exit, fail(why)};
    }
    if (s.gravity && !s.resolution)
        return {Parsed::Action::Exit, fail("--gravity needs --resolution: only the neutrons drawn through the "
                                           "instrument fly a path to fall along")};
    if (s.dead_time > 0 && s.resolution)
        return {Parsed::Action::Exit, fail("--dead-time is not simulated with --resolution")};
    const std::string why = check_together(s);
    if (!why.empty()) return {Parsed::Action::Exit, fail(why)};
    return {};
}

std::string shortest(double v) {
    if (v == std::floor(v) && std::fabs(v) <= 1e9)  // counts, seconds, millimetres: no exponent
        return pk::format("%.0f", v);
    std::string text;
    for (int digits = 1; digits <= 17; ++digits) {
        text = pk::format("%.*g", digits, v);
        if (std::strtod(text.c_str(), nullptr) == v) break;
    }
    return text;
}

std::string command_line(const Settings& s) {
    std::string cmd = "pelkaro_sim --seed " + std::to_string(s.seed) + " --thickness " + shortest(s.thickness) +
                      " --monitor " + shortest(s.monitor);
    const Settings d;
    for (const Option& o : kOptions) {
        if (!o.field || o.field == &Settings::thickness || o.field == &Settings::monitor) continue;
        if (s.*o.field != d.*o.field) cmd += std::string(" --") + o.name + " " + shortest(s.*o.field);
    }
    if (s.resolution) cmd += " --resolution";
    return s.gravity ? cmd + " --gravity" : cmd;
}

}  // namespace sim
