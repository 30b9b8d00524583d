// pelkaro-aniso's command line and run, for its main, its tests and its
// fuzz target.
#ifndef PELKARO_ANISO_CLI_H
#define PELKARO_ANISO_CLI_H

#include <string>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/aniso.h"

namespace pk {

// What the command line asks for.
struct AnisoOptions {
    std::string param;       // the parameter file
    std::string out;         // -o: the I(phi) table; empty: standard output
    std::string sector_out;  // --sector-out: the sector pairs' table
    std::string nxcansas;    // --nxcansas: the NXcanSAS file (with HDF5 only)
    Ring ring;
    bool ring_given = false;
    int bins = 36;
    double width = 0;        // --sectors: the sectors' width, degrees; 0: no sector pairs
    double axis = 0;         // --sector-axis, degrees
    bool axis_given = false; // else the fitted phi0
};

enum class AnisoCli { run, help, version, bad };

// Reads the arguments after the program name.  On AnisoCli::bad, `why`
// says what is wrong, in one line.
AnisoCli parse_aniso_args(int argc, const char* const* argv, AnisoOptions& opt, std::string& why);

// The usage text of --help.
std::string aniso_usage();

// The program: progress and the table (without -o) to `out`, errors to
// `err`.  Returns the exit status: 0 written, 1 the run or its analysis
// failed, 2 the command line.
int aniso_main(int argc, const char* const* argv, const Console& out, const Console& err);

}  // namespace pk

#endif
