// Reductions of a series: the average by a plan against ave_data on random
// geometries, masks and images, and reductions with the fixed parts of a
// configuration against the whole reduction of the same parameter file, to
// the bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/run.h"
#include "pelkaro/series.h"
#include "series_parts.h"
#include "test_util.h"
#include "ave_data.h"
#include "ave_plan.h"
#include "pelkaro/files.h"
#include "series_setup.h"
#include "sub_data.h"

namespace {

using namespace pk;
const double kPi = 3.141592653589793;

bool same_bits(const std::vector<float>& a, const std::vector<float>& b, std::size_t n) {
    return a.size() >= n && b.size() >= n && std::memcmp(a.data(), b.data(), n * sizeof(float)) == 0;
}

::testing::AssertionResult same_curve(const Data1D& a, const Data1D& b) {
    if (a.num != b.num) return ::testing::AssertionFailure() << "bins " << a.num << " vs " << b.num;
    const std::size_t n = static_cast<std::size_t>(a.num);
    const std::vector<float>* fa[5] = {&a.x, &a.y, &a.dy, &a.dq, &a.area};
    const std::vector<float>* fb[5] = {&b.x, &b.y, &b.dy, &b.dq, &b.area};
    for (int q = 0; q < 5; ++q)
        if (!same_bits(*fa[q], *fb[q], n)) return ::testing::AssertionFailure() << "array " << q << " differs";
    return ::testing::AssertionSuccess();
}

struct Rng {
    std::mt19937 g{20261208};
    double uni(double a, double b) { return std::uniform_real_distribution<double>(a, b)(g); }
    int pick(int n) { return static_cast<int>(g() % static_cast<unsigned>(n)); }
};

Param random_geometry(Rng& r) {
    Param p{};
    p.simd = pkt::test_simd();
    p.px = static_cast<float>(r.uni(0.5, 8));
    p.py = r.pick(3) ? p.px : static_cast<float>(p.px * r.uni(0.3, 3));
    const auto centre = [&r]() {
        const int whole = r.pick(128);
        switch (r.pick(4)) {
            case 0: return whole + 0.5f;
            case 1: return static_cast<float>(whole);
            case 2: return static_cast<float>(whole + 0.05 + 0.1 * r.pick(10));  // on sub-pixel lines
            default: return static_cast<float>(r.pick(4) ? r.uni(0, 128) : r.uni(-40, 300));
        }
    };
    p.bx = centre(), p.by = centre();
    p.bin_width = r.pick(2) ? static_cast<float>(1 + r.pick(4)) : static_cast<float>(r.uni(0.4, 6));
    p.sam2det = static_cast<float>(r.uni(500, 20000)), p.src2sam = static_cast<float>(r.uni(1000, 20000));
    p.srcapp = static_cast<float>(r.uni(1, 30)), p.samapp = static_cast<float>(r.uni(1, 15));
    p.wavelen = static_cast<float>(r.uni(2, 20)), p.dwavelen = static_cast<float>(r.uni(0, 0.3));
    const int sector = r.pick(4);
    if (sector < 2) {
        p.thmin = 0, p.thmax = static_cast<float>(2 * kPi);
    } else if (sector == 2) {  // a quadrant: limits on the branch lines of the azimuth
        p.thmin = static_cast<float>(90 * r.pick(4) * (kPi / 180)), p.thmax = p.thmin + static_cast<float>(kPi / 2);
    } else {
        const double a = r.uni(0, 360), b = r.uni(0, 360);
        p.thmin = static_cast<float>(std::fmin(a, b) * kPi / 180), p.thmax = static_cast<float>(std::fmax(a, b) * kPi / 180);
    }
    return p;
}

void random_image(Rng& r, Data2D& in) {
    in.intens.assign(kImageValues, 0), in.uncert.assign(kImageValues, 0);
    const int kind = r.pick(3);
    for (int k = 0; k < kDetPixels; ++k) {
        if (kind == 0) {  // counts
            in.intens[k] = static_cast<float>(r.uni(-50, 1e5)), in.uncert[k] = static_cast<float>(r.uni(0, 400));
        } else if (kind == 1) {  // a wide range of magnitudes
            in.intens[k] = static_cast<float>(std::ldexp(r.uni(-1, 1), r.pick(80) - 40));
            in.uncert[k] = static_cast<float>(std::ldexp(r.uni(0, 1), r.pick(40) - 20));
        } else {  // exact binary fractions: rounding ties in the sums
            in.intens[k] = static_cast<float>(std::ldexp(100.0 * (r.pick(7) - 3), r.pick(40) - 5));
            in.uncert[k] = static_cast<float>(std::ldexp(100.0, r.pick(20) - 10));
        }
    }
}

// A plan made without the writer's sums against the one made with them:
// the same table and entries, the same refusals, and no sums to give.
void expect_lean_plan_alike(const AvePlan& plan, const AvePlan& lean) {
    ASSERT_EQ(lean.usable, plan.usable);
    if (!plan.usable) return;
    ASSERT_EQ(lean.tot, plan.tot);
    for (auto part : {&AvePlan::x, &AvePlan::dq, &AvePlan::area})
        ASSERT_EQ(std::memcmp((lean.*part).data(), (plan.*part).data(), plan.tot * sizeof(float)), 0);
    ASSERT_EQ(lean.entries.size(), plan.entries.size());
    ASSERT_EQ(std::memcmp(lean.entries.data(), plan.entries.data(), plan.entries.size() * sizeof(AveEntry)), 0);
    ASSERT_EQ(lean.lane_pixel, plan.lane_pixel);
    BinSums none;
    Data2D ones;
    ones.intens.assign(kImageValues, 1.0f), ones.uncert.assign(kImageValues, 1.0f);
    EXPECT_FALSE(sums_by_plan(lean, ones, none));
}

TEST(AveragePlan, EqualsAveDataToTheBit) {
    Rng r;
    int planned = 0, frames = 0;
    for (int c = 0; c < 24; ++c) {
        const Param p = random_geometry(r);
        Data2D mask;
        mask.intens.assign(kImageValues, 0);
        const double density = r.pick(4) == 0 ? 1.0 : r.uni(0.01, 0.2);
        for (int k = 0; k < kDetPixels; ++k)
            mask.intens[k] = r.uni(0, 1) < density ? (r.pick(50) ? 1.0f : 0.26f) : (r.pick(2) ? 0.25f : 0.0f);
        const AvePlan plan = make_ave_plan(p, mask);
        // At most AVX2: its four-lane loop even where AVX-512 is taken.
        Param at_most_avx2 = p;
        at_most_avx2.simd = Simd::avx2;
        const AvePlan plan4 = make_ave_plan(at_most_avx2, mask);
        ASSERT_NO_FATAL_FAILURE(expect_lean_plan_alike(plan, make_ave_plan(p, mask, false))) << "case " << c;
        planned += plan.usable;
        for (int f = 0; f < 3; ++f) {
            Data2D in;
            random_image(r, in);
            Data1D want, got;
            BinSums want_sums, got_sums;
            const Status st = ave_data_sums(p, in, want, mask, want_sums, Console{nullptr, nullptr});
            if (!average_by_plan(plan, in, got)) continue;
            ASSERT_TRUE(sums_by_plan(plan, in, got_sums));
            for (auto part : {&BinSums::n, &BinSums::q, &BinSums::w2, &BinSums::w2var, &BinSums::next_cov}) {
                const std::vector<double>& a = want_sums.*part;
                const std::vector<double>& b = got_sums.*part;
                ASSERT_EQ(a.size(), b.size());
                ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0) << "case " << c;
            }
            ASSERT_TRUE(st.ok()) << "case " << c << ": the plan averaged what ave_data refuses";
            ++frames;
            ASSERT_TRUE(same_curve(got, want)) << "case " << c << " frame " << f;
            // The entries one by one, without the eight-bin loop, and the
            // AVX2 loop: the same bits.
            Data1D one_by_one, by_four;
            ASSERT_TRUE(average_by_plan(plan, in, one_by_one, false));
            ASSERT_TRUE(same_curve(one_by_one, want)) << "case " << c << " frame " << f;
            ASSERT_TRUE(average_by_plan(plan4, in, by_four));
            ASSERT_TRUE(same_curve(by_four, want)) << "case " << c << " frame " << f;
        }
    }
    EXPECT_GE(planned, 20);  // geometries beyond the last bin are the only ones left to ave_data
    EXPECT_GE(frames, 50);
}

