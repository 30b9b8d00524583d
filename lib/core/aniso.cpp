// I(phi) in a ring and the sector pairs (pelkaro/aniso.h): the sub-pixels
// of every pixel in use placed as the radial average places them, counted
// by bin pixel by pixel, and each bin's mean and its uncertainty as
// averaged from those counts.
#include "pelkaro/aniso.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "ave_data.h"
#include "ave_fast.h"
#include "geometry.h"
#include "numbers.h"

namespace pk {

namespace {

using pk::ave::kPi;
using pk::ave::kSub;
using pk::ave::kTwoPi;
constexpr double kFourPi = 12.566370614359172;
constexpr double kDegree = kPi / 180.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Radius (float, the parameter file's length unit) and azimuth of
// sub-pixel (m, n) of pixel (i, j), as the average computes them.
struct SubPoint {
    float r;
    float az;
};
SubPoint sub_point(const Param& p, int i, int j, int m, int n) {
    const float x = pk::to_float(i + (m + 0.5) * 0.1);
    const float y = pk::to_float(j + (n + 0.5) * 0.1);
    const double dx = x - static_cast<double>(p.bx);
    const double dy = y - static_cast<double>(p.by);
    return {pk::radius(dx, dy, p.px, p.py), pk::ave::azimuth(pk::to_float(dx), pk::to_float(dy))};
}

// Nearest and farthest distance of pixel (i, j)'s square from the beam
// centre: no sub-pixel of it lies outside.
void pixel_reach(const Param& p, int i, int j, double& near, double& far) {
    const double bx = p.bx, by = p.by;
    const double nx = std::max({0.0, i - bx, bx - (i + 1)}), ny = std::max({0.0, j - by, by - (j + 1)});
    const double fx = std::max(std::fabs(i - bx), std::fabs(i + 1 - bx));
    const double fy = std::max(std::fabs(j - by), std::fabs(j + 1 - by));
    const double px = p.px, py = p.py;
    near = std::sqrt(nx * nx * px * px + ny * ny * py * py);
    far = std::sqrt(fx * fx * px * px + fy * fy * py * py);
}

// What a tally found: the shares of the pixels in use, and how many
// sub-pixels of any pixel (in use or not) were placed in a bin.
struct Tally {
    std::vector<PixelShare> shares;
    long long placed = 0;
};

// The sub-pixels of every pixel, each placed by `place(sub_point) -> bin
// or -1`, counted by pixel and bin; a pixel for which `beyond(i, j)` holds
// has none to place.
template <class Beyond, class Place>
Tally tally(const Param& p, const Data2D& image, const Data2D& mask, int bins, Beyond beyond, Place place) {
    Tally t;
    std::vector<uint32_t> counts(static_cast<std::size_t>(bins), 0);
    for (int i = 0; i < kDetSide; ++i) {
        for (int j = 0; j < kDetSide; ++j) {
            if (beyond(i, j)) continue;
            const std::size_t k = static_cast<std::size_t>(i + kDetSide * j);
            const bool used = pk::pixel_used(mask.intens[k]);
            int b_lo = bins, b_hi = -1;
            for (int m = 0; m < kSub; ++m)
                for (int n = 0; n < kSub; ++n) {
                    const int b = place(sub_point(p, i, j, m, n));
                    if (b < 0) continue;
                    ++t.placed;
                    if (!used) continue;
                    ++counts[static_cast<std::size_t>(b)];
                    b_lo = std::min(b_lo, b), b_hi = std::max(b_hi, b);
                }
            const double sigma = image.uncert[k];
            for (int b = b_lo; b <= b_hi; ++b) {
                uint32_t& c = counts[static_cast<std::size_t>(b)];
                if (c != 0) t.shares.push_back({static_cast<uint32_t>(k), static_cast<uint32_t>(b), c, sigma * sigma});
                c = 0;
            }
        }
    }
    return t;
}

// Mean, uncertainty as averaged and area of each bin from the shares.
// False when a pixel value in use is not finite.
bool bin_means(const Data2D& image, const std::vector<PixelShare>& shares, int bins, std::vector<double>& mean,
               std::vector<double>& dev, std::vector<double>& area) {
    std::vector<double> n(static_cast<std::size_t>(bins), 0.0), wi(n), w2v(n);
    for (const PixelShare& s : shares) {
        const double v = image.intens[s.pixel];
        if (!std::isfinite(v) || !std::isfinite(s.var)) return false;
        const double w = s.count;
        n[s.bin] += w;
        wi[s.bin] += w * v;
        w2v[s.bin] += w * w * s.var;
    }
    mean.assign(n.size(), kNaN), dev.assign(n.size(), kNaN), area.assign(n.size(), 0.0);
    for (std::size_t b = 0; b < n.size(); ++b) {
        area[b] = n[b] * 0.01;
        if (n[b] == 0) continue;
        mean[b] = wi[b] / n[b];
        dev[b] = std::sqrt(w2v[b]) / n[b];
    }
    return true;
}

// Q at distance r from the beam centre.
double q_at(const Param& p, double r) {
    return kFourPi / static_cast<double>(p.wavelen) * std::sin(0.5 * std::atan(r / static_cast<double>(p.sam2det)));
}

// Distance from the beam centre at which Q is q; infinite beyond 90
// degrees of scattering.
double radius_at(const Param& p, double q) {
    const double s = q * static_cast<double>(p.wavelen) / kFourPi;
    if (s >= std::sqrt(0.5)) return std::numeric_limits<double>::infinity();
    return static_cast<double>(p.sam2det) * std::tan(2.0 * std::asin(s));
}

bool has_wavelength(const Param& p) { return std::isfinite(p.wavelen) && p.wavelen > 0; }

Status refuse(Code code, std::string reason) { return failure(Stage::average, code, std::move(reason)); }

// The ring's limits in the parameter file's length unit.
Status ring_radii(const Param& p, const Ring& ring, double& lo, double& hi) {
    if (!(std::isfinite(ring.lo) && std::isfinite(ring.hi) && ring.lo >= 0 && ring.hi > ring.lo))
        return refuse(Code::bad_parameter, pk::format("the ring's limits must be finite with 0 <= first < second; "
                                                      "found %g and %g", ring.lo, ring.hi));
    if (ring.unit == Ring::Unit::pixels) {
        const double spacing = std::min(p.px, p.py);
        lo = ring.lo * spacing, hi = ring.hi * spacing;
        return ok_status();
    }
    if (!has_wavelength(p))
        return refuse(Code::missing_keyword, "a ring in Q needs the wavelength (a WAVE line)");
    lo = radius_at(p, ring.lo), hi = radius_at(p, ring.hi);
    return ok_status();
}

bool finite_geometry(const Param& p) {
    for (float v : {p.px, p.py, p.bx, p.by, p.sam2det})
        if (!std::isfinite(v)) return false;
    return p.px > 0 && p.py > 0;
}

bool image_sized(const Data2D& image, const Data2D& mask) {
    const std::size_t n = kDetPixels;
    return image.intens.size() >= n && image.uncert.size() >= n && mask.intens.size() >= n;
}

}  // namespace

Status azimuthal_profile(const Param& p, const Data2D& image, const Data2D& mask, const Ring& ring, int bins,
                         AzimuthProfile& out) {
    out = AzimuthProfile{};
    if (bins < 2 || bins > kMostAzimuthBins)
        return refuse(Code::bad_parameter, pk::format("the number of azimuthal bins must be from 2 to %d; found %d",
                                                      kMostAzimuthBins, bins));
    if (!finite_geometry(p) || !image_sized(image, mask))
        return refuse(Code::bad_parameter, "the geometry or the image cannot be averaged");
    double lo = 0, hi = 0;
    const Status st = ring_radii(p, ring, lo, hi);
    if (!st.ok()) return st;
    const double per_bin = bins / kTwoPi;
    const double margin = 1e-6 * hi + 1e-9;
    const auto beyond = [&](int i, int j) {
        double near = 0, far = 0;
        pixel_reach(p, i, j, near, far);
        return far < lo - margin || near > hi + margin;
    };
    Tally t = tally(p, image, mask, bins, beyond, [&](SubPoint s) {
        const double r = s.r;
        if (!(r >= lo && r < hi)) return -1;
        const int b = static_cast<int>(static_cast<double>(s.az) * per_bin);
        return b >= bins ? 0 : b;  // the float nearest 2 pi is the azimuth 0
    });
    if (t.placed == 0)
        return refuse(Code::no_pixels, pk::format("the ring from %g to %g %s lies outside the detector", ring.lo,
                                                  ring.hi, ring.unit == Ring::Unit::q ? "in Q" : "pixels"));
    if (t.shares.empty())
        return refuse(Code::no_pixels, pk::format("every pixel of the ring from %g to %g %s is masked", ring.lo,
                                                  ring.hi, ring.unit == Ring::Unit::q ? "in Q" : "pixels"));
    out.bins = bins;
    out.r_lo = lo, out.r_hi = hi;
    out.q_lo = has_wavelength(p) ? q_at(p, lo) : kNaN;
    out.q_hi = has_wavelength(p) ? q_at(p, hi) : kNaN;
    for (std::size_t s = 0; s < t.shares.size(); ++s)
        out.pixels += s == 0 || t.shares[s].pixel != t.shares[s - 1].pixel;
    if (!bin_means(image, t.shares, bins, out.i, out.idev, out.area))
        return refuse(Code::not_finite, "a pixel in the ring holds a value that is not finite");
    for (int b = 0; b < bins; ++b) out.phi.push_back((b + 0.5) * 360.0 / bins);
    out.shares = std::move(t.shares);
    return ok_status();
}

namespace {

// The radial bins of the average: their count, the radius they reach, and
// Q and dQ of each as the curve holds them (an average of nothing).
struct RadialGrid {
    int tot = 0;
    float max = 0;
    Data1D table;
};
Status radial_grid(const Param& p, RadialGrid& g) {
    Data2D none;
    none.intens.assign(kImageValues, 0.0f);
    none.uncert.assign(kImageValues, 0.0f);
    Data2D cleared = none;  // every pixel out of use
    const Status st = ave_data(p, none, g.table, cleared, Console{nullptr, nullptr});
    if (!st.ok()) return st;
    g.tot = g.table.num;
    const double X = p.bx > 95.0f ? static_cast<double>(p.bx) + 0.5 : 191.5 - p.bx;
    const double Y = p.by > 95.0f ? static_cast<double>(p.by) + 0.5 : 191.5 - p.by;
    g.max = pk::radius(X, Y, p.px, p.py);
    return ok_status();
}

// True when no azimuth of pixel (i, j)'s square (as the average measures
// it, from the offsets in pixels) lies within half_width of the axis or of
// its opposite, with room for the rounding of a sub-pixel's azimuth.  The
// azimuths of a square that leaves out the beam centre lie between those
// of its corners.
bool outside_sectors(const Param& p, int i, int j, double axis, double half_width) {
    const double x0 = i - static_cast<double>(p.bx), y0 = j - static_cast<double>(p.by);
    if (x0 <= 0 && x0 + 1 >= 0 && y0 <= 0 && y0 + 1 >= 0) return false;
    const double mid = std::atan2(y0 + 0.5, x0 + 0.5);
    double lo = 0, hi = 0;
    for (const double dx : {x0, x0 + 1})
        for (const double dy : {y0, y0 + 1}) {
            const double d = std::remainder(std::atan2(dy, dx) - mid, kTwoPi);
            lo = std::min(lo, d), hi = std::max(hi, d);
        }
    const double a = std::remainder(axis, kPi), room = half_width + 1e-5;
    for (int k = -2; k <= 2; ++k)
        if (mid + lo <= a + k * kPi + room && mid + hi >= a + k * kPi - room) return false;
    return true;
}

// One curve of the pair: sub-pixels within half_width of the axis or of
// its opposite, by radial bin.
Status sector_curve(const Param& p, const Data2D& image, const Data2D& mask, const RadialGrid& g, double axis,
                    double half_width, SectorCurve& out) {
    const int tot = g.tot;
    const double max = g.max;
    const auto beyond = [&](int i, int j) { return outside_sectors(p, i, j, axis, half_width); };
    Tally t = tally(p, image, mask, tot, beyond, [&](SubPoint s) {
        double d = static_cast<double>(s.az) - axis;
        d -= kPi * std::floor(d / kPi + 0.5);  // from -pi/2 to pi/2: either sector of the pair
        if (!(std::fabs(d) <= half_width)) return -1;
        const double where = tot * static_cast<double>(s.r) / max;
        return where >= 0 && where < tot ? static_cast<int>(where) : -1;
    });
    std::vector<double> mean, dev, area;
    if (!bin_means(image, t.shares, tot, mean, dev, area))
        return refuse(Code::not_finite, "a pixel in use holds a value that is not finite");
    out = SectorCurve{};
    const double bin = static_cast<double>(g.max) / tot;
    for (int b = 0; b < tot; ++b) {
        const std::size_t u = static_cast<std::size_t>(b);
        if (area[u] == 0) continue;
        out.bins.push_back(b);
        out.q.push_back(g.table.x[u]);
        out.q_centre.push_back(q_at(p, (b + 0.5) * bin));
        out.dq.push_back(g.table.dq[u]);
        out.i.push_back(mean[u]), out.idev.push_back(dev[u]), out.area.push_back(area[u]);
    }
    return ok_status();
}

}  // namespace

Status sector_pairs(const Param& p, const Data2D& image, const Data2D& mask, double axis, double width,
                    SectorPairs& out) {
    out = SectorPairs{};
    if (!(width > 0 && width < 180) || !std::isfinite(axis))
        return refuse(Code::bad_parameter, pk::format("the sectors need a width above 0 and below 180 degrees and a "
                                                      "finite axis; found width %g, axis %g", width, axis));
    if (!has_wavelength(p)) return refuse(Code::missing_keyword, "the sector pairs need the wavelength (a WAVE line)");
    if (!finite_geometry(p) || !image_sized(image, mask))
        return refuse(Code::bad_parameter, "the geometry or the image cannot be averaged");
    RadialGrid g;
    const Status st = radial_grid(p, g);
    if (!st.ok()) return st;
    out.axis = axis, out.width = width;
    const double half = 0.5 * width * kDegree;
    const Status along = sector_curve(p, image, mask, g, axis * kDegree, half, out.along);
    if (!along.ok()) return along;
    return sector_curve(p, image, mask, g, (axis + 90.0) * kDegree, half, out.across);
}

}  // namespace pk
