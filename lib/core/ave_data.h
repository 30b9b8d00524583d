// The azimuthal average of the reduced image into a curve.
#ifndef PELKARO_AVE_DATA_H
#define PELKARO_AVE_DATA_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

struct AveEntry;

// The curve's bins for a geometry: tot of them, of width bin, out to the
// radius max.
struct CurveBins {
    int tot = 0;
    float bin = 0, max = 0;
};
// The bins of the average for the geometry of p; refuses more than the
// curve holds.
Status curve_bins(const Param& p, CurveBins& bins);

// The sub-pixel azimuthal average of the reduced image over the sector.
Status ave_data(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask,
             const Console& con = Console{});

// The curve of an empty image whose sub-pixels `entries` counts (as
// pixel_bins counts them): Q, resolution and area of every bin, and its
// refusals, as ave_data gives them; intensities and uncertainties 0, and
// not-a-number in a bin without area.
Status curve_table(const Param& p, const std::vector<AveEntry>& entries, Data1D& out);

// The average with the writer's sums (BinSums), taken in the same pass; the curve is
// ave_data's, bit for bit.
Status ave_data_sums(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask, BinSums& sums,
                     const Console& con = Console{});

}  // namespace pk

#endif
