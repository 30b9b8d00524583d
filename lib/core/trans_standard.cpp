// The absolute scale factor from a secondary standard of known
// cross-section (StandardRun in pelkaro/trans.h): the standard reduced as
// Pelkaro reduces a sample without buffer, over the pixels the mask uses
// and the flat field gives, freed of its own slab attenuation.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <string>

#include "pelkaro/attenuation.h"
#include "pelkaro/trans.h"
#include "trans_steps.h"

namespace pk {

namespace {

Status refuse(const std::string& why) { return failure(Stage::transmission, Code::bad_contents, why); }

Status check_standard(const StandardRun& s, const FlatField& flat) {
    if (flat.flat.intens.empty())
        return refuse("the absolute scale from a standard needs the parameter file's flat field (SENS)");
    if (!(s.thickness > 0) || !std::isfinite(s.thickness))
        return refuse(format("the standard's thickness %g cm is not above 0", s.thickness));
    if (!(s.transmission > 0 && s.transmission <= 1))
        return refuse(format("the standard's transmission %g is not above 0 and at most 1", s.transmission));
    if (s.curve_q.size() < 2 && (!(s.cross_section > 0) || !std::isfinite(s.cross_section)))
        return refuse(format("the standard's cross-section %g cm^-1 is not above 0", s.cross_section));
    if (!(s.cross_section_sigma >= 0) || !std::isfinite(s.cross_section_sigma))
        return refuse(format("the standard's cross-section's uncertainty %g is not 0 or more", s.cross_section_sigma));
    return ok_status();
}

// The cross-section at Q: the number, or the curve between its points; 0
// outside the curve.
double cross_section_at(const StandardRun& s, double q) {
    if (s.curve_q.size() < 2) return s.cross_section;
    if (!(q >= s.curve_q.front() && q <= s.curve_q.back())) return 0.0;
    std::size_t k = 1;
    while (k + 1 < s.curve_q.size() && s.curve_q[k] < q) ++k;
    const double f = (q - s.curve_q[k - 1]) / (s.curve_q[k] - s.curve_q[k - 1]);
    return s.curve_x[k - 1] + f * (s.curve_x[k] - s.curve_x[k - 1]);
}

// The pixel's solid-angle factor as Pelkaro applies it (1/cos^3 2theta
// with the SENS flag 1), and its own slab attenuation.
void pixel_factors(const Param& p, const BeamCentre& c, double transmission, std::size_t k, double& jac,
                   double& slab, double& q) {
    const double dx = (static_cast<double>(k % kDetSide) + 0.5 - c.x) * static_cast<double>(p.px);
    const double dy = (static_cast<double>(k / kDetSide) + 0.5 - c.y) * static_cast<double>(p.py);
    const double L = p.sam2det, cos2t = L / std::sqrt(L * L + dx * dx + dy * dy);
    jac = p.jacobian == 1 ? 1.0 / (cos2t * cos2t * cos2t) : 1.0;
    slab = slab_attenuation(transmission, cos2t);
    q = 4 * 3.141592653589793 / static_cast<double>(p.wavelen) * std::sin(0.5 * std::acos(cos2t));
}

// One line of a cross-section curve: Q and X, or a comment or nothing.
Status curve_line(const std::string& path, int number, const std::string& line, StandardRun& s) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') return ok_status();
    const char* p = line.c_str() + first;
    char* end = nullptr;
    const double q = std::strtod(p, &end);
    bool two = end != p;
    double x = 0.0;
    if (two) {
        p = end;
        x = std::strtod(p, &end);
        two = end != p;
    }
    const auto bad = [&](const char* why) {
        Status st = refuse(format("%s:%d: %s", path.c_str(), number, why));
        st.line = number;
        return st;
    };
    if (!two || !std::isfinite(q) || !std::isfinite(x)) return bad("not a Q and a cross-section");
    if (!s.curve_q.empty() && !(q > s.curve_q.back())) return bad("Q is not above the previous line's");
    if (!(x > 0) || !(q >= 0)) return bad("a Q of 0 or more and a cross-section above 0 are needed");
    s.curve_q.push_back(q), s.curve_x.push_back(x);
    return ok_status();
}

}  // namespace

Status standard_scale(const StandardRun& s, const BeamImage& image, const BeamImage& dark, const BeamCentre& c,
                      const FlatField& flat, AbsoluteScale& out) {
    out = AbsoluteScale{};
    Efficiencies e;
    Status st = check_standard(s, flat);
    if (st.ok()) st = efficiencies(flat, c.x, c.y, e);
    if (!st.ok()) return st;
    const double fd = dark.counts.empty() ? 0.0 : image.time / dark.time;
    double sum = 0.0, var = 0.0;
    int n = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        if (!e.known[k]) continue;
        double jac = 1.0, slab = 1.0, q = 0.0;
        pixel_factors(flat.p, c, s.transmission, k, jac, slab, q);
        const double x = cross_section_at(s, q);
        if (!(x > 0)) continue;
        const double d = dark.counts.empty() ? 0.0 : dark.counts[k];
        sum += (image.counts[k] * jac / e.value[k] - fd * d) / (slab * x);
        var += (image.counts[k] * jac * jac / (e.value[k] * e.value[k]) + fd * fd * d) / (slab * slab * x * x);
        ++n;
    }
    if (n == 0)
        return refuse("the flat field and mask leave no pixel to measure the standard on (within its curve's Q)");
    const double factor = 1000.0 / (s.transmission * image.monitor * s.thickness * n);
    out.value = factor * sum;
    const double rel_xs = s.curve_q.size() < 2 ? s.cross_section_sigma / s.cross_section : s.cross_section_sigma;
    out.sigma = std::sqrt(factor * factor * var + out.value * out.value * rel_xs * rel_xs);
    out.around = n;
    if (!(out.value > 0) || !std::isfinite(out.value) || !std::isfinite(out.sigma))
        return refuse(format("%s: the absolute scale factor works out as %g, not a positive number: does the "
                             "standard count anything above the dark current?",
                             image.name.c_str(), out.value));
    return ok_status();
}

Status read_cross_section_curve(const std::string& path, StandardRun& s) {
    s.curve_q.clear(), s.curve_x.clear();
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return refuse(path + ": cannot be read: " + std::strerror(errno));
    std::string line;
    int number = 0;
    Status st;
    for (int c = 0; st.ok() && c != EOF;) {
        line.clear();
        while ((c = std::fgetc(f)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty()) break;
        ++number;
        st = curve_line(path, number, line, s);
    }
    std::fclose(f);
    if (st.ok() && s.curve_q.size() < 2) st = refuse(path + ": a cross-section curve needs two points at least");
    return st;
}

}  // namespace pk
