// An oriented sample for the simulator: dilute ellipsoids of revolution
// whose symmetry axes lie in the plane of the detector, spread about a mean
// direction.  Tests of the anisotropic analysis know its truth.
//
// An ellipsoid of equatorial radius R and polar semi-axis aR (a: --aspect)
// whose axis makes the angle psi with Q (in the detector plane, the small
// angle limit) scatters as a sphere of radius
//   r(psi) = R sqrt(a^2 cos^2 psi + sin^2 psi),
// so that dS/dW(Q, phi) = phi_v V drho^2 <P_sphere(Q r(phi - alpha))>_alpha,
// V = 4/3 pi a R^3, averaged over the axes' azimuths alpha: a Gaussian of
// standard deviation w (--orientation) about the mean direction alpha0
// (--axis), wrapped with the axis's period of 180 degrees.  Azimuths run
// from increasing column towards increasing row, as Pelkaro measures them;
// the pattern's streaks run across the axes, at alpha0 + 90 degrees.
#ifndef PELKARO_SIM_ORIENTED_H
#define PELKARO_SIM_ORIENTED_H

#include <vector>

#include "sim_options.h"

namespace sim {

// The axis directions of the average (radians) and their weights (adding
// up to 1): 90 equal steps over the axis's period, from alpha0 - 90
// degrees, those of weight below 1e-7 of the whole left out.
struct AxisSpread {
    std::vector<double> alpha, weight;
};
AxisSpread axis_spread(const Settings& s);

// V phi_v drho^2 of the ellipsoids: the forward scattering, cm^-1.
double ellipsoid_forward(const Settings& s);

// dS/dW of the ellipsoids at Q (1/angstrom) and azimuth phi (radians).
double oriented_xs(const Settings& s, const AxisSpread& spread, double q, double phi);

// The sample's noiseless picture as the spheres' (sim_model.cpp): per
// pixel, the mean over 8 x 8 points of (dS/dW + the solvent's) T(2theta)
// cos^3(2theta), zero in the beam stop's shadow; mu the cell's optical
// thickness.
std::vector<double> oriented_image(const Settings& s, double mu);

}  // namespace sim

#endif
