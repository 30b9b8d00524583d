// The systematic terms of the NXcanSAS file (nxcansas_systematic.h).
//
// A pixel's I is 1000 / (T_s d M_s ABSF) times its sample counts less the
// buffer's scaled by M_s T_s^e / (M_b T_b^e), e = 0.5 / cos(theta) + 0.5:
// ABSF scales it, the sample's transmission both scales it and weighs the
// buffer, the buffer's weighs the buffer.  Rather than restate that, the
// derivatives come from the reduction itself, made again with each value
// moved; the curve's from its average.  The transmissions and ABSF measured
// on direct beams share the empty beam (and the dark current), so the
// change of I that one measurement causes is the sum of its shares in the
// three times their derivatives.
#include "nxcansas_systematic.h"

#include <cmath>
#include <string>
#include <vector>

#include "ave_data.h"
#include "numbers.h"
#include "pelkaro/Pelkaro.h"
#include "sub_data.h"

namespace pk {

std::string uncertainty_fault(double value, double sigma) {
    if (!std::isfinite(sigma)) return "the uncertainty " + format("%g", sigma) + " is not a finite number";
    if (sigma < 0) return "the uncertainty " + format("%g", sigma) + " is negative";
    if (sigma > std::fabs(value))
        return "the uncertainty " + format("%g", sigma) + " is larger than the value " + format("%g", value);
    return "";
}

namespace {

constexpr double kStep = 1e-3;  // relative
enum Value { kSample = 0, kBuffer = 1, kScale = 2 };

// The first buffer entry in use (the one whose transmission the
// subtraction takes), or null.
Data2D* first_used(std::vector<Data2D>& buf) {
    for (Data2D& b : buf)
        if (b.tm != 0) return &b;
    return nullptr;
}

float value_of(const Run& run, int which) {
    if (which == kSample) return run.sam.empty() ? 0.0f : run.sam[0].trans;
    if (which == kScale) return run.p.abs_fact;
    for (const Data2D& b : run.buf)
        if (b.tm != 0) return b.trans;
    return 0.0f;
}

// The image of the run with one value set to `v`.
Status reduce_with(const Run& run, int which, float v, Data2D& image) {
    Param p = run.p;
    std::vector<Data2D> sam = run.sam, buf = run.buf;
    if (which == kSample) sam[0].trans = v;
    if (which == kScale) p.abs_fact = v;
    if (which == kBuffer && first_used(buf)) first_used(buf)->trans = v;
    image.intens.assign(kImageValues, 0.0f);
    image.uncert.assign(kImageValues, 0.0f);
    return sub_sums(p, sam, buf, run.sam_sums, run.buf_sums, run.dark, run.mask, image, Console{nullptr, nullptr});
}

// One value's derivatives: the pixels' by a central difference, the
// curve's as the average of the pixels' (the average is linear in them,
// and its sums, in single precision, would drown a difference of curves).
Status derivative(const Run& run, int which, const std::vector<int>& bins, bool curve, bool image, Derivatives& out) {
    const double v = value_of(run, which);
    const float up = to_float(v * (1 + kStep)), down = to_float(v * (1 - kStep));
    const double step = static_cast<double>(up) - down;
    Data2D hi, lo;
    Status st = reduce_with(run, which, up, hi);
    if (st.ok()) st = reduce_with(run, which, down, lo);
    if (!st.ok()) return st;
    Data2D slope = hi;  // the derivative of every pixel, as an image to average
    std::vector<double>& pixels = out.image[which];
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        pixels.push_back((static_cast<double>(hi.intens[k]) - lo.intens[k]) / step);
        slope.intens[k] = to_float(pixels.back());
    }
    Data1D rot;
    if (curve) st = ave_data(run.p, slope, rot, run.mask, Console{nullptr, nullptr});
    if (!image) pixels.clear();
    if (!st.ok() || !curve) return st;
    for (const int b : bins) {
        if (static_cast<std::size_t>(b) >= rot.y.size())
            return failure(Stage::output, Code::cannot_write, "the average of the derivatives has fewer bins");
        out.curve[which].push_back(rot.y[static_cast<std::size_t>(b)]);
    }
    return ok_status();
}

}  // namespace

Status derivatives(const Run& run, const bool (&which)[3], const std::vector<int>& bins, bool curve, bool image,
                   Derivatives& out) {
    out = Derivatives{};
    for (int k = 0; k < 3; ++k) {
        if (!which[k] || !(value_of(run, k) > 0)) continue;
        const Status st = derivative(run, k, bins, curve, image, out);
        if (!st.ok()) return st;
    }
    return ok_status();
}

