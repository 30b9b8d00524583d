// Many reductions with one instrument configuration: a series of samples or
// the frames of a time-resolved measurement, each checked as pelkaro-check
// checks it and reduced.  What does not change from one measurement to the
// next (flat field, mask, dark current, buffer, solid angle and the
// azimuthal average's sub-pixel decisions) is prepared once and reused;
// each measurement then costs its own image only.  The results are those of
// the library's reduction, bit for bit.
#ifndef PELKARO_SERIES_H
#define PELKARO_SERIES_H

#include <memory>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/check.h"
#include "pelkaro/run.h"

namespace pk {

// What the runs of a series share, for any number of threads: the fixed
// parts of the configurations met (a few, the most recent), and the fixed
// detector files (buffer, dark current, flat field) as the check reads them.
class SeriesCache {
public:
    SeriesCache();
    ~SeriesCache();
    SeriesCache(const SeriesCache&) = delete;
    SeriesCache& operator=(const SeriesCache&) = delete;

    struct Parts;  // what is kept, private to the library
    Parts& parts() { return *parts_; }

private:
    std::unique_ptr<Parts> parts_;
};

// One check of a run of a series, as check_run checks it (the same
// diagnostics), its fixed files and parts taken from the series where it
// has them.  The reduction the check makes is kept for the caller.
struct LoadedSample;  // a sample file as the check read it, for the reduction
struct SeriesCheck {
    SeriesCheck();
    ~SeriesCheck();
    SeriesCheck(const SeriesCheck&) = delete;
    SeriesCheck& operator=(const SeriesCheck&) = delete;

    SeriesCache* cache = nullptr;
    Run run;              // the checked run; reduced when `reduced`
    bool reduced = false;
    Status reduction;     // why the reduction failed, where it did
    bool want_sums = false;            // the reduction takes the writer's sums (Run::want_sums)
    std::vector<LoadedSample> loaded;  // the sample files as the check read them
    // The parameter file's text where the caller has it (it has just
    // written the file): taken instead of reading the file again.
    const std::string* param_text = nullptr;
    // False where the caller writes the reduction's outputs elsewhere: the
    // places Pelkaro would write them (beside the first sample file) are
    // not looked at.
    bool own_outputs = true;
};
CheckResult check_run(const std::string& param_name, SeriesCheck& series);

// The reduction of a run (parsed by prepare_run) with the fixed parts of the
// series: by its setup where the series has one (with the samples of
// `loaded` read already, their pixels moved into the reduction), else by
// reduce(), whose fixed parts are then kept
// for the runs after it.
Status reduce_in_series(Run& run, SeriesCache& cache, std::vector<LoadedSample>* loaded = nullptr);

// The output files of a reduction at a chosen path: the .d2d (header from
// `pf`) and the .d1d, as Pelkaro writes them.
Status write_2D_as(const Data2D& data, const ParamFile& pf, const std::string& out_name);
Status write_1D_as(const Data1D& d, const std::string& out_name);

}  // namespace pk

#endif
