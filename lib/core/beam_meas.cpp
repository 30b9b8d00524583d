// Beam-centre measurement: the centroid of the bright area of a raw image.
#include "beam_meas.h"

#include <cstdio>

#include "pelkaro/Pelkaro.h"

namespace pk {

// Every pixel of the search window (rows and columns 3 to 124) above 5
// counts once, whatever its value.  The mean row goes to bx and the mean
// column to by, in whole-pixel index units: the reverse of the pairing the
// geometric stages use, which the user accounts for when entering the
// centre into the parameter file.
Status beam_center(Param& p, const Data2D& in, const Console& con) {
    float row_sum = 0.0f;
    float col_sum = 0.0f;
    int32_t count = 0;
    for (int y = kBeamWindowFirst; y <= kBeamWindowLast; ++y) {
        for (int x = kBeamWindowFirst; x <= kBeamWindowLast; ++x) {
            if (in.intens[static_cast<std::size_t>(kDetSide * y + x)] > 5.0f) {
                row_sum = static_cast<float>(static_cast<double>(row_sum) + y);
                col_sum = static_cast<float>(static_cast<double>(col_sum) + x);
                ++count;
            }
        }
    }
    if (count == 0)
        return failure(Stage::beam_centre, Code::no_pixels, "beam_center",
                       pk::format("no pixel of the search window (rows and columns 3 to 124) "
                                  "counts more than 5; no beam found in %s",
                                  in.name.c_str()));
    p.bx = static_cast<float>(static_cast<double>(row_sum) / count);
    p.by = static_cast<float>(static_cast<double>(col_sum) / count);
    pk::say(con, "The beam center is %f %f\n", static_cast<double>(p.bx), static_cast<double>(p.by));
    return ok_status();
}

}  // namespace pk