namespace {

// The change of every point for shares s of the three values.
std::vector<double> combined(const std::vector<double> (&d)[3], const double (&s)[3]) {
    std::vector<double> out;
    for (int k = 0; k < 3; ++k) {
        if (s[k] == 0 || d[k].empty()) continue;
        if (out.empty()) out.assign(d[k].size(), 0.0);
        for (std::size_t i = 0; i < out.size() && i < d[k].size(); ++i) out[i] += s[k] * d[k][i];
    }
    return out;
}

// A source from its shares in the sample's, the buffer's and ABSF's
// uncertainty; none when it has no share in any used value.
void add_source(const Run& run, const Derivatives& d, const char* name, const char* what, const double (&s)[3],
                std::vector<SystematicSource>& out) {
    SystematicSource src{name, what, combined(d.curve, s), combined(d.image, s)};
    if (src.curve.empty() && src.image.empty()) return;
    for (std::size_t k = 0; k < src.image.size(); ++k)
        if (!pixel_used(run.mask.intens[k])) src.image[k] = 0.0;
    out.push_back(std::move(src));
}

}  // namespace

Status systematic_terms(const Run& run, const ScaleUncertainty& u, const std::vector<int>& bins, bool curve,
                        bool image, Systematics& out) {
    out = Systematics{};
    const bool which[3] = {u.sample, u.buffer, u.absf};
    Derivatives d;
    const Status st = derivatives(run, which, bins, curve, image, d);
    if (!st.ok()) return st;
    const SigmaShares none;
    const SigmaShares& ts = u.sample ? u.sample_t : none;
    const SigmaShares& tb = u.buffer ? u.buffer_t : none;
    const SigmaShares& a = u.absf ? u.absf_f : none;
    const double empty[3] = {ts.empty_beam, tb.empty_beam, a.empty_beam};
    const double dark[3] = {ts.dark_current, tb.dark_current, a.dark_current};
    const double sample[3] = {ts.own, 0, 0}, buffer[3] = {0, tb.own, 0}, scale[3] = {0, 0, a.own};
    add_source(run, d, "Isys_empty_beam", "the empty beam's counts in the disc", empty, out.sources);
    add_source(run, d, "Isys_dark_current", "the dark current's counts in the disc", dark, out.sources);
    add_source(run, d, "Isys_sample_transmission", "the sample's direct-beam counts", sample, out.sources);
    add_source(run, d, "Isys_buffer_transmission", "the buffer's direct-beam counts", buffer, out.sources);
    add_source(run, d, "Isys_absf", "ABSF's own terms", scale, out.sources);
    if (u.absf && run.p.abs_fact > 0)
        out.relative_scale = std::sqrt(a.empty_beam * a.empty_beam + a.dark_current * a.dark_current + a.own * a.own) /
                             run.p.abs_fact;
    return ok_status();
}

std::string systematic_note(const ScaleUncertainty& u, const Systematics& s) {
    if (s.sources.empty()) return "";
    std::string names;
    for (const SystematicSource& src : s.sources)
        names += (names.empty() ? "" : ", ") + src.name + " (" + src.what + ")";
    std::string t =
        "Beside Idev, the uncertainty of the transmissions and of the absolute scale factor (ABSF), from " + u.source +
        ": " + names + ". Each is the change of I at every point when that measurement's counts lie one standard "
        "deviation higher, worked out through the reduction (the sample's transmission divides I and weighs the "
        "buffer, the buffer's transmission weighs the buffer, ABSF divides I); its sign matters. The measurements "
        "are independent of one another and of the counting statistics in Idev, and each is fully correlated "
        "across the points (and between the curve and the image): the covariance of two points' I from them is "
        "the sum over these datasets of the products of their values, and a point's systematic uncertainty is "
        "the datasets in quadrature. I@uncertainties names Idev alone. ";
    t += u.split ? "The transmissions and ABSF were measured against the same empty beam, so its counts (and the "
                   "dark current's) move all three at once; each one's own counts are a measurement of their own. "
                 : "Each uncertainty was given alone, so each is taken as a measurement of its own. ";
    if (s.relative_scale > 0)
        t += format("The relative uncertainty of the scale (ABSF's sigma over ABSF) is %.3g, included in the "
                    "datasets above. ",
                    s.relative_scale);
    return t + "The sample thickness is taken as exact.\n";
}

}  // namespace pk
