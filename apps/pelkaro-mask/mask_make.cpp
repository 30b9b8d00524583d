#include "mask_make.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

#include "pelkaro/files.h"
#include "pelkaro/flat_field.h"

namespace pk {

namespace {

constexpr const char* kProgram = "pelkaro-mask";
constexpr int kMaxFrame = kDetSide / 2;  // a frame this wide covers the detector
// Width of the comment lines that record the command line (the mask reader
// takes at most 510 characters as one line).
constexpr std::size_t kCommentWidth = 100;

const char* const kUsage =
    "Usage: pelkaro-mask [RULE]... -o OUT.mask\n"
    "Make a detector mask for Pelkaro: start with every pixel in use, apply the\n"
    "rules in the order given, and write one value per pixel (1 = used, 0 = masked)\n"
    "in the mask file format Pelkaro reads (MASK keyword).\n"
    "\n"
    "Coordinates are in pixels, as on the CNTR line: x the column, y the row; the\n"
    "centre of pixel (x, y) lies at (x + 0.5, y + 0.5).\n"
    "\n"
    "Rules:\n"
    "  --edge              mask the frame run mode 1 masks: rows and columns 0, 1,\n"
    "                      2, 126 and 127\n"
    "  --edge N            mask a frame N pixels wide on every side (N from 1 to 64)\n"
    "  --beamstop X Y R    mask every pixel whose centre lies within R pixels of\n"
    "                      (X, Y), a distance of exactly R included\n"
    "  --beamstop auto[=FILE]\n"
    "                      find the beam stop's shadow (a disc of low counts) on\n"
    "                      the flat field of the first --from-flat FILE, or on\n"
    "                      FILE (a sample run with the beam stop in), print its\n"
    "                      centre and radius, and mask it with a margin of 1\n"
    "                      pixel for the partly shadowed pixels\n"
    "  --rect X0 Y0 X1 Y1  mask every pixel whose centre lies in the rectangle with\n"
    "                      corners (X0, Y0) and (X1, Y1), its edges included\n"
    "  --from-flat FILE [--band LO HI]\n"
    "                      mask every pixel still in use whose raw count in the\n"
    "                      flat-field data FILE is 0 or lies outside LO to HI\n"
    "                      times the mean count of the pixels in use (default\n"
    "                      0.5 to 1.5): dead and hot pixels\n"
    "  --from-mask FILE    replace the mask built so far by a mask file (either\n"
    "                      format Pelkaro reads; a value above 0 is a pixel in use)\n"
    "  --invert            invert the mask built so far\n"
    "\n"
    "Options:\n"
    "  -o OUT.mask         the mask file to write (replaced only when complete);\n"
    "                      it may be a --from-mask FILE, never a --from-flat FILE\n"
    "  --help              show this help and exit\n"
    "  --version           show the version and exit\n"
    "\n"
    "Exit status: 0 mask written; 1 an input could not be used or every pixel\n"
    "would be masked or no beam stop's shadow is found (nothing written); 2 wrong\n"
    "command line (the mask file to write a --from-flat FILE included).\n"
    "\n"
    "Example (in examples/, regenerates detector.mask):\n"
    "  pelkaro-mask --beamstop 65.5 62.5 5.5 --from-flat flat_field.dat -o detector.mask\n"
    "The beam stop found on the flat field, and the edge frame:\n"
    "  pelkaro-mask --edge --beamstop auto --from-flat flat_field.dat -o detector.mask\n";

// A finite number written in full (no trailing text, no leading blanks).
bool to_number(const std::string& s, double& v) {
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(v);
}

// Takes the `n` numbers that follow the option at args[i].
bool take_numbers(const std::vector<std::string>& args, std::size_t& i, std::size_t n, const char* what,
                  MaskRule& rule, std::string& why) {
    const std::string opt = args[i];
    for (std::size_t k = 0; k < n; ++k) {
        double v = 0;
        if (i + 1 >= args.size() || !to_number(args[i + 1], v)) {
            why = opt + " needs " + what;
            if (i + 1 < args.size()) why += "; '" + args[i + 1] + "' is not a number";
            return false;
        }
        rule.v.push_back(v);
        rule.text += " " + args[++i];
    }
    return true;
}

// Takes the file name that follows the option at args[i].
bool take_file(const std::vector<std::string>& args, std::size_t& i, MaskRule& rule, std::string& why) {
    if (i + 1 >= args.size() || args[i + 1].empty()) {
        why = args[i] + " needs a file name";
        return false;
    }
    rule.file = args[++i];
    rule.text += " " + rule.file;
    return true;
}

bool parse_edge(const std::vector<std::string>& args, std::size_t& i, MaskRule& rule, std::string& why) {
    double n = 0;
    if (i + 1 >= args.size() || !to_number(args[i + 1], n)) return true;  // the built-in frame
    if (n != std::floor(n) || n < 1 || n > kMaxFrame) {
        why = "--edge N needs a whole number of pixels from 1 to " + std::to_string(kMaxFrame) + ", not '" +
              args[i + 1] + "'";
        return false;
    }
    rule.kind = MaskRule::Kind::frame;
    rule.v.push_back(n);
    rule.text += " " + args[++i];
    return true;
}

bool parse_flat(const std::vector<std::string>& args, std::size_t& i, MaskRule& rule, std::string& why) {
    rule.kind = MaskRule::Kind::from_flat;
    if (!take_file(args, i, rule, why)) return false;
    if (i + 1 >= args.size() || args[i + 1] != "--band") {
        rule.v = {kLeastEfficiency, kMostEfficiency};  // the shared rule unless --band
        return true;
    }
    rule.text += " --band";
    ++i;
    if (!take_numbers(args, i, 2, "two numbers LO HI", rule, why)) return false;
    if (!(rule.v[0] >= 0 && rule.v[0] < rule.v[1])) {
        why = "--band LO HI needs 0 <= LO < HI (fractions of the mean, e.g. --band 0.5 1.5)";
        return false;
    }
    return true;
}

// "--beamstop auto" (the image of the first --from-flat rule, named once
// the command line is read) or "--beamstop auto=FILE".
bool parse_beamstop_auto(const std::vector<std::string>& args, std::size_t& i, MaskRule& rule, std::string& why) {
    const std::string& word = args[++i];
    rule.kind = MaskRule::Kind::beamstop_auto;
    rule.text += " " + word;
    if (word == "auto") return true;
    if (word.rfind("auto=", 0) == 0 && word.size() > 5) {
        rule.file = word.substr(5);
        return true;
    }
    why = word == "auto=" ? "--beamstop auto=FILE needs a file name after 'auto='"
                          : "--beamstop takes 'auto', 'auto=FILE' or three numbers X Y R, not '" + word + "'";
    return false;
}

// Gives each "--beamstop auto" without a file the image of the first
// --from-flat rule.
bool name_shadow_images(MaskJob& job, std::string& why) {
    const auto flat = std::find_if(job.rules.begin(), job.rules.end(),
                                   [](const MaskRule& r) { return r.kind == MaskRule::Kind::from_flat; });
    for (MaskRule& r : job.rules) {
        if (r.kind != MaskRule::Kind::beamstop_auto || !r.file.empty()) continue;
        if (flat == job.rules.end()) {
            why = "--beamstop auto finds the shadow on the flat field of --from-flat FILE: give one, or "
                  "--beamstop auto=FILE for another image taken with the beam stop in";
            return false;
        }
        r.file = flat->file;
    }
    return true;
}

// Reads the rule that starts at args[i]; leaves i at its last argument.
bool parse_rule(const std::vector<std::string>& args, std::size_t& i, MaskRule& rule, std::string& why) {
    const std::string& a = args[i];
    rule.text = a;
    if (a == "--edge") return parse_edge(args, i, rule, why);
    if (a == "--beamstop" && i + 1 < args.size() && args[i + 1].rfind("auto", 0) == 0)
        return parse_beamstop_auto(args, i, rule, why);
    if (a == "--beamstop") {
        rule.kind = MaskRule::Kind::beamstop;
        if (!take_numbers(args, i, 3, "three numbers X Y R", rule, why)) return false;
        if (!(rule.v[2] > 0)) why = "--beamstop needs a radius R above 0, not '" + args[i] + "'";
        return why.empty();
    }
    if (a == "--rect") {
        rule.kind = MaskRule::Kind::rect;
        return take_numbers(args, i, 4, "four numbers X0 Y0 X1 Y1", rule, why);
    }
    if (a == "--from-flat") return parse_flat(args, i, rule, why);
    if (a == "--from-mask") {
        rule.kind = MaskRule::Kind::from_mask;
        return take_file(args, i, rule, why);
    }
    if (a == "--invert") {
        rule.kind = MaskRule::Kind::invert;
        return true;
    }
    if (a == "--band")
        why = "--band LO HI belongs right after --from-flat FILE";
    else if (!a.empty() && a[0] == '-')
        why = "unknown option '" + a + "'";
    else
        why = "unexpected argument '" + a + "' (the mask file to write goes after -o)";
    return false;
}

}  // namespace

bool parse_mask_args(const std::vector<std::string>& args, MaskJob& job, std::string& why) {
    job = MaskJob{};
    why.clear();
    bool have_out = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            job.help = true;
        } else if (a == "--version") {
            job.version = true;
        } else if (a == "-o") {
            if (have_out) {
                why = "-o given twice";
                return false;
            }
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                why = "-o needs the name of the mask file to write";
                return false;
            }
            job.out = args[++i];
            have_out = true;
        } else {
            MaskRule rule;
            if (!parse_rule(args, i, rule, why)) return false;
            job.rules.push_back(std::move(rule));
        }
    }
    if (!have_out && !job.help && !job.version) {
        why = "no mask file to write: give -o OUT.mask";
        return false;
    }
    return name_shadow_images(job, why);
}

