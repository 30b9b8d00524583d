// Images held in memory, taken instead of the files of their names.
#ifndef PELKARO_HELD_IMAGE_H
#define PELKARO_HELD_IMAGE_H

#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// A detector data file (read_data) or mask file (read_mask) where some
// images are held in memory: the held image of the file's name when there
// is one, else the file.  The values of a held image are checked as the
// reader checks a file's.
Status read_data(const std::vector<HeldImage>& held, Data2D& data, const Console& con = Console{});
Status read_mask(const std::vector<HeldImage>& held, const Param& p, Data2D& mask);

}  // namespace pk

#endif
