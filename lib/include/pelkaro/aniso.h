// Anisotropic scattering: the intensity against the azimuth in a ring about
// the beam centre, I(phi); the averages over pairs of opposite sectors
// along and across a direction; and the degree of orientation of the
// pattern (its main axis, the 2D order parameter and Hermans' parameter).
//
// Every value is taken with the radial average's sub-pixel splitting: each
// pixel in use (mask above 0.25) is split into 10 x 10 sub-pixels, each with
// the radius and azimuth the average gives it (the azimuth from increasing
// column towards increasing row, 0 to 360 degrees), and a bin's value is the
// mean of the pixel values of the sub-pixels that fell into it.  The
// uncertainty of a bin is that of its value as averaged: with w_p of pixel
// p's sub-pixels in the bin and sigma_p its uncertainty,
// dI^2 = sum w_p^2 sigma_p^2 / (sum w_p)^2.
//
// The order parameters describe the pattern, not the particles: the streaks
// of elongated particles run perpendicular to their long axes, so phi0 is
// the azimuth across the particles' mean axis.
#ifndef PELKARO_ANISO_H
#define PELKARO_ANISO_H

#include <cstdint>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// A ring about the beam centre, lo <= radius < hi: in Q (inverse units of
// the wavelength; needs WAVE) or in pixels (times the smaller pixel
// spacing, as BINS counts the radial bin width).
struct Ring {
    enum class Unit { q, pixels } unit = Unit::q;
    double lo = 0;
    double hi = 0;
};

// The most azimuthal bins a profile takes (a tenth of a degree each).
constexpr int kMostAzimuthBins = 3600;

// Pixel p's sub-pixels (count) in bin `bin`, and the pixel's variance.
struct PixelShare {
    uint32_t pixel = 0;  // x + 128*y
    uint32_t bin = 0;
    uint32_t count = 0;  // 1 to 100
    double var = 0;      // sigma_p^2
};

// I(phi) in a ring: bin b covers the azimuths from b * 360/N to
// (b + 1) * 360/N degrees.  A bin that no sub-pixel in use reached has
// area 0 and I and dI not a number.
struct AzimuthProfile {
    int bins = 0;
    double r_lo = 0, r_hi = 0;  // the ring in the parameter file's length unit
    double q_lo = 0, q_hi = 0;  // Q at its limits (not a number without WAVE)
    int pixels = 0;             // pixels in use with a sub-pixel in the ring
    std::vector<double> phi;    // bin centre, degrees
    std::vector<double> i;      // mean intensity
    std::vector<double> idev;   // its uncertainty as averaged
    std::vector<double> area;   // detector area, pixels (0.01 per sub-pixel)
    std::vector<PixelShare> shares;  // pixel by pixel, for the uncertainties of what follows from I(phi)
};

// I(phi) of `image` (values and uncertainties) in the ring, `bins` bins.
// Refused (Stage::average) for a ring that is empty or not finite
// (Code::bad_parameter), a Q ring without a wavelength (Code::missing_keyword),
// bins outside 2 .. kMostAzimuthBins (Code::bad_parameter), a ring with no
// detector area (Code::no_pixels: "outside the detector") or none in use
// (Code::no_pixels: "masked"), a pixel value in the ring that is not finite
// (Code::not_finite).
Status azimuthal_profile(const Param& p, const Data2D& image, const Data2D& mask, const Ring& ring, int bins,
                         AzimuthProfile& out);

// The orientation of the pattern from I(phi) over the ring (the bins that
// received area), each with its standard uncertainty from the counting
// statistics (the pixels' uncertainties carried through every bin they
// share):
//  - phi0: the direction of the pattern's main axis, the azimuth of maximum
//    intensity of a + b cos 2 phi + c sin 2 phi fitted by least squares,
//    every bin weighing the same (phi0 = atan2(c, b) / 2, from 0 to 180
//    degrees: the direction of the pattern's second harmonic);
//  - order: the 2D order parameter <cos 2(phi - phi0)>, weighted by I;
//  - hermans: <P2> = (3 <cos^2(phi - phi0)> - 1) / 2, the mean weighted by
//    I |sin(phi - phi0)| (fibre symmetry about phi0).
// Both are 0 for an isotropic pattern and 1 for one all at phi0 (the
// angular functions are averaged over each bin's width).
struct Orientation {
    double phi0 = 0, phi0_dev = 0;        // degrees
    double order = 0, order_dev = 0;
    double hermans = 0, hermans_dev = 0;
    double mean = 0, amplitude = 0;       // a and sqrt(b^2 + c^2) of the fit
    int bins_used = 0;
};
// Refused (Stage::average, Code::no_pixels) when fewer than 3 bins hold a
// value or the fit is degenerate, and (Code::not_finite) when the weights
// of an order parameter add up to 0.
Status orientation(const AzimuthProfile& prof, Orientation& out);

// One curve of a sector pair: the radial bins of the average (Q at the inner
// edge and dQ as the .d1d gives them), those that received area.
struct SectorCurve {
    std::vector<int> bins;
    std::vector<double> q;         // Q at the bin's inner edge (the .d1d's)
    std::vector<double> q_centre;  // Q at the bin's centre radius
    std::vector<double> dq;        // the average's Q resolution of the bin
    std::vector<double> i, idev, area;
};

// I(Q) over a sector and its opposite, axis +- width/2 and axis + 180 +-
// width/2 (limits included, as the sector average includes them; a sector
// may run through 0), along `axis` and across it (axis + 90).
struct SectorPairs {
    double axis = 0, width = 0;  // degrees
    SectorCurve along, across;
};
// Refused (Stage::average, Code::bad_parameter) for a width outside
// (0, 180) degrees or an axis that is not finite; as ave_data refuses a
// geometry; (Code::missing_keyword) without a wavelength; (Code::not_finite)
// for a pixel value in use that is not finite.
Status sector_pairs(const Param& p, const Data2D& image, const Data2D& mask, double axis, double width,
                    SectorPairs& out);

// The text tables (aniso_text.cpp).  I(phi): a first line
// "# pelkaro-aniso I(phi)", comment lines on the ring and the orientation
// (`orient` null: `why_not` says why there is none), a header line
// "# phi_deg I dI area_px", then one line per bin (not a number where a bin
// has no area).  The sector pairs: "# pelkaro-aniso sector pairs", the
// sectors, "# q I_along dI_along I_across dI_across q_centre dq", then one
// line per radial bin that either curve holds.
std::string azimuth_table(const AzimuthProfile& prof, const Orientation* orient, const std::string& why_not);
std::string sector_table(const SectorPairs& pairs);

}  // namespace pk

#endif
