// Exposures drawn neutron by neutron through the instrument (see
// sim_resolution.h).
//
// The scattering is drawn in Q: for a wavelength lambda the solid angle is
// dOmega = (lambda / 2 pi)^2 d^2Q exactly (Q = 4 pi / lambda sin(theta)),
// so a neutron of wavelength lambda scatters into d^2Q with probability
// proportional to lambda^2 dSigma/dOmega(Q).  Every neutron is a proposal
// of a Poisson process thinned to the true one:
//   - a point in the source aperture (a disc at distance L1 before the
//     sample) and one in the sample aperture (at the sample), both uniform;
//   - a wavelength from the triangular distribution of FWHM spread x lambda,
//     kept with probability (lambda' / lambda_max)^2;
//   - |Q| from 2 pi Q dSigma/dOmega(Q) up to the largest Q that can reach the
//     detector, and its direction about the incident one uniform: the
//     scattered direction is the incident one turned by 2theta,
//     sin(theta) = Q lambda' / (4 pi);
//   - the ray from the sample aperture point to the detector plane (at L2),
//     lost outside the detector or in the beam stop's shadow, and kept with
//     the cell's transmission at the pixel's angle (relative to the forward
//     one) times the pixel's efficiency relative to the largest ordinary one.
// A pixel more efficient than that (an amplifier fault) counts each
// neutron kept once and a Poisson number more.  The numbers of proposals
// are Poisson draws, so every pixel's count is a Poisson count of its mean
// (the faulty pixels aside).
//
// With --gravity every neutron falls along -y over its whole flight.  Its
// speed is v = h / (m lambda); gravity leaves the velocity along x and z as
// it is, so over a path of z along the beam it flies t = z / v_z and falls
// g t^2 / 2 below the straight line of its direction.  Per millimetre of
// path (direction d, unit) that is a fall of rate (z / d_z)^2, rate =
// g / (2 v^2).  From the source-aperture point S the neutron flies the arc
// through the sample-aperture point A: it left S aimed above the chord SA
// and reaches A heading below it, its vertical speed short of the chord's by
// g T1 / 2 (T1 = L1 / v_z the time from S to A), i.e. its direction at A is
// (d_x, d_y - rate L1 / d_z, d_z), d the chord's.  It scatters about that
// direction, and from A to the detector falls rate (L2 / d'_z)^2 more below
// the straight line of its new direction d'.  Unscattered, it lands
// rate L2 (L1 + L2) below the straight line SA (to parts in 10^6, the
// chord's tilt), which averaged over the triangular wavelength distribution
// (<lambda^2> = lambda^2 (1 + spread^2 / 6)) is the direct beam's mean fall.
// The collimation is aimed that far above the beam centre, so the direct
// beam's centroid stays on it and CNTR holds.  The wavelength is the
// neutron's at the sample; its speed changes over the flight by parts in
// 10^9.
#include "sim_resolution.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