// ---- The mask and its rules ---------------------------------------------

Data2D full_mask() {
    Data2D mask;
    mask.intens.assign(kImageValues, 0.0f);
    std::fill(mask.intens.begin(), mask.intens.begin() + kDetPixels, 1.0f);
    return mask;
}

int pixels_in_use(const Data2D& mask) {
    const auto end = mask.intens.begin() + kDetPixels;
    return static_cast<int>(std::count_if(mask.intens.begin(), end, [](float v) { return pk::pixel_used(v); }));
}

void mask_edge(Data2D& mask) {
    Data2D edge;
    internal_mask(edge);
    for (int k = 0; k < kDetPixels; ++k)
        if (!pk::pixel_used(edge.intens[static_cast<std::size_t>(k)])) mask.intens[static_cast<std::size_t>(k)] = 0.0f;
}

void mask_frame(Data2D& mask, int width) {
    for (int y = 0; y < kDetSide; ++y)
        for (int x = 0; x < kDetSide; ++x)
            if (x < width || y < width || x >= kDetSide - width || y >= kDetSide - width)
                mask.intens[static_cast<std::size_t>(x + kDetSide * y)] = 0.0f;
}

void mask_beamstop(Data2D& mask, double cx, double cy, double r) {
    for (int y = 0; y < kDetSide; ++y) {
        for (int x = 0; x < kDetSide; ++x) {
            const double dx = x + 0.5 - cx;
            const double dy = y + 0.5 - cy;
            if (std::sqrt(dx * dx + dy * dy) <= r) mask.intens[static_cast<std::size_t>(x + kDetSide * y)] = 0.0f;
        }
    }
}

