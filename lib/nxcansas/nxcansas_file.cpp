// The NXcanSAS file of a reduction: what goes where.  One entry,
// "sasentry01", with the curve and/or the image as SASdata groups (numbered
// in the order written, the curve first), the instrument, the sample, the
// process with the run's settings, and notes that say how the numbers were
// made.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common.h"
#include "keywords.h"
#include "pelkaro/nxcansas.h"
#include "nxcansas_h5.h"

namespace pk {

std::string stem_of(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    const std::size_t comp = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = comp + 1 < name.size() ? name.find('.', comp + 1) : std::string::npos;
    return name.substr(comp, dot == std::string::npos ? std::string::npos : dot - comp);
}

std::string default_output(const std::string& first_sample) {
    const std::size_t slash = first_sample.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : first_sample.substr(0, slash + 1);
    return dir + stem_of(first_sample) + ".h5";
}

std::string thickness_unit(const std::string& intensity_unit) {
    for (const char* len : {"mm", "cm", "m"}) {
        const std::string l = len;
        if (intensity_unit == "1/" + l || intensity_unit == l + "^-1" || intensity_unit == l + "-1") return l;
    }
    return "cm";
}


namespace {

// A title as a line of text: control characters (an escape sequence, a
// line break) would act on the terminal or the plot of whoever shows it,
// so each becomes "?".
std::string printable(std::string s) {
    for (char& ch : s) {
        const unsigned char u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u == 0x7f) ch = '?';
    }
    return s;
}

constexpr const char* kQUnit = "1/angstrom";

bool curve_wanted(const Param& p) { return p.average == 1 || p.average == 2; }
bool image_wanted(const Param& p) { return p.average == 0 || p.average == 2; }

// The parameter file's numbers are floats; the file gets the shortest
// decimal that reads back as the same float (0.1, not 0.10000000149).
double decimal_of(float f) {
    if (!std::isfinite(f)) return f;
    char text[32];
    for (int digits = 1; digits < 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(f));
        const double d = std::strtod(text, nullptr);
        if (pk::to_float(d) == f) return d;
    }
    return f;
}