namespace {

constexpr int kSide = 128;
constexpr int kPixels = kSide * kSide;
constexpr double kPi = 3.141592653589793;
constexpr std::size_t kWords = 4096;  // random words taken from the generator at a time
constexpr int kCells = 1 << 14;       // of the Q table

constexpr uint64_t kAzimuths = 1 << 16;  // directions in the plane, 1e-4 rad apart

// Gravity: the neutron's mass (kg), Planck's constant (J s) and the standard
// acceleration of free fall (m/s^2).
constexpr double kNeutronMass = 1.67492750e-27;
constexpr double kPlanck = 6.62607015e-34;
constexpr double kFreeFall = 9.80665;

// g / (2 v^2) per millimetre of flight for neutrons of `lambda` angstrom:
// a path of z mm along the beam falls rate z^2 mm.
double fall_rate(double lambda) {
    const double v = kPlanck / (kNeutronMass * lambda * 1e-10);  // m/s
    return kFreeFall / (2 * v * v) * 1e-3;
}

// Random numbers from the simulator's generator, a buffer at a time.
class Stream {
public:
    explicit Stream(Draws& d) : draws_(d), words_(kWords), circle_(kAzimuths) {
        for (std::size_t i = 0; i < circle_.size(); ++i) {
            const double phi = 2 * kPi * (static_cast<double>(i) + 0.5) / kAzimuths;
            circle_[i] = {std::cos(phi), std::sin(phi)};
        }
    }
    uint64_t word() {
        if (at_ == words_.size()) {
            draws_.fill(words_.data(), words_.size());
            at_ = 0;
        }
        return words_[at_++];
    }
    double uniform() { return static_cast<double>(word() >> 11) * 0x1.0p-53; }  // [0, 1)
    // Two numbers uniform in [-1, 1) from one word.
    void pair(double& a, double& b) {
        const uint64_t w = word();
        a = static_cast<double>(w >> 32) * 0x1.0p-31 - 1;
        b = static_cast<double>(w & 0xffffffffu) * 0x1.0p-31 - 1;
    }
    // A point uniform in the disc of radius r: its distance from the
    // centre r sqrt(u), its azimuth from the table.
    void disc(double r, double& x, double& y) {
        const uint64_t w = word();
        const double rho = r * std::sqrt(static_cast<double>(w >> 16) * 0x1.0p-48);
        const Unit& e = circle_[static_cast<std::size_t>(w & (kAzimuths - 1))];
        x = rho * e.c, y = rho * e.s;
    }
    // A direction uniform in the plane: its cosine and sine.
    void direction(double& c, double& s) {
        const Unit& e = circle_[static_cast<std::size_t>(word() & (kAzimuths - 1))];
        c = e.c, s = e.s;
    }
    int64_t poisson(double mean) { return draws_.poisson(mean); }

private:
    struct Unit {
        double c, s;
    };
    Draws& draws_;
    std::vector<uint64_t> words_;
    std::size_t at_ = kWords;
    std::vector<Unit> circle_;  // the directions, at the middle of their share of the circle
};

// |Q| drawn from 2 pi Q dSigma/dOmega(Q) on [0, q_max]: the cumulative sums
// of kCells equal cells (the density taken constant within one), found
// through a guide table.
class QTable {
public:
    QTable(const std::function<double(double)>& xs, double q_max) : step_(q_max / kCells), sum_(kCells + 1, 0.0) {
        for (int i = 0; i < kCells; ++i) {
            const double q = (i + 0.5) * step_;
            sum_[i + 1] = sum_[i] + 2 * kPi * q * std::max(0.0, xs(q)) * step_;
        }
        guide_.resize(kCells);
        int cell = 0;
        for (int g = 0; g < kCells; ++g) {
            const double at = total() * g / kCells;
            while (cell + 1 < kCells && sum_[cell + 1] <= at) ++cell;
            guide_[g] = cell;
        }
    }
    double total() const { return sum_[kCells]; }  // integral of dSigma/dOmega over d^2Q
    double draw(double u) const {
        const double at = u * total();
        int cell = guide_[std::min(kCells - 1, static_cast<int>(u * kCells))];
        while (cell + 1 < kCells && sum_[cell + 1] <= at) ++cell;
        const double width = sum_[cell + 1] - sum_[cell];
        return (cell + (width > 0 ? (at - sum_[cell]) / width : 0.5)) * step_;
    }

private:
    double step_;
    std::vector<double> sum_;
    std::vector<int> guide_;
};

// The instrument in millimetres, the beam along z from the source aperture
// (z = -L1) through the sample aperture (z = 0) to the detector (z = L2).
// With --gravity the beam axis meets the detector `lift` above the beam
// centre, and neutrons of the mean wavelength fall at `rate` (both 0
// without it).
struct Beamline {
    double l1, l2, r1, r2, px, py, cx, cy;
    double ipx, ipy;  // pixels per millimetre
    double rate = 0, lift = 0;
    explicit Beamline(const Settings& s)
        : l1(s.collimation), l2(s.distance), r1(0.5 * s.source_aperture), r2(0.5 * s.sample_aperture),
          px(s.pixel_x), py(s.pixel_y), cx(s.centre_x), cy(s.centre_y), ipx(1 / px), ipy(1 / py) {
        if (!s.gravity) return;
        rate = fall_rate(s.wavelength);
        lift = rate * (1 + s.spread * s.spread / 6) * l2 * (l1 + l2);
    }

