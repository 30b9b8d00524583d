// Many reductions with one instrument configuration: a series of samples or
// the frames of a time-resolved measurement.  What does not change from one
// measurement to the next (flat field, mask, dark current, buffer, solid
// angle and the azimuthal average's sub-pixel decisions) is prepared once
// and reused; each measurement then costs its own image only.  The results
// are those of the library's reduction, bit for bit.
#ifndef PELKARO_SERIES_H
#define PELKARO_SERIES_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/check.h"
#include "pelkaro/run.h"

namespace pk {

// The sub-pixel decisions of the azimuthal average for one geometry and one
// mask: for every pixel in use (in the order of the average: columns, then
// rows), each bin its sub-pixels fall into with their number.  A frame's
// average is then one pass over these entries, each adding the pixel's two
// terms to its bin as many times as the count says, in the same order as
// the sub-pixel loop adds them.
struct AveEntry {
    uint16_t pixel = 0;  // x + 128*y
    uint16_t bin = 0;
    uint32_t count = 0;  // sub-pixels, 1 to 100
};
struct AvePlan {
    bool usable = false;          // false: the average must go through ave_data
    int tot = 0;                  // bins of the curve
    std::vector<float> x, dq;     // Q and resolution of each bin
    std::vector<float> area;      // detector area of each bin, pixels
    std::vector<AveEntry> entries;
    // The writer's sums that depend on the geometry only (n, q and w2 of
    // each bin; w2var and next_cov zero).
    BinSums geometry;
    // The same entries bin by bin for eight bins at a time (group g holds
    // the bins lane_bin[8g] to lane_bin[8g + 7], bins of about as many
    // entries together): step t of a group holds the t-th entry of each of
    // its bins, as pixel and count, a count of 0 where a bin has no more.
    // Eight bins then take their additions side by side, each in its own
    // order.  Empty where the processor cannot take eight at a time.
    std::vector<int32_t> lane_pixel, lane_count;
    std::vector<int32_t> lane_bin;      // the bin of each lane of each group, -1 for none
    std::vector<uint32_t> group_start;  // first step of each group, and the end
};

// Works out the plan for the geometry of `p` and the mask in use.  An
// unusable plan (geometry that ave_data refuses, or that the plan does not
// cover) sends every frame to ave_data.
AvePlan make_ave_plan(const Param& p, const Data2D& mask);

// The average of `in` by the plan, exactly as ave_data computes it.  False,
// with `out` unspecified, where the plan does not apply (an unusable plan, a
// pixel value that is not finite, a bin that comes out not finite): then
// ave_data gives the result, or the failure, itself.
bool average_by_plan(const AvePlan& plan, const Data2D& in, Data1D& out);
// The writer's sums of the average of `in` by the plan (ave_data_sums's,
// bit for bit): the geometry's, with the pixels' variances added entry by
// entry.  False where the plan does not apply.
bool sums_by_plan(const AvePlan& plan, const Data2D& in, BinSums& out);
// The same with the eight-bin loop left aside (`lanes` false), for the
// tests, which hold the two loops to the same bits.
bool average_by_plan(const AvePlan& plan, const Data2D& in, Data1D& out, bool lanes);

// The subtraction's factors that depend on a pixel's distance from the beam
// centre, worked out once for a geometry, a mask, the first sample's
// transmission and the buffers: each pixel in use names its distance, and
// each distance has the exponent of the angle-dependent transmissions and
// the transmissions of sample and first buffer in use at it.
struct SubPlan {
    static constexpr uint16_t kOff = 0xFFFF;  // a pixel outside the mask
    std::vector<uint16_t> at;                 // each pixel's distance (kDetPixels)
    std::vector<double> e;                    // 0.5/cos(theta) + 0.5 of each distance
    std::vector<float> strans, btrans;        // T^e of the sample and of the buffer
    uint32_t sample_trans = 0, buffer_trans = 0;  // the bits of the two T
};
SubPlan make_sub_plan(const Param& p, const Data2D& mask, float sample_trans, const std::vector<Data2D>& buf);

// sub_sums by the plan, bit for bit, for any sample transmission (another
// than the plan's costs its powers).  False where the plan does not apply
// or sub_sums would refuse or fail: then sub_sums finds it and words it.
bool sub_sums_planned(const SubPlan& plan, const Param& p, const std::vector<Data2D>& d,
                      const std::vector<Data2D>& buf, const PixelSums& samples, const PixelSums& buffers,
                      const Data2D& dc, Data2D& res);

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
// current, flat-field and mask entries.  Runs with one key share a setup.
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
};

// The reduction of `run` (parsed by prepare_run, with the key of `setup`):
// its sample images loaded and corrected, subtracted and averaged with the
// setup's fixed parts.  Gives exactly the images and curve of reduce(run).
// False where the shortcut does not apply or a stage fails; the caller then
// reduces a freshly parsed run with reduce(), which finds the failure with
// its exact message.  A sample in `loaded` read from the entry's values is
// taken from there.
bool reduce_with_setup(Run& run, const SeriesSetup& setup, const std::vector<LoadedSample>* loaded = nullptr);

// What the runs of a series share, for any number of threads: the fixed
// parts of the configurations met (a few, the most recent), and the fixed
// detector files (buffer, dark current, flat field) as the check reads them.
struct CheckedFile;
struct SeriesCache {
    static constexpr std::size_t kMostSetups = 8;
    static constexpr std::size_t kMostFiles = 32;
    std::mutex m;
    std::vector<std::shared_ptr<const SeriesSetup>> setups;
    std::vector<std::string> building;  // keys whose setup a thread is making
    std::vector<std::shared_ptr<const CheckedFile>> files;
    // The flat-field pixels outside their range that a mask file leaves in
    // use, by flat field (name, counting time, monitor count) and mask name.
    std::vector<std::pair<std::string, std::vector<int>>> outliers;

    std::shared_ptr<const SeriesSetup> find(const std::string& key);
    // True when the caller is to make the setup of `key` (and then calls done).
    bool claim(const std::string& key);
    void done(const std::string& key, std::shared_ptr<const SeriesSetup> setup);
};

// One check of a run of a series, as check_run checks it (the same
// diagnostics), its fixed files and parts taken from the series where it
// has them.  The reduction the check makes is kept for the caller.
struct SeriesCheck {
    SeriesCache* cache = nullptr;
    Run run;              // the checked run; reduced when `reduced`
    bool reduced = false;
    Status reduction;     // why the reduction failed, where it did
    std::vector<LoadedSample> loaded;  // the sample files as the check read them
    bool want_sums = false;            // the reduction takes the writer's sums (Run::want_sums)
};
CheckResult check_run(const std::string& param_name, SeriesCheck& series);

// The reduction of a run (parsed by prepare_run) with the fixed parts of the
// series: by its setup where the series has one (with the samples of
// `loaded` read already), else by reduce(), whose fixed parts are then kept
// for the runs after it.
Status reduce_in_series(Run& run, SeriesCache& cache, const std::vector<LoadedSample>* loaded = nullptr);

// The output files of a reduction at a chosen path: the .d2d (header from
// `pf`) and the .d1d, written as write_2D and write_1D write them
// (file_out.cpp).
Status write_2D_as(const Data2D& data, const ParamFile& pf, const std::string& out_name);
Status write_1D_as(const Data1D& d, const std::string& out_name);

}  // namespace pk

#endif
