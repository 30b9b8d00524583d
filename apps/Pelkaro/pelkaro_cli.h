// Pelkaro's command line, for its main, its tests and its fuzz target.
#ifndef PELKARO_CLI_H
#define PELKARO_CLI_H

#include <string>

#include "pelkaro/Pelkaro.h"

namespace pk {

// How Pelkaro's process may tune itself around a reduction.
struct CliOptions {
    // Large allocations from the heap on huge pages during the reduction
    // (changes the allocator's settings for the rest of the process).
    bool huge_pages = false;
    // The packed loops the stages may take (Param::simd).
    Simd simd = Simd::widest;
    // Where to write the time each stage of a run took, for the benchmarks
    // (PELKARO_STAGE_TIMES); not written when empty.
    std::string stage_times;
};

// The whole program on a command line: the usage text or one run in the mode
// the parameter file names.  Returns the exit status, 0 or -1.  An
// allocation that fails anywhere ends the run with a message, never abruptly.
int pelkaro_main(int argc, const char* const* argv, const Console& con, const CliOptions& opt = CliOptions{});

}  // namespace pk

#endif
