// The azimuthal average as a plan: the sub-pixel decisions of one geometry
// and mask worked out once, each frame's average then one pass over them.
#ifndef PELKARO_AVE_PLAN_H
#define PELKARO_AVE_PLAN_H

#include <cstdint>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// The sub-pixel decisions of the azimuthal average for one geometry and one
// mask: for every pixel in use (in the order of the average: columns, then
// rows), each bin its sub-pixels fall into with their number.  A frame's
// average is then one pass over these entries, each adding the pixel's two
// terms to its bin as many times as the count says, in the same order as
// the sub-pixel loop adds them.
struct AveEntry {
    uint16_t pixel = 0;  // x + 128*y
    uint16_t bin = 0;
    uint32_t count = 0;  // sub-pixels, 1 to 100
};
struct AvePlan {
    bool usable = false;          // false: the average must go through ave_data
    int tot = 0;                  // bins of the curve
    std::vector<float> x, dq;     // Q and resolution of each bin
    std::vector<float> area;      // detector area of each bin, pixels
    std::vector<AveEntry> entries;
    // The writer's sums that depend on the geometry only (n, q and w2 of
    // each bin; w2var and next_cov zero), where the plan was made with them.
    bool has_geometry = false;
    BinSums geometry;
    // The same entries bin by bin for eight bins at a time (group g holds
    // the bins lane_bin[8g] to lane_bin[8g + 7], bins of about as many
    // entries together): step t of a group holds the t-th entry of each of
    // its bins, as pixel and count, a count of 0 where a bin has no more.
    // Eight bins then take their additions side by side, each in its own
    // order: all eight in one AVX-512 loop, or four and four in AVX2's.
    // Empty where the processor has neither, or the run allows neither.
    enum class Lanes : uint8_t { none, avx2, avx512 } lanes = Lanes::none;
    std::vector<int32_t> lane_pixel, lane_count;
    std::vector<int32_t> lane_bin;      // the bin of each lane of each group, -1 for none
    std::vector<uint32_t> group_start;  // first step of each group, and the end
};

// Works out the plan for the geometry of `p` and the mask in use.  An
// unusable plan (geometry that ave_data refuses, or that the plan does not
// cover) sends every frame to ave_data.  Without `writer_sums` the plan
// leaves out the writer's sums of the geometry (the Q of every sub-pixel,
// most of the plan's making): its averages are the same, and sums_by_plan
// declines it.
AvePlan make_ave_plan(const Param& p, const Data2D& mask, bool writer_sums = true);

// The average of `in` by the plan, exactly as ave_data computes it.  False,
// with `out` unspecified, where the plan does not apply (an unusable plan, a
// pixel value that is not finite, a bin that comes out not finite): then
// ave_data gives the result, or the failure, itself.
bool average_by_plan(const AvePlan& plan, const Data2D& in, Data1D& out);
// The writer's sums of the average of `in` by the plan (ave_data_sums's,
// bit for bit): the geometry's, with the pixels' variances added entry by
// entry.  False where the plan does not apply or has no writer's sums.
bool sums_by_plan(const AvePlan& plan, const Data2D& in, BinSums& out);
// The same with the eight-bin loop left aside (`lanes` false), for the
// tests, which hold the two loops to the same bits.
bool average_by_plan(const AvePlan& plan, const Data2D& in, Data1D& out, bool lanes);

}  // namespace pk

#endif
