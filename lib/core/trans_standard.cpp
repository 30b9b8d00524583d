// The absolute scale factor from a secondary standard of known
// cross-section (StandardRun in pelkaro/trans.h): the standard reduced as
// Pelkaro reduces a sample without buffer, over the pixels the mask uses
// and the flat field gives, freed of its own slab attenuation.
#include <cmath>
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
    if (!(s.cross_section > 0) || !std::isfinite(s.cross_section) || !(s.cross_section_sigma >= 0))
        return refuse(format("the standard's cross-section %g cm^-1 is not above 0", s.cross_section));
    return ok_status();
}

// The pixel's solid-angle factor as Pelkaro applies it (1/cos^3 2theta
// with the SENS flag 1), and its own slab attenuation.
void pixel_factors(const Param& p, const BeamCentre& c, double transmission, std::size_t k, double& jac,
                   double& slab) {
    const double dx = (static_cast<double>(k % kDetSide) + 0.5 - c.x) * static_cast<double>(p.px);
    const double dy = (static_cast<double>(k / kDetSide) + 0.5 - c.y) * static_cast<double>(p.py);
    const double L = p.sam2det, cos2t = L / std::sqrt(L * L + dx * dx + dy * dy);
    jac = p.jacobian == 1 ? 1.0 / (cos2t * cos2t * cos2t) : 1.0;
    slab = slab_attenuation(transmission, cos2t);
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
        double jac = 1.0, slab = 1.0;
        pixel_factors(flat.p, c, s.transmission, k, jac, slab);
        const double d = dark.counts.empty() ? 0.0 : dark.counts[k];
        sum += (image.counts[k] * jac / e.value[k] - fd * d) / slab;
        var += (image.counts[k] * jac * jac / (e.value[k] * e.value[k]) + fd * fd * d) / (slab * slab);
        ++n;
    }
    if (n == 0) return refuse("the flat field and mask leave no pixel to measure the standard on");
    const double factor = 1000.0 / (s.transmission * image.monitor * s.thickness * s.cross_section * n);
    out.value = factor * sum;
    const double rel_xs = s.cross_section_sigma / s.cross_section;
    out.sigma = std::sqrt(factor * factor * var + out.value * out.value * rel_xs * rel_xs);
    out.around = n;
    if (!(out.value > 0) || !std::isfinite(out.value) || !std::isfinite(out.sigma))
        return refuse(format("%s: the absolute scale factor works out as %g, not a positive number: does the "
                             "standard count anything above the dark current?",
                             image.name.c_str(), out.value));
    return ok_status();
}

}  // namespace pk
