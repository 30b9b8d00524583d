// The fixed parts of a configuration, taken from one complete reduction and
// reused for the reductions of further samples with that configuration.
#ifndef PELKARO_SERIES_SETUP_H
#define PELKARO_SERIES_SETUP_H

#include <cstdint>
#include <string>
#include <vector>

#include "ave_plan.h"
#include "pelkaro/Pelkaro.h"
#include "pelkaro/run.h"
#include "sub_data.h"

namespace pk {

// The parts of a reduction that do not depend on the sample images, taken
// from a completed reduction of the same configuration: buffers (loaded and
// corrected), dark current, normalised flat field, the mask in use, the
// solid-angle factors and the average's plan.
struct SeriesSetup {
    std::string key;           // series_key of the configuration
    Param p{};
    SolidAngle sa;
    std::vector<Data2D> buf;   // the buffer entries, with their header values
    PixelSums buf_sums;        // the corrected buffers in use, summed
    Data2D dark, sens, mask;
    SubPlan sub;
    AvePlan plan;
};

// Everything of a parsed run that the fixed parts depend on: the parameters
// but for the number of samples, the keywords given, and the buffer, dark
// current, flat-field and mask entries, and whether the writer's sums are
// wanted.  Runs with one key share a setup.
std::string series_key(const Run& run);

// Copies the fixed parts out of `run`, whose reduction succeeded, and works
// out the plan.  `key` is series_key of the run as prepare_run left it (the
// reduction reads the counting times and monitor counts of the files'
// headers into the entries).
SeriesSetup take_setup(const Run& run, const std::string& key);

// A sample file as the check of a run read it, for the reduction that
// follows, which takes the image instead of reading the file again.
struct LoadedSample {
    std::string name;
    uint32_t tm = 0, monitor = 0, psd = 0;  // the bits of the entry's values it was read from
    Data2D image;                           // as read_data read it, header values included
    bool taken = false;                     // its pixels moved into a reduction
};

// The reduction of `run` (parsed by prepare_run, with the key of `setup`):
// its sample images loaded and corrected, subtracted and averaged with the
// setup's fixed parts.  Gives exactly the images and curve of reduce(run).
// False where the shortcut does not apply or a stage fails; the caller then
// reduces a freshly parsed run with reduce(), which finds the failure with
// its exact message.  A sample in `loaded` read from the entry's values is
// taken from there: its pixels are moved into the reduction.
bool reduce_with_setup(Run& run, const SeriesSetup& setup, std::vector<LoadedSample>* loaded = nullptr);

}  // namespace pk

#endif
