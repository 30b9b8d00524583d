// The azimuthal average written plainly, formula by formula, one sub-pixel
// at a time: the yardstick the fast average in src/ave_data.cpp is timed
// against (and must equal to the bit).
#include <cmath>
#include <cstdio>

#include "ave_literal.h"
#include "common.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPi = 12.566370614359172;

}  // namespace

int ave_data_literal(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask) {
    const double px = p.px;
    const double py = p.py;
    const double bx = p.bx;
    const double by = p.by;

    // Bin width from the smaller pixel spacing.
    float bin = pk::to_float(p.px > p.py ? static_cast<double>(p.bin_width) * py : static_cast<double>(p.bin_width) * px);
    // Radius reaching the corner of a 192-pixel frame about the beam centre.
    const double X = p.bx > 95.0f ? bx + 0.5 : 191.5 - bx;
    const double Y = p.by > 95.0f ? by + 0.5 : 191.5 - by;
    const float max = pk::to_float(std::sqrt(X * X * px * px + Y * Y * py * py));
    const double quotient = static_cast<double>(max) / bin;
    if (!(quotient >= 0 && quotient < kCurveValues)) {
        std::printf("ave_data -> the bin width and geometry ask for %g bins, more than the %d the curve holds; "
                    "the curve cannot be averaged\n",
                    quotient, kCurveValues);
        return -1;
    }
    const int tot = static_cast<int>(quotient) + 1;
    bin = pk::to_float(static_cast<double>(max) / tot);
    out.num = tot;
    for (std::vector<float>* a : {&out.x, &out.y, &out.dy, &out.dq, &out.area})
        if (a->size() < static_cast<std::size_t>(kCurveValues)) a->resize(kCurveValues, 0.0f);

    // Q and Q resolution of every bin.
    const double L1 = p.src2sam;
    const double R1 = p.srcapp;
    const double R2 = p.samapp;
    const double k0 = kTwoPi / p.wavelen;
    for (int i = 0; i < tot; ++i) {
        const float theta = pk::to_float(0.5 * std::atan(i * static_cast<double>(bin) / p.sam2det));
        out.x[i] = pk::to_float(std::sin(static_cast<double>(theta)) * kFourPi / p.wavelen);
        out.y[i] = 0.0f;
        out.dy[i] = 0.0f;
        out.area[i] = 0.0f;
        const float L2 = pk::to_float(static_cast<double>(p.sam2det) * std::cos(static_cast<double>(theta)));
        const float L = pk::to_float(L1 * L2 / (L1 + L2));
        const float RP = pk::to_float((i + 0.5) * bin);
        const double l2 = L2;
        const double l = L;
        const double rp = RP;
        const float source = pk::to_float(6 * R1 * R1 / (L1 * L1));
        const float aperture = pk::to_float(6 * R2 * R2 / (l * l));
        const float pixel = pk::to_float((px * px + py * py) / (l2 * l2));
        const float spread = pk::to_float(rp * rp * p.dwavelen * p.dwavelen / (l2 * l2));
        out.dq[i] = pk::to_float(std::sqrt(k0 * k0 / 12 * (static_cast<double>(source) + aperture + pixel + spread)));
    }

    const double thmin = p.thmin;
    const double thmax = p.thmax;
    const float half_pi = static_cast<float>(kPi / 2);
    const float three_half_pi = static_cast<float>(3 * kPi / 2);
    for (int i = 0; i < kDetSide; ++i) {
        if (std::fmod(static_cast<double>(i), 8.0) == 0) std::printf("*");
        for (int j = 0; j < kDetSide; ++j) {
            const int k = i + kDetSide * j;
            if (!(mask.intens[k] > 0.25f)) continue;
            const double val = in.intens[k];
            const double unc = in.uncert[k];
            for (int m = 0; m < 10; ++m) {
                const float x = pk::to_float(i + (m + 0.5) * 0.1);
                for (int n = 0; n < 10; ++n) {
                    const float y = pk::to_float(j + (n + 0.5) * 0.1);
                    const double dx = x - bx;
                    const double dy = y - by;
                    const float r = pk::to_float(std::sqrt(dx * dx * px * px + dy * dy * py * py));
                    const double where = tot * static_cast<double>(r) / max;
                    if (!(where >= 0 && where < tot)) {
                        std::printf("ave_data -> pixel (%d, %d) lies beyond the averaging radius; "
                                    "the curve cannot be averaged\n", i, j);
                        return -1;
                    }
                    const int idx = static_cast<int>(where);
                    const float tx = pk::to_float(dx);
                    const float ty = pk::to_float(dy);
                    float azang;
                    if (tx == 0) {
                        azang = ty >= 0 ? half_pi : three_half_pi;
                    } else {
                        azang = pk::to_float(std::atan(static_cast<double>(ty) / tx));
                        if (tx < 0) azang = pk::to_float(azang + kPi);
                        if (azang < 0) azang = pk::to_float(azang + kTwoPi);
                    }
                    if (thmin <= azang && azang <= thmax) {
                        out.y[idx] = pk::to_float(out.y[idx] + val * 0.01);
                        out.dy[idx] = pk::to_float(out.dy[idx] + unc * 0.01 * unc);
                        out.area[idx] = pk::to_float(out.area[idx] + 0.01);
                    }
                }
            }
        }
    }
    std::printf("\n");

    for (int i = 0; i < tot; ++i) {
        out.y[i] = pk::to_float(static_cast<double>(out.y[i]) / out.area[i]);
        if (out.area[i] != 0) out.dy[i] = pk::to_float(std::sqrt(static_cast<double>(out.dy[i])) / out.area[i]);
        else out.dy[i] = pk::to_float(std::sqrt(static_cast<double>(out.dy[i])));
    }
    // A bin that will be written must hold finite numbers only.
    for (int i = 0; i < tot; ++i) {
        if (out.area[i] == 0) continue;
        if (!std::isfinite(out.x[i]) || !std::isfinite(out.y[i]) || !std::isfinite(out.dy[i]) ||
            !std::isfinite(out.dq[i])) {
            std::printf("ave_data -> bin %d would hold a value that is not finite (Q %f, I %f, dI %f, dQ %f); "
                        "the curve cannot be averaged\n",
                        i, static_cast<double>(out.x[i]), static_cast<double>(out.y[i]),
                        static_cast<double>(out.dy[i]), static_cast<double>(out.dq[i]));
            return -1;
        }
    }
    return 1;
}