void mask_rect(Data2D& mask, double x0, double y0, double x1, double y1) {
    const double xlo = std::min(x0, x1), xhi = std::max(x0, x1);
    const double ylo = std::min(y0, y1), yhi = std::max(y0, y1);
    for (int y = 0; y < kDetSide; ++y) {
        for (int x = 0; x < kDetSide; ++x) {
            const double cx = x + 0.5, cy = y + 0.5;
            if (cx >= xlo && cx <= xhi && cy >= ylo && cy <= yhi)
                mask.intens[static_cast<std::size_t>(x + kDetSide * y)] = 0.0f;
        }
    }
}

void invert_mask(Data2D& mask) {
    for (int k = 0; k < kDetPixels; ++k) {
        float& v = mask.intens[static_cast<std::size_t>(k)];
        v = pk::pixel_used(v) ? 0.0f : 1.0f;
    }
}

namespace {

// Says why a file cannot be read, when the system tells (missing, a
// directory, no permission); the readers' own messages cover the rest.
bool can_read(const std::string& file, const Console& err) {
    struct stat st {};
    const char* why = nullptr;
    if (::stat(file.c_str(), &st) != 0)
        why = std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "is a directory";
    else if (!S_ISREG(st.st_mode))
        why = "is not a regular file";
    else if (::access(file.c_str(), R_OK) != 0)
        why = std::strerror(errno);
    if (why) pk::say(err, "%s: error: cannot read: %s\n", file.c_str(), why);
    return why == nullptr;
}

// Refuses an image of fewer values than the detector has pixels; warns of more.
bool check_size(const Data2D& d, const std::string& file, const char* what, const Console& err) {
    const int n = d.values;
    if (n < kDetPixels) {
        pk::say(err, "%s: error: holds %d values; a %s needs one per pixel, %d\n", file.c_str(), n, what,
                kDetPixels);
        return false;
    }
    if (n > kDetPixels)
        pk::say(err, "%s: warning: holds more than %d values; only the first %d are used\n", file.c_str(), kDetPixels,
                kDetPixels);
    return true;
}

// Reads a flat-field data file or a mask file with the program's own reader,
// its messages turned into this program's.
bool read_image(Data2D& d, const std::string& file, bool is_mask, const Console& err) {
    if (!can_read(file, err)) return false;
    d.name = file;
    const Status st = read_image_file(d, is_mask);
    if (!st.ok()) {
        const std::string why = st.reason;
        pk::say(err, "%s: error: %s\n", file.c_str(), why.empty() ? "could not be read" : why.c_str());
        return false;
    }
    return check_size(d, file, is_mask ? "mask" : "flat-field image", err);
}

}  // namespace

