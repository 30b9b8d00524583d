// The resolution of a pinhole instrument by deterministic quadrature (see
// nxcansas_kernel.h).
//
// Directions are tangents of the scattering angle, t = (distance on the
// detector) / SDD.  A neutron counted in a pixel landed somewhere in the
// pixel (uniformly), came from a point of the source aperture (radius R1,
// L1 before the sample) through a point of the sample aperture (radius R2),
// both uniform, and its wavelength follows the triangular distribution of
// FWHM s lambda0.  Its true direction of flight after the sample differs
// from the one its landing point gives by the offset
//   a (1/L1 + 1/L2) - b / L1
// (a the point in the sample aperture, b the one in the source aperture),
// and with gravity by the fall: a neutron of wavelength lambda falls
// G(lambda) = g m^2 lambda^2 / (2 h^2) per unit length squared, which bends
// its apparent direction by G(lambda) (L1 + L2) against the direct beam's
// centre, where the neutrons fall by the mean of G.  The sum of the two
// disc offsets is isotropic; the fall, along one detector axis, enters
// through its spread about the centre, averaged over the azimuth (the same
// to second order for a full circle or a pair of opposite sectors).  With an
// isotropic offset the distribution of |t + offset| depends on |t| alone, so
// each curve point's kernel follows from the radial distribution of the
// detector area it averages: that distribution, blurred by the offsets,
// gives the true angle; Q = (4 pi / lambda) sin(atan(t) / 2) then spreads it
// with the wavelength.
#include "nxcansas_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ave_fast.h"
#include "geometry.h"
#include "nxcansas_q.h"

