// pelkaro-mask: builds a detector mask from rules given on the command line
// (edge frames, a beam stop, rectangles, the dead and hot pixels of a flat
// field, an existing mask, inversion) and writes it in the one-value-per-line
// mask format that Pelkaro reads.
#ifndef PELKARO_MASK_MAKE_H
#define PELKARO_MASK_MAKE_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/flat_field.h"

namespace pk {

// One rule of the command line, applied in the order given.
struct MaskRule {
    enum class Kind { edge, frame, beamstop, beamstop_auto, rect, from_flat, from_mask, invert };
    Kind kind = Kind::edge;
    std::vector<double> v;  // frame: width; beamstop: X Y R; rect: X0 Y0 X1 Y1; from_flat: LO HI
    std::string file;       // from_flat, from_mask; beamstop_auto: the image its shadow is found on
    std::string text;       // the rule as typed, for the report
};

// The command line, understood.
struct MaskJob {
    std::vector<MaskRule> rules;
    std::string out;        // the mask file to write
    bool help = false;
    bool version = false;
};

// Reads the arguments (without the program name).  False, with the reason
// in `why`, when they do not make a valid command.  "--beamstop auto" finds
// its shadow on the image of the first --from-flat rule.
bool parse_mask_args(const std::vector<std::string>& args, MaskJob& job, std::string& why);

// A mask under construction: `intens` holds kImageValues values of which the
// first kDetPixels (pixel x + 128*y) are 1 (used) or 0 (masked).
Data2D full_mask();
int pixels_in_use(const Data2D& mask);

// The geometric rules.  Each masks pixels and leaves the others as they are.
// A pixel's centre is at (x + 0.5, y + 0.5) in the coordinates of the beam
// centre (CNTR): x the column, y the row.
void mask_edge(Data2D& mask);                  // the frame of the internal mask (make_mask)
void mask_frame(Data2D& mask, int width);      // `width` pixels along every side
// Every pixel whose centre lies at a distance sqrt(dx^2 + dy^2) <= r from (cx, cy).
void mask_beamstop(Data2D& mask, double cx, double cy, double r);
// Every pixel whose centre lies in the rectangle of opposite corners
// (x0, y0), (x1, y1), edges included.
void mask_rect(Data2D& mask, double x0, double y0, double x1, double y1);
// Turns every masked pixel into a used one and the other way round.
void invert_mask(Data2D& mask);

// Masks the pixels in use whose raw value in the flat-field data file is 0 or
// lies outside lo..hi times the mean over the pixels in use; `mean` gets that
// mean.  False, after a diagnostic on `err`, when the file cannot be read,
// holds fewer values than the detector has pixels, or has no positive mean
// over the pixels in use.
bool mask_from_flat(Data2D& mask, const std::string& file, double lo, double hi, double& mean,
                    const Console& err);
// Masks the beam stop's shadow found on the detector image `file` (a flat
// field or a sample run taken with the beam stop in): every pixel whose
// centre lies within the shadow's radius plus kShadowMargin of its centre.
// False, after a diagnostic on `err`, when the file cannot be read, holds
// fewer values than the detector has pixels, or shows no shadow.
bool mask_beamstop_auto(Data2D& mask, const std::string& file, BeamStopShadow& found, const Console& err);
// Replaces the mask by the one in a mask file (either format Pelkaro reads;
// a value above 0 is a pixel in use).  False, after a diagnostic on `err`,
// when the file cannot be read or holds fewer values than the detector has
// pixels.
bool load_mask_file(Data2D& mask, const std::string& file, const Console& err);

// The text of the mask file: comment lines recording the program version and
// the command line `args`, then one value per pixel.
std::string mask_file_text(const Data2D& mask, const std::vector<std::string>& args);

// The whole program: returns the exit status (0 written, 1 failed, 2 wrong
// command line).  Reports go to `out`, diagnostics to `err`.
int mask_make_main(const std::vector<std::string>& args, const Console& out, const Console& err);

}  // namespace pk

#endif