bool mask_from_flat(Data2D& mask, const std::string& file, double lo, double hi, double& mean,
                    const Console& err) {
    Data2D flat;
    if (!read_image(flat, file, false, err)) return false;
    mean = flat_field_mean(flat, mask);
    if (pixels_in_use(mask) == 0) return true;  // nothing left to judge
    if (!(mean > 0)) {
        pk::say(err, "%s: error: the pixels in use have no count above 0: not a flat-field measurement\n",
                file.c_str());
        return false;
    }
    const bool shared_rule = lo == kLeastEfficiency && hi == kMostEfficiency;
    for (int k : shared_rule ? dead_or_hot_pixels(flat, mask) : flat_field_outliers(flat, mask, lo, hi))
        mask.intens[static_cast<std::size_t>(k)] = 0.0f;
    return true;
}

bool mask_beamstop_auto(Data2D& mask, const std::string& file, BeamStopShadow& found, const Console& err) {
    Data2D image;
    if (!read_image(image, file, false, err)) return false;
    const Status st = find_beam_stop_shadow(image, found);
    if (!st.ok()) {
        pk::say(err, "%s: error: %s\n", file.c_str(), st.reason.c_str());
        return false;
    }
    mask_beamstop(mask, found.x, found.y, found.radius + kShadowMargin);
    return true;
}

bool load_mask_file(Data2D& mask, const std::string& file, const Console& err) {
    Data2D read;
    if (!read_image(read, file, true, err)) return false;
    for (int k = 0; k < kDetPixels; ++k) {
        const float v = read.intens[static_cast<std::size_t>(k)];
        mask.intens[static_cast<std::size_t>(k)] = pk::pixel_used(v) ? 1.0f : 0.0f;
    }
    return true;
}

// ---- The file ------------------------------------------------------------

