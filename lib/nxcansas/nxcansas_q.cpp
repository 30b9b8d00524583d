// The Q values of an NXcanSAS file that the text outputs do not carry: the
// centre Q of each bin, the mean Q of the detector area that fell into it
// and the uncertainty of its value as averaged (from the average's own sums,
// taken in its pass), Qx and Qy of every pixel centre, and the Q resolution
// of a bin and of a pixel.
//
// The resolution is that of a pinhole instrument (Mildner & Carpenter,
// J. Appl. Cryst. 17 (1984) 249), as the one-sigma width of a Gaussian:
// with k = 2 pi / lambda, R1 and R2 the source and sample aperture radii,
// L1 the source-to-sample and L2 the sample-to-detector distance, each
// transverse component of Q spreads by
//   k^2 [R1^2 / (4 L1^2) + R2^2 (L1 + L2)^2 / (4 L1^2 L2^2)]
// (the beam's divergence: a uniform disc of radius R has variance R^2 / 4
// along any axis), plus the detector's share: a uniform width a adds
// k^2 a^2 / (12 L2^2) along its direction.  The wavelength spread s, the
// FWHM of a triangular distribution relative to lambda (variance s^2 / 6),
// adds Q^2 s^2 / 6 along Q only.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "geometry.h"
#include "pelkaro/attenuation.h"
#include "pelkaro/nxcansas.h"
#include "nxcansas_kernel.h"
#include "nxcansas_q.h"

namespace pk {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPi = 12.566370614359172;

// Q at a distance r from the beam centre on the detector.
double q_at(const Param& p, double r) {
    return kFourPi / static_cast<double>(p.wavelen) * std::sin(0.5 * std::atan(r / static_cast<double>(p.sam2det)));
}

// The terms of the resolution common to every direction and to bins and
// pixels: k^2, the divergence term and 1 / L2^2.
struct Instrument {
    double k2 = 0, divergence = 0, inv_l2sq = 0, spread2 = 0;
    explicit Instrument(const Param& p) {
        const double k = kTwoPi / static_cast<double>(p.wavelen);
        const double l1 = p.src2sam, l2 = p.sam2det, r1 = p.srcapp, r2 = p.samapp, s = p.dwavelen;
        k2 = k * k;
        divergence = r1 * r1 / (4 * l1 * l1) + r2 * r2 * (l1 + l2) * (l1 + l2) / (4 * l1 * l1 * l2 * l2);
        inv_l2sq = 1 / (l2 * l2);
        spread2 = s * s / 6;
    }
    // Variance along Q at q with a detector width of variance `width2`
    // (length squared) along Q, and across Q with `across2`.
    double along(double q, double width2) const { return k2 * (divergence + width2 * inv_l2sq) + q * q * spread2; }
    double across(double across2) const { return k2 * (divergence + across2 * inv_l2sq); }
};

}  // namespace

bool radial_bins(const Param& p, RadialBins& b) {
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    b.width = pk::to_float(p.px > p.py ? static_cast<double>(p.bin_width) * py : static_cast<double>(p.bin_width) * px);
    const double X = p.bx > 95.0f ? bx + 0.5 : 191.5 - bx;
    const double Y = p.by > 95.0f ? by + 0.5 : 191.5 - by;
    b.max = pk::radius(X, Y, px, py);
    const double quotient = static_cast<double>(b.max) / b.width;
    if (!(quotient >= 0 && quotient < kCurveValues)) return false;
    b.tot = static_cast<int>(quotient) + 1;
    b.width = pk::to_float(static_cast<double>(b.max) / b.tot);
    return true;
}

bool resolution_known(const Param& p) {
    const double values[] = {p.wavelen, p.dwavelen, p.src2sam, p.sam2det, p.srcapp, p.samapp, p.px, p.py};
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return p.wavelen > 0 && p.src2sam > 0 && p.sam2det > 0 && p.srcapp >= 0 && p.samapp >= 0;
}

