// The NXcanSAS file of a reduction: what goes where.  One entry,
// "sasentry01", with the curve and/or the image as SASdata groups (numbered
// in the order written, the curve first), the instrument, the sample, the
// process with the run's settings, and notes that say how the numbers were
// made.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "ave_data.h"
#include "geometry.h"
#include "pelkaro/files.h"
#include "keywords.h"
#include "pelkaro/attenuation.h"
#include "pelkaro/nxcansas.h"
#include "nxcansas_file.h"
#include "nxcansas_q.h"
#include "nxcansas_h5.h"
#include "nxcansas_systematic.h"

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
// The layout of these files: 2 since Q is the mean |Q| the instrument gives
// a point and the resolution kernel is written (NEWS.md).
constexpr int kFormatVersion = 2;

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

// The Q values of the image: the mean Qx, Qy of each pixel and |Q| of that
// mean, and the standard deviations along Q, then across Q, of each pixel
// (empty: not known).
struct ImageQ {
    std::vector<double> qx, qy, q;
    std::vector<float> qdev;
    std::vector<double> factors;  // of each pixel, freeing it of the sample's attenuation (image_attenuation)
};

// What every part of the file needs.
struct Context {
    const Run& run;
    const NxOptions& opt;
    const CurveQ& curve;
    const ImageQ& image;
    std::string time;
    std::string file_name;
    const Systematics& systematics;
};

// Values that are float32 in the file, each rounded from its double; false
// when one is not finite there.
bool floats_of(const std::vector<double>& v, std::vector<float>& out) {
    out.clear();
    for (double d : v) {
        out.push_back(pk::to_float(d));
        if (!std::isfinite(out.back())) return false;
    }
    return true;
}

// The uncertainty of the transmissions and ABSF beside Idev: a dataset per
// independent measurement, of the curve's points or of the image's pixels.
void write_systematics(Writer& w, const Node& g, const Context& c, const std::vector<hsize_t>& dims, bool curve) {
    // On the scale of the file's I: freed of the sample's own attenuation as I is.
    std::vector<double> factors;
    if (!c.opt.as_computed && !c.systematics.sources.empty())
        factors = curve ? curve_attenuation(c.run.p, c.run.reduced.trans, c.curve.q) : c.image.factors;
    for (const SystematicSource& src : c.systematics.sources) {
        std::vector<float> v;
        floats_of(curve ? src.curve : src.image, v);
        if (!factors.empty()) apply_factors(v, factors);
        Node n = w.floats(g, src.name, v, dims, c.opt.intensity_unit);
        w.attr(n, "description", "the change of I when " + src.what + " lie one standard deviation higher");
    }
}

void write_curve(Writer& w, const Node& entry, const std::string& name, const Context& c) {
    Node g = w.group(entry, name, "NXdata", "SASdata");
    w.attr(g, "signal", "I");
    w.attr(g, "I_axes", "Q");
    w.attr(g, "Q_indices", 0);
    const Data1D& rot = c.run.curve;
    std::vector<float> i, idev, qdev;
    for (int b : c.curve.bins) i.push_back(rot.y[static_cast<std::size_t>(b)]);
    // Both finite: the uncertainty is at most the .d1d's, the resolution was checked.
    floats_of(c.curve.idev, idev);
    floats_of(c.curve.qdev, qdev);
    if (!c.opt.as_computed)
        for (std::vector<float>* v : {&i, &idev}) apply_factors(*v, curve_attenuation(c.run.p, c.run.reduced.trans, c.curve.q));
    const std::vector<hsize_t> dims{c.curve.bins.size()};
    Node q = w.doubles(g, "Q", c.curve.q, dims, kQUnit);
    w.attr(q, "resolutions", "Qdev");
    w.attr(q, "resolutions_description", "Gaussian");
    Node in = w.floats(g, "I", i, dims, c.opt.intensity_unit);
    w.attr(in, "uncertainties", "Idev");
    w.floats(g, "Idev", idev, dims, c.opt.intensity_unit);
    w.floats(g, "Qdev", qdev, dims, kQUnit);
    w.doubles(g, "Qcentre", c.curve.qcentre, dims, kQUnit);
    w.doubles(g, "Qmean", c.curve.qmean, dims, kQUnit);
    write_systematics(w, g, c, dims, true);
}