// The example's geometry over the full circle, with the loops the
// setting picks.
Param example_geometry() {
    Param p{};
    p.simd = pkt::test_simd();
    p.px = p.py = 5, p.bx = 64.5f, p.by = 62.5f, p.bin_width = 1, p.sam2det = 5000, p.src2sam = 5000;
    p.srcapp = 15, p.samapp = 5, p.wavelen = 6, p.dwavelen = 0.1f, p.thmin = 0, p.thmax = static_cast<float>(2 * kPi);
    return p;
}

// Frames whose bins' sums keep leaving their binade, up and down, and
// crossing zero: every loop (the widest the processor has, AVX2, the
// entries one by one) gives ave_data's bits, through every way a run of
// equal additions is taken.
TEST(AveragePlan, RunsLeavingTheirBinadeAgreeInEveryLoop) {
    Rng r;
    Param p = example_geometry();
    Data2D mask;
    mask.intens.assign(kImageValues, 1.0f);
    Param at_most_avx2 = p;
    at_most_avx2.simd = Simd::avx2;
    const AvePlan plan = make_ave_plan(p, mask), plan4 = make_ave_plan(at_most_avx2, mask);
    ASSERT_TRUE(plan.usable);
    for (int kind = 0; kind < 4; ++kind) {
        Data2D in;
        in.intens.assign(kImageValues, 0), in.uncert.assign(kImageValues, 0);
        for (int k = 0; k < kDetPixels; ++k) {
            // Powers of two a little below or above: sums reach the top of
            // their binade after a few additions.
            const double near_two = std::ldexp(1.0 + (r.pick(3) - 1) * std::ldexp(1.0, -(10 + r.pick(12))), r.pick(8));
            const bool negative = kind == 1 ? (k & 1) != 0 : kind == 2 ? r.pick(5) == 0 : kind == 3 && r.pick(50) == 0;
            in.intens[k] = static_cast<float>((negative ? -1 : 1) * near_two * (kind == 3 && negative ? 300 : 1));
            in.uncert[k] = static_cast<float>(std::ldexp(1.0, r.pick(6)) * (kind == 0 ? 1.0 : r.uni(0.5, 2)));
        }
        Data1D want, got, got4, one_by_one;
        ASSERT_TRUE(ave_data(p, in, want, mask, Console{nullptr, nullptr}).ok());
        ASSERT_TRUE(average_by_plan(plan, in, got)) << "kind " << kind;
        ASSERT_TRUE(average_by_plan(plan4, in, got4)) << "kind " << kind;
        ASSERT_TRUE(average_by_plan(plan, in, one_by_one, false)) << "kind " << kind;
        EXPECT_TRUE(same_curve(got, want)) << "kind " << kind;
        EXPECT_TRUE(same_curve(got4, want)) << "kind " << kind;
        EXPECT_TRUE(same_curve(one_by_one, want)) << "kind " << kind;
    }
}

