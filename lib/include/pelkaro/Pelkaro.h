// Pelkaro: reduction of small-angle neutron scattering images from a
// 128 x 128 area detector.  The records that flow between the stages of a
// run (parameters, images, curves, the parameter file as read) and the
// console the stages report on.  The runs themselves: pelkaro/run.h.
#ifndef PELKARO_H
#define PELKARO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pelkaro/status.h"

namespace pk {

// Detector geometry: pixel (x, y), column x and row y from 0 to 127, is value
// number x + 128*y of an image array.  Every image array holds 36864 values
// (the capacity of a 192 x 192 detector); only the first 16384 carry the image.
constexpr int kDetSide = 128;
constexpr int kDetPixels = kDetSide * kDetSide;  // 16384
constexpr int kImageValues = 36864;
// The window in which the beam centre is searched: rows and columns 3 to 124.
constexpr int kBeamWindowFirst = 3;
constexpr int kBeamWindowLast = 124;
// The internal mask's frame along the detector edges: rows and columns 0 to
// 2 on the low side, 126 and 127 on the high side.
constexpr int kFrameLowLast = 2;
constexpr int kFrameHighFirst = 126;
// Capacity of each averaged-curve array.
constexpr int kCurveValues = 10000;

// When each stage of a run ended, for a front end that shows where a run's
// time goes: the stage's name and the steady clock's reading in seconds.
struct StageClock {
    std::vector<std::pair<std::string, double>> ends;
};

// Where the console text of the stages goes.  The default writes to
// standard output, byte for byte; a front end that wants the text elsewhere
// silences it (file = nullptr) or collects it (capture).
struct Console {
    std::FILE* file = stdout;       // written here when not null
    std::string* capture = nullptr; // appended here too when not null
    StageClock* clock = nullptr;    // the end of each stage noted here when not null
};

// Notes in the console's clock, where it has one, that `stage` ended now.
void stage_done(const Console& con, const char* stage);

// Writes printf-formatted text to the console.
void say(const Console& con, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// printf-formatted text as a string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Text as a message shows a name or a value: tabs, line ends, carriage
// returns, backslashes and double quotes escaped (\t, \n, \r, \\, \"),
// other control characters as \xNN.
std::string escaped(const std::string& s);

// The mask's convention: a value above 0.25 marks a pixel that takes part,
// one below 0.25 a pixel that is cleared.  A value of exactly 0.25 is
// neither: it takes no part, yet its uncertainty is kept.
inline bool pixel_used(float mask_value) { return mask_value > 0.25f; }
inline bool pixel_cleared(float mask_value) { return mask_value < 0.25f; }

// The packed loops the library may take where a stage has several widths:
// the widest the processor has (eight doubles at a time with AVX-512 where
// it has it, else four with AVX2 for the subtraction, the flat field and a
// series' average, two with SSE2 for the rest), SSE2 even where it has
// more, or at most AVX2 (to test those loops on such a processor).  Every
// width gives the same bits.
enum class Simd : int32_t {
    widest = 0,
    sse2 = 1,
    avx2 = 2,
};
// The setting of that name: "sse2", "avx2", or the widest for any other
// name and for none (null).  A front end reads it once, from the
// environment variable PELKARO_ISA (apps/common).
Simd simd_named(const char* name);

// Reduction parameters of one run, filled from the parameter file (all but
// `simd`, which the front end sets).
struct Param {
    int32_t sams;        // number of sample entries ("DATS" lines)
    int32_t bufs;        // number of buffer entries ("DATB" lines)
    int32_t mask_source; // 1 = read the mask file, otherwise internal mask
    int32_t average;     // 0 = 2D output, 1 = 1D output, 2 = both
    float abs_fact;      // absolute intensity scaling factor
    float px;            // pixel spacing along x (columns)
    float py;            // pixel spacing along y (rows)
    float bx;            // beam centre along x, pixels
    float by;            // beam centre along y, pixels
    float sam2det;       // sample-to-detector distance
    float src2sam;       // source-to-sample distance
    float srcapp;        // source aperture radius (half the value given)
    float samapp;        // sample aperture radius (half the value given)
    float wavelen;       // neutron wavelength, angstrom
    float dwavelen;      // wavelength spread
    int32_t mode;        // 0 = reduce, 1 = write mask file, 2 = beam centre
    int32_t jacobian;    // 1 = apply the solid-angle correction
    float bin_width;     // radial bin width, pixels
    float thmin;         // lower sector limit, radians
    float thmax;         // upper sector limit, radians
    Simd simd;           // the packed loops the stages may take (not from the file)
};

// One detector image with its header values.  Empty pixel arrays mean the
// image has not been loaded.
struct Data2D {
    int32_t nx = 0;
    int32_t ny = 0;
    float dx = 0.0f;
    float dy = 0.0f;
    std::vector<float> intens;  // pixel values
    std::vector<float> uncert;  // standard uncertainty of each value
    std::string name;           // file name
    float trans = 0.0f;         // transmission
    float thick = 0.0f;         // thickness
    float tm = 0.0f;            // counting time (also the use switch)
    float monitor = 0.0f;       // monitor counts
    float psd = 0.0f;           // total detector counts from the header
    int32_t values = 0;         // values read from a detector or mask file
};

// An image a front end already holds in memory (a notebook's frame), standing
// for the file of its name wherever the parameter file names that file: the
// parser takes the file as existing, and the loads take these values instead
// of reading it.  Detector counts are whole counts as a data file holds them;
// a mask's values are those of a mask file (1 or more: the pixel is used).
struct HeldImage {
    std::string name;             // the file name the parameter file gives
    bool mask = false;            // mask values rather than detector counts
    std::vector<uint32_t> values; // pixel x + 128*y; at most kImageValues
};

// One azimuthally averaged curve.
struct Data1D {
    int32_t num = 0;            // number of bins filled
    std::vector<float> x;       // Q at each bin's inner edge
    std::vector<float> y;       // mean intensity
    std::vector<float> dy;      // uncertainty of y
    std::vector<float> dq;      // Q resolution
    std::vector<float> area;    // detector area of the bin, pixels
};

// The parameter file as read, once, at the start of a run: its pieces in
// order.  A piece is a line with its line feed (CR LF read as LF, a lone CR
// kept), or up to 510 characters of a longer line; its text ends at its
// first NUL character.  The texts of all pieces are held once, one after
// the other, in `text`; a piece is where its text lies there.
constexpr std::size_t kPieceLimit = 510;
struct ParamPiece {
    std::size_t offset = 0;  // its text: text[offset, offset + length)
    uint16_t length = 0;
    bool cut = false;        // the line goes on in the next piece
    int line = 0;            // line number in the file, from 1, as an editor counts
};

// The numbers read from one parameter line, in order: at most four (the
// most any keyword reads), held in the record itself.
class LineValues {
public:
    static constexpr std::size_t kCapacity = 4;
    // A fifth number is never read; it would be dropped.
    void push_back(double v) {
        if (n_ < kCapacity) v_[n_++] = v;
    }
    std::size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    double operator[](std::size_t i) const { return v_[i]; }
    const double* begin() const { return v_; }
    const double* end() const { return v_ + n_; }

private:
    double v_[kCapacity] = {};
    uint8_t n_ = 0;
};

// What the parser made of one piece.  Its text and the file name it read
// are the parameter file's (ParamFile::text_of, ParamFile::name_of), a
// rejection's message the log's.
enum class Verdict { ignored, accepted, rejected };
struct ParseRecord {
    int line = 0;                // line number in the file
    int keyword = -1;            // index into the keyword table, -1: no keyword
    std::size_t piece = 0;       // the piece read, an index into ParamFile::pieces
    uint16_t name_from = 0;      // the file name of a file line: where it lies in the piece's text
    uint16_t name_length = 0;
    Verdict verdict = Verdict::ignored;
    LineValues values;           // the numbers read, in order
};
struct ParseLog {
    uint32_t seen = 0;                  // bit k: keyword k was accepted
    std::vector<ParseRecord> records;   // one per piece read, in the order of the pieces
    Status rejection;                   // a rejection, which ends the parse: of the last record
};

struct ParamFile {
    std::string name;
    std::string text;                // the texts of the pieces, one after the other
    std::vector<ParamPiece> pieces;

    std::string_view text_of(const ParamPiece& pc) const { return std::string_view(text).substr(pc.offset, pc.length); }
    std::string_view text_of(std::size_t piece) const { return text_of(pieces[piece]); }
    // The text of a record's piece, and the file name the record read.
    std::string_view text_of(const ParseRecord& r) const { return text_of(r.piece); }
    std::string_view name_of(const ParseRecord& r) const { return text_of(r).substr(r.name_from, r.name_length); }
};

// The parameter file's keywords in the order they are matched; bit k of a parse's `seen` mask stands for keyword k.
enum Kw { MODE, CNTR, PXSP, SM2D, SMRP, WAVE, DATS, DATB, DATD, SENS, MASK, ABSF, AVGM, ANGS, BINS };
constexpr int kKeywordCount = 15;
// The four letters of keyword k ("MODE", ...); "" for any other k.
const char* keyword_name(int k);
// True when keyword k's line names a file (DATS, DATB, DATD, SENS, MASK).
bool keyword_names_file(int k);
// Reads a parameter file into its pieces; Code::cannot_read or
// Code::too_large (Stage::parameters) when it cannot be.
Status read_param_file(const std::string& name, ParamFile& pf);
// A parameter file given as text (made in memory), cut into pieces as a
// file of that text would be.
void read_param_text(const std::string& name, const std::string& text, ParamFile& pf);
// The sample and buffer lines of a parameter file: the pieces that begin
// with "DATS" and "DATB".
struct EntryCount {
    int64_t samples = 0;
    int64_t buffers = 0;
};
EntryCount count_entries(const ParamFile& pf);

// Numbers read from text as the parser reads a parameter line's numbers.
// Outcome of converting one number from text.
enum class Scan { ok, missing, bad };

// "%f": skips white space, converts a real number and rounds it to a float.
// missing: no number there; bad: infinite, not-a-number or beyond the float
// range.  On ok or bad, `s` is advanced past the number.
Scan scan_float(const char*& s, float& out);

// "%d": skips white space, converts an optionally signed decimal integer.
// bad: beyond the 32-bit signed range.
Scan scan_int(const char*& s, int32_t& out);

// The held image of a file's name, or null.
const HeldImage* held_image(const std::vector<HeldImage>& held, const std::string& name);

// Records the reduction keeps beside its images (run.h).
// The solid-angle factor 1/cos^3(theta) of every pixel, theta the
// scattering angle of its centre, for the geometry of a run; the first pixel
// whose factor is not a finite value of at least 1, if any.
struct SolidAngle {
    std::vector<float> factor;  // index x + 128*y
    int bad_x = -1;
    int bad_y = -1;
};

// The sums, pixel by pixel, of the counts of several images and of their
// squared uncertainties, each addition rounded to a float, in the order the
// images were added: what the subtraction takes of the samples and of the
// buffers in use.
struct PixelSums {
    std::vector<float> tot;  // counts, index x + 128*y (kDetPixels values)
    std::vector<float> sq;   // squared uncertainties
    int images = 0;          // images added
};

// Sums of an average that its curve does not carry, one per bin (indexed as
// the curve), for a writer that states the mean Q of each bin and the
// uncertainty of its value as averaged.  w_p is the number of pixel p's
// sub-pixels that fell into the bin, sigma_p the pixel's uncertainty; the
// Q of a sub-pixel at distance r from the beam centre is
// 4 pi / lambda * sin(atan(r / SM2D) / 2).
struct BinSums {
    std::vector<double> n;         // sum of w_p: the sub-pixels of the bin
    std::vector<double> q;         // sum of the Q of those sub-pixels
    std::vector<double> w2;        // sum of w_p^2
    std::vector<double> w2var;     // sum of w_p^2 sigma_p^2
    std::vector<double> next_cov;  // sum of w_p w'_p sigma_p^2, w'_p pixel p's sub-pixels in the next bin
};

}  // namespace pk

#endif
