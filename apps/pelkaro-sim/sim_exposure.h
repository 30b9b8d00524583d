// The exposures of a simulated measurement: the detector files to count,
// each a Poisson draw per pixel of its noiseless picture (sim_model.h), or,
// with --resolution, drawn neutron by neutron through the instrument
// (sim_resolution.h).
#ifndef PELKARO_SIM_EXPOSURE_H
#define PELKARO_SIM_EXPOSURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim_model.h"
#include "sim_options.h"
#include "sim_random.h"

namespace sim {

// The counts of one detector file, pixel x + 128 y at index x + 128 y.
struct Counts {
    std::vector<int64_t> n;
    double time = 0.0, monitor = 0.0;  // monitor 0: not written
};

// One detector file to expose: Poisson counts of scale * eff * image + dark.
struct Exposure {
    const char* file;
    const char* what;
    const std::vector<double>* image;
    double scale, time, monitor;
};

// The five exposures, in the order they draw from the random generator:
// the sample, the buffer, the dark current, the flat field and the direct
// beam.
std::vector<Exposure> plan(const Settings& s, const Run& r, const Images& m);

// The most counts a pixel of the exposure expects.
double peak_count(const Exposure& e, const std::vector<double>& eff, double dark_rate);

// "" when every pixel of every exposure expects a count the file can hold.
std::string check_counts(const std::vector<Exposure>& shots, const std::vector<double>& eff, double dark_rate);

// The exposure's counts, drawn from g pixel by pixel.  With a dead time
// (non-paralysable, on the whole detector's rate n) every pixel records the
// share 1 / (1 + n dead_time) of what reaches it.
Counts expose(Rng& g, const std::vector<double>& eff, const Exposure& e, double dark_rate, double dead_time = 0.0);

// The sample, the buffer and the direct beam (counts 0, 1 and 4 of the
// plan) drawn again, neutron by neutron through the instrument; false when
// that would take too many.
bool smear(const Settings& s, const Run& run, const std::vector<double>& eff, Rng& g, std::vector<Counts>& counts);

}  // namespace sim

#endif