    // The pixel a neutron leaving (ax, ay, 0) along d reaches, falling at
    // `fall` (g / (2 v^2) per mm, 0 without gravity); -1 off the detector or
    // within `stop` pixels of the beam centre.
    int pixel(double ax, double ay, const double* d, double stop, double fall) const {
        if (!(d[2] > 0)) return -1;
        const double t = l2 / d[2];
        const double x = cx + (ax + t * d[0]) * ipx, y = cy + (ay + t * d[1] + lift - fall * t * t) * ipy;
        if (!(x >= 0 && x < kSide && y >= 0 && y < kSide)) return -1;
        if (stop > 0 && (x - cx) * (x - cx) + (y - cy) * (y - cy) < stop * stop) return -1;
        return static_cast<int>(x) + kSide * static_cast<int>(y);
    }
    // Largest distance of a detector corner from the beam centre, mm.
    double reach() const {
        double far = 0;
        for (double x : {0.0, 1.0 * kSide})
            for (double y : {0.0, 1.0 * kSide}) far = std::max(far, std::hypot((x - cx) * px, (y - cy) * py));
        return far;
    }
};

// An incident neutron: a point in the sample aperture and its unit
// direction, from a point of the source aperture.
struct Incident {
    double ax = 0, ay = 0, d[3] = {0, 0, 1};
};

Incident incident(const Beamline& b, Stream& r) {
    Incident n;
    double sx = 0, sy = 0;
    r.disc(b.r1, sx, sy);
    r.disc(b.r2, n.ax, n.ay);
    const double dx = n.ax - sx, dy = n.ay - sy, inv = 1 / std::sqrt(dx * dx + dy * dy + b.l1 * b.l1);
    n.d[0] = dx * inv, n.d[1] = dy * inv, n.d[2] = b.l1 * inv;
    return n;
}

// The direction at the sample aperture of a neutron falling at `fall` on its
// arc from the source aperture: below the chord by fall L1 / d_z in slope.
void bend(Incident& n, double fall, double l1) {
    const double dy = n.d[1] - fall * l1 / n.d[2];
    const double inv = 1 / std::sqrt(n.d[0] * n.d[0] + dy * dy + n.d[2] * n.d[2]);
    n.d[0] *= inv, n.d[1] = dy * inv, n.d[2] *= inv;
}

// The widest scattering angle that reaches the detector: to its farthest
// corner from the edge of the sample aperture, plus the incident
// direction's largest tilt.  A neutron falling at `fall` (its most, at the
// longest wavelength) tilts by up to fall L1 more, and lands lift - fall t^2
// off its straight line, t^2 = L2^2 + u^2 for a line u off the axis at the
// detector: it can reach the detector while u - lift - fall (L2^2 + u^2)
// stays within the reach, up to the smaller root of that quadratic, or from
// every angle when it has none.  (The larger root, beyond 1 / (2 fall) mm,
// kilometres, is the neutron thrown so steeply upwards that it falls back
// onto the detector; those are not drawn.)
double widest_angle(const Beamline& b, double fall) {
    const double reach = b.reach() + b.r2;
    if (!(fall > 0)) return std::atan(reach / b.l2) + std::atan((b.r1 + b.r2) / b.l1);
    const double c = reach + b.lift + fall * b.l2 * b.l2, disc = 1 - 4 * fall * c;
    if (!(disc > 0)) return kPi;
    const double u = 2 * c / (1 + std::sqrt(disc));  // the smaller root, (1 - sqrt(disc)) / (2 fall)
    return std::atan(u / b.l2) + std::atan((b.r1 + b.r2) / b.l1 + fall * b.l1);
}

// The direction w, given about the z axis, turned with the z axis onto
// the unit vector d: the rotation about v = z x d that takes z to d,
// w + v x w + v x (v x w) / (1 + d_z).
void turn(const double* d, const double* w, double* out) {
    const double u[3] = {d[0] * w[2], d[1] * w[2], -d[1] * w[1] - d[0] * w[0]};  // v x w, v = (-d_y, d_x, 0)
    const double f = 1 / (1 + d[2]);
    out[0] = w[0] + u[0] + f * d[0] * u[2];
    out[1] = w[1] + u[1] + f * d[1] * u[2];
    out[2] = w[2] + u[2] + f * (-d[1] * u[1] - d[0] * u[0]);
}

// Per pixel, the probability of keeping a neutron that reaches it (the
// cell's transmission at the pixel's angle relative to the forward one,
// times its efficiency relative to `top`), and the extra counts a pixel
// more efficient than `top` makes per neutron kept.
struct Keep {
    std::vector<double> p, extra;
    double top = 0;
    Keep(const Beamline& b, const std::vector<double>& eff, double mu) : p(kPixels), extra(kPixels, 0.0) {
        std::vector<double> sorted(eff.begin(), eff.end());
        std::nth_element(sorted.begin(), sorted.begin() + kPixels / 2, sorted.end());
        const double ordinary = 1.5 * sorted[kPixels / 2];  // above: a faulty pixel
        for (double e : eff)
            if (e <= ordinary) top = std::max(top, e);
        for (int k = 0; k < kPixels; ++k) {
            const double x = (k % kSide + 0.5 - b.cx) * b.px, y = (k / kSide + 0.5 - b.cy) * b.py;
            const double d = mu * (std::sqrt(1 + (x * x + y * y) / (b.l2 * b.l2)) - 1);
            const double cell = d > 1e-12 ? -std::expm1(-d) / d : 1.0;
            const double e = top > 0 ? eff[k] / top : 0.0;
            p[k] = cell * std::min(e, 1.0);
            extra[k] = std::max(e, 1.0) - 1;
        }
    }
};

// Adds a kept neutron to pixel k, with a faulty pixel's extra counts.
void count(std::vector<int64_t>& n, const Keep& keep, int k, Stream& r) {
    if (k < 0 || !(r.uniform() < keep.p[k])) return;
    n[k] += 1 + (keep.extra[k] > 0 ? r.poisson(keep.extra[k]) : 0);
}

void add_dark(std::vector<int64_t>& n, double dark, Stream& r) {
    for (int64_t& v : n) v += r.poisson(dark);
}

}  // namespace