double bin_resolution(const Param& p, double q, double bin_width) {
    const double px = p.px, py = p.py, w = bin_width;
    return std::sqrt(Instrument(p).along(q, (px * px + py * py) / 24 + w * w / 12));
}

bool resolution_options(const NxOptions& opt, ResolutionOptions& out) {
    out.gravity = opt.gravity;
    if (opt.length_unit == "mm") out.metres_per_unit = 1e-3;
    else if (opt.length_unit == "cm") out.metres_per_unit = 1e-2;
    else if (opt.length_unit == "m") out.metres_per_unit = 1;
    else return false;
    return true;
}

namespace {

// The Param fields the file's fixed values depend on, bit for bit.
std::vector<float> fixed_key(const Param& p) {
    return {p.px, p.py, p.bx, p.by, p.sam2det, p.src2sam, p.srcapp, p.samapp, p.wavelen, p.dwavelen,
            p.bin_width, p.thmin, p.thmax};
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

bool same_options(const ResolutionOptions& a, const ResolutionOptions& b) {
    return a.gravity == b.gravity && std::memcmp(&a.metres_per_unit, &b.metres_per_unit, sizeof(double)) == 0;
}

// Does `fixed` hold values made for this configuration?
bool fixed_for(const NxFixed& fixed, const std::vector<float>& key, const ResolutionOptions& opt) {
    return same_bits(fixed.geometry, key) && same_options(fixed.opt, opt);
}

// The curve's Q, Qdev and kernels, which depend on the configuration alone.
void curve_resolution(const Param& p, const Data2D& mask, const ResolutionOptions& opt, const RadialBins& b,
                      CurveQ& out) {
    Spreads s;
    if (instrument_spreads(p, opt, s) && curve_kernels(p, mask, s, out.bins, out)) return;
    // Without the instrument's spreads (or a plan of the average): the bin's
    // centre and the Gaussian width there.
    const bool known = resolution_known(p);
    out.kernel_nodes = 0;
    out.kernel_q.clear(), out.kernel_weight.clear();
    out.q = out.qcentre;
    out.qdev.clear();
    for (double q : out.q) out.qdev.push_back(known ? bin_resolution(p, q, b.width) : std::nan(""));
}

// curve_resolution, through `fixed`.
void curve_resolution(const Param& p, const Data2D& mask, const ResolutionOptions& opt, const RadialBins& b,
                      CurveQ& out, NxFixed& fixed) {
    const std::vector<float> key = fixed_key(p);
    const std::size_t n = std::min(mask.intens.size(), static_cast<std::size_t>(kDetPixels));
    const bool same = fixed.curve_made && fixed_for(fixed, key, opt) && fixed.bins == out.bins &&
                      fixed.mask.size() == n && std::equal(fixed.mask.begin(), fixed.mask.end(), mask.intens.begin(),
                                                           [](float a, float c) { return std::memcmp(&a, &c, 4) == 0; });
    if (!same) {
        // Marked unmade while it changes (an allocation may fail half way).
        const bool image_kept = fixed.image_made && fixed_for(fixed, key, opt);
        fixed.curve_made = fixed.image_made = false;
        curve_resolution(p, mask, opt, b, out);
        fixed.geometry = key, fixed.opt = opt, fixed.bins = out.bins;
        fixed.mask.assign(mask.intens.begin(), mask.intens.begin() + static_cast<std::ptrdiff_t>(n));
        fixed.q = out.q, fixed.qdev = out.qdev, fixed.kernel_nodes = out.kernel_nodes;
        fixed.kernel_q = out.kernel_q, fixed.kernel_weight = out.kernel_weight;
        fixed.curve_made = true, fixed.image_made = image_kept;
        return;
    }
    out.q = fixed.q, out.qdev = fixed.qdev, out.kernel_nodes = fixed.kernel_nodes;
    out.kernel_q = fixed.kernel_q, out.kernel_weight = fixed.kernel_weight;
}

}  // namespace

bool curve_q(const Param& p, const Data1D& rot, const BinSums& sums, const Data2D& mask,
             const ResolutionOptions& opt, CurveQ& out) {
    return curve_q(p, rot, sums, mask, opt, out, nullptr);
}

bool curve_q(const Param& p, const Data1D& rot, const BinSums& sums, const Data2D& mask,
             const ResolutionOptions& opt, CurveQ& out, NxFixed* fixed) {
    out = CurveQ{};
    RadialBins b;
    if (!radial_bins(p, b) || b.tot != rot.num || rot.area.size() < static_cast<std::size_t>(b.tot)) return false;
    for (const std::vector<double>* v : {&sums.n, &sums.q, &sums.w2, &sums.w2var, &sums.next_cov})
        if (v->size() != static_cast<std::size_t>(b.tot)) return false;
    out.bin_width = b.width;
    for (int i = 0; i < b.tot; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        // The curve writes exactly the bins that received area.
        if ((rot.area[k] != 0) != (sums.n[k] > 0)) return false;
        if (sums.n[k] == 0) continue;
        const float centre = pk::to_float((i + 0.5) * b.width);
        out.bins.push_back(i);
        out.qcentre.push_back(q_at(p, centre));
        out.qmean.push_back(sums.q[k] / sums.n[k]);
        // The pixels' sub-pixels move together: Var = sum w^2 sigma^2 / (sum w)^2.
        out.idev.push_back(std::sqrt(sums.w2var[k]) / sums.n[k]);
        const bool next = i + 1 < b.tot && sums.n[k + 1] > 0 && sums.w2var[k] > 0 && sums.w2var[k + 1] > 0;
        out.next_corr.push_back(next ? sums.next_cov[k] / std::sqrt(sums.w2var[k] * sums.w2var[k + 1]) : 0.0);
    }
    if (fixed) curve_resolution(p, mask, opt, b, out, *fixed);
    else curve_resolution(p, mask, opt, b, out);
    return true;
}

void pixel_q(const Param& p, const ResolutionOptions& opt, std::vector<double>& qx, std::vector<double>& qy,
             std::vector<double>& along, std::vector<double>& across) {
    Spreads s;
    const bool known = instrument_spreads(p, opt, s);
    pixel_means(p, known ? &s : nullptr, qx, qy, along, across);
    if (!known) along.clear(), across.clear();
}

const NxFixed& fixed_pixel_q(const Param& p, const ResolutionOptions& opt, NxFixed& fixed) {
    const std::vector<float> key = fixed_key(p);
    if (fixed.image_made && fixed_for(fixed, key, opt)) return fixed;
    const bool curve_kept = fixed.curve_made && fixed_for(fixed, key, opt);
    fixed.curve_made = fixed.image_made = fixed.factors_made = false;  // while it changes
    fixed.geometry = key, fixed.opt = opt;
    pixel_q(p, opt, fixed.qx, fixed.qy, fixed.along, fixed.across);
    fixed.qabs.clear();
    for (std::size_t k = 0; k < fixed.qx.size(); ++k)
        fixed.qabs.push_back(std::sqrt(fixed.qx[k] * fixed.qx[k] + fixed.qy[k] * fixed.qy[k]));
    fixed.image_made = true, fixed.curve_made = curve_kept;
    return fixed;
}

const std::vector<double>& fixed_attenuation(const Param& p, float transmission, NxFixed& fixed) {
    if (fixed.factors_made && std::memcmp(&fixed.factors_trans, &transmission, sizeof(float)) == 0) return fixed.factors;
    fixed.factors_made = false;
    fixed.factors = image_attenuation(p, transmission);
    fixed.factors_trans = transmission, fixed.factors_made = true;
    return fixed.factors;
}

}  // namespace pk
