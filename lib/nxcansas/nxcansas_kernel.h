// The resolution of a pinhole instrument worked out from its geometry by
// deterministic quadrature: for each point of the averaged curve, the
// distribution of the true |Q| of the neutrons that the point averages
// (its resolution kernel), and for each pixel of the image the mean Q vector
// and its spreads along and across Q.
#ifndef PELKARO_NXCANSAS_KERNEL_H
#define PELKARO_NXCANSAS_KERNEL_H

#include <vector>

#include "pelkaro/nxcansas.h"

namespace pk {

// The spreads of the instrument in the detector's angle, as tangents of the
// scattering angle (a distance on the detector over SDD), and of the
// wavelength.
struct Spreads {
    double l2 = 0;          // SDD in the parameter file's unit
    double k0 = 0;          // 2 pi / lambda0, 1/A
    double var_beam = 0;    // variance along any one direction of the beam's divergence (and fall), tan^2
    double inv_lambda = 1;  // mean of lambda0 / lambda over the wavelength distribution
    double inv_lambda2 = 1; // mean of (lambda0 / lambda)^2
    std::vector<double> offset, offset_weight;  // the divergence (and fall) as |offset| nodes, isotropic
    std::vector<double> ratio, ratio_weight;    // lambda0 / lambda nodes of the wavelength distribution
};

// The spreads of the geometry of `p`; false when the resolution is not known
// (resolution_known) or gravity needs a length unit that is not given.
bool instrument_spreads(const Param& p, const ResolutionOptions& opt, Spreads& out);

// The kernels of the curve's points `bins` (those the curve writes), from the
// sub-pixel counts of each pixel in each bin (the average's plan); false
// when the plan does not cover the geometry.
bool curve_kernels(const Param& p, const Data2D& mask, const Spreads& s, const std::vector<int>& bins,
                   CurveQ& out);

// The mean Q vector of every pixel over its area, the beam's divergence and
// the wavelength distribution, with its spreads along and across Q (second
// order in the spreads), index x + 128*y.  Without the spreads (`s` null),
// the mean over the pixel's area alone.
void pixel_means(const Param& p, const Spreads* s, std::vector<double>& qx, std::vector<double>& qy,
                 std::vector<double>& along, std::vector<double>& across);

}  // namespace pk

#endif