std::vector<int64_t> scatter_through(const Settings& s, const Scattering& x, const std::vector<double>& eff,
                                     Draws& draws) {
    Stream r(draws);
    const Beamline b(s);
    const Keep keep(b, eff, x.mu);
    const double lambda_lo = s.wavelength * (1 - s.spread), lambda_hi = s.wavelength * (1 + s.spread);
    // No neutron beyond this Q reaches the detector.
    const double widest = widest_angle(b, b.rate * (1 + s.spread) * (1 + s.spread));
    const double q_max = 4 * kPi / lambda_lo * std::sin(0.5 * std::min(widest, kPi));
    const QTable table(x.cross_section, q_max);
    std::vector<int64_t> n(kPixels, 0);
    const double per_q2 = lambda_hi * lambda_hi / (4 * kPi * kPi);  // solid angle per d^2Q at lambda_max
    const double expected = x.neutrons * std::exp(-x.mu) * keep.top * per_q2 * table.total();
    if (!(expected <= kMostNeutrons)) return {};
    const int64_t proposals = r.poisson(expected);
    for (int64_t i = 0; i < proposals; ++i) {
        Incident in = incident(b, r);
        double a = 0, c = 0;
        r.pair(a, c);
        const double lambda = s.wavelength * (1 + s.spread * 0.5 * (a + c));
        if (!(r.uniform() * lambda_hi * lambda_hi < lambda * lambda)) continue;
        const double fall = b.rate * (lambda / s.wavelength) * (lambda / s.wavelength);
        if (fall > 0) bend(in, fall, b.l1);
        const double sin_t = table.draw(r.uniform()) * lambda / (4 * kPi);
        if (!(sin_t <= 1)) continue;
        // The scattered direction about the incident one: 2theta off it, at a uniform azimuth.
        const double sin_2t = 2 * sin_t * std::sqrt(1 - sin_t * sin_t);
        double cp = 0, sp = 0, out[3];
        r.direction(cp, sp);
        const double w[3] = {sin_2t * cp, sin_2t * sp, 1 - 2 * sin_t * sin_t};
        turn(in.d, w, out);
        count(n, keep, b.pixel(in.ax, in.ay, out, x.stop_radius, fall), r);
    }
    add_dark(n, x.dark, r);
    return n;
}

std::vector<int64_t> beam_through(const Settings& s, double neutrons, double dark, const std::vector<double>& eff,
                                  Draws& draws) {
    Stream r(draws);
    const Beamline b(s);
    const Keep keep(b, eff, 0.0);
    std::vector<int64_t> n(kPixels, 0);
    const int64_t proposals = r.poisson(neutrons * keep.top);
    for (int64_t i = 0; i < proposals; ++i) {
        Incident in = incident(b, r);
        double fall = 0;
        if (b.rate > 0) {  // the neutron's wavelength sets how far it falls
            double a = 0, c = 0;
            r.pair(a, c);
            const double stretch = 1 + s.spread * 0.5 * (a + c);
            fall = b.rate * stretch * stretch;
            bend(in, fall, b.l1);
        }
        count(n, keep, b.pixel(in.ax, in.ay, in.d, 0.0, fall), r);
    }
    add_dark(n, dark, r);
    return n;
}

}  // namespace sim
