// Measurements on direct-beam runs: the attenuated beam with the beam stop
// out, once without a sample (the empty beam) and once through each sample
// and buffer.  From them the beam centre, the transmission of every run and
// the absolute scale factor that puts Pelkaro's result in cm^-1.
//
// Counting statistics are propagated from the detector counts of the runs
// and of the dark current (Poisson: the variance of a sum of counts is the
// sum).  Monitor counts are taken as exact: their own counting error is
// negligible beside the detector's and is not propagated.  The monitor sits
// upstream of the attenuator, so it counts the unattenuated beam.
#ifndef PELKARO_TRANS_H
#define PELKARO_TRANS_H

#include <cstddef>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/status.h"

namespace pk {

// The share of the empty beam's net counts that the default disc holds.
constexpr double kDiscShare = 0.995;
// A transmission above this is refused: the run counted more per monitor
// count than the empty beam by far more than counting noise explains.
constexpr double kMostTransmission = 1.2;
// A transmission more than this many standard deviations above 1 is worth
// a warning.
constexpr double kAboveOneSigmas = 3.0;
// Flat-field efficiencies outside this range are pixels Pelkaro masks.
constexpr double kLeastEfficiency = 0.5;
constexpr double kMostEfficiency = 1.5;

// One detector image of a direct-beam run or of the dark current: its
// counts, counting time and monitor counts (the file's header tags win over
// the values it was named with).  No counts: no image (a run without dark
// current).
struct BeamImage {
    std::string name;
    double time = 0.0;             // s
    double monitor = 0.0;          // monitor counts; 0 for a dark current
    std::vector<double> counts;    // kDetPixels counts, pixel (x, y) at x + 128 y
};

// Reads a detector file with Pelkaro's reader (its checks and limits),
// `time` and `monitor` standing where the header has no tag; an image of
// `held` by that name is taken instead of the file (it has no header).
// Refuses a file without exactly 16384 values, a counting time that is not
// positive and, unless `dark`, monitor counts that are not positive.
Status read_beam_image(const std::string& name, double time, double monitor, bool dark, BeamImage& out,
                       const std::vector<HeldImage>& held = {});

// The flat field and mask of a parameter file as a reduction would use
// them, with the geometry (pixel spacing, distance, solid-angle flag).  An
// empty flat (no values) means none is known.
struct FlatField {
    Param p{};
    Data2D flat;   // raw values
    Data2D mask;   // the mask file, or the internal mask
};

// Reads the flat field `flat_name` and (when p.mask_source is 1) the mask file
// `mask_name` with Pelkaro's readers (or takes the images of `held` by those
// names); otherwise makes the internal mask.
Status load_flat_field(const Param& p, const std::string& flat_name, const std::string& mask_name, FlatField& out,
                       const std::vector<HeldImage>& held = {});

// The relative efficiency of every pixel as Pelkaro divides the data by it
// with the beam centre at (x, y): the flat field (corrected for the solid
// angle when the parameter file's flag asks for it) over its mean across the
// pixels the mask uses.  `rel_var` is the relative variance of each value
// from the flat field's own counts; `known` marks the pixels whose value the
// flat field gives: used by the mask and from kLeastEfficiency to
// kMostEfficiency (not under the beam stop, not dead or hot).  All empty
// when the flat field is.
struct Efficiencies {
    std::vector<double> value;
    std::vector<double> rel_var;
    std::vector<char> known;
};
Status efficiencies(const FlatField& f, double x, double y, Efficiencies& out);

// The beam centre of the empty beam in the parameter file's convention
// (pixel (x, y) spans x to x + 1): the centroid of the net counts (less the
// dark current and a background per pixel, divided by the efficiencies when
// a flat field is known) within a window about the peak, refined until it
// stays put.
struct BeamCentre {
    double x = 0.0, y = 0.0;    // pixels
    double sx = 0.0, sy = 0.0;  // standard uncertainties from counting statistics
    double window = 0.0;        // radius of the window, pixels
    double background = 0.0;    // background per pixel, counts (after the dark current)
    double background_var = 0.0;
    double net = 0.0;           // counts in the window less dark current and background
};
Status beam_centre(const BeamImage& empty, const BeamImage& dark, const FlatField& flat, BeamCentre& out);

// A disc of pixels: those whose centres lie within `radius` of (x, y).
struct Disc {
    double x = 0.0, y = 0.0, radius = 0.0;
};

// The smallest disc about the centre that holds at least `share` of the
// net counts in the window; its radius lies midway between the distance of
// the last pixel taken and the next.
Status default_disc(const BeamImage& empty, const BeamImage& dark, const BeamCentre& c, double share, Disc& out);

// Refuses a disc that reaches beyond the detector or holds no pixel.
Status check_disc(const Disc& d);

// The sums of one run over a disc.
struct DiscCounts {
    double counts = 0.0;      // detector counts
    double dark = 0.0;        // dark-current counts of the same pixels (0 without dark current)
    double dark_scale = 0.0;  // counting time of the run over the dark current's
    double monitor = 0.0;
    int pixels = 0;
    double net() const { return counts - dark_scale * dark; }
};
DiscCounts disc_counts(const BeamImage& run, const BeamImage& dark, const Disc& d);

// A measured value and its standard uncertainty.
struct Measured {
    double value = 0.0;
    double sigma = 0.0;
};

// Refuses an empty beam without net counts in the disc.
Status check_empty_beam(const DiscCounts& empty, const std::string& name);

// The transmission of a run: its net counts in the disc per monitor count
// over the empty beam's, with the uncertainty of both runs' counts and of
// the dark current they share.  Refuses a value above kMostTransmission;
// one above 1 by more than kAboveOneSigmas is returned (a warning is the
// caller's).
Status transmission(const DiscCounts& run, const DiscCounts& empty, const std::string& name, Measured& t);

// The absolute scale factor (ABSF) that puts Pelkaro's result in cm^-1,
// for an attenuator of transmission `attenuation` in the empty beam:
//   ABSF = 1000 (px py / L^2) / (M A) * sum over the window of n(p) / e(p)
// with n the net counts, e the efficiencies with the beam at the centre, M
// the empty beam's monitor counts, px py / L^2 the solid angle of a pixel
// on the beam axis.  Where the flat field does not give a pixel's efficiency
// (a flat field is measured with the beam stop in, so it never gives those
// under the beam) the mean of the pixels about the beam that it gives stands
// for it, and the scatter of efficiencies from pixel to pixel enters the
// uncertainty.
struct AbsoluteScale {
    double value = 0.0;
    double sigma = 0.0;
    int stand_ins = 0;          // pixels of the window whose efficiency is the mean of others
    int around = 0;             // the pixels that mean is taken over
    double stand_in_share = 0;  // the share of the net counts in the stand-in pixels
};
Status absolute_scale(const BeamImage& empty, const BeamImage& dark, const BeamCentre& c, const FlatField& flat,
                      double attenuation, AbsoluteScale& out);

// ---- The whole measurement of pelkaro-trans -----------------------------------

// A direct-beam run as named: a detector file (or an image held in memory
// under that name), the counting time and monitor counts that stand where
// its header has no tag, and the scattering run (the file of a DATS or DATB
// line) it belongs to, if named.
struct BeamRun {
    std::string file;
    double time = 0.0;
    double monitor = 0.0;
    std::string datafile;
};

// What is to be measured.
struct TransRequest {
    std::string par;              // the parameter file; empty: none
    bool par_in_memory = false;   // the parameter file is `par_text`, named `par` in messages
    std::string par_text;
    bool dark_given = false;      // `dark` instead of the parameter file's DATD
    BeamRun dark;
    double radius = 0.0;          // the disc's radius; 0: the default disc
    double attenuation = 0.0;     // the attenuator's transmission; 0: no absolute scale
    BeamRun empty;
    std::vector<BeamRun> runs;
    std::vector<HeldImage> held;  // images standing for the files of their names
};

// A refusal or a warning met on the way, in the order met.  `text` is the
// sentence pelkaro-trans prints after "error: " or "warning: ".
struct TransNote {
    bool warning = false;
    Status status;      // the refusal's stage, code, keyword and line (ok for a warning)
    std::string text;
    std::string file;   // the file it concerns
    int run = -1;       // the run it concerns (index into TransRequest::runs), -1: none
};

// A run measured: its index into TransRequest::runs and its transmission.
struct TransRun {
    std::size_t run = 0;
    Measured t;
};

struct TransResult {
    bool measured = false;         // false: the empty beam, the dark current or the parameter file
                                   // cannot be used, and nothing is measured
    std::vector<TransNote> notes;
    std::vector<TransRun> runs;    // the runs measured, in the order given
    BeamCentre centre;
    Disc disc;
    bool radius_given = false;
    bool scaled = false;           // `absf` measured
    AbsoluteScale absf;
    // A refusal among the notes: pelkaro-trans exits with status 1.
    bool failed() const;
};

// Measures as pelkaro-trans does: the parameter file and the dark current,
// the centre and the disc on the empty beam, the transmission of every run
// that can be used (a run that cannot is noted and the others measured) and,
// with an attenuation, the absolute scale.  File names resolve against the
// working directory.
TransResult measure_direct_beams(const TransRequest& req);

// The results as pelkaro-trans prints them: the lines to paste into a
// parameter file, or the table of --format tsv.
std::string trans_text(const TransRequest& req, const TransResult& r);
std::string trans_tsv(const TransRequest& req, const TransResult& r);

}  // namespace pk

#endif