namespace {

// An argument as a POSIX shell reads it back: bare when it is plain, in
// single quotes otherwise, and as $'...' when it holds control characters
// (a line break must not end the comment line that records it).
std::string shell_word(const std::string& a) {
    const char* plain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./=:,+-@%";
    if (!a.empty() && a.find_first_not_of(plain) == std::string::npos) return a;
    const bool control = std::any_of(a.begin(), a.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    std::string w = control ? "$'" : "'";
    for (char c : a) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!control)
            w += c == '\'' ? std::string("'\\''") : std::string(1, c);
        else if (c == '\\' || c == '\'')
            w += std::string("\\") + c;
        else if (c == '\n')
            w += "\\n";
        else if (c == '\t')
            w += "\\t";
        else if (u < 0x20 || u == 0x7f)
            w += pk::format("\\x%02x", u);
        else
            w += c;
    }
    return w + "'";
}

// "# Command: pelkaro-mask ARGS", broken between arguments into comment lines
// of about kCommentWidth characters joined shell-style by " \"; an argument
// too long for one line of the mask reader (510 characters) is cut.
void append_command(std::string& text, const std::vector<std::string>& args) {
    constexpr std::size_t kLongest = 400;
    std::string line = std::string("# Command: ") + kProgram;
    for (const std::string& a : args) {
        const std::string w = shell_word(a);
        if (line.size() + 1 + w.size() + 2 > kCommentWidth) {
            text += line + " \\\n";
            line = "#  ";
        }
        for (std::size_t at = 0; at < w.size(); at += kLongest) {
            if (at > 0) {
                text += line + "\n";
                line = "#  ";
            }
            line += (at == 0 ? " " : "") + w.substr(at, kLongest);
        }
    }
    text += line + "\n";
}

}  // namespace

std::string mask_file_text(const Data2D& mask, const std::vector<std::string>& args) {
    const int used = pixels_in_use(mask);
    std::string text = pk::format("# Mask made by %s %s: one value per line for pixel x + 128 y (x fastest), "
                                  "1 = used, 0 = masked.\n", kProgram, PELKARO_VERSION);
    append_command(text, args);
    text += pk::format("# %d of %d pixels in use, %d masked.\n", used, kDetPixels, kDetPixels - used);
    text.reserve(text.size() + 2 * kDetPixels);
    for (int k = 0; k < kDetPixels; ++k)
        text += pk::pixel_used(mask.intens[static_cast<std::size_t>(k)]) ? "1\n" : "0\n";
    return text;
}

// ---- The program ---------------------------------------------------------