// A plan made by hand: `bins` bins, each a run of entries of its own
// pixels, laid out for the eight-bin loops as make_ave_plan lays them out
// (eight bins a group, step t the t-th entry of each).
AvePlan hand_plan(const std::vector<std::vector<AveEntry>>& bins, AvePlan::Lanes lanes) {
    AvePlan plan;
    plan.usable = true;
    plan.tot = static_cast<int>(bins.size());
    plan.x.assign(bins.size(), 0.01f), plan.dq.assign(bins.size(), 0.001f), plan.area.assign(bins.size(), 1.0f);
    plan.lanes = lanes;
    plan.group_start.push_back(0);
    for (std::size_t first = 0; first < bins.size(); first += 8) {
        std::size_t steps = 0;
        for (std::size_t l = 0; l < 8; ++l) {
            plan.lane_bin.push_back(first + l < bins.size() ? static_cast<int32_t>(first + l) : -1);
            if (first + l < bins.size()) steps = std::max(steps, bins[first + l].size());
        }
        for (std::size_t t = 0; t < steps; ++t)
            for (std::size_t l = 0; l < 8; ++l) {
                const bool has = first + l < bins.size() && t < bins[first + l].size();
                plan.lane_pixel.push_back(has ? bins[first + l][t].pixel : 0);
                plan.lane_count.push_back(has ? static_cast<int32_t>(bins[first + l][t].count) : 0);
            }
        plan.group_start.push_back(plan.group_start.back() + static_cast<uint32_t>(steps));
    }
    // The entries in the order of the walk: the bins' runs interleaved.
    for (std::size_t t = 0;; ++t) {
        bool any = false;
        for (const std::vector<AveEntry>& b : bins)
            if (t < b.size()) plan.entries.push_back(b[t]), any = true;
        if (!any) break;
    }
    return plan;
}

// Sums that sit on the edges of their binade and terms that make rounding
// ties there or reach far across it: each bin starts at, just above or just
// below a power of two (of either sign; near the least normal float too)
// and takes terms of a few of its last places, their halves to eighths,
// and now and then a quarter of its binade or more with such places added.
// The terms are exact binary fractions (a value of 100 m 2^k gives the term
// m 2^k).  Every eight-bin loop the processor has gives the bits of the
// entries one by one.
TEST(AveragePlan, SumsAtTheEdgesOfTheirBinadeAgreeInEveryLoop) {
    Rng r;
    Param p = example_geometry();
    Data2D mask;
    mask.intens.assign(kImageValues, 1.0f);
    const AvePlan::Lanes widest = make_ave_plan(p, mask).lanes;
    if (widest == AvePlan::Lanes::none) GTEST_SKIP() << "no eight-bin loop on this processor or setting";
    std::vector<AvePlan::Lanes> loops{widest};
    if (widest == AvePlan::Lanes::avx512) loops.push_back(AvePlan::Lanes::avx2);
    for (int c = 0; c < 20000; ++c) {
        Data2D in;
        in.intens.assign(kImageValues, 0), in.uncert.assign(kImageValues, 0);
        std::vector<std::vector<AveEntry>> bins(static_cast<std::size_t>(1 + r.pick(24)));
        uint16_t pixel = 0;
        for (std::vector<AveEntry>& b : bins) {
            const int e = r.pick(8) == 0 ? -126 - r.pick(3) : r.pick(60) - 30, len = 1 + r.pick(40);
            const double place = std::ldexp(1.0, e - 23);  // the last place of the binade [2^e, 2^(e+1))
            const double starts[] = {std::ldexp(1.0, e), 1.5 * std::ldexp(1.0, e),
                                     std::ldexp(2.0, e) - (1 + r.pick(4)) * place,
                                     std::ldexp(1.0, e) + (1 + r.pick(4)) * place};
            for (int t = 0; t < len && pixel < kDetPixels; ++t, ++pixel) {
                const int sign = r.pick(2) ? 1 : -1;
                const double small = (r.pick(15) - 7) * std::ldexp(place, r.pick(7) - 4);
                double term = small;
                if (t == 0) term = sign * starts[r.pick(4)];
                else if (r.pick(12) == 0) term = sign * std::ldexp(1.0 + r.pick(3), e - 2 - r.pick(2)) + small;
                in.intens[pixel] = static_cast<float>(100 * term);
                in.uncert[pixel] = static_cast<float>(10 * std::ldexp(1.0 + r.pick(3), (e - 20 + r.pick(8)) / 2));
                const uint32_t count = t == 0 || r.pick(5) ? 1 + static_cast<uint32_t>(r.pick(4))
                                                           : 1 + static_cast<uint32_t>(r.pick(100));
                b.push_back(AveEntry{pixel, 0, count});
            }
        }
        for (std::size_t k = 0; k < bins.size(); ++k)
            for (AveEntry& a : bins[k]) a.bin = static_cast<uint16_t>(k);
        Data1D want;
        ASSERT_TRUE(average_by_plan(hand_plan(bins, widest), in, want, false));
        for (const AvePlan::Lanes lanes : loops) {
            Data1D got;
            ASSERT_TRUE(average_by_plan(hand_plan(bins, lanes), in, got)) << "case " << c;
            ASSERT_TRUE(same_curve(got, want)) << "case " << c << (lanes == AvePlan::Lanes::avx2 ? " (AVX2)" : "");
        }
    }
}

