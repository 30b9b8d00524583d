// The steps of a measurement on direct-beam runs (pelkaro/trans.h): the
// images, the flat field's efficiencies, the beam centre, the disc, the
// transmissions and the absolute scale, each refusing what it cannot use.
#ifndef PELKARO_TRANS_STEPS_H
#define PELKARO_TRANS_STEPS_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/trans.h"

namespace pk {

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

// Multiplies the image's counts by its dead-time factor (dead_time_factor
// in pelkaro/trans.h, its rate the whole detector's counts over its
// counting time); nothing with a dead time of 0.
Status correct_dead_time(BeamImage& image, double tau);

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

// The beam centre of the empty beam (BeamCentre in pelkaro/trans.h).
Status beam_centre(const BeamImage& empty, const BeamImage& dark, const FlatField& flat, BeamCentre& out);

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

// Refuses an empty beam without net counts in the disc.
Status check_empty_beam(const DiscCounts& empty, const std::string& name);

// The transmission of a run: its net counts in the disc per monitor count
// over the empty beam's, with the uncertainty of both runs' counts and of
// the dark current they share.  Refuses a value above kMostTransmission;
// one above 1 by more than kAboveOneSigmas is returned (a warning is the
// caller's).
Status transmission(const DiscCounts& run, const DiscCounts& empty, const std::string& name, Measured& t);

// The absolute scale factor (AbsoluteScale in pelkaro/trans.h).
Status absolute_scale(const BeamImage& empty, const BeamImage& dark, const BeamCentre& c, const FlatField& flat,
                      double attenuation, AbsoluteScale& out);

// The absolute scale factor from a secondary standard (StandardRun in
// pelkaro/trans.h), the geometry's beam centre at `c`.
Status standard_scale(const StandardRun& std_run, const BeamImage& image, const BeamImage& dark, const BeamCentre& c,
                      const FlatField& flat, AbsoluteScale& out);

// The shares of a transmission's uncertainty (t, as transmission() gives
// it): the empty beam's, the dark current's and the run's own counts in
// the disc.
SigmaShares transmission_shares(const DiscCounts& run, const DiscCounts& empty, const Measured& t);

// The shares of ABSF's uncertainty (`out`, as absolute_scale() gave it)
// for transmissions measured over the disc `d` (the empty beam's sums
// over it `sums`): the empty beam's and the dark current's counts in the
// disc enter both; the rest of ABSF's variance is its own.
void scale_shares(const BeamImage& empty, const BeamImage& dark, const BeamCentre& c, const FlatField& flat,
                  const Disc& d, const DiscCounts& sums, AbsoluteScale& out);

}  // namespace pk

#endif
