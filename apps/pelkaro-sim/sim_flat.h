// The flat-field runs of a simulated measurement (pelkaro_sim --flat-runs):
// the water of the flat field counted twice, the beam stop at the beam
// centre and then moved, for pelkaro-flat to fill each run's shadow from
// the other; and the detector's efficiencies they measure, as a file the
// tests compare pelkaro-flat's with.
#ifndef PELKARO_SIM_FLAT_H
#define PELKARO_SIM_FLAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim_files.h"
#include "sim_model.h"
#include "sim_options.h"

namespace sim {

// The flat runs draw their counts from a generator of their own, seeded from
// --seed mixed with this, so the other files' counts stay as they are.
constexpr uint64_t kFlatStream = 0x666c61742d72756eULL;
// How far the beam stop moves for the second run by default, pixels along x.
constexpr double kStopMove = 12.0;

// Where the second run's beam stop stands: --flat-stop-x/-y, or kStopMove
// pixels along x from the beam centre.
void second_stop(const Settings& s, double& x, double& y);

// flat_run_1.dat, flat_run_2.dat and detector_efficiency.txt (one efficiency
// a line, pixel x + 128 y, as the simulator draws the counts with them).
std::vector<OutFile> flat_run_files(const Settings& s, const Run& run, const std::vector<double>& eff);

// The lines the summary prints about them, with the pelkaro-flat command.
std::string flat_summary(const Settings& s);

}  // namespace sim

#endif