// The resolution kernel of every point of the curve `curve`, beside it.
void write_kernel(Writer& w, const Node& entry, const std::string& curve, const Context& c) {
    Node g = w.group(entry, "resolution_kernel", "NXcollection", nullptr);
    w.attr(g, "data", curve);
    w.attr(g, "gravity", c.opt.gravity ? "included" : "left out");
    const std::vector<hsize_t> dims{c.curve.bins.size(), static_cast<hsize_t>(c.curve.kernel_nodes)};
    w.doubles(g, "Q", c.curve.kernel_q, dims, kQUnit);
    w.doubles(g, "weight", c.curve.kernel_weight, dims, "");
}

// The Idev of an excluded pixel: a million times the largest of the used
// pixels (at least 1, at most 1e18 unless that is smaller), so that a
// program that ignores the mask gives such a pixel a weight at least 1e12
// times smaller than any used pixel's, without dividing by zero.
float excluded_idev(const Data2D& res, const Data2D& mask) {
    double largest = 0;
    for (int k = 0; k < kDetPixels; ++k)
        if (pk::pixel_used(mask.intens[k]) && std::isfinite(res.uncert[k]))
            largest = std::fmax(largest, std::fabs(static_cast<double>(res.uncert[k])));
    if (!(largest > 0)) return 1.0f;
    return pk::to_float(std::fmax(std::fmin(1e6 * largest, 1e18), largest));
}

// The 2D resolution: sigma along Q, then across Q, of every pixel.
void write_image_resolution(Writer& w, const Node& g, const Node& qx, const Node& qy, const Context& c) {
    for (const Node* axis : {&qx, &qy}) {
        w.attr(*axis, "resolutions", "Qdev");
        w.attr(*axis, "resolutions_description",
               "Gaussian; Qdev[0] is the sigma along Q (parallel), Qdev[1] across Q (perpendicular), "
               "not the sigmas along Qx and Qy");
    }
    w.floats(g, "Qdev", c.image.qdev, {2, kDetSide, kDetSide}, kQUnit);
}

void write_image(Writer& w, const Node& entry, const std::string& name, const Context& c) {
    Node g = w.group(entry, name, "NXdata", "SASdata");
    w.attr(g, "signal", "I");
    w.attr(g, "I_axes", "Qx,Qy");
    w.attr(g, "Q_indices", std::vector<int>{0, 1});
    w.attr(g, "mask", "Mask");
    w.attr(g, "Mask_indices", std::vector<int>{0, 1});
    const Data2D& res = c.run.reduced;
    const std::vector<hsize_t> dims{kDetSide, kDetSide};  // row y, column x
    std::vector<float> i(res.intens.begin(), res.intens.begin() + kDetPixels);
    std::vector<float> idev(res.uncert.begin(), res.uncert.begin() + kDetPixels);
    if (!c.opt.as_computed)
        for (std::vector<float>* v : {&i, &idev}) apply_factors(*v, c.image.factors);
    const float excluded = excluded_idev(res, c.run.mask);
    std::vector<uint8_t> mask(kDetPixels);
    for (std::size_t k = 0; k < mask.size(); ++k) {
        mask[k] = pk::pixel_used(c.run.mask.intens[k]) ? 0 : 1;
        if (mask[k]) idev[k] = excluded;
    }
    Node in = w.floats(g, "I", i, dims, c.opt.intensity_unit);
    w.attr(in, "uncertainties", "Idev");
    w.floats(g, "Idev", idev, dims, c.opt.intensity_unit);
    const Node x = w.doubles(g, "Qx", c.image.qx, dims, kQUnit);
    const Node y = w.doubles(g, "Qy", c.image.qy, dims, kQUnit);
    w.doubles(g, "Q", c.image.q, dims, kQUnit);
    if (!c.image.qdev.empty()) write_image_resolution(w, g, x, y, c);
    w.bytes(g, "Mask", mask, dims);
    write_systematics(w, g, c, dims, false);
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
        w.text(src, "probe", "neutron");
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
    // One text for one value, as text() writes it; a list of texts for
    // several; nothing for none.
    void texts(const char* name, const std::vector<const std::string*>& values) {
        if (values.size() == 1) text(name, *values[0]);
        else if (values.size() > 1) w_.attr(w_.texts(g_, next(), values), "name", name);
    }
    void number(const char* name, double value, const std::string& unit) {
        w_.attr(w_.number(g_, next(), value, unit), "name", name);
    }

private:
    std::string next() { return pk::format("term%02d", ++n_); }
    Writer& w_;
    const Node& g_;
    int n_ = 0;
};

