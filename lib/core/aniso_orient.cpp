// The orientation of a pattern from its I(phi) (pelkaro/aniso.h).
//
// The main axis phi0 comes from a + b cos 2 phi + c sin 2 phi fitted to the
// bins by least squares; it is linear in the bins, (a, b, c) = M I.  The
// order parameters are ratios of sums over the bins, each bin's angular
// function averaged over its width.  Every result f is a smooth function
// of the bins, and each bin a mean of pixels, so its variance is
//   var f = sum_p sigma_p^2 (sum_b df/dI_b w_pb / n_b)^2
// with w_pb pixel p's sub-pixels in bin b and n_b all of bin b's: the
// pixels' own uncertainties, carried through every bin they share.  Both
// order parameters are stationary in phi0 at the axis of a pattern
// symmetric about it, so the uncertainty of phi0 does not enter theirs to
// first order (and where the axis is not defined, an isotropic pattern, its
// wide uncertainty would only blur theirs); with the fit's equal weights
// and every bin holding a value, phi0 is exactly where <cos 2(phi - phi0)>
// is largest.
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include "pelkaro/aniso.h"

namespace pk {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegree = kPi / 180.0;
constexpr int kSteps = 16;  // points per bin for the bin's mean of an angular function

struct Bins {
    std::vector<std::size_t> used;  // bins with a value
    std::vector<double> n;          // sub-pixels of every bin
};

Bins used_bins(const AzimuthProfile& prof) {
    Bins b;
    b.n.assign(static_cast<std::size_t>(prof.bins), 0.0);
    for (const PixelShare& s : prof.shares) b.n[s.bin] += s.count;
    for (std::size_t k = 0; k < b.n.size(); ++k)
        if (b.n[k] > 0 && std::isfinite(prof.i[k])) b.used.push_back(k);
    return b;
}

// The variance of a function of the bins whose derivative by bin b is g[b].
double variance(const AzimuthProfile& prof, const Bins& bins, const std::vector<double>& g) {
    double var = 0, sum = 0;
    for (std::size_t s = 0; s < prof.shares.size(); ++s) {
        const PixelShare& e = prof.shares[s];
        sum += g[e.bin] * e.count / bins.n[e.bin];
        if (s + 1 == prof.shares.size() || prof.shares[s + 1].pixel != e.pixel) {
            var += e.var * sum * sum;
            sum = 0;
        }
    }
    return var;
}

// The mean of f(phi - phi0) over bin b's width (radians).
double bin_mean(const AzimuthProfile& prof, std::size_t b, double phi0, const std::function<double(double)>& f) {
    const double width = 2 * kPi / prof.bins;
    const double start = b * width - phi0;
    double sum = 0;
    for (int k = 0; k < kSteps; ++k) sum += f(start + (k + 0.5) * width / kSteps);
    return sum / kSteps;
}

// The fit's rows M (3 x bins, zero for bins without a value); false when
// the normal equations are singular.  Every bin weighs the same: weights
// from the bins' own uncertainties, which follow their values' noise, would
// pull the fit towards the bins that fell low and, for a peaked pattern,
// towards its troughs, where a + b cos 2phi + c sin 2phi fits worst
// (phi0 scattering several times its stated uncertainty); with equal
// weights phi0 is the direction of the pattern's second harmonic.
bool fit_rows(const AzimuthProfile& prof, const Bins& bins, std::array<std::vector<double>, 3>& m) {
    double a[3][3] = {};
    for (std::size_t b : bins.used) {
        const double phi = prof.phi[b] * kDegree;
        const double f[3] = {1.0, std::cos(2 * phi), std::sin(2 * phi)};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) a[r][c] += f[r] * f[c];
    }
    // The inverse by cofactors: the matrix is symmetric and 3 x 3.
    double inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv[r][c] = a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1];
        }
    const double det = a[0][0] * inv[0][0] + a[0][1] * inv[1][0] + a[0][2] * inv[2][0];
    if (!(std::fabs(det) > 1e-12 * std::fabs(a[0][0] * a[1][1] * a[2][2])) || !std::isfinite(det)) return false;
    for (auto& row : m) row.assign(static_cast<std::size_t>(prof.bins), 0.0);
    for (std::size_t b : bins.used) {
        const double phi = prof.phi[b] * kDegree;
        const double f[3] = {1.0, std::cos(2 * phi), std::sin(2 * phi)};
        for (int r = 0; r < 3; ++r) m[r][b] = (inv[r][0] * f[0] + inv[r][1] * f[1] + inv[r][2] * f[2]) / det;
    }
    return true;
}

