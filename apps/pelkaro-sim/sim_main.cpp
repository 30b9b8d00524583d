// The simulator's run (sim_main.h): the settings, the detector and the
// noiseless pictures, the counts drawn in a fixed order from the seed's
// generator, the mask, the files written all or nothing, and the summary.
#include "sim_main.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "sim_beam.h"
#include "sim_exposure.h"
#include "sim_files.h"
#include "sim_flat.h"
#include "sim_mask.h"
#include "sim_model.h"
#include "sim_options.h"
#include "sim_oriented.h"
#include "sim_random.h"
#include "sim_resolution.h"

namespace sim {
namespace {

// Says why the run is refused on standard error; returns `status`.
int refuse(const std::string& why, int status) {
    std::fprintf(stderr, "pelkaro_sim: error: %s\n", why.c_str());
    return status;
}

// The direct-beam runs, from their own generator, placed after the
// detector files of the `detectors` exposures.
std::vector<BeamRun> add_beam_runs(const Settings& s, const Run& run, const Images& images,
                                   const std::vector<double>& eff, std::size_t detectors,
                                   std::vector<OutFile>& files) {
    const std::vector<BeamRun> beams =
        s.transmission_runs ? beam_runs(kPerMonitor, run.t_sam, run.t_buf) : std::vector<BeamRun>{};
    Rng beam_counts(s.seed ^ kBeamStream);
    for (std::size_t i = 0; i < beams.size(); ++i) {
        const BeamRun& b = beams[i];
        const Exposure e{b.file.c_str(), b.what.c_str(), &images.spot, b.neutrons / images.spot_area, b.time,
                         b.monitor};
        const Counts c = expose(beam_counts, eff, e, s.dark_rate, s.dead_time);
        files.insert(files.begin() + static_cast<std::ptrdiff_t>(detectors + i),
                     {b.file, detector_file(e.what, run.origin + " --transmission-runs", c)});
    }
    return beams;
}

// What was written, on standard output.
void summary(const Settings& s, const Run& run, const Mask& mask, const std::vector<BeamRun>& beams) {
    const std::string sample = s.orientation > 0 ? pk::format("ellipsoids R = %.1f A, aspect %g, axes at %g +- %g "
                                                              "degrees", s.radius, s.aspect, s.axis, s.orientation)
                                                 : pk::format("spheres R = %.1f A", s.radius);
    std::printf("%s: wrote %s\n  %s, I(0) = %.4f cm^-1; transmissions sample %.6f, buffer %.6f\n"
                "  mask: beam stop and %d bad pixels; ABSF %.7g\n",
                run.origin.c_str(), s.out.c_str(), sample.c_str(),
                s.orientation > 0 ? ellipsoid_forward(s) : forward_intensity(s), run.t_sam, run.t_buf, mask.bad,
                mask.absf);
    if (!beams.empty()) std::printf("%s", beam_summary(s, beams).c_str());
    if (s.flat_runs) std::printf("%s", flat_summary(s).c_str());
    const double lo = 3.0 + kSpotRadius, hi = 125.0 - kSpotRadius;  // Pelkaro looks in rows and columns 3..124
    if (s.centre_x < lo || s.centre_x > hi || s.centre_y < lo || s.centre_y > hi)
        std::printf("  note: the direct beam reaches outside rows and columns 3 to 124, where Pelkaro's\n"
                    "  beam-centre run looks for it, so that run will not find its true centre\n");
}

}  // namespace

int sim_main(int argc, char** argv) {
    Settings s;
    const Parsed parsed = parse_options(argc, argv, s);
    if (parsed.action == Parsed::Action::Exit) return parsed.status;

    const Run run = derive(s);
    const std::vector<double> eff = make_detector(s);
    const Images images = make_images(s, run);
    const std::vector<Exposure> shots = plan(s, run, images);
    const std::string why = check_counts(shots, eff, s.dark_rate);
    if (!why.empty()) return refuse(why, 2);
    Rng g(s.seed);
    std::vector<Counts> counts;
    for (const Exposure& e : shots) counts.push_back(expose(g, eff, e, s.dark_rate, s.dead_time));
    if (s.resolution && !smear(s, run, eff, g, counts))
        return refuse(pk::format("--resolution would follow more than %.0e neutrons through the instrument; "
                                 "lower --monitor or --buffer-monitor", kMostNeutrons), 2);
    const Mask mask = draw_mask(s, eff, counts[3]);
    const std::string unreducible = check_reduction(s, run, shots, eff, counts[3], mask);
    if (!unreducible.empty()) return refuse(unreducible, 2);

    std::vector<OutFile> files = run_files(s, run, shots, counts, mask);
    const std::vector<BeamRun> beams = add_beam_runs(s, run, images, eff, shots.size(), files);
    if (s.flat_runs)
        for (OutFile& f : flat_run_files(s, run, eff)) files.insert(files.end() - 3, std::move(f));
    const std::string failed = write_run(s.out, files);
    if (!failed.empty()) return refuse(failed, 1);
    summary(s, run, mask, beams);
    return 0;
}

}  // namespace sim
