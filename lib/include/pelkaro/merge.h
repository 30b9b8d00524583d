// pelkaro-merge: curves of one sample measured at several detector distances
// and wavelengths, read from NXcanSAS files, each put on the scale of the
// curves it overlaps and joined into one curve, written as one NXcanSAS file.
#ifndef PELKARO_MERGE_H
#define PELKARO_MERGE_H

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "pelkaro/status.h"

namespace pk {

// The 1D data of one NXcanSAS file: Q in 1/angstrom, I and Idev in the
// file's intensity unit, Qdev (one-sigma) in 1/angstrom or empty when the
// file gives none.  Distance (mm) and wavelength (angstrom) NaN when the
// file does not state them.
struct MergeCurve {
    std::string file;
    std::vector<double> q, i, idev, qdev;
    std::string intensity_unit;
    double distance_mm = std::numeric_limits<double>::quiet_NaN();
    double wavelength = std::numeric_limits<double>::quiet_NaN();
    // Each point's resolution kernel (the file's resolution_kernel): nodes
    // of |Q| and their weights, kernel_nodes per point, point after point;
    // empty when the file has none.
    int kernel_nodes = 0;
    std::vector<double> kernel_q, kernel_weight;
    // The sample as the file names it: its name, its thickness (mm, NaN when
    // not stated) and the entry's title ("" when not stated).
    std::string sample, title;
    double thickness_mm = std::numeric_limits<double>::quiet_NaN();
    double q_min() const;
    double q_max() const;
};

// Reads the first 1D SASdata group of the file's default (or first) entry,
// with its units converted.  Refused (Stage::read, its reason a sentence
// naming no file): Code::cannot_read when the file is missing, unreadable
// or not a regular file; Code::bad_contents when it is not HDF5, holds no
// 1D data, or its values are unusable (Q not finite and positive, I not
// finite, Idev or Qdev negative or not finite, arrays of unequal length, no
// points).  The HDF5 library can crash or loop on a damaged file: a
// program reads untrusted files in a process of its own (pelkaro-merge
// does).
Status read_curve(const std::string& path, MergeCurve& out);

// Refuses the values read_curve refuses in a file (Q not finite and
// positive, I not finite, Idev or Qdev negative or not finite, arrays of
// unequal length, no points, a kernel whose rows do not meet the points or
// whose nodes or weights are not finite, nodes not positive and
// increasing, weights negative or not adding up to 1): Stage::read,
// Code::bad_contents.
Status check_curve(const MergeCurve& c);

// read_curve in a process of its own, its result handed back through a
// pipe: a file that crashes the HDF5 library, or makes it loop (for
// 120 s) or ask for more than 4 GiB, is refused (Code::bad_contents) and
// the caller goes on; a process or pipe that cannot be made, Code::cannot_read.
// The caller must not be inside an HDF5 call on another thread.
Status read_curve_isolated(const std::string& path, MergeCurve& out);

// Reads the curves of `files` in order, each with read_curve_isolated; an
// empty name stands for a curve already in curves[k], which is checked as a
// file's values are.  Stops at the first that cannot be used, or whose
// intensity unit is not the first curve's (Code::bad_contents): refused
// with that curve's index as the Status's entry.
Status read_curves(const std::vector<std::string>& files, std::vector<MergeCurve>& curves);

// The names of the inputs among themselves: at least two, none the same
// file as another (an empty name, a curve in memory, is not compared).
// Refused as a wrong request: Stage::parameters, Code::bad_parameter.
Status check_merge_inputs(const std::vector<std::string>& inputs);

// The output beside the first input: its name up to the first "." with
// "_merged.h5".
std::string merged_output(const std::string& first_input);

// Refuses an output that is one of the inputs: Stage::output,
// Code::replaces_input.
Status output_not_input(const std::vector<std::string>& inputs, const std::string& out);

// The index of the input that is the file `reference`; refused when none
// is (Stage::parameters, Code::bad_parameter).
Status reference_index(const std::vector<std::string>& inputs, const std::string& reference, int& index);

// Puts the points of a curve in the order of Q (stable).
void sort_by_q(MergeCurve& c);

// A scale factor s that minimises sum (R - s I)^2 / (dR^2 + s^2 dI^2) over
// the points given, iterated from s = 1; its one-sigma uncertainty and the
// reduced chi-square.  False when the points cannot fix a factor: an
// answer the join words as its own refusal, not a failure.
struct ScaleFit {
    double s = 1, ds = 0, chi2 = 0;
    std::size_t points = 0;
};
bool fit_scale(const std::vector<double>& r, const std::vector<double>& dr, const std::vector<double>& i,
               const std::vector<double>& di, ScaleFit& fit);

// The value at q of a curve between its points (sorted by Q), interpolated
// in log Q: as a power law between two positive values, linearly in I
// otherwise; its uncertainty linearly; false outside the curve.
bool interpolate_log_q(const MergeCurve& c, double q, double& value, double& dev);

struct MergeOptions {
    int reference = -1;    // index into the curves; -1: the one with the lowest Q_min
    bool scale = true;     // false: --scale none
    bool trim = false;     // true: --overlap trim
    double q_min = 0;      // points below are dropped
    double q_max = std::numeric_limits<double>::infinity();
    std::string title;     // --title; empty: the inputs' own (see merged_title)
    bool title_given = false;
};

// What became of one input curve.
struct MergedInput {
    double scale = 1, scale_dev = 0;
    bool reference = false;
    double overlap_lo = 0, overlap_hi = 0;  // with the curves joined before (0, 0: none)
    double keep_lo = 0, keep_hi = 0;        // the Q range of its points kept
    std::size_t points_kept = 0;
};

struct MergeResult {
    std::vector<double> q, i, idev, qdev;  // sorted by Q; qdev empty when an input had none
    std::vector<int> from;                 // the input each point came from
    // Each point's kernel row from its own curve; empty when an input whose
    // points were kept had none, or the inputs' rows differ in length.
    int kernel_nodes = 0;
    std::vector<double> kernel_q, kernel_weight;
    std::vector<MergedInput> inputs;       // in the order of the curves given
    int culprit = -1;                      // on failure, the curve at fault (-1: none)
};

// Joins the curves outward from the reference.  Refused (Stage::merge,
// Code::bad_contents) when a curve holds no points, does not overlap the
// curves joined before it (scaling on), its factor cannot be fitted, or its
// points (Q, I, Idev, Qdev) are those of a curve before it, the same data
// under two names (the curve's index in the Status's entry and in
// out.culprit), or no point is
// left; Code::bad_parameter when fewer than two curves are given or the
// reference is not among them.
Status merge_curves(const std::vector<MergeCurve>& curves, const MergeOptions& opt, MergeResult& out);

// The merged curve's sample: the inputs' name and thickness where they agree
// ("" and NaN where they do not), and its title: --title, else the inputs'
// common title, else their files' stems joined by " + ".
struct MergedSample {
    std::string name, title;
    double thickness_mm = std::numeric_limits<double>::quiet_NaN();
};
MergedSample merged_sample(const std::vector<MergeCurve>& curves, const MergeOptions& opt);

// One line of text describing an input's part in the result.
std::string merge_line(const MergeCurve& c, const MergedInput& m);

// Writes the result as an NXcanSAS file at `path` (atomically); refused
// with Stage::output, Code::cannot_write.
Status write_merged(const std::vector<MergeCurve>& curves, const MergeResult& r, const MergeOptions& opt,
                    const std::string& path);

}  // namespace pk

#endif