// A weighted mean over the bins, <f>_u = sum I u f / sum I u (u and f
// angular functions, bin means), and its derivative by each bin.
struct Ratio {
    double value = 0;
    std::vector<double> grad;
    bool ok = false;
};
Ratio ratio(const AzimuthProfile& prof, const Bins& bins, double phi0, const std::function<double(double)>& u,
            const std::function<double(double)>& uf) {
    Ratio r;
    r.grad.assign(static_cast<std::size_t>(prof.bins), 0.0);
    std::vector<double> ub(r.grad.size()), ufb(r.grad.size());
    double num = 0, den = 0;
    for (std::size_t b : bins.used) {
        ub[b] = bin_mean(prof, b, phi0, u), ufb[b] = bin_mean(prof, b, phi0, uf);
        num += prof.i[b] * ufb[b], den += prof.i[b] * ub[b];
    }
    if (!(den != 0) || !std::isfinite(num / den)) return r;
    r.value = num / den;
    for (std::size_t b : bins.used) r.grad[b] = (ufb[b] - r.value * ub[b]) / den;
    r.ok = true;
    return r;
}

}  // namespace

Status orientation(const AzimuthProfile& prof, Orientation& out) {
    out = Orientation{};
    const Bins bins = used_bins(prof);
    std::array<std::vector<double>, 3> m;
    if (bins.used.size() < 3 || !fit_rows(prof, bins, m))
        return failure(Stage::average, Code::no_pixels,
                       pk::format("the orientation needs at least 3 azimuthal bins that hold a value spread over "
                                  "the circle; %zu do", bins.used.size()));
    double fit[3] = {0, 0, 0};
    for (std::size_t b : bins.used)
        for (int r = 0; r < 3; ++r) fit[r] += m[r][b] * prof.i[b];
    const double amp2 = fit[1] * fit[1] + fit[2] * fit[2];
    double phi0 = 0.5 * std::atan2(fit[2], fit[1]);
    if (phi0 < 0) phi0 += kPi;
    std::vector<double> dphi(static_cast<std::size_t>(prof.bins), 0.0);
    for (std::size_t b : bins.used) dphi[b] = amp2 > 0 ? 0.5 * (fit[1] * m[2][b] - fit[2] * m[1][b]) / amp2 : 0.0;
    out.phi0 = phi0 / kDegree;
    out.phi0_dev = std::sqrt(variance(prof, bins, dphi)) / kDegree;
    out.mean = fit[0], out.amplitude = std::sqrt(amp2);
    out.bins_used = static_cast<int>(bins.used.size());

    const auto one = [](double) { return 1.0; };
    const auto cos2 = [](double x) { return std::cos(2 * x); };
    const auto sine = [](double x) { return std::fabs(std::sin(x)); };
    const auto sine_cos_sq = [](double x) { return std::fabs(std::sin(x)) * std::cos(x) * std::cos(x); };
    const Ratio order = ratio(prof, bins, phi0, one, cos2);
    const Ratio cos_sq = ratio(prof, bins, phi0, sine, sine_cos_sq);
    if (!order.ok || !cos_sq.ok)
        return failure(Stage::average, Code::not_finite,
                       "the intensities of the ring add up to 0; the order parameters are not defined");
    out.order = order.value;
    out.order_dev = std::sqrt(variance(prof, bins, order.grad));
    out.hermans = (3 * cos_sq.value - 1) / 2;
    out.hermans_dev = 1.5 * std::sqrt(variance(prof, bins, cos_sq.grad));
    return ok_status();
}

}  // namespace pk
