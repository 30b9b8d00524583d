// The azimuthal average by a plan: the sub-pixel decisions of one geometry
// and mask worked out once, then applied to any number of frames.
//
// The plan is made by the sub-pixel loop itself (ave_data.cpp's literal
// loop: the same radius, bin and azimuth of every sub-pixel), counting
// instead of adding.  All sub-pixels of a pixel add the same two terms, so
// a bin receives from each pixel a run of equal additions, and the runs of
// different pixels in the order of the loop: applying the plan makes the
// same rounded additions in the same order.  The bins' Q, resolution and
// area do not depend on the frame and are taken from an average of an
// empty image.
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "pelkaro/series.h"
#include "ave_fast.h"
#include "common.h"

namespace pk {

namespace {

using pk::ave::kSub;

// Sub-pixel counts of pixel (i, j) per bin; false when a sub-pixel lies
// beyond the last bin (ave_data refuses the geometry).
bool count_pixel(const Param& p, int i, int j, int tot, float max, std::vector<uint32_t>& counts) {
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    const double thmin = p.thmin, thmax = p.thmax;
    for (int m = 0; m < kSub; ++m) {
        const float x = pk::to_float(i + (m + 0.5) * 0.1);
        for (int n = 0; n < kSub; ++n) {
            const float y = pk::to_float(j + (n + 0.5) * 0.1);
            const double dx = x - bx;
            const double dy = y - by;
            const float r = pk::radius(dx, dy, px, py);
            const double where = tot * static_cast<double>(r) / max;
            if (!(where >= 0 && where < tot)) return false;
            const float az = pk::ave::azimuth(pk::to_float(dx), pk::to_float(dy));
            if (thmin <= az && az <= thmax) ++counts[static_cast<std::size_t>(where)];
        }
    }
    return true;
}

// The largest radius of the average, as ave_data works it out.
float max_radius(const Param& p) {
    const double X = p.bx > 95.0f ? static_cast<double>(p.bx) + 0.5 : 191.5 - p.bx;
    const double Y = p.by > 95.0f ? static_cast<double>(p.by) + 0.5 : 191.5 - p.by;
    return pk::radius(X, Y, p.px, p.py);
}

// Bins, Q, resolution and area of the curve: an average of an empty image.
bool bin_table(const Param& p, const Data2D& mask, AvePlan& plan) {
    Data2D empty;
    empty.intens.assign(kImageValues, 0.0f);
    empty.uncert.assign(kImageValues, 0.0f);
    Data1D curve;
    if (!ave_data(p, empty, curve, mask, Console{nullptr, nullptr}).ok()) return false;
    plan.tot = curve.num;
    const std::size_t n = static_cast<std::size_t>(curve.num);
    plan.x.assign(curve.x.begin(), curve.x.begin() + static_cast<std::ptrdiff_t>(n));
    plan.dq.assign(curve.dq.begin(), curve.dq.begin() + static_cast<std::ptrdiff_t>(n));
    plan.area.assign(curve.area.begin(), curve.area.begin() + static_cast<std::ptrdiff_t>(n));
    return plan.tot > 0 && plan.tot < 65536;
}

bool finite_geometry(const Param& p) {
    return std::isfinite(p.px) && std::isfinite(p.py) && std::isfinite(p.bx) && std::isfinite(p.by);
}

// n additions of c to s, each rounded as one by one: one or two taken
// directly, more through the fast path's shortcut.
inline float add_run(float s, double c, uint32_t n) {
    if (n <= 2) return n == 1 ? pk::to_float(s + c) : pk::to_float(pk::to_float(s + c) + c);
    return pk::ave::add_repeated_inline(s, c, n);
}

}  // namespace

AvePlan make_ave_plan(const Param& p, const Data2D& mask) {
    AvePlan plan;
    if (!finite_geometry(p) || mask.intens.size() < static_cast<std::size_t>(kDetPixels)) return plan;
    try {
        if (!bin_table(p, mask, plan)) return AvePlan{};
        const float max = max_radius(p);
        std::vector<uint32_t> counts(static_cast<std::size_t>(plan.tot), 0);
        for (int i = 0; i < kDetSide; ++i) {
            for (int j = 0; j < kDetSide; ++j) {
                const int k = i + kDetSide * j;
                if (!pk::pixel_used(mask.intens[static_cast<std::size_t>(k)])) continue;
                if (!count_pixel(p, i, j, plan.tot, max, counts)) return AvePlan{};
                for (int b = 0; b < plan.tot; ++b) {
                    uint32_t& c = counts[static_cast<std::size_t>(b)];
                    if (c == 0) continue;
                    plan.entries.push_back(AveEntry{static_cast<uint16_t>(k), static_cast<uint16_t>(b), c});
                    c = 0;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return AvePlan{};
    }
    plan.usable = true;
    return plan;
}

bool average_by_plan(const AvePlan& plan, const Data2D& in, Data1D& out) {
    if (!plan.usable || in.intens.size() < static_cast<std::size_t>(kDetPixels) ||
        in.uncert.size() < static_cast<std::size_t>(kDetPixels))
        return false;
    const std::size_t tot = static_cast<std::size_t>(plan.tot);
    out.num = plan.tot;
    out.x = plan.x;
    out.dq = plan.dq;
    out.area = plan.area;
    out.y.assign(tot, 0.0f);
    out.dy.assign(tot, 0.0f);
    float* y = out.y.data();
    float* v = out.dy.data();
    for (const AveEntry& e : plan.entries) {
        const double val = in.intens[e.pixel];
        const double unc = in.uncert[e.pixel];
        if (!std::isfinite(val) || !std::isfinite(unc)) return false;
        y[e.bin] = add_run(y[e.bin], val * 0.01, e.count);
        v[e.bin] = add_run(v[e.bin], unc * 0.01 * unc, e.count);
    }
    // Mean and uncertainty of each bin, as ave_data finishes them.
    for (std::size_t i = 0; i < tot; ++i) {
        const float a = out.area[i];
        y[i] = pk::to_float(static_cast<double>(y[i]) / a);
        v[i] = a != 0 ? pk::to_float(std::sqrt(static_cast<double>(v[i])) / a)
                      : pk::to_float(std::sqrt(static_cast<double>(v[i])));
        if (a != 0 && !(std::isfinite(out.x[i]) && std::isfinite(y[i]) && std::isfinite(v[i]) &&
                        std::isfinite(out.dq[i])))
            return false;
    }
    return true;
}

}  // namespace pk
