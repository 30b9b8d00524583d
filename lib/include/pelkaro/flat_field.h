// Flat fields and masks for the programs that make masks: a flat field's
// dead and hot pixels, found on its raw values (the rule that the mask maker
// applies and the checker warns about), the reading of a flat-field or mask
// file, the internal mask's frame, and the beam stop's shadow on an image
// taken with the beam stop in.
#ifndef PELKARO_FLAT_FIELD_H
#define PELKARO_FLAT_FIELD_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/status.h"

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

// ---- The sensitivity measured on a flat scatterer (pelkaro-flat) -------------
//
// Runs of a scatterer whose cross-section is flat in Q at the geometry (a
// millimetre of light water), the beam stop in.  Each run's counts less the
// dark current (scaled by counting time), per monitor count, are a pixel's
// efficiency times its solid angle (cos^3 2theta on a flat detector) times
// the share of the neutrons scattered towards it that leave the slab,
//   A(2theta) = (1 - exp(-mu d)) / (mu d),  mu = -ln T,  d = 1/cos 2theta - 1
// (relative to the straight-through transmission T; scattering uniform
// through the depth).  The sensitivity is the counts divided by A alone: it
// keeps the solid angle, as the water measures it.  With SENS flag 1 Pelkaro
// divides the flat and the data alike by cos^3 2theta, so the data are
// divided by the efficiency times the solid angle; with flag 0 it divides
// the data by the file as it stands, the same product.  Either flag then
// gives intensities per unit solid angle (to the scale that ABSF, measured
// through the same file, takes up); the flag decides only whether Pelkaro's
// 0.5 to 1.5 band is applied to the efficiency (flag 1) or to the efficiency
// times cos^3 2theta (flag 0), which at wide angles masks good pixels.

// A flat-scatterer run or a dark current: its file, counting time and
// monitor counts (the file's header tags win).
struct FlatRun {
    std::string file;
    double time = 0.0;
    double monitor = 0.0;
};

struct SensitivityRequest {
    Param p{};                  // pixel spacing, distance, beam centre and SENS flag
    Data2D mask;                // the pixels in use: kDetPixels values at least
    std::vector<FlatRun> runs;  // each with the beam stop in; several: the stop moved between them
    bool with_dark = false;
    FlatRun dark;               // its monitor counts are not used
    double transmission = 0.0;  // the scatterer's, above 0 and at most 1
    double dead_time = 0.0;     // s, non-paralysable (dead_time_factor in pelkaro/trans.h)
};

// What became of a pixel.
enum class PixelFate : char {
    good,         // in use and measured
    dead_or_hot,  // in use, refused by dead_or_hot_pixels
    unseen,       // in use, in the shadow of the beam stop in every run
    masked        // not in use by the mask given
};

struct Sensitivity {
    std::vector<double> efficiency;  // per pixel: mean 1 over the good pixels, free of solid angle and attenuation
    std::vector<double> sigma;       // its standard uncertainty from the runs' and dark current's counts
    std::vector<long long> written;  // the file's values; 0 for a dead, hot or unseen pixel
    std::vector<PixelFate> fate;
    std::vector<BeamStopShadow> shadows;  // one per run
    int good = 0, dead_or_hot = 0, unseen = 0, masked = 0;
    double widest_angle = 0.0;       // degrees: the pixel in use farthest from the beam
    double widest_correction = 1.0;  // 1/A there: what its counts were multiplied by
    double spread = 0.0;             // standard deviation of the good pixels' efficiencies
    double median_sigma = 0.0;       // the median uncertainty of a good pixel's efficiency
    double scale = 0.0;              // a written value per unit of efficiency times cos^3 2theta
    double time = 0.0, monitor = 0.0;  // summed over the runs
};

// Measures the sensitivity.  The file's values are whole numbers (Pelkaro's
// detector-file format) scaled so that Pelkaro's own uncertainty of a flat
// pixel, the square root of its value, is the efficiency's own (the median
// pixel's; at least 100, at most 1e8 per unit).  A failure names the file:
// one that cannot be read, does not hold one value per pixel, counts
// nothing above the dark current or shows no beam stop's shadow; a
// transmission outside (0, 1]; a dead time the counts cannot have had; and,
// with several runs, a pixel in use that every run's beam stop shadows.
// With one run its shadow is left unseen (written 0, so Pelkaro masks it).
Status make_sensitivity(const SensitivityRequest& req, Sensitivity& out);

// The sensitivity file: comment lines (`origin` among them), the counting
// time and monitor tags, then the values, a detector row a line.
std::string sensitivity_file_text(const Sensitivity& s, const std::string& origin);

}  // namespace pk

#endif
