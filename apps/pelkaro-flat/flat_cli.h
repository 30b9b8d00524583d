// pelkaro-flat: the detector's sensitivity (flat-field) file made from
// flat-scatterer runs; the command line, for its main, tests and fuzz target.
#ifndef PELKARO_FLAT_CLI_H
#define PELKARO_FLAT_CLI_H

#include <cstdio>
#include <string>
#include <vector>

#include "pelkaro/flat_field.h"

namespace pk {

// The program: arguments as main gets them, the report to `out`, errors to
// `err`.  Returns the exit status: 0 written, 1 an input could not be used
// (nothing written), 2 a wrong command line.
int flat_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

// The report pelkaro-flat prints on a sensitivity made from `runs`.
std::string flat_report(const Sensitivity& s, const std::vector<FlatRun>& runs, int sens_flag, int band_losses);

// The pixels in use that Pelkaro's 0.5 to 1.5 band would mask with SENS
// flag 0 although they are good: the efficiency times cos^3 2theta, over its
// mean, outside the band.
int flag0_band_losses(const Sensitivity& s, const Param& p);

// The PNG image of the efficiencies (grey from 0.8 to 1.2, red for a dead or
// hot pixel, blue for an unseen one, black where masked), a detector row
// of pixels a row of 4 x 4 image pixels, row 0 at the bottom; written to
// `f`, `name` in messages; "" when written, else why not.  Needs libpng.
std::string write_efficiency_png(const Sensitivity& s, std::FILE* f, const std::string& name);
bool png_available();

}  // namespace pk

#endif