// A product of such decimals to 15 significant digits (0.6, not
// 0.6000000000000001).
double tidy(double d) {
    if (!std::isfinite(d)) return d;
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", d);
    return std::strtod(text, nullptr);
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Local time in ISO 8601 with the offset from UTC, e.g. 2024-05-01T14:03:07+02:00.
std::string iso_time(std::time_t t) {
    std::tm local{};
    if (!localtime_r(&t, &local)) return "";
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return "";
    std::string s = text;
    if (s.size() >= 5) s.insert(s.size() - 2, ":");
    return s;
}

// What every part of the file needs.
struct Context {
    const Run& run;
    const NxOptions& opt;
    const CurveQ& curve;
    std::string time;
    std::string file_name;
};

void write_curve(Writer& w, const Node& entry, const std::string& name, const Context& c) {
    Node g = w.group(entry, name, "NXdata", "SASdata");
    w.attr(g, "signal", "I");
    w.attr(g, "I_axes", "Q");
    w.attr(g, "Q_indices", 0);
    const Data1D& rot = c.run.rot;
    std::vector<float> i, idev, qdev;
    for (int b : c.curve.bins) {
        const std::size_t k = static_cast<std::size_t>(b);
        i.push_back(rot.y[k]);
        idev.push_back(rot.dy[k]);
        qdev.push_back(rot.dq[k]);
    }
    const std::vector<hsize_t> dims{c.curve.bins.size()};
    Node q = w.doubles(g, "Q", c.curve.q, dims, kQUnit);
    w.attr(q, "resolutions", "Qdev");
    w.attr(q, "resolutions_description",
           "Qdev adds the variances of the source aperture, sample aperture, pixel size and wavelength spread, "
           "with both transverse components of the aperture and pixel terms: at low Q it is about sqrt(2) "
           "larger than the Gaussian radial sigma, and smearing with it over-smears there");
    Node in = w.floats(g, "I", i, dims, c.opt.intensity_unit);
    w.attr(in, "uncertainties", "Idev");
    w.floats(g, "Idev", idev, dims, c.opt.intensity_unit);
    w.floats(g, "Qdev", qdev, dims, kQUnit);
    w.doubles(g, "Qmean", c.curve.qmean, dims, kQUnit);
}

void write_image(Writer& w, const Node& entry, const std::string& name, const Context& c) {
    Node g = w.group(entry, name, "NXdata", "SASdata");
    w.attr(g, "signal", "I");
    w.attr(g, "I_axes", "Qx,Qy");
    w.attr(g, "Q_indices", std::vector<int>{0, 1});
    w.attr(g, "mask", "Mask");
    w.attr(g, "Mask_indices", std::vector<int>{0, 1});
    const Data2D& res = c.run.res;
    const std::vector<hsize_t> dims{kDetSide, kDetSide};  // row y, column x
    const std::vector<float> i(res.intens.begin(), res.intens.begin() + kDetPixels);
    const std::vector<float> idev(res.uncert.begin(), res.uncert.begin() + kDetPixels);
    std::vector<double> qx, qy;
    pixel_q(c.run.p, qx, qy);
    std::vector<uint8_t> mask(kDetPixels);
    for (std::size_t k = 0; k < mask.size(); ++k) mask[k] = pk::pixel_used(c.run.mask.intens[k]) ? 0 : 1;
    Node in = w.floats(g, "I", i, dims, c.opt.intensity_unit);
    w.attr(in, "uncertainties", "Idev");
    w.floats(g, "Idev", idev, dims, c.opt.intensity_unit);
    w.doubles(g, "Qx", qx, dims, kQUnit);
    w.doubles(g, "Qy", qy, dims, kQUnit);
    w.bytes(g, "Mask", mask, dims);
}

void write_aperture(Writer& w, const Node& ins, const std::string& name, const char* what, double diameter,
                    const std::string& unit) {
    Node a = w.group(ins, name, "NXaperture", "SASaperture");
    w.text(a, "description", what);
    w.text(a, "shape", "pinhole");
    w.number(a, "x_gap", diameter, unit);
    w.number(a, "y_gap", diameter, unit);
}

void write_instrument(Writer& w, const Node& entry, const Context& c) {
    const Param& p = c.run.p;
    const std::string& len = c.opt.length_unit;
    Node ins = w.group(entry, "sasinstrument", "NXinstrument", "SASinstrument");
    {
        Node src = w.group(ins, "sassource", "NXsource", "SASsource");
        w.text(src, "radiation", "neutron");
        w.number(src, "incident_wavelength", decimal_of(p.wavelen), "angstrom");
        w.number(src, "incident_wavelength_spread", tidy(decimal_of(p.dwavelen) * decimal_of(p.wavelen)), "angstrom");
    }
    // The collimation is known only from an SMRP line (a curve needs one).
    if (c.run.log.seen >> SMRP & 1u) {
        Node col = w.group(ins, "sascollimation", "NXcollimator", "SAScollimation");
        w.number(col, "distance", decimal_of(p.src2sam), len);
        write_aperture(w, ins, "sasaperture01", "source aperture", 2 * decimal_of(p.srcapp), len);
        write_aperture(w, ins, "sasaperture02", "sample aperture", 2 * decimal_of(p.samapp), len);
    }
    Node det = w.group(ins, "sasdetector", "NXdetector", "SASdetector");
    w.text(det, "name", "128 x 128 area detector");
    w.number(det, "SDD", decimal_of(p.sam2det), len);
    w.number(det, "x_pixel_size", decimal_of(p.px), len);
    w.number(det, "y_pixel_size", decimal_of(p.py), len);
    w.number(det, "beam_center_x", tidy(decimal_of(p.bx) * decimal_of(p.px)), len);
    w.number(det, "beam_center_y", tidy(decimal_of(p.by) * decimal_of(p.py)), len);
}

double millimetres_per(const std::string& unit) {
    if (unit == "m") return 1000.0;
    if (unit == "cm") return 10.0;
    return 1.0;
}

void write_sample(Writer& w, const Node& entry, const Context& c) {
    const Data2D& first = c.run.sam[0];
    Node s = w.group(entry, "sassample", "NXsample", "SASsample");
    w.text(s, "name", stem_of(first.name));
    // In millimetres whatever the parameter file's unit: fitting programs
    // take the thickness as millimetres.
    w.number(s, "thickness", tidy(decimal_of(first.thick) * millimetres_per(thickness_unit(c.opt.intensity_unit))),
             "mm");
    w.number(s, "transmission", decimal_of(first.trans), "");
}

// The settings of the run as the numbered terms of the process.
class Terms {
public:
    Terms(Writer& w, const Node& process) : w_(w), g_(process) {}
    void text(const char* name, const std::string& value) { w_.attr(w_.text(g_, next(), value), "name", name); }
    void number(const char* name, double value, const std::string& unit) {
        w_.attr(w_.number(g_, next(), value, unit), "name", name);
    }

private:
    std::string next() { return pk::format("term%02d", ++n_); }
    Writer& w_;
    const Node& g_;
    int n_ = 0;
};

void write_files_used(Terms& t, const Context& c) {
    const Run& run = c.run;
    t.text("parameter file", c.opt.param);
    for (const Data2D& d : run.sam) t.text("sample file", d.name);
    for (const Data2D& d : run.buf)
        if (d.tm != 0) t.text("buffer file", d.name);
    if (run.dcur.tm > 0) t.text("dark current file", run.dcur.name);
    t.text("sensitivity file", run.sens.name);
    t.text("mask", run.p.msk == 1 ? run.mask.name : std::string("built-in edge mask"));
}

// The sector as the parameter file gives it, in degrees.
void sector_degrees(const ParseLog& log, double& first, double& last) {
    for (const ParseRecord& r : log.records) {
        if (r.keyword == ANGS && r.verdict == Verdict::accepted && r.values.size() >= 2) {
            first = decimal_of(pk::to_float(r.values[0]));
            last = decimal_of(pk::to_float(r.values[1]));
        }
    }
}

void write_settings(Terms& t, const Context& c) {
    const Param& p = c.run.p;
    write_files_used(t, c);
    t.number("absolute scale factor", decimal_of(p.abs_fact), "");
    t.text("solid-angle correction", p.jacobian == 1 ? "applied" : "not applied");
    if (!curve_wanted(p)) return;
    double first = 0, last = 0;
    sector_degrees(c.run.log, first, last);
    t.number("sector start", first, "degree");
    t.number("sector end", last, "degree");
    t.number("radial bin width", tidy(decimal_of(p.bin_width) * decimal_of(p.px > p.py ? p.py : p.px)),
             c.opt.length_unit);
}

const char* verdict_word(const ParseRecord& r, std::string_view text) {
    if (r.keyword < 0) return text.empty() || text[0] == '#' ? "comment" : "ignored";
    if (r.verdict == Verdict::accepted) return "accepted";
    return r.verdict == Verdict::rejected ? "rejected" : "ignored";
}

// One piece's line of the parse note, "line: text  [verdict: values]",
// appended to `s`; its length.
std::size_t note_line(const ParseRecord& r, const ParamFile& pf, std::string& s) {
    const std::size_t before = s.size();
    std::string_view text = pf.text_of(r);
    const char* const verdict = verdict_word(r, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    s += std::to_string(r.line);
    s += ": ";
    s += text;
    s += "  [";
    s += verdict;
    if (r.verdict == Verdict::accepted && !r.values.empty()) {
        s += ":";
        char number[32];
        for (double v : r.values)
            s.append(number, static_cast<std::size_t>(std::snprintf(number, sizeof number, " %.9g", v)));
    }
    s += "]\n";
    return s.size() - before;
}

// The parameter file as the parser read it, one line per piece: its
// length found line by line first, so that the note, as long as the file
// or longer, is made once in memory of its size.
std::string parse_note(const ParseLog& log, const ParamFile& pf) {
    std::size_t size = 0;
    std::string line;
    for (const ParseRecord& r : log.records) {
        line.clear();
        size += note_line(r, pf, line);
    }
    std::string s;
    s.reserve(size);
    for (const ParseRecord& r : log.records) note_line(r, pf, s);
    return s;
}

void write_note(Writer& w, const Node& parent, const std::string& description, std::string text) {
    Node n = w.group(parent, "sasnote", "NXnote", "SASnote");
    w.text(n, "description", description);
    w.text(n, "type", "text/plain");
    w.text(n, "data", std::move(text));
}

void write_process(Writer& w, const Node& entry, const Context& c) {
    Node g = w.group(entry, "sasprocess", "NXprocess", "SASprocess");
    w.text(g, "name", "Pelkaro");
    w.text(g, "date", c.time);
    w.text(g, "description",
           "Pelkaro " PELKARO_VERSION ": sample and buffer images corrected for detector sensitivity (and the "
           "pixels' solid angle when flagged), dark current and buffer subtracted with counting time, monitor "
           "and angle-dependent transmission, put on an absolute scale and masked; averaged azimuthally into "
           "I(Q) when asked");
    Terms t(w, g);
    write_settings(t, c);
    write_note(w, g, "The parameter file " + c.opt.param + " as parsed: line, text, [verdict: values read]",
               parse_note(c.run.log, c.run.file));
}

// How the numbers of the data groups were made.
std::string data_note(const Context& c, const std::string& curve, const std::string& image) {
    std::string s = "Reduced by Pelkaro " PELKARO_VERSION " from the parameter file " + c.opt.param + ".\n";
    if (!curve.empty())
        s += curve + ", the azimuthally averaged curve: one value per radial bin that received detector area "
                     "(the bins of Pelkaro's .d1d file). Q is the Q of the bin's centre radius, "
                     "4 pi / lambda * sin(atan(RP / SDD) / 2) with RP = (i + 0.5) * bin width; the .d1d file "
                     "gives the Q of the bin's inner edge instead. Qmean is the mean Q of the detector area "
                     "that fell into the bin (every unmasked pixel split into 10 x 10 sub-pixels); in the "
                     "innermost bins it lies well away from Q. I and Idev (float32) are exactly the mean "
                     "intensity and its uncertainty Pelkaro computes; Qdev (float32) is the Q resolution of the "
                     ".d1d file. Qdev adds the variances of the source aperture, the sample aperture, the pixel "
                     "size and the wavelength spread, with both transverse components of the aperture and pixel "
                     "terms, so at low Q it is about sqrt(2) larger than the Gaussian radial sigma a fitting "
                     "program assumes: a fit that smears with it over-smears at low Q.\n";
    if (!image.empty())
        s += image + ", the reduced image: I and Idev (float32, exactly Pelkaro's values) on 128 x 128 "
                     "pixels, row y and column x as in the .d2d file; Qx and Qy at each pixel centre; Mask 1 "
                     "for a pixel excluded (masked, or removed for extreme sensitivity; its I and Idev are 0), "
                     "0 for a pixel used. The image carries no Q resolution.\n";
    s += "Lengths are in " + c.opt.length_unit + ", the unit stated on the command line (Pelkaro takes the "
         "parameter file's lengths in one unit it is not told); the sample thickness is converted to mm. "
         "Intensities are in " + c.opt.intensity_unit + ", which holds only with a calibrated absolute scale "
         "factor.\n";
    return s;
}

void write_entry(Writer& w, const Node& root, const Context& c) {
    const Param& p = c.run.p;
    const std::string curve = curve_wanted(p) ? "sasdata01" : "";
    const std::string image = image_wanted(p) ? (curve.empty() ? "sasdata01" : "sasdata02") : "";
    Node e = w.group(root, "sasentry01", "NXentry", "SASentry");
    w.attr(e, "version", "1.1");
    w.attr(e, "default", curve.empty() ? image : curve);
    w.text(e, "definition", "NXcanSAS");
    w.text(e, "title", printable(c.opt.title_given ? c.opt.title : stem_of(c.run.sam[0].name)));
    w.text(e, "run", base_name(c.run.sam[0].name));
    if (!curve.empty()) write_curve(w, e, curve, c);
    if (!image.empty()) write_image(w, e, image, c);
    write_instrument(w, e, c);
    write_sample(w, e, c);
    write_process(w, e, c);
    write_note(w, e, "How the numbers of this file were made", data_note(c, curve, image));
}

void write_root(Writer& w, const Node& root, const Context& c) {
    w.attr(root, "NX_class", "NXroot");
    w.attr(root, "canSAS_class", "SASroot");
    w.attr(root, "default", "sasentry01");
    w.attr(root, "file_name", c.file_name);
    w.attr(root, "file_time", c.time);
    w.attr(root, "creator", "Pelkaro " PELKARO_VERSION);
}

// Why the output file could not be started.
std::string open_failure(const std::string& path, int err) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "cannot write " + path + ": it exists and is not a regular file";
    std::string why = "cannot create a file beside " + path;
    if (err != 0) why += std::string(": ") + std::strerror(err);
    return why;
}

}  // namespace

