// The beam centre measured on an image.
#ifndef PELKARO_BEAM_MEAS_H
#define PELKARO_BEAM_MEAS_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

Status beam_center(Param& p, const Data2D& in, const Console& con = Console{});

}  // namespace pk

#endif