TEST(AveragePlan, LeavesWhatItDoesNotCoverToAveData) {
    Param p = example_geometry();
    p.by = 63.5f;
    Data2D mask, in;
    mask.intens.assign(kImageValues, 1.0f);
    in.intens.assign(kImageValues, 2.0f), in.uncert.assign(kImageValues, 1.0f);
    const AvePlan plan = make_ave_plan(p, mask);
    ASSERT_TRUE(plan.usable);
    Data1D out;
    EXPECT_TRUE(average_by_plan(plan, in, out));
    in.intens[64 + 128 * 70] = INFINITY;  // a pixel in use that is not finite
    EXPECT_FALSE(average_by_plan(plan, in, out));
    EXPECT_FALSE(average_by_plan(plan, in, out, false));
    in.intens[64 + 128 * 70] = 2.0f;
    in.uncert[0] = NAN;  // pixel 0, in use
    EXPECT_FALSE(average_by_plan(plan, in, out));
    mask.intens[0] = 0;  // masked off, it takes no part (the empty places of the eight-bin loop name it)
    EXPECT_TRUE(average_by_plan(make_ave_plan(p, mask), in, out));
    mask.intens[0] = 1;
    p.bin_width = 1e-4f;  // more bins than a curve holds: ave_data's refusal
    EXPECT_FALSE(make_ave_plan(p, mask).usable);
    p.bin_width = 1, p.px = NAN;
    EXPECT_FALSE(make_ave_plan(p, mask).usable);
    p.px = 5, p.wavelen = 0;  // every bin's Q infinite: ave_data's refusal, with the writer's sums or without
    EXPECT_FALSE(make_ave_plan(p, mask).usable);
    EXPECT_FALSE(make_ave_plan(p, mask, false).usable);
    p.wavelen = 6;
    EXPECT_TRUE(make_ave_plan(p, mask, false).usable);
    EXPECT_FALSE(average_by_plan(AvePlan{}, in, out));
}

// An image of counts and their uncertainties.
Data2D counts_image(Rng& r, double scale) {
    Data2D d;
    d.intens.assign(kImageValues, 0), d.uncert.assign(kImageValues, 0);
    for (int k = 0; k < kDetPixels; ++k) {
        d.intens[k] = static_cast<float>(std::floor(r.uni(0, scale)));
        d.uncert[k] = d.intens[k] == 0 ? 1.0f : static_cast<float>(std::sqrt(static_cast<double>(d.intens[k])));
    }
    return d;
}

// The planned subtraction of one sample and the buffers at each width of
// loop (SSE2, AVX2, AVX-512) into got[0 .. 2], the plan made for the
// sample transmission plan_trans.
void planned_at_every_width(Param p, const Data2D& mask, float plan_trans, const std::vector<Data2D>& sam,
                            const std::vector<Data2D>& buf, const Data2D& dc, Data2D (&got)[3], int c) {
    const Simd widths[3] = {Simd::sse2, Simd::avx2, Simd::widest};
    for (int w = 0; w < 3; ++w) {
        p.simd = widths[w];
        PixelSums samples, buffers;
        add_image(samples, sam[0], p.simd);
        for (const Data2D& b : buf) add_image(buffers, b, p.simd);
        got[w].intens.assign(kImageValues, -1), got[w].uncert.assign(kImageValues, -1);
        const SubPlan plan = make_sub_plan(p, mask, plan_trans, buf);
        ASSERT_TRUE(sub_sums_planned(plan, p, sam, buf, samples, buffers, dc, got[w])) << "case " << c;
    }
}

TEST(SubtractionPlan, EqualsSubSumsToTheBit) {
    Rng r;
    int compared = 0;
    for (int c = 0; c < 24; ++c) {
        Param p = random_geometry(r);
        p.abs_fact = static_cast<float>(r.uni(0.5, 50));
        Data2D mask;
        mask.intens.assign(kImageValues, 0);
        for (int k = 0; k < kDetPixels; ++k) mask.intens[k] = r.pick(10) ? 1.0f : 0.0f;
        std::vector<Data2D> sam(1 + r.pick(2)), buf(static_cast<std::size_t>(r.pick(3)));
        PixelSums samples, buffers;
        for (Data2D& s : sam) {
            s = counts_image(r, 500);
            s.tm = static_cast<float>(r.uni(10, 1000)), s.monitor = static_cast<float>(r.uni(1e4, 1e6));
            s.thick = static_cast<float>(r.uni(0.05, 0.3)), s.trans = static_cast<float>(r.uni(0.3, 1));
            add_image(samples, s, p.simd);
        }
        for (Data2D& b : buf) {
            b = counts_image(r, 300);
            b.tm = r.pick(4) ? static_cast<float>(r.uni(10, 1000)) : 0.0f;  // 0: not in use
            b.monitor = static_cast<float>(r.uni(1e4, 1e6)), b.trans = static_cast<float>(r.uni(0.3, 1));
            if (b.tm != 0) add_image(buffers, b, p.simd);
        }
        Data2D dc = r.pick(2) ? counts_image(r, 20) : Data2D{};
        dc.tm = dc.intens.empty() ? 0.0f : static_cast<float>(r.uni(100, 10000));
        // The plan made for this sample transmission, or for another one.
        const float plan_trans = r.pick(2) ? sam[0].trans : static_cast<float>(r.uni(0.3, 1));
        const SubPlan plan = make_sub_plan(p, mask, plan_trans, buf);
        Data2D want, got;
        want.intens.assign(kImageValues, 0), want.uncert.assign(kImageValues, 0);
        got.intens.assign(kImageValues, -1), got.uncert.assign(kImageValues, -1);
        const bool done = sub_sums(p, sam, buf, samples, buffers, dc, mask, want, Console{nullptr, nullptr}).ok();
        ASSERT_EQ(sub_sums_planned(plan, p, sam, buf, samples, buffers, dc, got), done) << "case " << c;
        if (!done) continue;
        ++compared;
        EXPECT_TRUE(same_bits(got.intens, want.intens, kDetPixels)) << "case " << c;
        EXPECT_TRUE(same_bits(got.uncert, want.uncert, kDetPixels)) << "case " << c;
        EXPECT_EQ(std::memcmp(&got.trans, &want.trans, sizeof(float)), 0);
    }
    EXPECT_GE(compared, 16);
}

