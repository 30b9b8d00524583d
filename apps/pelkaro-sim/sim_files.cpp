// The files of a simulated measurement and their writing (sim_files.h).
#include "sim_files.h"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/files.h"
#include "sim_oriented.h"

namespace sim {
namespace {

using pk::format;

std::string mask_file(const Run& r, const Mask& m) {
    std::string text = format("# Mask for the simulated example (%s): 1 = pixel used, 0 = masked.\n"
                              "# One value per line for pixel x + 128 y (x fastest): the beam stop and %d bad "
                              "pixels.\n", r.origin.c_str(), m.bad);
    for (int v : m.use) text += v ? "1\n" : "0\n";
    return text;
}

// The instrument lines of the parameter file.
std::string geometry_lines(const Settings& s) {
    const auto n = [](double v) { return shortest(v); };
    return format(
        "# Beam centre x (column) and y (row), pixels; pixel (x, y) has its centre at (x + 0.5, y + 0.5).\n"
        "CNTR %s %s\n"
        "# Pixel spacing along x and y, millimetres (the one length unit of this file).\n"
        "PXSP %s %s\n"
        "# Sample-to-detector distance, mm.\n"
        "SM2D %s\n"
        "# Source-to-sample distance, source and sample aperture diameters, mm (Q resolution only).\n"
        "SMRP %s %s %s\n"
        "# Wavelength in angstrom and relative wavelength spread (Q resolution only).\n"
        "WAVE %s %s\n",
        n(s.centre_x).c_str(), n(s.centre_y).c_str(), n(s.pixel_x).c_str(), n(s.pixel_y).c_str(),
        n(s.distance).c_str(), n(s.collimation).c_str(), n(s.source_aperture).c_str(),
        n(s.sample_aperture).c_str(), n(s.wavelength).c_str(), n(s.spread).c_str());
}

std::string parameter_file(const Settings& s, const Run& r, const Mask& m) {
    const std::string sample =
        s.orientation > 0
            ? format("dilute ellipsoids, radius %s A, aspect %s, axes at %s +- %s degrees",
                     shortest(s.radius).c_str(), shortest(s.aspect).c_str(), shortest(s.axis).c_str(),
                     shortest(s.orientation).c_str())
            : "dilute spheres, radius " + shortest(s.radius) + " A";
    const std::string head = format(
        "# Pelkaro parameter file: %s, I(0) = %.4f cm^-1, in a solvent.\n"
        "# Written by %s.  Comments stand on lines of their own.\n"
        "# Run mode: 0 reduces the data, 1 writes mask.d2d, 2 measures the beam centre.\n"
        "MODE 0\n",
        sample.c_str(), s.orientation > 0 ? ellipsoid_forward(s) : forward_intensity(s), r.origin.c_str());
    const std::string t = shortest(s.thickness);
    return head + geometry_lines(s) + format(
        "# Sample file, counting time (s), monitor counts, thickness (cm), transmission.\n"
        "DATS sphere_sample.dat %.0f %.0f %s %s\n"
        "# Buffer: the solvent alone in a cell of the same thickness; same five values.\n"
        "DATB solvent_buffer.dat %.0f %.0f %s %s\n"
        "# Dark current file and its counting time (s); its monitor count is not used.\n"
        "DATD dark_current.dat %.0f 0\n"
        "# Flat field file; flag 1 corrects it and the data for the pixels' solid angle (1/cos^3).\n"
        "SENS 1 flat_field.dat\n"
        "# Mask file, then 1 (the file must exist) and 1 (use it instead of the internal mask).\n"
        "MASK detector.mask 1 1\n"
        "# Absolute scale factor: the reduced intensity comes out in cm^-1.\n"
        "ABSF %.7g\n"
        "# Averaging: 0 writes the 2D image, 1 the I(Q) curve, 2 both.\n"
        "AVGM 2\n"
        "# Azimuthal sector, degrees: 0 360 is the full circle.\n"
        "ANGS 0 360\n"
        "# Radial bin width, pixels.\n"
        "BINS 1\n",
        r.sam_time, r.sam_monitor, t.c_str(), r.t_sam_text.c_str(), r.buf_time, r.buf_monitor, t.c_str(),
        r.t_buf_text.c_str(), s.dark_time, m.absf);
}

std::string centre_file() {
    return format(
        "# Pelkaro beam-centre run on the attenuated direct beam (beam stop out).\n"
        "# It prints the mean ROW as X and the mean COLUMN as Y, in whole-pixel indices:\n"
        "# enter the result as \"CNTR <Y + 0.5> <X + 0.5>\".\n"
        "MODE 2\n"
        "# The image to measure: the first sample line.\n"
        "DATS direct_beam.dat %.0f 0 1 1\n"
        "# A buffer line is required by the parameter file; time 0, never read.\n"
        "DATB solvent_buffer.dat 0 0 1 1\n",
        kBeamTime);
}

std::string reason(int e) { return e != 0 ? std::strerror(e) : "unknown cause"; }

}  // namespace

std::string detector_file(const char* what, const std::string& origin, const Counts& c) {
    int64_t total = 0;
    for (int64_t v : c.n) total += v;
    std::string text = format("# %s, simulated by %s\n<time>%lld</time>\n", what, origin.c_str(),
                              static_cast<long long>(std::llround(c.time)));
    if (c.monitor > 0.0) text += format("<monitor>%lld</monitor>\n", static_cast<long long>(std::llround(c.monitor)));
    if (total <= INT32_MAX) text += format("<psd counts>%lld</psd counts>\n", static_cast<long long>(total));
    for (int k = 0; k < kPixels; ++k) {
        text += std::to_string(static_cast<long long>(c.n[k]));
        text += k % kSide == kSide - 1 ? '\n' : '\t';
    }
    return text;
}

std::vector<OutFile> run_files(const Settings& s, const Run& r, const std::vector<Exposure>& shots,
                               const std::vector<Counts>& counts, const Mask& m) {
    std::vector<OutFile> files;
    for (std::size_t i = 0; i < shots.size(); ++i)
        files.push_back({shots[i].file, detector_file(shots[i].what, r.origin, counts[i])});
    files.push_back({"detector.mask", mask_file(r, m)});
    files.push_back({"spheres.par", parameter_file(s, r, m)});
    files.push_back({"beam_centre.par", centre_file()});
    return files;
}

std::string write_run(const std::string& dir, const std::vector<OutFile>& files) {
    std::error_code ec, there;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, there))
        return "cannot make the directory " + dir + " (" + (ec ? ec.message() : "not a directory") + ")";
    const std::string unchanged = "; nothing written, the files already in " + dir + " are unchanged";
    std::vector<pk::AtomicFile> out(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string path = dir + "/" + files[i].name;
        errno = 0;
        if (!pk::atomic_open(path, out[i]))
            return "cannot create " + path + " (" +
                   (errno != 0 ? reason(errno) : std::string("the name is taken by something other than a file")) +
                   ")" + unchanged;
        errno = 0;
        const std::string& text = files[i].text;
        if (std::fwrite(text.data(), 1, text.size(), out[i].f) != text.size() || std::fflush(out[i].f) != 0)
            return "could not write " + path + " (" + reason(errno) + ")" + unchanged;
    }
    std::string placed;  // the files of the new run already in place
    for (std::size_t i = 0; i < files.size(); ++i) {
        errno = 0;
        if (!pk::atomic_commit(out[i])) {
            const std::string why = "could not put " + dir + "/" + files[i].name + " in place (" + reason(errno) + ")";
            return placed.empty() ? why + unchanged : why + "; already replaced by the new run:" + placed;
        }
        placed += " " + files[i].name;
    }
    return "";
}

}  // namespace sim
