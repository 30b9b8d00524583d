// The sample's own wide-angle attenuation.  A neutron scattered at 2theta
// inside a slab of transmission T travels farther out of it than one that
// goes straight through: of those scattered uniformly through the depth,
// the share that leaves it is T times
//   A(2theta) = (1 - exp(-mu d)) / (mu d),  mu = -ln T,  d = 1/cos 2theta - 1.
// Pelkaro's prefactor divides by the plain T (its buffer scale takes the
// angle-dependent one), so its reduced intensity keeps A(2theta) of the
// sample's slab (T^(0.5/cos 2theta - 0.5) in its midpoint form): -0.4 % at
// 20 degrees, -1.2 % at 35 for T = 0.9.  The fit-ready outputs divide it
// out unless asked for the values as Pelkaro computes them.
#ifndef PELKARO_ATTENUATION_H
#define PELKARO_ATTENUATION_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// A(2theta) for a slab of transmission `transmission` (above 0, at most 1);
// 1 on the beam axis, and 1 for a transmission outside (0, 1].
double slab_attenuation(double transmission, double cos2theta);

// The factor 1 / A(2theta) that frees a reduced intensity (and its
// uncertainty) of the sample's own attenuation: at each Q of `q` (1/A, the
// wavelength p.wavelen), and at every pixel centre of the detector (index
// x + 128 y, the geometry of p).  1 where Q lies beyond backscattering.
std::vector<double> curve_attenuation(const Param& p, double transmission, const std::vector<double>& q);
std::vector<double> image_attenuation(const Param& p, double transmission);

// Multiplies each value by its factor, rounded to float as stored.
void apply_factors(std::vector<float>& values, const std::vector<double>& factors);

// The sentence a fit-ready file's note says of the correction.
std::string attenuation_note(bool corrected, double transmission);

}  // namespace pk

#endif
