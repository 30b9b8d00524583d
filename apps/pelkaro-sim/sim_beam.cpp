// The direct-beam runs of a simulated measurement (sim_beam.h).  Each is
// the beam spot of the direct-beam image, attenuated, through no cell or
// through the sample's or the buffer's: expected counts
//   per monitor count x monitor counts x attenuation x cell transmission
// spread over the spot, times the pixels' efficiencies, plus the dark
// current over the counting time.  The monitor counts the beam upstream of
// the attenuator.  The source's rate drifts a little between the runs, so
// the monitor counts are not the counting times times one rate.
#include "sim_beam.h"

#include "pelkaro/Pelkaro.h"

namespace sim {

std::vector<BeamRun> beam_runs(double per_monitor, double t_sample, double t_buffer) {
    struct Counting {
        const char* file;
        const char* what;
        double transmission, time, monitor;
        const char* datafile;
    };
    const Counting plan[] = {
        {"empty_beam.dat", "empty beam (no sample)", 1.0, 120.0, 120000.0, ""},
        {"sample_beam.dat", "beam through the sample's cell", t_sample, 180.0, 176940.0, "sphere_sample.dat"},
        {"buffer_beam.dat", "beam through the buffer's cell", t_buffer, 150.0, 148320.0, "solvent_buffer.dat"},
    };
    std::vector<BeamRun> runs;
    for (const Counting& c : plan)
        runs.push_back({c.file,
                        pk::format("attenuated direct beam, beam stop out, attenuator transmission %s: %s",
                                   shortest(kAttenuation).c_str(), c.what),
                        per_monitor * c.monitor * kAttenuation * c.transmission, c.time, c.monitor, c.datafile});
    return runs;
}

std::string trans_command(const std::vector<BeamRun>& runs) {
    std::string cmd = "pelkaro-trans --par spheres.par --attenuation " + shortest(kAttenuation);
    for (const BeamRun& r : runs) {
        cmd += r.datafile.empty() ? " --empty " : " ";
        cmd += r.file + "," + shortest(r.time) + "," + shortest(r.monitor);
        if (!r.datafile.empty()) cmd += "," + r.datafile;
    }
    return cmd + "\n";
}

std::string beam_summary(const Settings& s, const std::vector<BeamRun>& runs) {
    std::string names;
    for (const BeamRun& r : runs) names += (names.empty() ? "" : ", ") + r.file;
    return pk::format("  direct-beam runs %s (attenuator %s); in %s, measure them with\n", names.c_str(),
                      shortest(kAttenuation).c_str(), s.out.c_str()) +
           trans_command(runs);
}

}  // namespace sim
