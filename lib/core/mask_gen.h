// The internal mask: the frame along the detector's edges.
#ifndef PELKARO_MASK_GEN_H
#define PELKARO_MASK_GEN_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

Status make_mask(const Param& p, Data2D& mask);

}  // namespace pk

#endif
