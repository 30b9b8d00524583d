// pelkaro-nxcansas: the reduction Pelkaro performs, written as one NXcanSAS
// file (HDF5) instead of the .d2d/.d1d text files.  The job in functions a
// test can call: the command line, the Q values the text files do not
// carry (bin centres, mean Q of each bin, Qx/Qy of each pixel), the file
// writer and the whole program.
#ifndef PELKARO_NXCANSAS_H
#define PELKARO_NXCANSAS_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "pelkaro/merge.h"
#include "pelkaro/run.h"
#include "pelkaro/trans.h"

namespace pk {

// The uncertainties of the first sample's transmission, of the first used
// buffer's and of ABSF, from which the file's systematic terms are worked
// out.  Measured by pelkaro-trans, each is split by the independent
// measurements it rests on (SigmaShares: the empty beam, the dark current,
// the run's own counts or ABSF's own terms); a sigma given alone is all
// `own`, a measurement of its own.
struct ScaleUncertainty {
    bool sample = false, buffer = false, absf = false;  // given
    SigmaShares sample_t, buffer_t, absf_f;
    bool split = false;   // the shares of one measurement of direct beams
    std::string source;   // where they come from, for the file's note
};

// Why a value's standard uncertainty cannot be used: "" when it can, else
// a reason ("the uncertainty -0.1 is negative", "... is not a finite
// number", "... is larger than the value 0.5").
std::string uncertainty_fault(double value, double sigma);

// What the NXcanSAS file is to hold, as the command line asks for it.
struct NxOptions {
    std::string param;                    // the parameter file
    std::string out;                      // -o; empty: beside the first sample file
    std::string length_unit = "mm";       // of the parameter file's lengths
    std::string intensity_unit = "1/cm";  // of I and Idev
    std::string title;                    // --title; empty: the first sample file's stem
    bool title_given = false;
    bool gravity = true;                  // --no-gravity leaves the neutrons' fall out of the resolution
    bool as_computed = false;             // --as-computed: I and Idev keep the sample's wide-angle attenuation
    std::string trans_table;              // --trans: pelkaro-trans's table (--format tsv)
    ScaleUncertainty uncertainty;         // the systematic terms beside Idev (from the table)
};

// How the resolution is worked out: with or without the neutrons' fall
// (which needs the lengths in metres: the parameter file's unit in metres).
struct ResolutionOptions {
    bool gravity = true;
    double metres_per_unit = 1e-3;
};
// The options of a file written with `opt`; false for a length unit other
// than mm, cm or m.
bool resolution_options(const NxOptions& opt, ResolutionOptions& out);

// The default output: beside the first sample file, its name cut as the
// .d1d's is, with ".h5".
std::string default_output(const std::string& first_sample);

// What the file says of the averaged curve beyond the .d1d, for the bins it
// writes (those that received detector area), in order.
struct CurveQ {
    std::vector<int> bins;        // bin indices
    std::vector<double> q;        // mean |Q| the instrument gives the point (its kernel's mean)
    std::vector<double> qcentre;  // Q at the bin's centre radius
    std::vector<double> qmean;    // mean Q of the sub-pixels that fell into the bin
    std::vector<double> qdev;     // standard deviation of |Q| about q (NaN when not known)
    std::vector<double> idev;     // standard deviation of the bin's mean intensity as averaged
    std::vector<double> next_corr;  // its correlation with the next bin's (0 when that is not written)
    double bin_width = 0;         // the radial bin width used
    // The resolution kernel of every point: kernel_nodes values of |Q|
    // (increasing) and their weights (summing to 1), point after point; the
    // point's intensity is the weighted sum of the cross-section at them.
    // Empty (kernel_nodes 0) when the resolution is not known: then q is
    // the bin's centre and qdev the Gaussian width of the older files.
    int kernel_nodes = 0;
    std::vector<double> kernel_q, kernel_weight;
};

// A file written before, kept so that the next file of the same layout is
// made from it: its bytes, and every group, dataset and attribute in the
// order the layout wrote them, each with the values written (empty for a
// group).  Empty: none kept.
struct NxFileItem {
    std::string name;   // the object's path, "PATH@NAME" for an attribute
    std::string value;  // the written values with their shape and kind
    // A dataset's places in the file, 0 where not known: its object header,
    // and its values when they lie in one piece in the file's byte order.
    std::uint64_t header = 0, data = 0;
};
struct NxFileImage {
    std::vector<unsigned char> bytes;
    std::vector<NxFileItem> items;
};

// What a file holds that depends on the configuration alone (the geometry,
// sector and bins, the mask, the resolution options), not on the counts: the
// curve's Q, Qdev and resolution kernels, the pixels' Q and resolution.  A
// series that writes many files of one configuration keeps one record and
// passes it to every write: the values are worked out for the first file
// and again only when the configuration changes, and are the same bits.
struct NxFixed {
    // The configuration the values were made for.
    bool curve_made = false, image_made = false;
    std::vector<float> geometry;  // the Param fields the values depend on (fixed_key)
    ResolutionOptions opt;
    std::vector<float> mask;      // the mask's values (the curve's)
    std::vector<int> bins;        // the bins the curve writes
    // The curve's (as CurveQ names them).
    std::vector<double> q, qdev, kernel_q, kernel_weight;
    int kernel_nodes = 0;
    // The pixels' (as pixel_q gives them) and |Q|.
    std::vector<double> qx, qy, qabs, along, across;
    // The pixels' factors that free them of the sample's attenuation, for
    // the sample's transmission `factors_trans` (with the pixels' geometry).
    bool factors_made = false;
    float factors_trans = 0;
    std::vector<double> factors;
    // The last files written afresh through this record, the latest first
    // (up to three): a file whose layout names the same groups, datasets and
    // attributes in the same order, of the same shapes, as one of them is
    // made from it by writing over the values that differ (the library
    // makes no object and leaves the rest as it is).  Several, for the
    // layouts that alternate in a series (a note that names samples whose
    // names differ in length).
    std::vector<NxFileImage> kept;
    // Held around every use of the HDF5 library when several threads write
    // files through their own records (the library is not thread-safe);
    // null: the caller writes from one thread.
    std::mutex* library = nullptr;
};

// Works out CurveQ for a reduction's curve from the average's sums
// (ave_data_sums) and the mask in use.  False when the sums do not meet the
// curve (bin count or a bin's emptiness differs), which would make the file
// wrong.
bool curve_q(const Param& p, const Data1D& rot, const BinSums& sums, const Data2D& mask,
             const ResolutionOptions& opt, CurveQ& out);
// The same, the values of the configuration taken from `fixed` when it was
// made for it, else worked out and kept there (`fixed` null: worked out).
bool curve_q(const Param& p, const Data1D& rot, const BinSums& sums, const Data2D& mask,
             const ResolutionOptions& opt, CurveQ& out, NxFixed* fixed);

// The mean Qx and Qy of every pixel, index x + 128*y, over its area and, when
// the resolution is known, the beam's divergence and the wavelength spread;
// with the standard deviations of Q along and across Q about them (empty when
// the resolution is not known).
void pixel_q(const Param& p, const ResolutionOptions& opt, std::vector<double>& qx, std::vector<double>& qy,
             std::vector<double>& along, std::vector<double>& across);

// Writes the NXcanSAS file of a completed reduction to `path` (atomically).
// Refused with Stage::output, Code::cannot_write, its reason a sentence
// without a program name.
Status write_file(const Run& run, const NxOptions& opt, const std::string& path);
// The same, the values that depend on the configuration alone taken from
// `fixed` (see NxFixed); the file's bytes are the same.
Status write_file(const Run& run, const NxOptions& opt, const std::string& path, NxFixed* fixed);

// The curve of a completed reduction as pelkaro-merge reads it from the file
// write_file writes with the default options (mm, 1/cm, the sample's
// wide-angle attenuation divided out): the same numbers (I,
// Idev and Qdev rounded to float as the file stores them), distance and
// wavelength, named `name`.  `curve` is the reduction's curve_q.  Refused
// as a file with such a curve is (Stage::read, Code::bad_contents) when
// there is no curve or its values cannot be joined.
Status merge_curve_of(const Run& run, const CurveQ& curve, const std::string& name, MergeCurve& out);


}  // namespace pk

#endif
