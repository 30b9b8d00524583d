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
#include <cmath>
#include <cstddef>
#include <vector>

#include "geometry.h"
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

bool curve_q(const Param& p, const Data1D& rot, const BinSums& sums, const Data2D& mask,
             const ResolutionOptions& opt, CurveQ& out) {
    out = CurveQ{};
    RadialBins b;
    if (!radial_bins(p, b) || b.tot != rot.num || rot.area.size() < static_cast<std::size_t>(b.tot)) return false;
    for (const std::vector<double>* v : {&sums.n, &sums.q, &sums.w2, &sums.w2var, &sums.next_cov})
        if (v->size() != static_cast<std::size_t>(b.tot)) return false;
    out.bin_width = b.width;
    const bool known = resolution_known(p);
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
    Spreads s;
    if (instrument_spreads(p, opt, s) && curve_kernels(p, mask, s, out.bins, out)) return true;
    // Without the instrument's spreads (or a plan of the average): the bin's
    // centre and the Gaussian width there.
    out.kernel_nodes = 0;
    out.kernel_q.clear(), out.kernel_weight.clear();
    out.q = out.qcentre;
    out.qdev.clear();
    for (double q : out.q) out.qdev.push_back(known ? bin_resolution(p, q, b.width) : std::nan(""));
    return true;
}

void pixel_q(const Param& p, const ResolutionOptions& opt, std::vector<double>& qx, std::vector<double>& qy,
             std::vector<double>& along, std::vector<double>& across) {
    Spreads s;
    const bool known = instrument_spreads(p, opt, s);
    pixel_means(p, known ? &s : nullptr, qx, qy, along, across);
    if (!known) along.clear(), across.clear();
}

}  // namespace pk
