// The uncertainty of the transmissions and of the absolute scale carried to
// every point of the curve and of the image: one set of values per
// independent measurement, each fully correlated across the points.
#ifndef PELKARO_NXCANSAS_SYSTEMATIC_H
#define PELKARO_NXCANSAS_SYSTEMATIC_H

#include <string>
#include <vector>

#include "pelkaro/nxcansas.h"

namespace pk {

// One independent measurement the transmissions and ABSF rest on, and the
// change of every point's I when its counts lie one standard deviation
// higher (signed: the same sign moves two points the same way).
struct SystematicSource {
    std::string name;            // the dataset beside Idev
    std::string what;            // the measurement, in words
    std::vector<double> curve;   // each bin written, in order
    std::vector<double> image;   // each pixel, x + 128 y; 0 where excluded
};
struct Systematics {
    std::vector<SystematicSource> sources;  // none: no uncertainty given
    double relative_scale = 0.0;            // ABSF's sigma over the run's ABSF
};

// The derivatives of I with respect to the first sample's transmission,
// the first used buffer's and ABSF, at every pixel and every bin of
// `bins`: the reduction made again through the library with each value a
// thousandth above and below the run's (a central difference; I is smooth
// in all three), the curve's the average of the pixels'.  A value not asked
// for (`which` false) has none.
struct Derivatives {
    std::vector<double> curve[3], image[3];  // sample, buffer, absf
};
Status derivatives(const Run& run, const bool (&which)[3], const std::vector<int>& bins, bool curve, bool image,
                   Derivatives& out);

// The sources of `u` for the run's curve (its bins `bins`, when `curve`)
// and image (when `image`).
Status systematic_terms(const Run& run, const ScaleUncertainty& u, const std::vector<int>& bins, bool curve,
                        bool image, Systematics& out);

// What the datasets are, for the file's note.
std::string systematic_note(const ScaleUncertainty& u, const Systematics& s);

}  // namespace pk

#endif
