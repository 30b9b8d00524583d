// The azimuthal average against its formulae taken literally, one sub-pixel
// at a time: random geometries, sectors, bin widths, masks and images must
// give the same result, console output and curve arrays to the bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "Pelkaro.h"
#include "common.h"
#include "test_util.h"

namespace {

const double kPi = 3.141592653589793;

int literal_average(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask) {
    auto f = [](double v) { return pk::to_float(v); };
    const double px = p.px, py = p.py, bx = p.bx, by = p.by;
    float bin = f(p.px > p.py ? 1.0 * p.bin_width * py : 1.0 * p.bin_width * px);
    const double X = p.bx > 95.0f ? bx + 0.5 : 191.5 - bx, Y = p.by > 95.0f ? by + 0.5 : 191.5 - by;
    const float max = f(std::sqrt(X * X * px * px + Y * Y * py * py));
    const double quotient = 1.0 * max / bin;
    if (!(quotient >= 0 && quotient < kCurveValues)) {
        std::printf("ave_data -> the bin width and geometry ask for %g bins, more than the %d the curve holds; "
                    "the curve cannot be averaged\n", quotient, kCurveValues);
        return -1;
    }
    const int tot = static_cast<int>(quotient) + 1;
    bin = f(1.0 * max / tot);
    out.num = tot;
    const double L1 = p.src2sam, R1 = p.srcapp, R2 = p.samapp, k0 = 2 * kPi / p.wavelen;
    for (int i = 0; i < tot; ++i) {
        const float theta = f(0.5 * std::atan(i * 1.0 * bin / p.sam2det));
        out.x[i] = f(std::sin(1.0 * theta) * 4 * kPi / p.wavelen);
        out.y[i] = out.dy[i] = out.area[i] = 0;
        const float L2 = f(1.0 * p.sam2det * std::cos(1.0 * theta)), L = f(L1 * L2 / (L1 + L2));
        const double l2 = L2, l = L, rp = f((i + 0.5) * bin);
        const float t1 = f(6 * R1 * R1 / (L1 * L1)), t2 = f(6 * R2 * R2 / (l * l));
        const float t3 = f((px * px + py * py) / (l2 * l2)), t4 = f(rp * rp * p.dwavelen * p.dwavelen / (l2 * l2));
        out.dq[i] = f(std::sqrt(k0 * k0 / 12 * (1.0 * t1 + t2 + t3 + t4)));
    }
    for (int i = 0; i < 128; ++i) {
        if (std::fmod(1.0 * i, 8.0) == 0) std::printf("*");
        for (int j = 0; j < 128; ++j) {
            const int k = i + 128 * j;
            if (!(mask.intens[k] > 0.25f)) continue;
            for (int m = 0; m < 10; ++m)
                for (int n = 0; n < 10; ++n) {
                    const float x = f(i + (m + 0.5) * 0.1), y = f(j + (n + 0.5) * 0.1);
                    const double dx = x - bx, dy = y - by;
                    const float r = f(std::sqrt(dx * dx * px * px + dy * dy * py * py));
                    const double where = tot * 1.0 * r / max;
                    if (!(where >= 0 && where < tot)) {
                        std::printf("ave_data -> pixel (%d, %d) lies beyond the averaging radius; "
                                    "the curve cannot be averaged\n", i, j);
                        return -1;
                    }
                    const int idx = static_cast<int>(where);
                    const float tx = f(dx), ty = f(dy);
                    float az;
                    if (tx == 0) {
                        az = ty >= 0 ? static_cast<float>(kPi / 2) : static_cast<float>(3 * kPi / 2);
                    } else {
                        az = f(std::atan(1.0 * ty / tx));
                        if (tx < 0) az = f(az + kPi);
                        if (az < 0) az = f(az + 2 * kPi);
                    }
                    if (!(p.thmin <= az && az <= p.thmax)) continue;
                    out.y[idx] = f(out.y[idx] + in.intens[k] * 0.01);
                    out.dy[idx] = f(out.dy[idx] + in.uncert[k] * 0.01 * in.uncert[k]);
                    out.area[idx] = f(out.area[idx] + 0.01);
                }
        }
    }
    std::printf("\n");
    for (int i = 0; i < tot; ++i) {
        out.y[i] = f(1.0 * out.y[i] / out.area[i]);
        out.dy[i] = out.area[i] != 0 ? f(std::sqrt(1.0 * out.dy[i]) / out.area[i]) : f(std::sqrt(1.0 * out.dy[i]));
    }
    for (int i = 0; i < tot; ++i) {
        if (out.area[i] == 0) continue;
        if (!std::isfinite(out.x[i]) || !std::isfinite(out.y[i]) || !std::isfinite(out.dy[i]) ||
            !std::isfinite(out.dq[i])) {
            std::printf("ave_data -> bin %d would hold a value that is not finite (Q %f, I %f, dI %f, dQ %f); "
                        "the curve cannot be averaged\n", i, 1.0 * out.x[i], 1.0 * out.y[i], 1.0 * out.dy[i],
                        1.0 * out.dq[i]);
            return -1;
        }
    }
    return 1;
}

struct Outcome {
    int rc;
    std::string text;
    Data1D curve;
};

template <class F>
Outcome run(F average, const Param& p, const Data2D& in, const Data2D& mask) {
    Outcome o;
    for (auto* a : {&o.curve.x, &o.curve.y, &o.curve.dy, &o.curve.dq, &o.curve.area}) a->assign(kCurveValues, -3.0f);
    o.text = pkt::capture([&] { o.rc = average(p, in, o.curve, mask); });
    return o;
}

::testing::AssertionResult same(const Outcome& a, const Outcome& b) {
    if (a.rc != b.rc || a.text != b.text || a.curve.num != b.curve.num)
        return ::testing::AssertionFailure() << "result " << a.rc << " vs " << b.rc << ", output \"" << a.text
                                             << "\" vs \"" << b.text << "\"";
    const std::vector<float>* const fa[5] = {&a.curve.x, &a.curve.y, &a.curve.dy, &a.curve.dq, &a.curve.area};
    const std::vector<float>* const fb[5] = {&b.curve.x, &b.curve.y, &b.curve.dy, &b.curve.dq, &b.curve.area};
    for (int q = 0; q < 5; ++q)
        for (int i = 0; i < kCurveValues; ++i)
            if (std::memcmp(&(*fa[q])[i], &(*fb[q])[i], sizeof(float)) != 0)
                return ::testing::AssertionFailure() << "array " << q << " bin " << i << ": " << (*fa[q])[i]
                                                     << " vs " << (*fb[q])[i];
    return ::testing::AssertionSuccess();
}

#ifdef PELKARO_SANITIZED
constexpr int kCases = 100;
#else
constexpr int kCases = 1000;
#endif

TEST(FastAverage, EqualsTheLiteralFormulaeToTheBit) {
    std::mt19937 rng(20240611);
    auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const float deg = static_cast<float>(kPi / 180);
    auto centre = [&]() -> float {
        const int whole = pick(128);
        switch (pick(7)) {
            case 0: return whole + 0.5f;                                      // pixel centre
            case 1: return static_cast<float>(whole);                         // pixel edge
            case 2: return static_cast<float>(whole + 0.05 + 0.1 * pick(10));  // on sub-pixel lines
            case 3: return std::nextafter(static_cast<float>(whole + 0.05 + 0.1 * pick(10)), pick(2) ? 0.0f : 999.0f);
            case 4: return static_cast<float>(pick(2) ? uni(-60, -0.01) : uni(128, 511));  // outside
            case 5: return static_cast<float>(pick(2) ? 95 : 95.5);
            default: return static_cast<float>(uni(0, 128));
        }
    };
    for (int c = 0; c < kCases; ++c) {
        Param p{};
        p.px = static_cast<float>(uni(0.5, 8));
        p.py = pick(3) ? p.px : static_cast<float>(p.px * uni(0.3, 3));
        p.bx = centre(), p.by = centre();
        p.bin_width = pick(2) ? static_cast<float>(1 + pick(4)) : static_cast<float>(uni(0.4, 6));
        p.sam2det = static_cast<float>(uni(500, 20000)), p.src2sam = static_cast<float>(uni(1000, 20000));
        p.srcapp = static_cast<float>(uni(1, 30)), p.samapp = static_cast<float>(uni(1, 15));
        p.wavelen = static_cast<float>(uni(2, 20)), p.dwavelen = static_cast<float>(uni(0, 0.3));
        const float quarter[5] = {0, 90, 180, 270, 360};
        const int sector = pick(24);
        const double a = uni(0, 360), b = uni(0, 360);
        if (sector < 6) {  // full circle, as the parameter file gives it
            p.thmin = 0, p.thmax = static_cast<float>(360 * (kPi / 180));
        } else if (sector < 10) {  // quadrants: limits on the branch lines of the azimuth
            p.thmin = static_cast<float>(quarter[pick(4)] * (kPi / 180)), p.thmax = p.thmin + 90 * deg;
        } else if (sector < 12) {  // a single direction
            p.thmin = p.thmax = static_cast<float>(quarter[pick(5)] * (kPi / 180));
        } else if (sector == 12) {  // no sector at all
            p.thmin = static_cast<float>(uni(0, 7)), p.thmax = pick(2) ? p.thmin * 0.5f : NAN;
        } else {
            p.thmin = static_cast<float>(std::fmin(a, b) * kPi / 180);
            p.thmax = static_cast<float>(std::fmax(a, b) * kPi / 180);
        }
        Data2D in, mask;
        in.intens.assign(kImageValues, 0), in.uncert.assign(kImageValues, 0), mask.intens.assign(kImageValues, 0);
        const double density = pick(12) == 0 ? 1.0 : uni(0.005, 0.1);
        const int kind = pick(3);
        for (int k = 0; k < kDetPixels; ++k) {
            mask.intens[k] = uni(0, 1) < density ? (pick(50) ? 1.0f : 0.26f) : (pick(2) ? 0.25f : 0.0f);
            if (kind == 0) {  // counts
                in.intens[k] = static_cast<float>(uni(-50, 1e5)), in.uncert[k] = static_cast<float>(uni(0, 400));
            } else if (kind == 1) {  // wide range
                in.intens[k] = static_cast<float>(std::ldexp(uni(-1, 1), pick(80) - 40));
                in.uncert[k] = static_cast<float>(std::ldexp(uni(0, 1), pick(40) - 20));
            } else {  // terms that are exact binary fractions: rounding ties in the sums
                in.intens[k] = static_cast<float>(std::ldexp(100.0 * (pick(7) - 3), pick(40) - 5));
                in.uncert[k] = static_cast<float>(std::ldexp(100.0, pick(20) - 10));
            }
        }
        if (pick(50) == 0) mask.intens[pick(kDetPixels)] = NAN;
        if (pick(50) == 0) {  // refusals: a value that is not finite, a negative spacing, too many bins
            const int k = pick(kDetPixels);
            in.intens[k] = INFINITY, mask.intens[k] = 1;
        }
        if (pick(100) == 0) p.px = -p.px;
        if (pick(100) == 0) p.bin_width = 0.01f;
        const Outcome fast = run([](const Param& q, const Data2D& d, Data1D& o, const Data2D& m) { return ave_data(q, d, o, m); }, p, in, mask);
        const Outcome literal = run(literal_average, p, in, mask);
        ASSERT_TRUE(same(fast, literal)) << "case " << c << ": px " << p.px << " py " << p.py << " bx " << p.bx
                                         << " by " << p.by << " bin " << p.bin_width << " sector " << p.thmin
                                         << ".." << p.thmax << " density " << density << " kind " << kind;
    }
}

}  // namespace
