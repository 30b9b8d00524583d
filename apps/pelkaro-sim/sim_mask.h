// The mask and the absolute scale of a simulated measurement, and the check
// that Pelkaro can reduce it.
//
// With Pelkaro's reduction I = 1000 (S - B * buffer) / (T * M * t * ABSF) and
// a flat field normalised to mean 1 over the pixels in use, the absolute
// scale factor that puts the curve in cm^-1 is
//   ABSF = 1000 * k * (pixel area / L^2) * <eff * T_flat(2theta) / T_flat>
// (mean over the pixels in use), which an instrument scientist would obtain
// from a calibration standard; the simulator knows its detector and writes it.
#ifndef PELKARO_SIM_MASK_H
#define PELKARO_SIM_MASK_H

#include <string>
#include <vector>

#include "sim_exposure.h"
#include "sim_model.h"
#include "sim_options.h"

namespace sim {

struct Mask {
    std::vector<int> use;  // 1 = pixel used
    int bad = 0;           // bad pixels found in the flat field
    double absf = 0.0;     // absolute scale factor for the pixels in use
};

// The mask an instrument scientist draws: the beam stop with a margin, and
// every pixel whose flat-field count, freed of the cos^3 falloff, is more
// than 30 % off the median (dead and hot pixels).  Then the scale factor
// over the pixels it keeps.
Mask draw_mask(const Settings& s, const std::vector<double>& eff, const Counts& flat_field);

// "" when Pelkaro can reduce the measurement: the flat field counts
// something in the pixels the mask keeps (Pelkaro normalises the detector by
// their mean), and the squares of the reduced uncertainties, summed over a
// ring of the curve, stay within single precision.
std::string check_reduction(const Settings& s, const Run& r, const std::vector<Exposure>& shots,
                            const std::vector<double>& eff, const Counts& flat_field, const Mask& m);

}  // namespace sim

#endif
