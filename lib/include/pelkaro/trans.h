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
#include <memory>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/flat_field.h"
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
// A run with fewer net counts than this in the disc is worth a warning: its
// counting error alone is above 10 %, and none at all is a shut beam or the
// wrong run.
constexpr double kFewestDiscCounts = 100.0;

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
// A disc of pixels: those whose centres lie within `radius` of (x, y).
struct Disc {
    double x = 0.0, y = 0.0, radius = 0.0;
};

// A measured value and its standard uncertainty.
struct Measured {
    double value = 0.0;
    double sigma = 0.0;
};

// A measured value's uncertainty split by the independent measurements it
// rests on: each share is the change of the value when that measurement's
// counts lie one standard deviation higher, so its sign says how values
// that share the measurement move together (a transmission falls as the
// empty beam's counts rise, ABSF rises).  The squares add up to sigma^2.
struct SigmaShares {
    double empty_beam = 0.0;    // the empty beam's counts in the disc
    double dark_current = 0.0;  // the dark current's counts in the disc
    double own = 0.0;           // the rest, at least 0: a run's own counts; ABSF's terms of its own
};

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
    // The shares of sigma: the empty beam's and the dark current's counts in
    // the disc the transmissions are measured over; its own are the flat
    // field, the background, the stand-ins and the empty beam's counts
    // outside that disc.
    SigmaShares shares;
};
// ---- Dead time -----------------------------------------------------------------

// The detector counts one neutron at a time and is dead for `tau` seconds
// after each one it records, whatever arrives meanwhile (non-paralysable:
// the readout's fixed conversion time, which a neutron arriving during it
// does not extend).  A run that recorded `counts` over the whole detector in
// `time` seconds, a rate m, saw the true rate n = m / (1 - m tau): every
// count is multiplied by `factor` = 1 / (1 - m tau).  Refuses a rate at
// which the detector would have been dead all the time (m tau >= 1), a
// negative count or a time that is not above 0.  The counting errors are
// then those of the corrected counts taken as Poisson counts, which
// understates them by the square root of the factor (2 % for a 4 % loss).
Status dead_time_factor(double counts, double time, double tau, double& factor);

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

// A secondary standard: a scatterer of known cross-section, flat in Q (water,
// a polymer sheet, vanadium), measured as a sample is, beam stop in.  ABSF
// is then the one with which Pelkaro's reduction of it (no buffer) gives
// that cross-section:
//   ABSF = 1000 / (T M t X) * mean over the pixels in use of
//          (S J / e - (t_S / t_D) D) / A(2theta)
// with S its counts, J the solid-angle factor 1/cos^3 2theta when the SENS
// flag asks for it, e the efficiencies, D the dark current, T, M and t its
// transmission, monitor counts and thickness, X its cross-section (cm^-1
// sr^-1) and A its own slab attenuation (pelkaro/attenuation.h), which
// Pelkaro's prefactor leaves in.  Its uncertainty: the counts of the
// standard and the dark current, and the cross-section's own.
struct StandardRun {
    BeamRun run;                  // its detector file, counting time and monitor counts
    double thickness = 0.0;       // cm
    double transmission = 0.0;    // above 0, at most 1
    double cross_section = 0.0;   // cm^-1 sr^-1
    double cross_section_sigma = 0.0;
    // Or a curve of it: X at each Q (1/A, increasing), taken between its
    // points linearly; pixels whose Q lies outside it are left out.  The
    // uncertainty is then the curve's relative one (a fraction).
    std::string curve_file;       // read by the measurement (read_cross_section_curve)
    std::vector<double> curve_q, curve_x;
};

// Reads a curve of the standard's cross-section into s.curve_q and
// s.curve_x: lines of Q and X (cm^-1 sr^-1; further columns, a .d1d's, are
// not read), '#' lines and empty ones skipped.  Refuses (Stage::transmission,
// `line` the line at fault) a line that is not two numbers, a Q not above
// the previous one, an X not above 0, and fewer than two points.
Status read_cross_section_curve(const std::string& path, StandardRun& s);

// What is to be measured.
struct TransRequest {
    std::string par;              // the parameter file; empty: none
    bool par_in_memory = false;   // the parameter file is `par_text`, named `par` in messages
    std::string par_text;
    bool dark_given = false;      // `dark` instead of the parameter file's DATD
    BeamRun dark;
    double radius = 0.0;          // the disc's radius; 0: the default disc
    double attenuation = 0.0;     // the attenuator's transmission; 0: no absolute scale
    double dead_time = 0.0;       // the detector's dead time, s (dead_time_factor); 0: none
    bool standard_given = false;  // ABSF from a secondary standard instead of the attenuated beam
    StandardRun standard;
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
    SigmaShares shares;  // own: the run's own counts
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
    bool from_standard = false;    // and from the secondary standard
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

// ---- A batch of samples: the empty beam once, each sample's runs on their own --

// The empty beam measured once (the parameter file, the dark current, the
// centre, the disc and, with an attenuation, the absolute scale), for runs
// measured against it afterwards, from any number of threads.
struct EmptyBeam {
    TransResult result;                  // centre, disc, absf and the notes; no runs
    struct Sums;                         // the dark current, flat field and the empty beam's disc sums
    std::shared_ptr<const Sums> sums;    // null: nothing can be measured against it
};
// As measure_direct_beams, but `req.runs` are left for measure_beam_runs.
EmptyBeam measure_empty_beam(const TransRequest& req);
// The runs of `req` against an empty beam measured before (its parameter file,
// dark current and empty beam are not read again): the notes and runs of
// measure_direct_beams for them, the same numbers to the bit.
TransResult measure_beam_runs(const EmptyBeam& empty, const TransRequest& req);

// A transmission given by the user against one measured: the two differ
// by `sigmas` standard deviations of the measured one; more than
// kDisagreeSigmas is a disagreement, and `percent` says the given one
// agrees once read as a percentage.  Refuses a measured value whose
// uncertainty is not a finite number above 0.
constexpr double kDisagreeSigmas = 3.0;
struct TransAgreement {
    double sigmas = 0.0;
    bool disagrees = false;
    bool percent = false;
};
Status compare_transmission(double given, const Measured& measured, TransAgreement& out);

// The results as pelkaro-trans prints them: the lines to paste into a
// parameter file, or the table of --format tsv.
std::string trans_text(const TransRequest& req, const TransResult& r);

// A transmission and its uncertainty as trans_text prints them: six
// decimals, more where the uncertainty needs them to show two significant
// digits (so that it never reads 0), in exponent form below 1e-13; the two
// separated by `between`.
std::string transmission_text(double value, double sigma, const char* between = "  ");
std::string trans_tsv(const TransRequest& req, const TransResult& r);

}  // namespace pk

#endif
