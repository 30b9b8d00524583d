// Flat fields and masks for the programs that make masks: a flat field's
// dead and hot pixels, found on its raw values (the rule that the mask maker
// applies and the checker warns about), the reading of a flat-field or mask
// file, the internal mask's frame, and the beam stop's shadow on an image
// taken with the beam stop in.
#ifndef PELKARO_FLAT_FIELD_H
#define PELKARO_FLAT_FIELD_H

#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// Flat-field efficiencies outside this range are pixels Pelkaro masks.
constexpr double kLeastEfficiency = 0.5;
constexpr double kMostEfficiency = 1.5;

// The pixels (index x + 128*y) that `mask` leaves in use although their raw
// flat-field value is 0 or lies outside lo to hi times the mean raw value of
// the pixels in use.  One pass: the mean is not recomputed without them.
// Empty when no pixel is in use or the mean is not a positive number.
std::vector<int> flat_field_outliers(const Data2D& flat, const Data2D& mask, double lo, double hi);

// The dead and hot pixels of a flat field, by the one rule that
// pelkaro-mask --from-flat, pelkaro-check and pelkaro-flat share: a pixel in
// use whose value is 0 or lies outside kLeastEfficiency to kMostEfficiency
// times the mean of the pixels in use (flat_field_outliers with that band),
// which are the pixels Pelkaro itself masks when it normalises the flat.
// pelkaro-flat applies it to the efficiencies it measures, freed of the
// solid angle and the scatterer's attenuation, so that a wide angle is not
// taken for a dead pixel.
std::vector<int> dead_or_hot_pixels(const Data2D& flat, const Data2D& mask);

// The mean raw flat-field value of the pixels `mask` uses; not-a-number
// when it uses none.
double flat_field_mean(const Data2D& flat, const Data2D& mask);

// Reads a detector data file (a flat field) or, with `mask`, a mask file
// into `out`, as a reduction reads it; out.name names the file.
Status read_image_file(Data2D& out, bool mask);

// The internal mask: 1 for the pixels in use, 0 on the frame along the
// detector's edges.
void internal_mask(Data2D& mask);

// The beam stop's shadow: a disc of low counts about the beam centre.
struct BeamStopShadow {
    double x = 0.0, y = 0.0;  // its centre, in the coordinates of CNTR (pixel (x, y) spans x to x+1)
    double radius = 0.0;      // pixels: the disc of the shadowed area, a partly shadowed pixel by its part
    int pixels = 0;           // the pixels of low counts that make it
};

// The margin, in pixels, that the mask maker's --beamstop auto and
// pelkaro-flat add to the shadow's radius: a pixel the shadow covers in part
// has its centre within R + 0.71 of the shadow's centre, and the radius
// found is good to a few tenths of a pixel.
constexpr double kShadowMargin = 1.0;

// Finds the beam stop's shadow on the first kDetPixels values of an image
// taken with the beam stop in (a flat field or a sample run): the largest
// disc-shaped region of pixels below half the level of the brightest
// twentieth of the detector, the open detector's counts all round it and
// well above the region's (beyond the scatter of their noise); its centre and
// area from each pixel's shadowed part, between the counts inside the shadow
// and those around it.  A failure (Stage::mask) says why when the image has
// no counts, holds a value that is not a number, or has no such region (none
// at all, or only one that touches the detector's edge).
Status find_beam_stop_shadow(const Data2D& image, BeamStopShadow& shadow);

}  // namespace pk

#endif
