// The flat-field runs of a simulated measurement (sim_flat.h).  Each is the
// flat field's exposure (1 mm of light water, --flat-monitor counts) with
// the beam stop's shadow at its own place.
#include "sim_flat.h"

#include <cmath>

#include "pelkaro/Pelkaro.h"
#include "sim_exposure.h"
#include "sim_random.h"

namespace sim {

void second_stop(const Settings& s, double& x, double& y) {
    x = s.flat_stop_x > 0 ? s.flat_stop_x : s.centre_x + kStopMove;
    y = s.flat_stop_y > 0 ? s.flat_stop_y : s.centre_y;
}

std::vector<OutFile> flat_run_files(const Settings& s, const Run& run, const std::vector<double>& eff) {
    double x2 = 0, y2 = 0;
    second_stop(s, x2, y2);
    const double stops[2][2] = {{s.centre_x, s.centre_y}, {x2, y2}};
    const char* const names[2] = {"flat_run_1.dat", "flat_run_2.dat"};
    const double omega = s.pixel_x * s.pixel_y / (s.distance * s.distance);
    Rng g(s.seed ^ kFlatStream);
    std::vector<OutFile> files;
    for (int i = 0; i < 2; ++i) {
        const std::vector<double> water = water_image(s, stops[i][0], stops[i][1]);
        const std::string what = pk::format("flat-field run, 1 mm light water, beam stop at (%s, %s)",
                                            shortest(stops[i][0]).c_str(), shortest(stops[i][1]).c_str());
        const Exposure e{names[i], what.c_str(), &water, kPerMonitor * s.flat_monitor * kWaterThickness * omega,
                         std::round(s.flat_monitor / kMonitorRate), s.flat_monitor};
        files.push_back({names[i], detector_file(e.what, run.origin + " --flat-runs",
                                                 expose(g, eff, e, s.dark_rate, s.dead_time))});
    }
    std::string text;
    for (double v : eff) text += pk::format("%.9g\n", v);
    files.push_back({"detector_efficiency.txt", text});
    return files;
}

std::string flat_summary(const Settings& s) {
    const std::string run = "," + shortest(std::round(s.flat_monitor / kMonitorRate)) + "," + shortest(s.flat_monitor);
    return pk::format("  flat-field runs flat_run_1.dat, flat_run_2.dat (water, transmission %.6f); in %s, make the "
                      "sensitivity with\npelkaro-flat --par spheres.par --transmission %.6f -o flat_made.dat "
                      "--mask-out flat_made.mask flat_run_1.dat%s flat_run_2.dat%s\n",
                      std::exp(-kWaterSigma * kWaterThickness), s.out.c_str(),
                      std::exp(-kWaterSigma * kWaterThickness), run.c_str(), run.c_str());
}

}  // namespace sim
