// The parts of report.html its tests reach: a row's image as a PNG and the
// values a row used, read back from its parameter file.
#ifndef PELKARO_BATCH_REPORT_H
#define PELKARO_BATCH_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// The colour scale of a row's image: log10 of the intensity, from `lo`
// (dark blue) to `hi` (yellow), four decades at most.
struct ImageScale {
    bool any = false;  // some pixel above 0
    double lo = 0, hi = 0;
};

// The RGB colour of the scale at t in [0, 1] (a perceptually uniform map
// from dark blue through green to yellow).
void scale_colour(double t, std::uint8_t rgb[3]);

// The intensities and then the uncertainties of a .d2d (2 x 128 x 128
// values); false when the file cannot be read or holds fewer.
bool read_image_values(const std::string& path, std::vector<double>& values);
// The same values from the reduced image itself: those read_image_values
// reads back from the .d2d that write_2D_as writes of it, bit for bit.
void image_values(const Data2D& reduced, std::vector<double>& values);
// The same values where image_levels reads them, at half the cost: every
// intensity, and the uncertainty of a pixel whose intensity reads as 0
// (the others 1, which image_levels never looks at).
void image_level_values(const Data2D& reduced, std::vector<double>& values);

// The image of `values` (as read_image_values gives them) as 128 x 128
// indices into image_palette(), detector row 0 at the bottom: a pixel with
// 0 intensity and 0 uncertainty is masked (kMaskedPixel, grey), one at or
// below 0 kNonPositivePixel (black), the others a level of the logarithmic
// scale returned in `scale`, from kFirstLevel (its bottom) to 255 (its top).
enum : std::uint8_t { kMaskedPixel = 0, kNonPositivePixel = 1, kFirstLevel = 2 };
std::vector<std::uint8_t> image_levels(const std::vector<double>& values, ImageScale& scale);
// The 256 RGB colours of those indices (768 bytes).
std::vector<std::uint8_t> image_palette();

// Whether this build writes PNG files (libpng).
bool png_available();
// Writes the indices with their palette (RGB triples) as a PNG, complete
// or not at all; false with `why`.
bool write_png(const std::string& path, const std::vector<std::uint8_t>& indices,
               const std::vector<std::uint8_t>& palette, int width, int height, std::string& why);

// What a row's parameter file says: the values of its sample and buffer
// lines under the table's column names, its title and direct-beam runs
// (from its comments), and the configuration
// it shares with the other rows (its lines before the row's own, comments
// left out; not gathered, and left empty, without `with_configuration`).
struct RowUsed {
    std::vector<std::string> columns;  // one per kUsedColumns entry, empty where the row has none
    std::vector<std::string> configuration;  // "KEYWORD values" lines
    std::string origin;                      // the row's comment: where its lines came from
};
extern const char* const kUsedColumns[13];
RowUsed row_used(const std::string& par_text, bool with_configuration = true);

}  // namespace pk

#endif