// A dark current whose variance outweighs the counts', with a buffer in
// use: the weight of the dark current's variance at each distance (a
// quotient of products of monitors, transmissions and times) reaches the
// uncertainties to its last bit.  Every width of loop gives the bits of
// the SSE2 one (whose factors are worked out one distance at a time), from
// the plan's sample transmission and from another.
TEST(SubtractionPlan, DarkCurrentWeightToTheBit) {
    Rng r;
    for (int c = 0; c < 8; ++c) {
        Param p = random_geometry(r);
        p.abs_fact = static_cast<float>(r.uni(0.5, 50));
        Data2D mask;
        mask.intens.assign(kImageValues, 1.0f);
        std::vector<Data2D> sam(1), buf(1);
        sam[0] = counts_image(r, 3);
        sam[0].tm = static_cast<float>(r.uni(10, 1000)), sam[0].monitor = static_cast<float>(r.uni(1e4, 1e6));
        sam[0].thick = 0.1f, sam[0].trans = static_cast<float>(r.uni(0.3, 1));
        buf[0] = counts_image(r, 3);
        buf[0].tm = static_cast<float>(r.uni(10, 1000)), buf[0].monitor = static_cast<float>(r.uni(1e4, 1e6));
        buf[0].trans = static_cast<float>(r.uni(0.3, 1));
        Data2D dc = counts_image(r, 1e5);
        dc.tm = static_cast<float>(r.uni(1, 30));
        const float plan_trans = c % 2 ? sam[0].trans : static_cast<float>(r.uni(0.3, 1));
        Data2D got[3];
        planned_at_every_width(p, mask, plan_trans, sam, buf, dc, got, c);
        if (HasFatalFailure()) return;
        for (int w = 1; w < 3; ++w) {
            EXPECT_TRUE(same_bits(got[w].intens, got[0].intens, kDetPixels)) << "case " << c << ", width " << w;
            EXPECT_TRUE(same_bits(got[w].uncert, got[0].uncert, kDetPixels)) << "case " << c << ", width " << w;
        }
    }
}

// Masks that leave pixels out at every place of a group of four or eight:
// none, one in two at random, one column of eight, stripes of 37, all.
// Every width of loop gives the same bits, and a pixel left out is 0.
TEST(SubtractionPlan, EveryWidthAgreesWhateverTheMask) {
    Rng r;
    for (int c = 0; c < 15; ++c) {
        Param p = random_geometry(r);
        p.abs_fact = static_cast<float>(r.uni(0.5, 50));
        Data2D mask;
        mask.intens.assign(kImageValues, 0);
        for (int k = 0; k < kDetPixels; ++k) {
            const int kind = c % 5;
            const bool used = kind == 0 ? true : kind == 1 ? r.pick(2) == 0 : kind == 2 ? k % 8 != c % 8
                              : kind == 3 ? (k / 37) % 2 == 0 : false;
            mask.intens[k] = used ? 1.0f : 0.0f;
        }
        std::vector<Data2D> sam(1), buf(static_cast<std::size_t>(r.pick(2)));
        sam[0] = counts_image(r, 500);
        sam[0].tm = 600, sam[0].monitor = 2e5f, sam[0].thick = 0.1f, sam[0].trans = static_cast<float>(r.uni(0.3, 1));
        for (Data2D& b : buf) {
            b = counts_image(r, 300);
            b.tm = 500, b.monitor = 1.5e5f, b.trans = static_cast<float>(r.uni(0.3, 1));
        }
        Data2D dc = r.pick(2) ? counts_image(r, 20) : Data2D{};
        dc.tm = dc.intens.empty() ? 0.0f : 3000.0f;
        Data2D got[3];
        planned_at_every_width(p, mask, sam[0].trans, sam, buf, dc, got, c);
        if (HasFatalFailure()) return;
        for (int w = 0; w < 2; ++w) {
            EXPECT_TRUE(same_bits(got[w].intens, got[2].intens, kDetPixels)) << "case " << c << ", width " << w;
            EXPECT_TRUE(same_bits(got[w].uncert, got[2].uncert, kDetPixels)) << "case " << c << ", width " << w;
        }
        for (int k = 0; k < kDetPixels; ++k)
            if (mask.intens[k] == 0 && (got[0].intens[k] != 0 || got[0].uncert[k] != 0)) {
                ADD_FAILURE() << "case " << c << ": pixel " << k << " is off the mask but not 0";
                break;
            }
    }
}