// The files the run read.  The sample entries' files are one term, a list
// of one name per entry in the parameter file's order when there are
// several (a file named on several lines is named as often), and so are
// the buffer entries' (those with a counting time): a long series of frames
// is two datasets, not one per frame.
void write_files_used(Terms& t, const Context& c) {
    const Run& run = c.run;
    t.text("parameter file", c.opt.param);
    std::vector<const std::string*> names;
    names.reserve(std::max(run.sam.size(), run.buf.size()));
    for (const Data2D& d : run.sam) names.push_back(&d.name);
    t.texts("sample file", names);
    names.clear();
    for (const Data2D& d : run.buf)
        if (d.tm != 0) names.push_back(&d.name);
    t.texts("buffer file", names);
    if (run.dark.tm > 0) t.text("dark current file", run.dark.name);
    t.text("sensitivity file", run.sens.name);
    t.text("mask", run.p.mask_source == 1 ? run.mask.name : std::string("built-in edge mask"));
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
    // The width the average used: BINS times the smaller pixel spacing,
    // widened so that a whole number of bins reaches the detector's far corner.
    t.number("radial bin width", decimal_of(pk::to_float(c.curve.bin_width)), c.opt.length_unit);
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

void write_note(Writer& w, const Node& parent, const std::string& description, std::string text) {
    Node n = w.group(parent, "sasnote", "NXnote", "SASnote");
    w.text(n, "description", description);
    w.text(n, "type", "text/plain");
    w.text(n, "data", std::move(text));
}

// The parameter file as the parser read it, one line per piece, as a note
// of the process.  The note is as long as the file or longer: its length
// is found line by line first, then its lines go into the file one by one,
// so that it is never held in memory beside the file's own text.
void write_parse_note(Writer& w, const Node& parent, const Context& c) {
    const ParseLog& log = c.run.log;
    const ParamFile& pf = c.run.file;
    Node n = w.group(parent, "sasnote", "NXnote", "SASnote");
    w.text(n, "description", "The parameter file " + c.opt.param + " as parsed: line, text, [verdict: values read]");
    w.text(n, "type", "text/plain");
    std::size_t size = 0;
    std::string line;
    for (const ParseRecord& r : log.records) {
        line.clear();
        size += note_line(r, pf, line);
    }
    std::size_t k = 0;
    w.long_text(n, "data", size, [&](std::string& piece) {
        if (k == log.records.size()) return false;
        piece.clear();
        note_line(log.records[k++], pf, piece);
        return true;
    });
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
    write_parse_note(w, g, c);
}

// The middle value of the neighbours' correlations the curve states.
double median_correlation(const CurveQ& curve) {
    std::vector<double> v;
    for (std::size_t k = 0; k + 1 < curve.next_corr.size(); ++k)
        if (curve.bins[k + 1] == curve.bins[k] + 1) v.push_back(curve.next_corr[k]);
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

constexpr const char* kResolutionTerms =
    "the Q resolution of a pinhole instrument (Mildner & Carpenter, J. Appl. Cryst. 17 (1984) 249) as the "
    "one-sigma width of a Gaussian: with k = 2 pi / lambda, R1 and R2 the source and sample aperture radii, "
    "L1 the collimation distance, L2 = SDD, px and py the pixel sizes and s the relative wavelength spread "
    "(the FWHM of a triangular distribution, whose variance is s^2 / 6), each direction across the beam has "
    "the variance k^2 [R1^2 / (4 L1^2) + R2^2 (L1 + L2)^2 / (4 L1^2 L2^2)] from the beam's divergence, a "
    "detector width a along it adds k^2 a^2 / (12 L2^2), and the wavelength spread adds Q^2 s^2 / 6 along Q";

// How Q, Qdev and the kernel of the curve were made.
std::string curve_q_note(const Context& c) {
    if (c.curve.kernel_nodes == 0)
        return "Q is the Q of the bin's centre radius (the same as Qcentre), since the parameter file does not give "
               "the instrument's spreads; Qdev (float32) is " + std::string(kResolutionTerms) + ", in a bin with "
               "the pixel averaged over azimuth, (px^2 + py^2) / 24, and the bin's width, W^2 / 12.";
    return std::string("Q is the mean |Q| the instrument gives the point, and Qdev (float32) the standard deviation "
           "of |Q| about it: the moments of the point's resolution kernel, written in resolution_kernel (Q and "
           "weight, one row per point, ") + std::to_string(c.curve.kernel_nodes) + " nodes; the point's intensity "
           "is sum_j weight[i, j] dSigma/dOmega(Q[i, j])). The kernel is the distribution of the true |Q| of the "
           "neutrons the point averages, worked out from the geometry by deterministic quadrature: every pixel "
           "whose sub-pixels fall into the bin (in the sector, unmasked) counts with the number of them, over its "
           "whole area, since its neutrons landed anywhere on it; the direction of flight is offset from the one "
           "the landing point gives by a point of the source aperture and one of the sample aperture, both "
           "uniform discs; the wavelength follows the triangular distribution of FWHM WAVE's spread; " +
           (c.opt.gravity ? std::string("and the neutrons fall under gravity, which bends the slower ones more: "
                                        "its spread about the direct beam's centre enters averaged over the "
                                        "azimuth. ")
                          : std::string("the neutrons' fall is left out (--no-gravity). ")) +
           "Q so lies above the bin's centre by about sigma_perp^2 / 2Q from the blur across Q and by the mean of "
           "lambda0 / lambda over the wavelengths, and a bin cut by the mask gets the Q where its unmasked area "
           "lies. SasView's fitting reads Q and Qdev and ignores resolution_kernel; sasmodels applies the kernel "
           "through pelkaro.resolution (Python).";
}

std::string curve_note(const Context& c, const std::string& name) {
    const double width = decimal_of(pk::to_float(c.curve.bin_width));
    return name + ", the azimuthally averaged curve: one value per radial bin that received detector area (the "
           "bins of Pelkaro's .d1d file). " + curve_q_note(c) + " Qcentre is the Q of the bin's centre radius, "
           "4 pi / lambda * sin(atan(RP / SDD) / 2) with RP = (i + 0.5) * W, W = " + pk::format("%.9g", width) + " " +
           c.opt.length_unit + " the radial bin width the average used; the .d1d file gives the Q of the bin's "
           "inner edge instead. Qmean is the mean Q of the detector area that fell into the bin (every unmasked "
           "pixel split into 10 x 10 sub-pixels), without the instrument's spreads. I (float32) is "
           "the mean intensity Pelkaro computes (" + std::string(c.opt.as_computed ? "exactly" : "freed of the sample's "
           "own wide-angle attenuation, as said below") + "). Idev (float32) is the standard deviation of that mean as "
           "it is computed: the sub-pixels of a pixel carry its one value, so with w_p of pixel p's sub-pixels in "
           "the bin and sigma_p its uncertainty, Idev^2 = sum w_p^2 sigma_p^2 / (sum w_p)^2, less than the "
           ".d1d's dI, which counts every sub-pixel as independent. Pixels split between neighbouring bins make "
           "their values correlated: the correlation of a bin's I with the next bin's, sum w_p w'_p sigma_p^2 / "
           "sqrt(sum w_p^2 sigma_p^2 sum w'_p^2 sigma_p^2), is " + pk::format("%.2f", median_correlation(c.curve)) +
           " (the median over the curve). The .d1d's Q and dQ are other quantities.\n";
}

std::string image_note(const Context& c, const std::string& name) {
    std::string s = name + ", the reduced image on 128 x 128 pixels, row y and column x as in the .d2d file: I "
                    "(float32) and Idev (float32) Pelkaro's values and uncertainties of the pixels used (" +
                    std::string(c.opt.as_computed ? "exactly" : "freed of the sample's own wide-angle attenuation, as "
                    "said below") + "); Mask 1 for a pixel excluded (masked, or removed for extreme sensitivity), 0 for "
                    "a pixel used. An excluded pixel has I = 0 and Idev = " +
                    pk::format("%.9g", static_cast<double>(excluded_idev(c.run.reduced, c.run.mask))) +
                    ", a million times the largest Idev of a pixel used, so that a program that ignores the mask "
                    "neither divides by zero nor gives it weight.";
    if (c.image.qdev.empty())
        return s + " Qx and Qy are the mean over each pixel's area and Q = sqrt(Qx^2 + Qy^2). The image carries no "
                   "Q resolution: the parameter file gives no collimation (SMRP).\n";
    return s + " Qx and Qy are the mean Q vector the instrument gives the pixel, to second order in its spreads: "
               "over the pixel's area, the beam's divergence (" + (c.opt.gravity ? "with the neutrons' fall, " : "") +
               "as for the curve) and the wavelength distribution; Q = sqrt(Qx^2 + Qy^2). Qdev (2 x 128 x 128, "
               "float32) holds the standard deviations of Q about that mean: Qdev[0] along Q (parallel: the "
               "divergence, the pixel's width along Q and the wavelength spread), Qdev[1] across Q (perpendicular: "
               "the divergence and the pixel's width across Q). Qx@resolutions and Qy@resolutions both name Qdev. "
               "NXcanSAS would read the two as the resolutions of Qx and of Qy, which they are not: a deviation "
               "made for the fitting programs, since SasView loads Qdev[0] and Qdev[1] as its dqx_data and "
               "dqy_data and sasmodels smears with those as the sigmas parallel and perpendicular to Q.\n";
}

// How the numbers of the data groups were made.
std::string data_note(const Context& c, const std::string& curve, const std::string& image) {
    std::string s = "Reduced by Pelkaro " PELKARO_VERSION " from the parameter file " + c.opt.param + ".\n";
    if (!curve.empty()) s += curve_note(c, curve);
    if (!image.empty()) s += image_note(c, image);
    s += attenuation_note(!c.opt.as_computed, c.run.reduced.trans);
    s += systematic_note(c.opt.uncertainty, c.systematics);
    s += "The wavelength spread incident_wavelength_spread is the FWHM of a triangular distribution in "
         "angstrom: WAVE's relative spread times the wavelength. Lengths are in " + c.opt.length_unit +
         ", the unit stated on the command line (Pelkaro takes the parameter file's lengths in one unit it is "
         "not told); the sample thickness is converted to mm. Intensities are in " + c.opt.intensity_unit +
         ", which holds only with a calibrated absolute scale factor.\n";
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
    if (!curve.empty() && c.curve.kernel_nodes > 0) write_kernel(w, e, curve, c);
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
    w.attr(root, "pelkaro_format_version", kFormatVersion);
}


}  // namespace

namespace {

// The average's sums of a run, taken again when its reduction did not ask
// for them.
bool sums_of(const Run& run, BinSums& again, const BinSums*& sums) {
    sums = &run.sums;
    if (run.want_sums) return true;
    Data1D rot;
    sums = &again;
    return ave_data_sums(run.p, run.reduced, rot, run.mask, again, Console{nullptr, nullptr}).ok();
}

// A file that cannot be written, for `reason`.
Status unwritten(std::string reason) { return failure(Stage::output, Code::cannot_write, std::move(reason)); }

// The numbers of the data groups that are not Pelkaro's own; refused when
// they cannot be written.
Status derived_values(const Run& run, const ResolutionOptions& ropt, bool as_computed, CurveQ& curve, ImageQ& image,
                      NxFixed* fixed) {
    const char* fault = "; this is a fault of the program";
    const char* beyond = "the Q resolution of the instrument (SMRP and WAVE) is beyond single precision";
    BinSums again;
    const BinSums* sums = nullptr;
    if (curve_wanted(run.p)) {
        if (!sums_of(run, again, sums) || !curve_q(run.p, run.curve, *sums, run.mask, ropt, curve, fixed))
            return unwritten(std::string("the Q values of the curve's bins could not be worked out (the averaging's "
                                         "bins were not met exactly)") + fault);
        std::vector<float> qdev;
        if (!floats_of(curve.qdev, qdev)) return unwritten(beyond);
    }
    if (!image_wanted(run.p)) return ok_status();
    NxFixed own;
    const NxFixed& px = fixed_pixel_q(run.p, ropt, fixed ? *fixed : own);
    image.qx = px.qx, image.qy = px.qy, image.q = px.qabs;
    if (!as_computed) image.factors = fixed_attenuation(run.p, run.reduced.trans, fixed ? *fixed : own);
    if ((run.log.seen >> SMRP & 1u) && !px.along.empty()) {
        std::vector<double> both(px.along);
        both.insert(both.end(), px.across.begin(), px.across.end());
        if (!floats_of(both, image.qdev)) return unwritten(beyond);
    }
    return ok_status();
}

// The systematic terms the options ask for.
Status systematics_of(const Run& run, const NxOptions& opt, const CurveQ& curve, Systematics& out) {
    const ScaleUncertainty& u = opt.uncertainty;
    if (!u.sample && !u.buffer && !u.absf) return ok_status();
    const Status st = systematic_terms(run, u, curve.bins, curve_wanted(run.p), image_wanted(run.p), out);
    if (st.ok()) return st;
    return unwritten("the uncertainty of the transmissions and ABSF could not be carried to the points: " + st.reason);
}

}  // namespace

Status write_file(const Run& run, const NxOptions& opt, const std::string& path) {
    return write_file(run, opt, path, nullptr);
}

Status write_file(const Run& run, const NxOptions& opt, const std::string& path, NxFixed* fixed) {
    CurveQ curve;
    ImageQ pixels;
    ResolutionOptions ropt;
    if (!resolution_options(opt, ropt))
        return failure(Stage::output, Code::cannot_write, "the length unit must be mm, cm or m, not " + opt.length_unit);
    Status derived = derived_values(run, ropt, opt.as_computed, curve, pixels, fixed);
    Systematics systematics;
    if (derived.ok()) derived = systematics_of(run, opt, curve, systematics);
    if (!derived.ok()) return derived;
    const Context c{run, opt, curve, pixels, iso_time(std::time(nullptr)), base_name(path), systematics};
    return write_atomically(
        path, [&](int err) { return open_failure(path, err); },
        [&](Writer& w, Node& root) {
            write_root(w, root, c);
            write_entry(w, root, c);
        },
        fixed ? &fixed->kept : nullptr, fixed ? fixed->library : nullptr);
}

}  // namespace pk

