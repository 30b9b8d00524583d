// The runs of Pelkaro as library functions, for every front end: the
// parameter stage, the reduction (computed in memory, then written), the
// mask-file run and the beam-centre run.  Each prints its progress to the
// console it is given and returns a Status: ok, or the failure with the
// messages Pelkaro prints for it and the parameter-file line it concerns.
#ifndef PELKARO_RUN_H
#define PELKARO_RUN_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// Everything one run reads and computes.
struct Run {
    ParamFile file;             // the parameter file as read
    std::vector<HeldImage> held;  // images held in memory, taken for the files of their names
    // Files other than samples that a series of runs has read already: the
    // parser takes them as there without asking the file system again.
    std::vector<std::string> known_files;
    ParseLog log;               // what the parser made of each piece
    Param p{};
    std::vector<Data2D> sam;    // sample entries
    std::vector<Data2D> buf;    // buffer entries; those with time 0 are not loaded
    Data2D dark;                // dark current, loaded when its time is above 0
    Data2D sens;                // sensitivity: normalised after a reduction
    Data2D mask;                // the mask actually used (pixels of extreme sensitivity removed)
    Data2D reduced;             // the reduced image, named after the first sample file
    Data1D curve;               // the averaged curve, when the averaging mode asks for one
    // The corrected samples and buffers in use, summed pixel by pixel: the
    // entries keep their header values only, not their images.
    PixelSums sam_sums;
    PixelSums buf_sums;
    bool want_sums = false;     // set before reduce(): the average takes `sums` in its pass too
    BinSums sums;               // per bin of curve, as ave_data_sums gives them
};

// Reads, counts and parses the parameter file and sizes the records.
Status prepare_run(const std::string& param_name, Run& run, const Console& con);

// The same on the parameter file in run.file as it stands (one a front end
// made in memory, see read_param_text), with run.held standing for files.
Status prepare_run(Run& run, const Console& con);

// The bytes of the pixel arrays a reduction of `run` allocates (the
// parameter stage done): for a front end that tunes its allocator for them.
std::size_t reduction_bytes(Run& run);
// The most bytes of pixel arrays any reduction allocates (a dark current's
// included): for a front end that tunes its allocator before it reads the
// parameter file.
std::size_t reduction_bytes();

// Loads, corrects, subtracts, scales and (when asked) averages: the
// reduction up to its output files.  Refuses a parameter file that lacks a
// keyword the reduction uses.
Status reduce(Run& run, const Console& con);

// Writes the 2D and/or 1D files of a reduction and reports completion.
Status write_outputs(const Run& run, const Console& con);

// Writes the internal mask to "mask.d2d".
Status mask_run(Run& run, const Console& con);

// Measures the beam centre on the first sample image and prints it.
Status beam_center_run(Run& run, const Console& con);


}  // namespace pk

#endif