// The example's parameter file with the sample lines replaced.
std::string example_with(const std::string& dats) {
    std::string text = pkt::read_file(std::string(PELKARO_SOURCE_DIR) + "/examples/spheres.par");
    const std::size_t at = text.find("DATS ");
    const std::size_t end = text.find('\n', at);
    return text.substr(0, at) + dats + text.substr(end + 1);
}

struct InExamples {
    std::string old;
    InExamples() : old(std::filesystem::current_path().string()) {
        std::filesystem::current_path(std::string(PELKARO_SOURCE_DIR) + "/examples");
    }
    ~InExamples() { std::filesystem::current_path(old); }
};

// The fixed parts of the example's configuration, from a reduction of the
// example with a sample counted for 1500 s.
void example_setup(const pkt::TempDir& dir, SeriesSetup& setup, Simd simd = pkt::test_simd(),
                   bool want_sums = false) {
    const Console quiet{nullptr, nullptr};
    pk::Run first;
    pkt::write_file(dir / "first.par", example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n"));
    ASSERT_TRUE(prepare_run(dir / "first.par", first, quiet).ok());
    first.p.simd = simd;
    first.want_sums = want_sums;
    const std::string key = series_key(first);
    ASSERT_TRUE(reduce(first, quiet).ok());
    setup = take_setup(first, key);
}

TEST(SeriesSetup, ReducesAsTheWholeReductionDoes) {
    pkt::TempDir dir;
    InExamples here;
    const Console quiet{nullptr, nullptr};
    SeriesSetup setup;
    ASSERT_NO_FATAL_FAILURE(example_setup(dir, setup));
    ASSERT_TRUE(setup.plan.usable);
    const char* variants[] = {
        "DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n",
        "DATS sphere_sample.dat 900 1400000 0.25 0.7\n",
        "DATS sphere_sample.dat 1500 0 0.1 0.899425\n",  // monitor from the header
        "DATS sphere_sample.dat 1500 1500000 0.1 0.899425\nDATS direct_beam.dat 10 20000 0.1 0.9\n",
    };
    for (const char* v : variants) {
        pkt::write_file(dir / "row.par", example_with(v));
        pk::Run whole, fast;
        ASSERT_TRUE(prepare_run(dir / "row.par", whole, quiet).ok());
        whole.p.simd = setup.p.simd;
        ASSERT_TRUE(reduce(whole, quiet).ok()) << v;
        ASSERT_TRUE(prepare_run(dir / "row.par", fast, quiet).ok());
        fast.p.simd = setup.p.simd;
        ASSERT_EQ(series_key(fast), setup.key);
        ASSERT_TRUE(reduce_with_setup(fast, setup)) << v;
        EXPECT_TRUE(same_bits(fast.reduced.intens, whole.reduced.intens, kImageValues)) << v;
        EXPECT_TRUE(same_bits(fast.reduced.uncert, whole.reduced.uncert, kImageValues)) << v;
        EXPECT_TRUE(same_bits(fast.mask.intens, whole.mask.intens, kImageValues)) << v;
        EXPECT_EQ(fast.reduced.name, whole.reduced.name);
        EXPECT_TRUE(same_curve(fast.curve, whole.curve)) << v;
    }
}

// The example reduced whole and by the fixed parts of its configuration,
// with the widest loops, SSE2's and at most AVX2's (on a processor without
// AVX-512 or AVX2 some the same loops twice): the same images, curve and
// writer's sums.
TEST(SeriesSetup, EveryWidthOfLoopGivesTheSameBits) {
    pkt::TempDir dir;
    InExamples here;
    const Console quiet{nullptr, nullptr};
    pkt::write_file(dir / "row.par", example_with("DATS sphere_sample.dat 900 1400000 0.25 0.7\n"));
    pk::Run whole[3], fast[3];
    const Simd widths[3] = {Simd::widest, Simd::sse2, Simd::avx2};
    for (int w = 0; w < 3; ++w) {
        SeriesSetup setup;
        ASSERT_NO_FATAL_FAILURE(example_setup(dir, setup, widths[w], true));
        for (pk::Run* r : {&whole[w], &fast[w]}) {
            ASSERT_TRUE(prepare_run(dir / "row.par", *r, quiet).ok());
            r->p.simd = widths[w], r->want_sums = true;
        }
        ASSERT_TRUE(reduce(whole[w], quiet).ok());
        ASSERT_TRUE(reduce_with_setup(fast[w], setup));
    }
    for (const pk::Run* r : {&whole[1], &whole[2], &fast[0], &fast[1], &fast[2]}) {
        EXPECT_TRUE(same_bits(r->reduced.intens, whole[0].reduced.intens, kImageValues));
        EXPECT_TRUE(same_bits(r->reduced.uncert, whole[0].reduced.uncert, kImageValues));
        EXPECT_TRUE(same_curve(r->curve, whole[0].curve));
        for (auto part : {&BinSums::n, &BinSums::q, &BinSums::w2, &BinSums::w2var, &BinSums::next_cov})
            EXPECT_TRUE((r->sums.*part) == (whole[0].sums.*part));
    }
}

TEST(SeriesSetup, RefusesAnotherConfigurationAndFailingSamples) {
    pkt::TempDir dir;
    InExamples here;
    const Console quiet{nullptr, nullptr};
    SeriesSetup setup;
    ASSERT_NO_FATAL_FAILURE(example_setup(dir, setup));
    // Another buffer transmission: another configuration.
    std::string text = example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n");
    text.replace(text.find("0.904837"), 8, "0.8");
    pkt::write_file(dir / "other.par", text);
    pk::Run other;
    ASSERT_TRUE(prepare_run(dir / "other.par", other, quiet).ok());
    other.p.simd = setup.p.simd;
    EXPECT_NE(series_key(other), setup.key);
    EXPECT_FALSE(reduce_with_setup(other, setup));
    // The same configuration wanting the writer's sums, which the setup
    // was made without.
    pk::Run with_sums;
    ASSERT_TRUE(prepare_run(dir / "first.par", with_sums, quiet).ok());
    with_sums.p.simd = setup.p.simd;
    EXPECT_TRUE(reduce_with_setup(with_sums, setup));
    with_sums = pk::Run();
    ASSERT_TRUE(prepare_run(dir / "first.par", with_sums, quiet).ok());
    with_sums.p.simd = setup.p.simd, with_sums.want_sums = true;
    EXPECT_FALSE(reduce_with_setup(with_sums, setup));
    // A sample whose thickness the subtraction refuses: reduce() words it.
    pkt::write_file(dir / "bad.par", example_with("DATS sphere_sample.dat 1500 1500000 -1 0.899425\n"));
    pk::Run bad;
    ASSERT_TRUE(prepare_run(dir / "bad.par", bad, quiet).ok());
    bad.p.simd = setup.p.simd;
    EXPECT_FALSE(reduce_with_setup(bad, setup));
}

}  // namespace

