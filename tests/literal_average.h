// The azimuthal average worked out plainly, formula by formula, one
// sub-pixel at a time: the yardstick the library's average is held to, bit
// for bit, by the tests (and timed against by the benchmarks).  Needs no
// test framework.
#ifndef PELKARO_LITERAL_AVERAGE_H
#define PELKARO_LITERAL_AVERAGE_H

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "geometry.h"
#include "pelkaro/files.h"

namespace pkt {

using namespace pk;

// The refusal of the azimuthal average, worded as Pelkaro prints it.
inline Status average_refusal(Code code, int keyword, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
inline Status average_refusal(Code code, int keyword, const char* fmt, ...) {
    char reason[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(reason, sizeof reason, fmt, args);
    va_end(args);
    Status s;
    s.stage = Stage::average;
    s.code = code;
    s.keyword = keyword;
    s.reason = reason;
    s.detail = std::string("ave_data -> ") + reason + "\n";
    return s;
}

// The curve's bins as the average lays them out: their number in out.num,
// their width in `bin`, Q and its resolution, the sums cleared.  False when
// the curve cannot hold them.
inline bool literal_bins(const Param& p, Data1D& out, float& bin, float& max, double& quotient) {
    const double pi = 3.141592653589793;
    auto f = [](double v) { return pk::to_float(v); };
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    bin = f(p.px > p.py ? 1.0 * p.bin_width * py : 1.0 * p.bin_width * px);
    const double X = p.bx > 95.0f ? bx + 0.5 : 191.5 - bx, Y = p.by > 95.0f ? by + 0.5 : 191.5 - by;
    max = f(std::sqrt(X * X * px * px + Y * Y * py * py));
    quotient = 1.0 * max / bin;
    if (!(quotient >= 0 && quotient < kCurveValues)) return false;
    const int tot = static_cast<int>(quotient) + 1;
    bin = f(1.0 * max / tot);
    out.num = tot;
    const double L1 = p.src2sam, R1 = p.srcapp, R2 = p.samapp, k0 = 2 * pi / p.wavelen;
    for (int i = 0; i < tot; ++i) {
        const float theta = f(0.5 * std::atan(i * 1.0 * bin / p.sam2det));
        out.x[i] = f(std::sin(1.0 * theta) * 4 * pi / p.wavelen);
        out.y[i] = out.dy[i] = out.area[i] = 0;
        const float L2 = f(1.0 * p.sam2det * std::cos(1.0 * theta)), L = f(L1 * L2 / (L1 + L2));
        const double l2 = L2, l = L, rp = f((i + 0.5) * bin);
        const float t1 = f(6 * R1 * R1 / (L1 * L1)), t2 = f(6 * R2 * R2 / (l * l));
        const float t3 = f((px * px + py * py) / (l2 * l2)), t4 = f(rp * rp * p.dwavelen * p.dwavelen / (l2 * l2));
        out.dq[i] = f(std::sqrt(k0 * k0 / 12 * (1.0 * t1 + t2 + t3 + t4)));
    }
    return true;
}

// The sums of the curve's bins over every used sub-pixel within the sector,
// a star on the console every eight columns.
inline Status literal_sums(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, float max,
                           const Console& con) {
    const double pi = 3.141592653589793;
    auto f = [](double v) { return pk::to_float(v); };
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    const int tot = out.num;
    for (int i = 0; i < 128; ++i) {
        if (std::fmod(1.0 * i, 8.0) == 0) pk::say(con, "*");
        for (int j = 0; j < 128; ++j) {
            const int k = i + 128 * j;
            if (!(mask.intens[k] > 0.25f)) continue;
            for (int m = 0; m < 10; ++m)
                for (int n = 0; n < 10; ++n) {
                    const float x = f(i + (m + 0.5) * 0.1), y = f(j + (n + 0.5) * 0.1);
                    const double dx = x - bx, dy = y - by;
                    const float r = f(std::sqrt(dx * dx * px * px + dy * dy * py * py));
                    const double where = tot * 1.0 * r / max;
                    if (!(where >= 0 && where < tot))
                        return average_refusal(Code::not_finite, -1,
                                               "pixel (%d, %d) lies beyond the averaging radius; "
                                               "the curve cannot be averaged", i, j);
                    const int idx = static_cast<int>(where);
                    const float tx = f(dx), ty = f(dy);
                    float az;
                    if (tx == 0) {
                        az = ty >= 0 ? static_cast<float>(pi / 2) : static_cast<float>(3 * pi / 2);
                    } else {
                        az = f(std::atan(1.0 * ty / tx));
                        if (tx < 0) az = f(az + pi);
                        if (az < 0) az = f(az + 2 * pi);
                    }
                    if (!(p.thmin <= az && az <= p.thmax)) continue;
                    out.y[idx] = f(out.y[idx] + in.intens[k] * 0.01);
                    out.dy[idx] = f(out.dy[idx] + in.uncert[k] * 0.01 * in.uncert[k]);
                    out.area[idx] = f(out.area[idx] + 0.01);
                }
        }
    }
    pk::say(con, "\n");
    return Status{};
}

// The azimuthal average worked out plainly, formula by formula, one
// sub-pixel at a time, printing on `con` what ave_data prints and refusing
// what it refuses in the same words; the yardstick of the averaging tests.
// `out`'s arrays must hold kCurveValues values.
inline Status literal_average(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask,
                              const Console& con = Console{nullptr, nullptr}) {
    auto f = [](double v) { return pk::to_float(v); };
    float bin = 0, max = 0;
    double quotient = 0;
    if (!literal_bins(p, out, bin, max, quotient))
        return average_refusal(Code::too_many_bins, BINS,
                               "the bin width and geometry ask for %g bins, more than the %d the curve holds; "
                               "the curve cannot be averaged", quotient, kCurveValues);
    const Status summed = literal_sums(p, in, out, mask, max, con);
    if (!summed.ok()) return summed;
    const int tot = out.num;
    for (int i = 0; i < tot; ++i) {
        out.y[i] = f(1.0 * out.y[i] / out.area[i]);
        out.dy[i] = out.area[i] != 0 ? f(std::sqrt(1.0 * out.dy[i]) / out.area[i]) : f(std::sqrt(1.0 * out.dy[i]));
    }
    for (int i = 0; i < tot; ++i) {
        if (out.area[i] == 0) continue;
        if (!std::isfinite(out.x[i]) || !std::isfinite(out.y[i]) || !std::isfinite(out.dy[i]) ||
            !std::isfinite(out.dq[i]))
            return average_refusal(Code::not_finite, -1,
                                   "bin %d would hold a value that is not finite (Q %f, I %f, dI %f, dQ %f); "
                                   "the curve cannot be averaged", i, 1.0 * out.x[i], 1.0 * out.y[i],
                                   1.0 * out.dy[i], 1.0 * out.dq[i]);
    }
    return Status{};
}

// Where sub-pixel (m, n) of pixel (i, j) lies, as the literal average finds
// it: its offsets from the beam centre, its place among the tot bins out
// to radius max (its bin when from 0 to below tot) and its azimuth.
struct SubPixel {
    double dx, dy;
    double where;
    float az;
};
inline SubPixel subpixel_at(const Param& p, int i, int j, int m, int n, int tot, float max) {
    const double pi = 3.141592653589793;
    auto f = [](double v) { return pk::to_float(v); };
    SubPixel s;
    s.dx = f(i + (m + 0.5) * 0.1) - static_cast<double>(p.bx);
    s.dy = f(j + (n + 0.5) * 0.1) - static_cast<double>(p.by);
    const double px = p.px, py = p.py;
    const float r = f(std::sqrt(s.dx * s.dx * px * px + s.dy * s.dy * py * py));
    s.where = tot * 1.0 * r / max;
    const float tx = f(s.dx), ty = f(s.dy);
    if (tx == 0) {
        s.az = ty >= 0 ? static_cast<float>(pi / 2) : static_cast<float>(3 * pi / 2);
    } else {
        s.az = f(std::atan(1.0 * ty / tx));
        if (tx < 0) s.az = f(s.az + pi);
        if (s.az < 0) s.az = f(s.az + 2 * pi);
    }
    return s;
}

// The writer's sums of the average (BinSums) taken literally, pixel by
// pixel: of each pixel in use the number w of its sub-pixels in the sector
// that fall into each bin, adding w, w^2, w^2 sigma^2 and, with the next
// bin's w', w w' sigma^2; and the Q of every such sub-pixel,
// 4 pi / lambda sin(atan(r / L) / 2).  False where the average refuses.
inline bool literal_bin_sums(const Param& p, const Data2D& in, const Data2D& mask, BinSums& sums) {
    Data1D bins;
    for (auto* a : {&bins.x, &bins.y, &bins.dy, &bins.dq, &bins.area}) a->assign(kCurveValues, 0.0f);
    float bin = 0, max = 0;
    double quotient = 0;
    if (!literal_bins(p, bins, bin, max, quotient)) return false;
    const std::size_t tot = static_cast<std::size_t>(bins.num);
    for (std::vector<double>* a : {&sums.n, &sums.q, &sums.w2, &sums.w2var, &sums.next_cov}) a->assign(tot, 0.0);
    std::vector<double> w(tot + 1), q(tot);
    for (int i = 0; i < 128; ++i)
        for (int j = 0; j < 128; ++j) {
            const int k = i + 128 * j;
            if (!(mask.intens[k] > 0.25f)) continue;
            std::fill(w.begin(), w.end(), 0.0), std::fill(q.begin(), q.end(), 0.0);
            for (int m = 0; m < 10; ++m)
                for (int n = 0; n < 10; ++n) {
                    const SubPixel s = subpixel_at(p, i, j, m, n, static_cast<int>(tot), max);
                    if (!(s.where >= 0 && s.where < static_cast<double>(tot))) return false;
                    if (!(p.thmin <= s.az && s.az <= p.thmax)) continue;
                    const std::size_t b = static_cast<std::size_t>(s.where);
                    const double r = std::sqrt(s.dx * s.dx * p.px * p.px + s.dy * s.dy * p.py * p.py);
                    w[b] += 1;
                    q[b] += 4 * 3.141592653589793 / p.wavelen * std::sin(0.5 * std::atan(r / p.sam2det));
                }
            const double var = 1.0 * in.uncert[k] * in.uncert[k];
            for (std::size_t b = 0; b < tot; ++b) {
                if (w[b] == 0) continue;
                sums.n[b] += w[b], sums.q[b] += q[b], sums.w2[b] += w[b] * w[b], sums.w2var[b] += w[b] * w[b] * var;
                if (w[b + 1] != 0) sums.next_cov[b] += w[b] * w[b + 1] * var;
            }
        }
    return true;
}

}  // namespace pkt

#endif
