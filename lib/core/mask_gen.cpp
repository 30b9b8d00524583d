// The internal mask: every pixel used except a frame along the detector
// edges, three pixels wide on the low side (0 to 2) and two on the high
// side (126, 127).
#include "mask_gen.h"

#include "pelkaro/Pelkaro.h"

namespace pk {

Status make_mask(const Param&, Data2D& mask) {
    if (mask.intens.size() < static_cast<std::size_t>(kDetPixels)) mask.intens.resize(kImageValues, 0.0f);
    for (int x = 0; x < kDetSide; ++x) {
        for (int y = 0; y < kDetSide; ++y) {
            bool edge = x <= kFrameLowLast || x >= kFrameHighFirst || y <= kFrameLowLast || y >= kFrameHighFirst;
            mask.intens[static_cast<std::size_t>(x + kDetSide * y)] = edge ? 0.0f : 1.0f;
        }
    }
    return ok_status();
}

}  // namespace pk
