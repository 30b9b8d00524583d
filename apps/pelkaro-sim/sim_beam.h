// The attenuated direct-beam runs that go with a simulated measurement
// (pelkaro_sim --transmission-runs): the beam with the beam stop out, once
// without a sample and once through the sample's and the buffer's cells, for
// pelkaro-trans to measure the transmissions, the beam centre and the
// absolute scale on.
#ifndef PELKARO_SIM_BEAM_H
#define PELKARO_SIM_BEAM_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim_options.h"

namespace sim {

// The attenuator's transmission in every direct-beam run.
constexpr double kAttenuation = 1e-4;

// The beam runs draw their counts from a generator of their own, seeded from
// --seed mixed with this, so the other files' counts stay as they are.
constexpr uint64_t kBeamStream = 0x7472616e736d6974ULL;

// One direct-beam run: the neutrons that reach the detector (spread over the
// beam spot), its counting time and monitor counts, and the scattering run
// it belongs to.
struct BeamRun {
    std::string file;
    std::string what;      // the header's description
    double neutrons = 0.0;
    double time = 0.0;
    double monitor = 0.0;
    std::string datafile;  // "" for the empty beam
};

// The empty beam, then the beam through the sample and through the buffer,
// for `per_monitor` neutrons on the sample per monitor count and cells of
// transmission t_sample and t_buffer.
std::vector<BeamRun> beam_runs(double per_monitor, double t_sample, double t_buffer);

// The pelkaro-trans command that measures them in the output directory: one
// line, ending with a line feed.
std::string trans_command(const std::vector<BeamRun>& runs);

// The lines the summary prints about them.
std::string beam_summary(const Settings& s, const std::vector<BeamRun>& runs);

}  // namespace sim

#endif
