// Azimuthal averaging of the reduced image into I(Q) with the uncertainty
// and the Q resolution of every radial bin.  Every unmasked pixel is split
// into 10 x 10 sub-pixels; each sub-pixel inside the azimuthal sector adds a
// hundredth of the pixel to the bin of its radius.
//
// The sums are taken by the average's engine (ave_fast.cpp), which gives
// exactly the result of taking the sub-pixels one by one, for every input.
// Asked for them (ave_data_sums), it takes in the same pass the sums a
// writer of the curve needs beyond it: the Q of the sub-pixels of every
// bin, and of every pixel the number w of its sub-pixels in each bin, as
// w^2, w^2 sigma^2 and w w' sigma^2 with the next bin's w'.
#include "ave_data.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "ave_fast.h"
#include "ave_plan.h"
#include "geometry.h"
#include "keywords.h"

namespace pk {

namespace {

using pk::ave::kTwoPi;
constexpr double kFourPi = 12.566370614359172;

// Q at the inner edge and Q resolution of bins 0 .. tot - 1 of width bin;
// their sums start at zero.
void q_table(const Param& p, int tot, float bin, Data1D& out) {
    const double px = p.px;
    const double py = p.py;
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
}

// Mean intensity and its uncertainty of bins 0 .. tot - 1 from their sums.
// Fails when a bin that will be written would hold a number that is not
// finite.
Status finish_bins(Data1D& out, int tot) {
    for (int i = 0; i < tot; ++i) {
        out.y[i] = pk::to_float(static_cast<double>(out.y[i]) / out.area[i]);
        if (out.area[i] != 0) out.dy[i] = pk::to_float(std::sqrt(static_cast<double>(out.dy[i])) / out.area[i]);
        else out.dy[i] = pk::to_float(std::sqrt(static_cast<double>(out.dy[i])));
    }
    for (int i = 0; i < tot; ++i) {
        if (out.area[i] == 0) continue;
        if (!std::isfinite(out.x[i]) || !std::isfinite(out.y[i]) || !std::isfinite(out.dy[i]) ||
            !std::isfinite(out.dq[i]))
            return failure(Stage::average, Code::not_finite, "ave_data",
                           pk::format("bin %d would hold a value that is not finite (Q %f, I %f, dI %f, "
                                      "dQ %f); the curve cannot be averaged",
                                      i, static_cast<double>(out.x[i]), static_cast<double>(out.y[i]),
                                      static_cast<double>(out.dy[i]), static_cast<double>(out.dq[i])));
    }
    return ok_status();
}

// The writer's sums of bins 0 .. tot - 1, zero.
void clear_sums(BinSums& s, int tot) {
    for (std::vector<double>* a : {&s.n, &s.q, &s.w2, &s.w2var, &s.next_cov})
        a->assign(static_cast<std::size_t>(tot), 0.0);
}

// The curve's bins for the geometry, with their Q and resolution and
// their sums at zero.
Status lay_out(const Param& p, Data1D& out, CurveBins& c) {
    const Status laid = curve_bins(p, c);
    if (!laid.ok()) return laid;
    out.num = c.tot;
    for (std::vector<float>* a : {&out.x, &out.y, &out.dy, &out.dq, &out.area})
        if (a->size() < static_cast<std::size_t>(c.tot)) a->resize(static_cast<std::size_t>(c.tot), 0.0f);
    q_table(p, c.tot, c.bin, out);
    return ok_status();
}

// The average, its sums taken by the engine (ave_fast.cpp); the writer's
// sums too when asked.
Status average(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, const Console& con,
               BinSums* sums) {
    CurveBins c;
    const Status laid = lay_out(p, out, c);
    if (!laid.ok()) return laid;
    const int tot = c.tot;
    if (sums) clear_sums(*sums, tot);
    const Status st = pk::ave::sum_bins(p, in, out, mask, tot, c.max, con, sums);
    if (!st.ok()) return st;
    return finish_bins(out, tot);
}

}  // namespace

Status curve_bins(const Param& p, CurveBins& c) {
    const double px = p.px;
    const double py = p.py;
    const double bx = p.bx;
    const double by = p.by;

    // Bin width from the smaller pixel spacing.
    float bin = pk::to_float(p.px > p.py ? static_cast<double>(p.bin_width) * py
                                         : static_cast<double>(p.bin_width) * px);
    // Radius reaching the corner of a 192-pixel frame about the beam centre.
    const double X = p.bx > 95.0f ? bx + 0.5 : 191.5 - bx;
    const double Y = p.by > 95.0f ? by + 0.5 : 191.5 - by;
    const float max = pk::radius(X, Y, px, py);
    const double quotient = static_cast<double>(max) / bin;
    if (!(quotient >= 0 && quotient < kCurveValues))
        return failure_at(Stage::average, Code::too_many_bins, BINS, -1, "ave_data",
                          pk::format("the bin width and geometry ask for %g bins, more than the %d the "
                                     "curve holds; the curve cannot be averaged",
                                     quotient, kCurveValues));
    c.tot = static_cast<int>(quotient) + 1;
    c.max = max;
    c.bin = pk::to_float(static_cast<double>(max) / c.tot);
    return ok_status();
}

Status curve_table(const Param& p, const std::vector<AveEntry>& entries, Data1D& out) {
    CurveBins c;
    const Status laid = lay_out(p, out, c);
    if (!laid.ok()) return laid;
    const int tot = c.tot;
    const std::size_t n = static_cast<std::size_t>(tot);
    // The sub-pixels of each bin, and its area as the average adds it.
    std::vector<uint32_t> total(n, 0);
    for (const AveEntry& e : entries) {
        if (e.bin >= n) return failure(Stage::average, Code::too_many_bins, "ave_data", "an entry beyond the curve");
        total[e.bin] += e.count;
    }
    for (std::size_t b = 0; b < n; ++b) out.area[b] = pk::ave::add_repeated(0.0f, 0.01, total[b]);
    // An average of an empty image: every bin that has an area is 0 with
    // no uncertainty; as finish_bins, a bin that would not be finite.
    return finish_bins(out, tot);
}

Status ave_data(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, const Console& con) {
    return average(p, in, out, mask, con, nullptr);
}

Status ave_data_sums(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, BinSums& sums,
                     const Console& con) {
    return average(p, in, out, mask, con, &sums);
}

}  // namespace pk