namespace {

std::vector<std::string> lines_of(const pk::CheckResult& r) {
    std::vector<std::string> out;
    for (const pk::Diagnostic& d : r.diagnostics) out.push_back(pk::diagnostic_line(d) + " | " + d.paste);
    return out;
}

// Parameter files for the series' checks, with odd detector files written
// into `dir`: warnings and refusals of every kind the check finds.
std::vector<std::string> odd_rows(const pkt::TempDir& dir, std::string& dead_flat) {
    std::string odd = pkt::read_file("sphere_sample.dat");
    odd.replace(odd.find("<monitor>"), 9, "<monitorcount>");  // a tag read by its first five characters
    odd.replace(odd.rfind('\t'), 1, "\t1.5\t");               // a decimal point in a data line
    pkt::write_file(dir / "odd.dat", odd);
    // A byte-order mark, CR LF line ends, a minus sign, no line feed at the
    // end.
    std::string crlf;
    for (const char ch : pkt::read_file("sphere_sample.dat")) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    crlf.replace(crlf.find("\t", crlf.find("<psd")), 1, "\t-7\t");
    pkt::write_file(dir / "crlf.dat", "\xEF\xBB\xBF" + crlf.substr(0, crlf.size() - 2));
    // A point beyond the part of a number a message quotes.
    std::string long_token = pkt::read_file("sphere_sample.dat");
    long_token.replace(long_token.rfind('\t'), 1, "\t" + std::string(45, '1') + ".5\t");
    pkt::write_file(dir / "long.dat", long_token);
    // A count beyond a float's whole numbers (2^24), and one with a decimal
    // point in a line of its own: the sum of the counts read as the text says.
    std::string big = pkt::read_file("sphere_sample.dat");
    big.replace(big.rfind('\t'), 1, "\t16777217\t");
    big.replace(big.find('\t', big.find("<psd")), 1, "\t3.25\t");
    pkt::write_file(dir / "big.dat", big);
    // A flat field with a dead pixel the mask leaves in: the warning quotes
    // its value, also where the series has kept the outliers found.
    std::string flat = pkt::read_file("flat_field.dat");
    std::size_t at = 0;
    for (int line = 0; line < 4 + 40; ++line) at = flat.find('\n', at) + 1;
    for (int k = 0; k < 30; ++k) at = flat.find('\t', at) + 1;
    flat.replace(at, flat.find_first_of("\t\n", at) - at, "0");
    pkt::write_file(dir / "dead.dat", flat);
    dead_flat = example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n");
    dead_flat.replace(dead_flat.find("flat_field.dat"), 14, dir / "dead.dat");
    std::string buffer_odd = example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n");
    buffer_odd.replace(buffer_odd.find("1125000"), 7, "0");  // the buffer normalised by time
    return {
        example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n"),
        example_with("DATS sphere_sample.dat 1500 1500000 0.1 1.5\n"),  // transmission outside (0, 1]
        example_with("DATS " + dir / "odd.dat" + " 1500 1500000 0.1 0.9\n"),
        example_with("DATS sphere_sample.dat 1500 0 0.1 0.9\nDATS direct_beam.dat 10 0 0.1 0.9\n"),
        example_with("DATS missing.dat 1500 1500000 0.1 0.9\n"),
        example_with("DATS sphere_sample.dat 1500 1500000 -1 0.9\n"),  // refused by the subtraction
        buffer_odd,
        example_with("DATS sphere_sample.dat 1500 1500000 0.2 0.8\n"),
        example_with("DATS " + dir / "crlf.dat" + " 1500 1500000 0.1 0.9\n"),
        example_with("DATS " + dir / "long.dat" + " 1500 1500000 0.1 0.9\n"),
        dead_flat,
        example_with("DATS " + dir / "big.dat" + " 1500 1500000 0.1 0.9\n"),
        // One sample file named twice: read once by the check, twice by the reduction.
        example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.9\nDATS sphere_sample.dat 1500 1500000 0.1 0.9\n"),
    };
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The checks of a series, sharing files and fixed parts, find what
// check_run finds on each parameter file, and reduce it as a check without
// the series does: the rows in turn through one cache, so that the later
// ones take the fixed files and parts from it.
TEST(SeriesCheck, FindsWhatCheckRunFinds) {
    pkt::TempDir dir;
    InExamples here;
    std::string dead_flat;
    const std::vector<std::string> rows = odd_rows(dir, dead_flat);
    pk::SeriesCache cache;
    int warnings = 0, errors = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE("row " + std::to_string(i) + ", pass " + std::to_string(pass));
            const std::string par = dir / ("row" + std::to_string(i) + ".par");
            pkt::write_file(par, rows[i]);
            pk::SeriesCheck sc;
            sc.cache = &cache;
            const pk::CheckResult shared = pk::check_run(par, sc);
            const pk::CheckResult alone = pk::check_run(par);
            EXPECT_EQ(lines_of(shared), lines_of(alone));
            EXPECT_EQ(shared.errors, alone.errors);
            EXPECT_EQ(shared.warnings, alone.warnings);
            EXPECT_EQ(sc.reduced, alone.errors == 0);
            warnings += alone.warnings, errors += alone.errors;
            std::string all;
            for (const std::string& l : lines_of(shared)) all += l + "\n";
            EXPECT_TRUE(rows[i] != dead_flat || all.find("pixel (30, 40) holds 0)") != std::string::npos) << all;
            pk::SeriesCheck plain;
            pk::check_run(par, plain);
            ASSERT_EQ(plain.reduced, sc.reduced);
            if (!sc.reduced) continue;
            EXPECT_TRUE(same_bits(sc.run.reduced.intens, plain.run.reduced.intens));
            EXPECT_TRUE(same_bits(sc.run.reduced.uncert, plain.run.reduced.uncert));
            EXPECT_TRUE(same_bits(sc.run.curve.y, plain.run.curve.y));
            EXPECT_TRUE(same_bits(sc.run.curve.dy, plain.run.curve.dy));
        }
    }
    EXPECT_GE(warnings, 2 * 5);  // the rows are worth comparing
    EXPECT_GE(errors, 2 * 2);
    EXPECT_FALSE(cache.parts().setups.empty());
    EXPECT_FALSE(cache.parts().files.empty());
}