namespace pk {

Status merge_curve_of(const Run& run, const CurveQ& curve, const std::string& name, MergeCurve& out) {
    out = MergeCurve{};
    out.file = name;
    if (!curve_wanted(run.p)) return failure(Stage::read, Code::bad_contents, "the reduction made no curve (AVGM 0)");
    std::vector<float> idev, qdev;
    if (!floats_of(curve.qdev, qdev))
        return failure(Stage::read, Code::bad_contents,
                       "the Q resolution of the instrument (SMRP and WAVE) is beyond single precision");
    floats_of(curve.idev, idev);
    // As the file stores them (I, Idev and Qdev as floats) and read_curve reads them.
    out.q = curve.q;
    std::vector<float> i;
    for (int b : curve.bins) i.push_back(run.curve.y.at(static_cast<std::size_t>(b)));
    for (std::vector<float>* v : {&i, &idev}) apply_factors(*v, curve_attenuation(run.p, run.reduced.trans, curve.q));
    out.i.assign(i.begin(), i.end());
    out.idev.assign(idev.begin(), idev.end());
    out.qdev.assign(qdev.begin(), qdev.end());
    out.intensity_unit = "1/cm";
    const double distance = decimal_of(run.p.sam2det), wavelength = decimal_of(run.p.wavelen);
    if (std::isfinite(distance)) out.distance_mm = distance;
    if (std::isfinite(wavelength)) out.wavelength = wavelength;
    out.kernel_nodes = curve.kernel_nodes;
    out.kernel_q = curve.kernel_q;
    out.kernel_weight = curve.kernel_weight;
    if (!run.sam.empty()) {
        out.sample = out.title = printable(stem_of(run.sam[0].name));
        out.thickness_mm = tidy(decimal_of(run.sam[0].thick) * 10);  // the thickness is in cm
    }
    sort_by_q(out);
    return check_curve(out);
}

}  // namespace pk