namespace {

std::string pixels(int n) { return std::to_string(n) + (n == 1 ? " pixel" : " pixels"); }

// "RULE: N pixels masked[, M unmasked], K in use[ (the flat field's mean)]".
void report_rule(const MaskRule& r, const std::vector<float>& before, const Data2D& mask, double mean,
                 const BeamStopShadow& found, const Console& out) {
    int masked = 0, freed = 0;
    for (int k = 0; k < kDetPixels; ++k) {
        const bool was = pk::pixel_used(before[static_cast<std::size_t>(k)]);
        const bool is = pk::pixel_used(mask.intens[static_cast<std::size_t>(k)]);
        masked += was && !is;
        freed += !was && is;
    }
    std::string line = r.text + ": " + pixels(masked) + " masked";
    if (r.kind == MaskRule::Kind::beamstop_auto)
        line = pk::format("--beamstop auto: centre %.2f %.2f, radius %.2f (+ margin %g) from %s: ", found.x, found.y,
                          found.radius, kShadowMargin, r.file.c_str()) + pixels(masked) + " masked";
    if (r.kind == MaskRule::Kind::from_mask || r.kind == MaskRule::Kind::invert)
        line += ", " + std::to_string(freed) + " unmasked";
    line += ", " + std::to_string(pixels_in_use(mask)) + " in use";
    if (r.kind == MaskRule::Kind::from_flat)
        line += std::isfinite(mean) ? pk::format(" (band %g to %g times the mean count %.6g of the pixels in use)",
                                                 r.v[0], r.v[1], mean)
                                    : std::string(" (no pixel in use to judge)");
    pk::say(out, "%s\n", line.c_str());
}

bool apply_rule(const MaskRule& r, Data2D& mask, const Console& out, const Console& err) {
    const std::vector<float> before(mask.intens.begin(), mask.intens.begin() + kDetPixels);
    double mean = 0.0;
    BeamStopShadow found;
    switch (r.kind) {
    case MaskRule::Kind::edge: mask_edge(mask); break;
    case MaskRule::Kind::frame: mask_frame(mask, static_cast<int>(r.v[0])); break;
    case MaskRule::Kind::beamstop: mask_beamstop(mask, r.v[0], r.v[1], r.v[2]); break;
    case MaskRule::Kind::beamstop_auto:
        if (!mask_beamstop_auto(mask, r.file, found, err)) return false;
        break;
    case MaskRule::Kind::rect: mask_rect(mask, r.v[0], r.v[1], r.v[2], r.v[3]); break;
    case MaskRule::Kind::from_flat:
        if (!mask_from_flat(mask, r.file, r.v[0], r.v[1], mean, err)) return false;
        break;
    case MaskRule::Kind::from_mask:
        if (!load_mask_file(mask, r.file, err)) return false;
        break;
    case MaskRule::Kind::invert: invert_mask(mask); break;
    }
    report_rule(r, before, mask, mean, found, out);
    return true;
}

bool write_mask_file(const std::string& target, const Data2D& mask, const std::vector<std::string>& args,
                     const Console& out, const Console& err) {
    const std::string text = mask_file_text(mask, args);
    pk::AtomicFile file;
    errno = 0;
    if (!pk::atomic_open(target, file)) {
        const int e = errno;
        pk::say(err, "%s: error: cannot create the file: %s\n", target.c_str(),
                e != 0 ? std::strerror(e) : "the name is taken by something other than a regular file");
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file.f) == text.size();
    if (!pk::atomic_finish(file, written)) {
        pk::say(err, "%s: error: could not write the file (is the disk full?); nothing written\n", target.c_str());
        return false;
    }
    const int used = pixels_in_use(mask);
    pk::say(out, "Wrote %s: %d of %d pixels in use, %d masked.\n", target.c_str(), used, kDetPixels,
            kDetPixels - used);
    return true;
}

// True when both names lead to one existing file (one device and inode,
// whatever symbolic links, hard links or ".." lie on the way).
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Refuses a mask file to write that is a flat field the rules read: the
// measurement would be lost.  A mask file read by --from-mask may be
// rewritten in place: it is read whole before the new one replaces it.
bool output_spares_inputs(const MaskJob& job, std::string& why) {
    for (const MaskRule& r : job.rules) {
        // A bare "--beamstop auto" reads the --from-flat file, refused under that rule.
        const bool measured = r.kind == MaskRule::Kind::from_flat ||
                              (r.kind == MaskRule::Kind::beamstop_auto && r.text != "--beamstop auto");
        if (!measured || !same_file(job.out, r.file)) continue;
        why = "the mask file to write, '" + job.out + "', is the " +
              (r.kind == MaskRule::Kind::from_flat ? "flat-field file of --from-flat '"
                                                  : "image of --beamstop auto, '") +
              r.file + "'; the mask would replace the measurement";
        return false;
    }
    return true;
}

}  // namespace

int mask_make_main(const std::vector<std::string>& args, const Console& out, const Console& err) {
    MaskJob job;
    std::string why;
    if (!parse_mask_args(args, job, why) || (!job.help && !job.version && !output_spares_inputs(job, why))) {
        pk::say(err, "%s: error: %s\nTry '%s --help' for more information.\n", kProgram, why.c_str(), kProgram);
        return 2;
    }
    if (job.help) {
        pk::say(out, "%s", kUsage);
        return 0;
    }
    if (job.version) {
        pk::say(out, "%s %s\n", kProgram, PELKARO_VERSION);
        return 0;
    }
    Data2D mask = full_mask();
    pk::say(out, "Starting from all %d pixels in use.\n", kDetPixels);
    for (const MaskRule& r : job.rules) {
        if (!apply_rule(r, mask, out, err)) {
            pk::say(err, "%s: nothing written to %s\n", kProgram, job.out.c_str());
            return 1;
        }
    }
    if (pixels_in_use(mask) == 0) {
        pk::say(err, "%s: error: every pixel is masked; nothing written to %s\n", kProgram, job.out.c_str());
        return 1;
    }
    return write_mask_file(job.out, mask, args, out, err) ? 0 : 1;
}

}  // namespace pk
