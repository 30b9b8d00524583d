// Flat fields and masks for the programs that make masks: a flat field's
// dead and hot pixels, found on its raw values (the rule that the mask maker
// applies and the checker warns about), the reading of a flat-field or mask
// file, and the internal mask's frame.
#ifndef PELKARO_FLAT_FIELD_H
#define PELKARO_FLAT_FIELD_H

#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// The pixels (index x + 128*y) that `mask` leaves in use although their raw
// flat-field value is 0 or lies outside lo to hi times the mean raw value of
// the pixels in use.  One pass: the mean is not recomputed without them.
// Empty when no pixel is in use or the mean is not a positive number.
std::vector<int> flat_field_outliers(const Data2D& flat, const Data2D& mask, double lo, double hi);

// The mean raw flat-field value of the pixels `mask` uses; not-a-number
// when it uses none.
double flat_field_mean(const Data2D& flat, const Data2D& mask);

// Reads a detector data file (a flat field) or, with `mask`, a mask file
// into `out`, as a reduction reads it; out.name names the file.
Status read_image_file(Data2D& out, bool mask);

// The internal mask: 1 for the pixels in use, 0 on the frame along the
// detector's edges.
void internal_mask(Data2D& mask);

}  // namespace pk

#endif