bool write_file(const Run& run, const NxOptions& opt, const std::string& path, std::string& why) {
    CurveQ curve;
    if (curve_wanted(run.p) && !curve_q(run.p, run.rot, run.mask, curve)) {
        why = "the Q values of the curve's bins could not be worked out (the averaging's bins were not met "
              "exactly); this is a fault of the program";
        return false;
    }
    const Context c{run, opt, curve, iso_time(std::time(nullptr)), base_name(path)};
    pk::OutputLock lock;  // against another run writing into the same directory
    lock.acquire(path);
    pk::AtomicFile out;
    errno = 0;
    if (!pk::atomic_open(path, out)) {
        why = open_failure(path, errno);
        return false;
    }
    // Written into the temporary file as it is made.
    Writer w;
    {
        Node root = w.create(path, ::fileno(out.f));
        write_root(w, root, c);
        write_entry(w, root, c);
        w.finish(root);
    }
    if (!w.ok()) {
        pk::atomic_finish(out, false);
        why = w.why() + " (writing " + path + ")";
        return false;
    }
    errno = 0;
    const int failed = w.write_error();
    if (!pk::atomic_finish(out, failed == 0)) {
        const int e = failed != 0 ? failed : errno;
        why = "could not write " + path + (e != 0 ? std::string(": ") + std::strerror(e) : std::string());
        return false;
    }
    return true;
}

}  // namespace pk