namespace pk {

namespace {

constexpr double kPi = 3.141592653589793;
// g m_n^2 / (2 h^2) in 1/m^3: the fall per metre squared of flight is this
// times lambda^2 (lambda in metres).
constexpr double kFall = 9.80665 * 1.67492750e-27 * 1.67492750e-27 / (2 * 6.62607015e-34 * 6.62607015e-34);
constexpr int kLambdaNodes = 16;  // of the wavelength distribution in a kernel
constexpr int kDiscRadii = 8;     // equal-area rings of an aperture
constexpr int kDiscAngles = 16;
constexpr int kFallNodes = 6;     // wavelengths of the fall
constexpr int kFallTurns = 4;     // azimuths of the fall
constexpr int kOffsetNodes = 12;  // |offset| nodes of the combined divergence
constexpr int kTurns = 6;         // azimuths of the offset about a point, over half a turn
constexpr int kPixelSamples = 3;  // per side of a pixel
constexpr int kFinePerBin = 6;    // radial cells per bin width
constexpr int kKernelNodes = 64;  // of each point's kernel

// Triangular distribution of relative wavelength offsets of FWHM s: n
// midpoint nodes and their weights (one node for no spread), the nodes
// stretched about 0 to the distribution's variance s^2 / 6 (the midpoints
// alone have 1 + 2 / n^2 times it: 0.8 % more at 16 nodes).
void triangle(double s, int n, std::vector<double>& delta, std::vector<double>& weight) {
    delta.clear(), weight.clear();
    if (!(s > 0)) {
        delta.push_back(0), weight.push_back(1);
        return;
    }
    double sum = 0, var = 0;
    for (int i = 0; i < n; ++i) {
        const double d = -s + (i + 0.5) * 2 * s / n;
        delta.push_back(d);
        weight.push_back(1 - std::fabs(d) / s);
        sum += weight.back(), var += weight.back() * d * d;
    }
    const double stretch = std::sqrt(s * s / 6 / (var / sum));
    for (std::size_t i = 0; i < delta.size(); ++i) weight[i] /= sum, delta[i] *= stretch;
}

// Radii of n equal-area rings of a disc of radius r.
std::vector<double> rings(double r, int n) {
    std::vector<double> out;
    for (int i = 0; i < n; ++i) out.push_back(r * std::sqrt((i + 0.5) / n));
    return out;
}

// The fall's offsets about the direct beam's centre: ring radii with their
// weights, for wavelength offsets drawn from the triangle.
void fall_rings(double s, double per_lambda2, std::vector<double>& radius, std::vector<double>& weight) {
    std::vector<double> delta, w;
    triangle(s, kFallNodes, delta, w);
    double mean = 0;
    for (std::size_t i = 0; i < delta.size(); ++i) mean += w[i] * (1 + delta[i]) * (1 + delta[i]);
    radius.clear(), weight = w;
    for (double d : delta) radius.push_back(std::fabs(per_lambda2 * ((1 + d) * (1 + d) - mean)));
}

// |a + b + c| over the nodes of the sample aperture's disc (a), the source
// aperture's (b) and the fall's rings (c), gathered into kOffsetNodes
// nodes that keep each cell's mean square.
void offset_nodes(double ra, double rb, const std::vector<double>& fall, const std::vector<double>& fall_w,
                  Spreads& out) {
    const std::vector<double> a = rings(ra, kDiscRadii), b = rings(rb, kDiscRadii);
    const double top = ra + rb + *std::max_element(fall.begin(), fall.end());
    std::vector<double> w(kOffsetNodes, 0.0), e2(kOffsetNodes, 0.0);
    const int fall_turns = top > ra + rb ? kFallTurns : 1;
    const double unit = 1.0 / (kDiscRadii * kDiscRadii * kDiscAngles * fall_turns);
    std::vector<double> bc, bs, fc, fs;
    for (int j = 0; j < kDiscAngles; ++j)
        bc.push_back(std::cos(2 * kPi * (j + 0.5) / kDiscAngles)), bs.push_back(std::sin(2 * kPi * (j + 0.5) / kDiscAngles));
    for (int t = 0; t < fall_turns; ++t)
        fc.push_back(std::cos(2 * kPi * (t + 0.25) / fall_turns)), fs.push_back(std::sin(2 * kPi * (t + 0.25) / fall_turns));
    for (double x : a)
        for (double rb_i : b)
            for (int j = 0; j < kDiscAngles; ++j) {
                const double bx = x + rb_i * bc[static_cast<std::size_t>(j)], by = rb_i * bs[static_cast<std::size_t>(j)];
                for (std::size_t f = 0; f < fall.size(); ++f)
                    for (std::size_t t = 0; t < fc.size(); ++t) {
                        const double cx = bx + fall[f] * fc[t], cy = by + fall[f] * fs[t];
                        const double r2 = cx * cx + cy * cy;
                        const int cell = top > 0 ? std::min(kOffsetNodes - 1, static_cast<int>(std::sqrt(r2) / top * kOffsetNodes)) : 0;
                        w[static_cast<std::size_t>(cell)] += unit * fall_w[f];
                        e2[static_cast<std::size_t>(cell)] += unit * fall_w[f] * r2;
                    }
            }
    out.offset.clear(), out.offset_weight.clear(), out.var_beam = 0;
    for (int i = 0; i < kOffsetNodes; ++i) {
        if (!(w[static_cast<std::size_t>(i)] > 0)) continue;
        out.offset.push_back(std::sqrt(e2[static_cast<std::size_t>(i)] / w[static_cast<std::size_t>(i)]));
        out.offset_weight.push_back(w[static_cast<std::size_t>(i)]);
        out.var_beam += 0.5 * e2[static_cast<std::size_t>(i)];
    }
}

// The mean of (1 + delta)^-1 and (1 + delta)^-2 over the triangle of FWHM s:
// [(1 + s) ln(1 + s) + (1 - s) ln(1 - s)] / s^2 and -ln(1 - s^2) / s^2, by
// their series where s is small.
void inverse_moments(double s, double& m1, double& m2) {
    const double s2 = s * s;
    if (s < 1e-2) {
        m1 = 1 + s2 / 6 + s2 * s2 / 15;
        m2 = 1 + s2 / 2 + s2 * s2 / 3;
        return;
    }
    m1 = ((1 + s) * std::log1p(s) + (1 - s) * std::log1p(-s)) / s2;
    m2 = -std::log1p(-s2) / s2;
}

}  // namespace

bool instrument_spreads(const Param& p, const ResolutionOptions& opt, Spreads& out) {
    out = Spreads{};
    const double s = p.dwavelen, l1 = p.src2sam, l2 = p.sam2det;
    if (!resolution_known(p) || !(s >= 0 && s < 0.5)) return false;
    if (opt.gravity && !(opt.metres_per_unit > 0 && std::isfinite(opt.metres_per_unit))) return false;
    out.l2 = l2;
    out.k0 = 2 * kPi / static_cast<double>(p.wavelen);
    std::vector<double> delta, w;
    triangle(s, kLambdaNodes, delta, w);
    for (std::size_t i = 0; i < delta.size(); ++i) out.ratio.push_back(1 / (1 + delta[i]));
    out.ratio_weight = w;
    inverse_moments(s, out.inv_lambda, out.inv_lambda2);
    // The fall's bend per (lambda / lambda0)^2, as a tangent.
    const double lambda_m = static_cast<double>(p.wavelen) * 1e-10;
    const double bend = opt.gravity ? kFall * lambda_m * lambda_m * (l1 + l2) * opt.metres_per_unit : 0.0;
    std::vector<double> fall{0.0}, fall_w{1.0};
    if (bend > 0 && s > 0) fall_rings(s, bend, fall, fall_w);
    const double ra = static_cast<double>(p.samapp) * (1 / l1 + 1 / l2), rb = static_cast<double>(p.srcapp) / l1;
    offset_nodes(ra, rb, fall, fall_w, out);
    return std::isfinite(out.var_beam) && std::isfinite(out.k0);
}

namespace {

// Cells first .. first + w.size() - 1 of a fine radial grid of tangents,
// each holding the weight at its node (cell * step).
struct Window {
    int first = 0;
    std::vector<double> w;
    // The variance, in cells squared times weight, that sharing weights
    // between nodes has added (see deposit).
    double widened = 0;
};

Window window(int first, int size) { return Window{first, std::vector<double>(static_cast<std::size_t>(size), 0.0), 0.0}; }

// Adds `weight` at u cells, shared between the two nodes about it so that
// the mean is kept.  The sharing widens the distribution by f (1 - f) cells
// squared (f the fraction of a cell past the lower node; a sixth of a cell
// squared on average, a few tenths of a percent of a kernel's width at the
// shortest distances): it is added up, and taken out at the end.
void deposit(Window& win, double u, double weight) {
    // u is not negative: its whole cells are its integer part.
    const long whole = static_cast<long>(u);
    const long i = whole - win.first;
    if (i >= 0 && i + 1 < static_cast<long>(win.w.size())) {
        const double frac = u - static_cast<double>(whole);
        win.w[static_cast<std::size_t>(i)] += weight * (1 - frac);
        win.w[static_cast<std::size_t>(i + 1)] += weight * frac;
        win.widened += weight * frac * (1 - frac);
        return;
    }
    // Beyond the window (it is made wide enough that nothing should go there).
    win.w[static_cast<std::size_t>(std::clamp(i, 0L, static_cast<long>(win.w.size()) - 1))] += weight;
}

// The geometry the detector area is measured in.
struct Frame {
    double px, py, bx, by, l2, step;  // step: of the fine grid, a tangent
};

// The tangents of kPixelSamples^2 points spread evenly over pixel k, in
// cells of the fine grid: their spacing stretched so that along each side
// they have the variance of the uniform pixel, 1/12 of its width squared.
void pixel_samples(const Frame& f, int k, std::vector<double>& u) {
    u.clear();
    constexpr double n = kPixelSamples;
    const double stretch = std::sqrt(n * n / (n * n - 1));
    const double x = k % kDetSide + 0.5 - f.bx, y = k / kDetSide + 0.5 - f.by;
    for (int i = 0; i < kPixelSamples; ++i)
        for (int j = 0; j < kPixelSamples; ++j) {
            const double dx = (x + ((i + 0.5) / n - 0.5) * stretch) * f.px;
            const double dy = (y + ((j + 0.5) / n - 0.5) * stretch) * f.py;
            u.push_back(std::sqrt(dx * dx + dy * dy) / f.l2 / f.step);
        }
}

// The squared distance terms of every sub-pixel column and row, formed as
// the average forms them (its sub-pixel's offsets dx, dy; dx dx px px), and
// the least radius (a float) of each bin as the average finds it, bin b
// holding the radii r with b <= tot r / max < b + 1.
struct SubPixelTerms {
    std::vector<double> dx, dy, col, row;
    std::vector<float> edge;  // tot + 1 of them
    SubPixelTerms(const Param& p, const RadialBins& rb) {
        for (int i = 0; i < kDetSide * ave::kSub; ++i) {
            const int pixel = i / ave::kSub, m = i % ave::kSub;
            dx.push_back(pk::to_float(pixel + (m + 0.5) * 0.1) - static_cast<double>(p.bx));
            dy.push_back(pk::to_float(pixel + (m + 0.5) * 0.1) - static_cast<double>(p.by));
            col.push_back(dx.back() * dx.back() * p.px * p.px);
            row.push_back(dy.back() * dy.back() * p.py * p.py);
        }
        const auto in_or_above = [&](float r, int b) { return rb.tot * static_cast<double>(r) / rb.max >= b; };
        for (int b = 0; b <= rb.tot; ++b) {
            float r = pk::to_float(static_cast<double>(rb.max) * b / rb.tot);
            while (r > 0 && in_or_above(std::nextafter(r, 0.0f), b)) r = std::nextafter(r, 0.0f);
            while (!in_or_above(r, b)) r = std::nextafter(r, HUGE_VALF);
            edge.push_back(r);
        }
        per_radius = rb.tot / static_cast<double>(rb.max);
    }
    double per_radius = 0;  // bins per unit radius, for a first guess
    // The bin of a sub-pixel at radius r; -1 beyond the last.
    int bin_of(float r) const {
        const int last = static_cast<int>(edge.size()) - 1;
        if (!(r < edge[static_cast<std::size_t>(last)])) return -1;
        int b = std::clamp(static_cast<int>(static_cast<double>(r) * per_radius), 0, last - 1);
        while (b > 0 && r < edge[static_cast<std::size_t>(b)]) --b;
        while (!(r < edge[static_cast<std::size_t>(b + 1)])) ++b;
        return b;
    }
};

// The number of pixel k's sub-pixels in each bin, as the average counts
// them (in the sector, by the radius the average computes).
struct Membership {
    int bin[ave::kSub * ave::kSub];
    int count[ave::kSub * ave::kSub];
    int n = 0;
    void add(int b, int c) {
        int at = 0;
        while (at < n && bin[at] != b) ++at;
        if (at == n) bin[n] = b, count[n++] = 0;
        count[at] += c;
    }
};
void sub_pixels_of(const Param& p, const SubPixelTerms& t, int k, bool whole_circle, Membership& out) {
    out.n = 0;
    const std::size_t x0 = static_cast<std::size_t>(k % kDetSide * ave::kSub);
    const std::size_t y0 = static_cast<std::size_t>(k / kDetSide * ave::kSub);
    const std::size_t x9 = x0 + ave::kSub - 1, y9 = y0 + ave::kSub - 1;
    const auto radius = [&](std::size_t m, std::size_t n) { return pk::to_float(std::sqrt(t.col[m] + t.row[n])); };
    const auto one = [&](std::size_t m, std::size_t n) {
        const int b = t.bin_of(radius(m, n));
        if (b < 0) return;
        if (!whole_circle) {
            const float az = ave::azimuth(pk::to_float(t.dx[m]), pk::to_float(t.dy[n]));
            if (!(p.thmin <= az && az <= p.thmax)) return;
        }
        out.add(b, 1);
    };
    // Over the whole circle a line of sub-pixels on one side of the beam
    // centre has its radii in order: with both ends in one bin, all are.
    // The lines run across the direction to the beam centre, where the
    // radius changes least.
    const auto same_side = [](double a, double b) { return a != 0 && b != 0 && (a > 0) == (b > 0); };
    const bool along_y = t.col[x0] + t.col[x9] >= t.row[y0] + t.row[y9];
    const bool ordered = whole_circle && (along_y ? same_side(t.dy[y0], t.dy[y9]) : same_side(t.dx[x0], t.dx[x9]));
    for (std::size_t l = 0; l < static_cast<std::size_t>(ave::kSub); ++l) {
        const std::size_t m0 = along_y ? x0 + l : x0, n0 = along_y ? y0 : y0 + l;
        if (ordered) {
            // Radii in order along the line: one bin, or two met at one place.
            const auto bin_at = [&](std::size_t i) { return t.bin_of(along_y ? radius(m0, n0 + i) : radius(m0 + i, n0)); };
            const int a = bin_at(0), b = bin_at(ave::kSub - 1);
            if (a >= 0 && a == b) {
                out.add(a, ave::kSub);
                continue;
            }
            if (a >= 0 && b >= 0 && (a - b == 1 || b - a == 1)) {
                std::size_t lo = 0, hi = ave::kSub - 1;  // bin a at lo, bin b at hi
                while (hi - lo > 1) {
                    const std::size_t mid = (lo + hi) / 2;
                    (bin_at(mid) == a ? lo : hi) = mid;
                }
                out.add(a, static_cast<int>(hi)), out.add(b, ave::kSub - static_cast<int>(hi));
                continue;
            }
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(ave::kSub); ++i)
            along_y ? one(m0, n0 + i) : one(m0 + i, n0);
    }
}

// The radial distribution of the detector area each wanted bin averages:
// every pixel in use with its whole area, weighted by the number of its
// sub-pixels in the bin.  slot[b] is the wanted bin's place, -1 for a bin
// not written.
std::vector<Window> bin_areas(const Param& p, const Frame& f, const RadialBins& rb, const Data2D& mask,
                              const std::vector<int>& slot, const std::vector<int>& bins) {
    std::vector<Window> area;
    const double half_diagonal = 0.5 * std::sqrt(f.px * f.px + f.py * f.py);
    const double cell = f.step * f.l2;  // a cell on the detector
    for (int b : bins) {
        const int first = static_cast<int>(std::floor((b * rb.width - half_diagonal) / cell)) - 2;
        area.push_back(window(first, static_cast<int>(std::ceil((rb.width + 2 * half_diagonal) / cell)) + 6));
    }
    const bool whole_circle = p.thmin <= 0 && p.thmax >= pk::to_float(ave::kTwoPi);
    // Over the whole circle a pixel and its mirror images about the beam
    // centre share their sub-pixels' bins: such a class is worked out once,
    // with the number of its pixels in use.
    std::vector<int> used(kDetPixels, 0);
    const PixelTerms mirror(p.px, p.py, p.bx, p.by);
    for (int k = 0; k < kDetPixels; ++k) {
        if (!pk::pixel_used(mask.intens[static_cast<std::size_t>(k)])) continue;
        const std::size_t x = static_cast<std::size_t>(k % kDetSide), y = static_cast<std::size_t>(k / kDetSide);
        ++used[whole_circle ? static_cast<std::size_t>(mirror.first_col[x] + kDetSide * mirror.first_row[y])
                            : static_cast<std::size_t>(k)];
    }
    const SubPixelTerms terms(p, rb);
    std::vector<double> u;
    Membership in;
    const double share = 0.01 / (kPixelSamples * kPixelSamples);
    for (int k = 0; k < kDetPixels; ++k) {
        const int pixels = used[static_cast<std::size_t>(k)];
        if (pixels == 0) continue;
        sub_pixels_of(p, terms, k, whole_circle, in);
        u.clear();
        for (int t = 0; t < in.n; ++t) {
            const int s = slot[static_cast<std::size_t>(in.bin[t])];
            if (s < 0) continue;
            if (u.empty()) pixel_samples(f, k, u);
            for (double v : u) deposit(area[static_cast<std::size_t>(s)], v, share * in.count[t] * pixels);
        }
    }
    return area;
}

// The true tangent's distribution: each node of `m` turned into the
// distribution of |t + offset| over the offset's isotropic nodes.
Window blurred(const Window& m, const Spreads& s, double step) {
    const double widest = s.offset.empty() ? 0 : *std::max_element(s.offset.begin(), s.offset.end());
    const int extra = static_cast<int>(std::ceil(widest / step)) + 2;
    Window out = window(m.first - extra, static_cast<int>(m.w.size()) + 2 * extra);
    out.widened = m.widened;
    std::vector<double> turn;
    for (int t = 0; t < kTurns; ++t) turn.push_back(std::cos(kPi * (t + 0.5) / kTurns));  // symmetric about 0
    for (std::size_t c = 0; c < m.w.size(); ++c) {
        if (m.w[c] == 0) continue;
        const double r = (m.first + static_cast<double>(c)) * step;
        for (std::size_t i = 0; i < s.offset.size(); ++i) {
            const double e = s.offset[i], w = m.w[c] * s.offset_weight[i];
            if (e == 0) {
                deposit(out, r / step, w);
                continue;
            }
            for (double ct : turn)
                deposit(out, std::sqrt(std::fmax(0.0, r * r + e * e + 2 * r * e * ct)) / step, w / kTurns);
        }
    }
    return out;
}

// Q of a true tangent t at lambda0.
double q_of_tangent(const Spreads& s, double t) { return 2 * s.k0 * std::sin(0.5 * std::atan(t)); }

// Q at a tangent t and its first two derivatives in t.
struct Slope {
    double g, d1, d2;
};
Slope slope_at(double k0, double t) {
    // With 2theta = atan(t): cos 2theta = 1 / sqrt(1 + t^2), and the half angle's
    // cosine and sine from it.
    const double c = 1 / std::sqrt(1 + t * t), sn = t * c, c2 = c * c;
    const double ch = std::sqrt(0.5 * (1 + c)), sh = sn / (2 * ch);
    return {2 * k0 * sh, k0 * ch * c2, k0 * c2 * (-0.5 * sh * c2 - 2 * ch * c * sn)};
}

// The kernel's nodes q, weights w drawn towards their mean until their
// variance is `var`.
void narrow_to(std::vector<double>& q, const std::vector<double>& w, double var) {
    double s0 = 0, s1 = 0, s2 = 0;
    for (std::size_t j = 0; j < q.size(); ++j) s0 += w[j], s1 += w[j] * q[j], s2 += w[j] * q[j] * q[j];
    const double mean = s1 / s0, now = s2 / s0 - mean * mean;
    if (!(now > var && var > 0)) return;
    const double f = std::sqrt(var / now);
    for (double& v : q) v = mean + (v - mean) * f;
}

// One point's kernel on kKernelNodes even nodes (then drawn together, see
// below) from the true tangents' distribution `a`, spread by the
// wavelength; its mean and standard deviation from the same distribution,
// less the widening the fine grid's nodes added, which the kernel's nodes
// are drawn together to take out too.
void point_kernel(const Window& a, const Spreads& s, double step, CurveQ& out) {
    double sum = 0, s1 = 0, s2 = 0, st = 0;
    std::vector<double> q(a.w.size(), -1.0);
    for (std::size_t c = 0; c < a.w.size(); ++c) {
        if (a.w[c] == 0) continue;
        const double t = std::fmax(0.0, (a.first + static_cast<double>(c)) * step);
        q[c] = q_of_tangent(s, t);
        sum += a.w[c], s1 += a.w[c] * q[c], s2 += a.w[c] * q[c] * q[c], st += a.w[c] * t;
    }
    const double mean = s.inv_lambda * s1 / sum, slope = slope_at(s.k0, st / sum).d1;
    const double widened = s.inv_lambda2 * slope * slope * a.widened / sum * step * step;
    const double var = std::fmax(0.0, s.inv_lambda2 * s2 / sum - mean * mean - widened);
    out.q.push_back(mean);
    out.qdev.push_back(std::sqrt(var));
    double lo = -1, hi = -1;
    for (double v : q)
        if (v >= 0) hi = v, lo = lo < 0 ? v : lo;
    const auto span = std::minmax_element(s.ratio.begin(), s.ratio.end());
    const double q_lo = lo * *span.first, q_hi = hi * *span.second;
    const double spacing = (q_hi - q_lo) / (kKernelNodes - 1);
    Window k = window(0, kKernelNodes);
    for (std::size_t c = 0; c < a.w.size(); ++c) {
        if (q[c] < 0) continue;
        for (std::size_t j = 0; j < s.ratio.size(); ++j)
            deposit(k, spacing > 0 ? std::fmax(0.0, q[c] * s.ratio[j] - q_lo) / spacing : 0.0,
                    a.w[c] * s.ratio_weight[j] / sum);
    }
    std::vector<double> nodes;
    for (int i = 0; i < kKernelNodes; ++i) nodes.push_back(q_lo + i * spacing);
    narrow_to(nodes, k.w, var);
    out.kernel_q.insert(out.kernel_q.end(), nodes.begin(), nodes.end());
    out.kernel_weight.insert(out.kernel_weight.end(), k.w.begin(), k.w.end());
}

}  // namespace

bool curve_kernels(const Param& p, const Data2D& mask, const Spreads& s, const std::vector<int>& bins,
                   CurveQ& out) {
    RadialBins rb;
    if (!radial_bins(p, rb)) return false;
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels)) return false;
    std::vector<int> slot(static_cast<std::size_t>(rb.tot), -1);
    for (std::size_t i = 0; i < bins.size(); ++i) {
        if (bins[i] < 0 || bins[i] >= rb.tot) return false;
        slot[static_cast<std::size_t>(bins[i])] = static_cast<int>(i);
    }
    const Frame f{p.px, p.py, p.bx, p.by, s.l2, static_cast<double>(rb.width) / kFinePerBin / s.l2};
    const std::vector<Window> area = bin_areas(p, f, rb, mask, slot, bins);
    out.q.clear(), out.qdev.clear(), out.kernel_q.clear(), out.kernel_weight.clear();
    for (const Window& m : area) point_kernel(blurred(m, s, f.step), s, f.step, out);
    out.kernel_nodes = kKernelNodes;
    return true;
}

