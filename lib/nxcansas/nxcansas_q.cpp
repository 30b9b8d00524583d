// The Q values of an NXcanSAS file that the text outputs do not carry: the
// centre Q of each bin of the curve, the mean Q of the detector area that
// fell into each bin, and Qx, Qy of every pixel centre.
//
// The mean Q replays the averaging's sub-pixel geometry: every unmasked
// pixel split into 10 x 10 sub-pixels at (i + (m + 0.5) * 0.1,
// j + (n + 0.5) * 0.1), the bin of each from its radius rounded to a float
// (tot * r / max), the sector test on its azimuth rounded to a float.  With
// the same roundings every sub-pixel lands in the bin the average put it in;
// its Q is then taken from its exact position in double precision.
#include <cmath>
#include <cstddef>
#include <vector>

#include "common.h"
#include "pelkaro/nxcansas.h"

namespace pk {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPi = 12.566370614359172;
constexpr int kSub = 10;  // sub-pixels per pixel side

// Q at a distance r from the beam centre on the detector.
double q_at(const Param& p, double r) {
    return kFourPi / static_cast<double>(p.wavelen) * std::sin(0.5 * std::atan(r / static_cast<double>(p.sam2det)));
}

// The same by sin(atan(x) / 2) = x / sqrt(2 s (1 + s)), s = sqrt(1 + x^2):
// equal but for rounding, and without the two transcendental functions
// that would dominate a mean over every sub-pixel.
double q_fast(const Param& p, double r) {
    const double x = r / static_cast<double>(p.sam2det);
    const double s = std::sqrt(1 + x * x);
    return kFourPi / static_cast<double>(p.wavelen) * (x / std::sqrt(2 * s * (1 + s)));
}

// The radial bins of the average: width, outer radius and count.
struct Bins {
    float width = 0.0f;
    float max = 0.0f;
    int tot = 0;
};

bool radial_bins(const Param& p, Bins& b) {
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

// Azimuth of a sub-pixel from its offsets, as the average rounds it.
float azimuth(float tx, float ty) {
    if (tx == 0) return ty >= 0 ? static_cast<float>(kPi / 2) : static_cast<float>(3 * kPi / 2);
    float az = pk::to_float(std::atan(static_cast<double>(ty) / tx));
    if (tx < 0) az = pk::to_float(az + kPi);
    if (az < 0) az = pk::to_float(az + kTwoPi);
    return az;
}

// Sums of Q and counts of the sub-pixels of bins 0 .. tot - 1.
struct SubPixelSums {
    std::vector<double> q;
    std::vector<long> count;
};

// Adds the sub-pixels of pixel (i, j) that lie in the sector to their bins;
// false when one lies beyond the last bin.
bool add_pixel(const Param& p, const Bins& b, int i, int j, SubPixelSums& s) {
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    // A sector that holds every azimuth (from -0 to the float nearest 2 pi)
    // needs no azimuth.
    const bool whole = p.thmin <= 0 && p.thmax >= static_cast<float>(kTwoPi);
    for (int m = 0; m < kSub; ++m) {
        const double ex = i + (m + 0.5) * 0.1;
        const float x = pk::to_float(ex);
        for (int n = 0; n < kSub; ++n) {
            const double ey = j + (n + 0.5) * 0.1;
            const float y = pk::to_float(ey);
            const double dx = x - bx;
            const double dy = y - by;
            const float r = pk::radius(dx, dy, px, py);
            const double where = b.tot * static_cast<double>(r) / b.max;
            if (!(where >= 0 && where < b.tot)) return false;
            if (!whole) {
                const float az = azimuth(pk::to_float(dx), pk::to_float(dy));
                if (!(p.thmin <= az && az <= p.thmax)) continue;
            }
            const int idx = static_cast<int>(where);
            const double ux = (ex - bx) * px;
            const double uy = (ey - by) * py;
            s.q[static_cast<std::size_t>(idx)] += q_fast(p, std::sqrt(ux * ux + uy * uy));
            ++s.count[static_cast<std::size_t>(idx)];
        }
    }
    return true;
}

}  // namespace

bool curve_q(const Param& p, const Data1D& rot, const Data2D& mask, CurveQ& out) {
    out = CurveQ{};
    Bins b;
    if (!radial_bins(p, b) || b.tot != rot.num || rot.area.size() < static_cast<std::size_t>(b.tot)) return false;
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels)) return false;
    SubPixelSums s{std::vector<double>(static_cast<std::size_t>(b.tot), 0.0),
              std::vector<long>(static_cast<std::size_t>(b.tot), 0)};
    for (int i = 0; i < kDetSide; ++i)
        for (int j = 0; j < kDetSide; ++j)
            if (pk::pixel_used(mask.intens[static_cast<std::size_t>(i + kDetSide * j)]) && !add_pixel(p, b, i, j, s))
                return false;
    for (int i = 0; i < b.tot; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        // The curve writes exactly the bins that received area.
        if ((rot.area[k] != 0) != (s.count[k] > 0)) return false;
        if (s.count[k] == 0) continue;
        const float centre = pk::to_float((i + 0.5) * b.width);  // the resolution's centre radius
        out.bins.push_back(i);
        out.q.push_back(q_at(p, centre));
        out.qmean.push_back(s.q[k] / static_cast<double>(s.count[k]));
    }
    return true;
}

void pixel_q(const Param& p, std::vector<double>& qx, std::vector<double>& qy) {
    qx.assign(kDetPixels, 0.0);
    qy.assign(kDetPixels, 0.0);
    for (int y = 0; y < kDetSide; ++y) {
        for (int x = 0; x < kDetSide; ++x) {
            const double dx = (x + 0.5 - static_cast<double>(p.bx)) * static_cast<double>(p.px);
            const double dy = (y + 0.5 - static_cast<double>(p.by)) * static_cast<double>(p.py);
            const double r = std::sqrt(dx * dx + dy * dy);
            if (r == 0) continue;
            const double q = q_at(p, r);
            const std::size_t k = static_cast<std::size_t>(x + kDetSide * y);
            qx[k] = q * dx / r;
            qy[k] = q * dy / r;
        }
    }
}

}  // namespace pk
