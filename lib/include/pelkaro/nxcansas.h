// pelkaro-nxcansas: the reduction Pelkaro performs, written as one NXcanSAS
// file (HDF5) instead of the .d2d/.d1d text files.  The job in functions a
// test can call: the command line, the Q values the text files do not
// carry (bin centres, mean Q of each bin, Qx/Qy of each pixel), the file
// writer and the whole program.
#ifndef PELKARO_NXCANSAS_H
#define PELKARO_NXCANSAS_H

#include <cstdio>
#include <string>
#include <vector>

#include "pelkaro/run.h"

namespace pk {

// What the NXcanSAS file is to hold, as the command line asks for it.
struct NxOptions {
    std::string param;                    // the parameter file
    std::string out;                      // -o; empty: beside the first sample file
    std::string length_unit = "mm";       // of the parameter file's lengths
    std::string intensity_unit = "1/cm";  // of I and Idev
    std::string title;                    // --title; empty: the first sample file's stem
    bool title_given = false;
};

// The last path component of a file name cut at its first "." that is not
// the component's first character: the stem the output files are named by.
std::string stem_of(const std::string& name);

// The default output: beside the first sample file, its name cut as the
// .d1d's is, with ".h5".
std::string default_output(const std::string& first_sample);

// The thickness unit implied by an intensity unit "1/mm", "1/cm" or "1/m";
// "cm" for any other (the unit the parameter file's thicknesses are in).
std::string thickness_unit(const std::string& intensity_unit);

// The Q values of the averaged curve that the .d1d does not carry, for the
// bins it writes (those that received detector area), in order.
struct CurveQ {
    std::vector<int> bins;      // bin indices
    std::vector<double> q;      // Q at the bin's centre radius
    std::vector<double> qmean;  // mean Q of the sub-pixels that fell into the bin
};

// Works out CurveQ for a reduction's curve, replaying the averaging's
// sub-pixel geometry.  False when the replay does not meet the curve (bin
// count or a bin's emptiness differs), which would make the file wrong.
bool curve_q(const Param& p, const Data1D& rot, const Data2D& mask, CurveQ& out);

// Qx and Qy at every pixel centre, index x + 128*y.
void pixel_q(const Param& p, std::vector<double>& qx, std::vector<double>& qy);

// Writes the NXcanSAS file of a completed reduction to `path` (atomically).
// False with `why` (a sentence, no program name) on failure.
bool write_file(const Run& run, const NxOptions& opt, const std::string& path, std::string& why);


}  // namespace pk

#endif
