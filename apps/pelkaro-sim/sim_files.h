// The files of a simulated measurement, in Pelkaro's own formats: the
// detector files, the mask, the parameter file that reduces the run and the
// one that measures the beam centre; and their writing, all or nothing.
#ifndef PELKARO_SIM_FILES_H
#define PELKARO_SIM_FILES_H

#include <string>
#include <vector>

#include "sim_exposure.h"
#include "sim_mask.h"
#include "sim_model.h"
#include "sim_options.h"

namespace sim {

// One file of the run: its name in the output directory and its text.
struct OutFile {
    std::string name, text;
};

// A detector file: a comment with `what` and the command `origin` that
// regenerates it, the counting time, monitor and total counts, then the
// 128 x 128 counts a row of the detector per line.
std::string detector_file(const char* what, const std::string& origin, const Counts& c);

// The files of the run in the order they are put in place: the data, the
// mask, and the parameter files that name them last.
std::vector<OutFile> run_files(const Settings& s, const Run& r, const std::vector<Exposure>& shots,
                               const std::vector<Counts>& counts, const Mask& m);

// Writes the run into `dir` all or nothing: every file goes under a
// temporary name beside its target, and only when all are complete are they
// renamed over the targets.  A run cut short (a full disk, a file-size
// limit, a signal) leaves no file of its own and the files of an earlier
// run as they were.  "" when written, else why not.
std::string write_run(const std::string& dir, const std::vector<OutFile>& files);

}  // namespace sim

#endif
