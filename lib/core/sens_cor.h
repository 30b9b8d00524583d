// The flat field (sensitivity) normalised and applied, and the solid-angle
// correction.
#ifndef PELKARO_SENS_COR_H
#define PELKARO_SENS_COR_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

void solid_angle(const Param& p, SolidAngle& sa);
Status jacobian(const Param& p, Data2D& dat, const SolidAngle& sa);
// The same with the factors worked out for this one image.
Status jacobian(const Param& p, Data2D& dat);
Status sens_norm(const Param& p, Data2D& sens, Data2D& mask);
Status sens_cor(const Param& p, Data2D& dat, const Data2D& sens, const Data2D& mask);
// The same on the detector's 128 x 128 pixels only, the values after them
// left as they are: for an image of which nothing else is read again (the
// sums of a run's images take the pixels only).
Status sens_cor_pixels(const Param& p, Data2D& dat, const Data2D& sens, const Data2D& mask);

}  // namespace pk

#endif
