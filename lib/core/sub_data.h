// Dark current and buffer subtracted, scaled by time, monitor counts and
// transmission, and put on the absolute scale.
#ifndef PELKARO_SUB_DATA_H
#define PELKARO_SUB_DATA_H

#include <cstdint>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// Adds an image and its squared uncertainties to the sums (PixelSums), by
// the widest loop `simd` allows.
void add_image(PixelSums& s, const Data2D& image, Simd simd);
// The subtraction from sums: the entries give their counting times,
// monitor counts, transmissions and thicknesses (buffers with a time of 0
// take no part), `samples` and `buffers` their images.
Status sub_sums(const Param& p, const std::vector<Data2D>& d, const std::vector<Data2D>& buf,
                const PixelSums& samples, const PixelSums& buffers, const Data2D& dc, const Data2D& mask,
                Data2D& res, const Console& con = Console{});
// The same from the images the entries hold.
Status sub_data(const Param& p, const std::vector<Data2D>& d, const std::vector<Data2D>& buf,
             const Data2D& dc, const Data2D& mask, Data2D& res, const Console& con = Console{});

// The subtraction's factors that depend on a pixel's distance from the beam
// centre, worked out once for a geometry, a mask, the first sample's
// transmission and the buffers: each pixel in use names its distance, and
// each distance has the exponent of the angle-dependent transmissions and
// the transmissions of sample and first buffer in use at it.
struct SubPlan {
    static constexpr uint16_t kOff = 0xFFFF;  // a pixel outside the mask
    std::vector<uint16_t> at;                 // each pixel's distance (kDetPixels)
    std::vector<double> e;                    // 0.5/cos(theta) + 0.5 of each distance
    std::vector<float> strans, btrans;        // T^e of the sample and of the buffer
    uint32_t sample_trans = 0, buffer_trans = 0;  // the bits of the two T
};
SubPlan make_sub_plan(const Param& p, const Data2D& mask, float sample_trans, const std::vector<Data2D>& buf);

// sub_sums by the plan, bit for bit, for any sample transmission (another
// than the plan's costs its powers).  False where the plan does not apply
// or sub_sums would refuse or fail: then sub_sums finds it and words it.
bool sub_sums_planned(const SubPlan& plan, const Param& p, const std::vector<Data2D>& d,
                      const std::vector<Data2D>& buf, const PixelSums& samples, const PixelSums& buffers,
                      const Data2D& dc, Data2D& res);

}  // namespace pk

#endif