void pixel_means(const Param& p, const Spreads* s, std::vector<double>& qx, std::vector<double>& qy,
                 std::vector<double>& along, std::vector<double>& across) {
    for (std::vector<double>* v : {&qx, &qy, &along, &across}) v->assign(kDetPixels, 0.0);
    const double l2 = p.sam2det, px = p.px / l2, py = p.py / l2;
    const double k0 = 2 * kPi / static_cast<double>(p.wavelen);
    const double beam = s ? s->var_beam : 0, m1 = s ? s->inv_lambda : 1, m2 = s ? s->inv_lambda2 : 1;
    for (int k = 0; k < kDetPixels; ++k) {
        const double dx = (k % kDetSide + 0.5 - static_cast<double>(p.bx)) * px;
        const double dy = (k / kDetSide + 0.5 - static_cast<double>(p.by)) * py;
        const double t = std::sqrt(dx * dx + dy * dy);
        const std::size_t i = static_cast<std::size_t>(k);
        if (!(t > 0)) {
            along[i] = across[i] = std::sqrt(m2 * k0 * k0 * (beam + (px * px + py * py) / 24));
            continue;
        }
        const double c = dx / t, sn = dy / t;
        // The spreads of the true tangent along and across the pixel's direction.
        const double par = beam + (px * px * c * c + py * py * sn * sn) / 12;
        const double perp = beam + (px * px * sn * sn + py * py * c * c) / 12;
        const double cov = (px * px - py * py) * c * sn / 12;
        const Slope g = slope_at(k0, t);
        // The mean vector: across Q the blur lengthens |Q| (by g' perp / 2t)
        // but turns the vector, which keeps only (g' - g/t) perp / 2t of it.
        const double mean_par = m1 * (g.g + (g.d1 - g.g / t) * perp / (2 * t) + 0.5 * g.d2 * par);
        const double mean_perp = m1 * cov * (g.d1 / t - g.g / (t * t));
        qx[i] = mean_par * c - mean_perp * sn;
        qy[i] = mean_par * sn + mean_perp * c;
        along[i] = std::sqrt(m2 * g.d1 * g.d1 * par + g.g * g.g * (m2 - m1 * m1));
        across[i] = std::sqrt(m2 * g.g * g.g / (t * t) * perp);
    }
}

}  // namespace pk
