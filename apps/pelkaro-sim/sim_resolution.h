// Exposures drawn neutron by neutron through the instrument (--resolution):
// each neutron leaves a point of the source aperture for a point of the
// sample aperture with a wavelength from the triangular spread, scatters
// there (or, in the direct beam, goes straight on) and is counted in the
// pixel it reaches.  The counts so carry the Q resolution of the real
// instrument, made by its geometry alone and by no formula for it.
#ifndef PELKARO_SIM_RESOLUTION_H
#define PELKARO_SIM_RESOLUTION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim_options.h"

namespace sim {

// The simulator's random numbers: words to fill a buffer with, and Poisson
// deviates of a mean.
struct Draws {
    std::function<void(uint64_t*, std::size_t)> fill;
    std::function<int64_t(double)> poisson;
};

// A scattering exposure.  The sample scatters dSigma/dOmega(Q) (cm^-1 sr^-1)
// into a solid angle; of the neutrons scattered at 2theta the fraction
// exp(-mu) (1 - exp(-mu d)) / (mu d), d = 1 / cos(2theta) - 1, leaves the
// cell (as the simulator's forward model has it), the detector counts a
// fraction eff of those reaching a pixel, and the beam stop's shadow
// (stop_radius pixels about the beam centre) none.
struct Scattering {
    std::function<double(double)> cross_section;
    double neutrons = 0;     // neutrons on the sample times its thickness (cm)
    double mu = 0;           // optical thickness of the cell, -ln(transmission)
    double stop_radius = 0;  // pixels
    double dark = 0;         // mean dark counts of a pixel over the exposure
};

// The most neutrons one exposure follows (a few minutes' work): a run
// that would need more is refused.
constexpr double kMostNeutrons = 4e9;

// The counts of every pixel (index x + 128 y) of a scattering exposure,
// each pixel's dark counts added; empty when it would take more than
// kMostNeutrons.
std::vector<int64_t> scatter_through(const Settings& s, const Scattering& x, const std::vector<double>& eff,
                                     Draws& draws);

// The counts of the direct beam, beam stop out: `neutrons` reaching the
// detector plane, each counted with its pixel's efficiency, dark counts
// added.
std::vector<int64_t> beam_through(const Settings& s, double neutrons, double dark, const std::vector<double>& eff,
                                  Draws& draws);

}  // namespace sim

#endif