// The files a caller knows to be there stand for the file system's word
// in the parse, but never for a sample's.
TEST(SeriesCheck, KnownFilesStandForAllButSamples) {
    pkt::TempDir dir;
    pkt::write_file(dir / "run.par", example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n"));
    const std::vector<std::string> named = {"sphere_sample.dat", "solvent_buffer.dat", "dark_current.dat",
                                            "flat_field.dat", "detector.mask"};
    const Console quiet{nullptr, nullptr};
    const std::string old = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());  // beside none of the files it names
    pk::Run no_sample, with_sample;
    no_sample.known_files = with_sample.known_files = named;
    const Status refused = pk::prepare_run("run.par", no_sample, quiet);
    std::filesystem::copy_file(std::string(PELKARO_SOURCE_DIR) + "/examples/sphere_sample.dat", "sphere_sample.dat");
    const Status parsed = pk::prepare_run("run.par", with_sample, quiet);
    std::filesystem::current_path(old);
    EXPECT_EQ(refused.reason, "The data file sphere_sample.dat does not exist");
    EXPECT_TRUE(parsed.ok()) << parsed.reason;
}

// A series reads its fixed files once: removed after the first row, they
// are still what the later rows reduce with, to the same bits, while a
// sample, or a fixed file the series has not read, is looked for in every
// row.
TEST(SeriesCheck, FixedFilesReadOnceSamplesLookedForEveryRow) {
    pkt::TempDir dir;
    for (const char* f : {"spheres.par", "sphere_sample.dat", "solvent_buffer.dat", "dark_current.dat",
                          "flat_field.dat", "detector.mask"})
        std::filesystem::copy_file(std::string(PELKARO_SOURCE_DIR) + "/examples/" + f, dir / f);
    const std::string old = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    pk::SeriesCache cache;
    const auto row = [&cache](const std::string& text, pk::SeriesCheck& sc) {
        pkt::write_file("row.par", text);
        sc.cache = &cache;
        return pk::check_run("row.par", sc);
    };
    const std::string first = example_with("DATS sphere_sample.dat 1500 1500000 0.1 0.899425\n");
    pk::SeriesCheck before, after, missing, other;
    EXPECT_EQ(row(first, before).errors, 0);
    ASSERT_TRUE(before.reduced);
    for (const char* f : {"solvent_buffer.dat", "dark_current.dat", "flat_field.dat", "detector.mask"})
        std::filesystem::remove(f);
    EXPECT_EQ(row(first, after).errors, 0);
    ASSERT_TRUE(after.reduced);
    EXPECT_TRUE(same_bits(after.run.reduced.intens, before.run.reduced.intens));
    EXPECT_TRUE(same_bits(after.run.curve.y, before.run.curve.y));
    EXPECT_TRUE(same_bits(after.run.curve.dy, before.run.curve.dy));
    std::filesystem::remove("sphere_sample.dat");
    const pk::CheckResult gone = row(first, missing);
    EXPECT_GE(gone.errors, 1);
    EXPECT_FALSE(missing.reduced);
    std::string another = first;
    another.replace(another.find("dark_current.dat"), 16, "dark_other.dat");
    EXPECT_GE(row(another, other).errors, 1);
    EXPECT_FALSE(other.reduced);
    std::filesystem::current_path(old);
}

}  // namespace
