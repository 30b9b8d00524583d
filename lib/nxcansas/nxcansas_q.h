// The radial bins of the average and the Q resolution of a pinhole
// instrument, for the NXcanSAS file's Q values (pelkaro/nxcansas.h).
#ifndef PELKARO_NXCANSAS_Q_H
#define PELKARO_NXCANSAS_Q_H

#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// The radial bins of the average: their width (in the parameter file's
// length unit), the radius they reach and their count, as ave_data makes
// them.  False for a geometry it refuses.
struct RadialBins {
    float width = 0.0f;
    float max = 0.0f;
    int tot = 0;
};
bool radial_bins(const Param& p, RadialBins& b);

// The Q resolution of a pinhole instrument as one-sigma Gaussian widths
// (Mildner & Carpenter 1984; the terms in nxcansas_q.cpp), known when the
// wavelength and the collimation (SMRP) are finite and positive.
bool resolution_known(const Param& p);
// Along Q, of a radial bin of width `bin_width` at Q = q.
double bin_resolution(const Param& p, double q, double bin_width);

struct NxFixed;
struct ResolutionOptions;
// The pixels' Q (pixel_q) and |Q| of `p`'s configuration in `fixed`, worked
// out unless it holds them already; `fixed` itself.
const NxFixed& fixed_pixel_q(const Param& p, const ResolutionOptions& opt, NxFixed& fixed);
// The pixels' image_attenuation for the sample's transmission, from `fixed`
// when it holds them for this transmission, else worked out and kept there.
// Called after fixed_pixel_q for the same `p` (which forgets the factors of
// another geometry).
const std::vector<double>& fixed_attenuation(const Param& p, float transmission, NxFixed& fixed);

}  // namespace pk

#endif
