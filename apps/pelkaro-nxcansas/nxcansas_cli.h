// pelkaro-nxcansas's command line, for its main and its tests.
#ifndef PELKARO_NXCANSAS_CLI_H
#define PELKARO_NXCANSAS_CLI_H

#include <string>

#include "pelkaro/nxcansas.h"

namespace pk {

constexpr const char* kProgram = "pelkaro-nxcansas";

enum class Cli { run, help, version, bad };

// Reads the arguments after the program name.  On Cli::bad, `why` says
// what is wrong, in one line.
Cli parse_args(int argc, const char* const* argv, NxOptions& opt, std::string& why);

// The usage text of --help.
std::string usage_text();

// The program: arguments as main gets them, progress to `out`, errors to
// `err`.  Returns the exit status: 0 written, 1 run failed, 2 command line.
// With `huge_pages`, the reduction and the file are made on memory the
// kernel backs with 2 MiB pages (which changes the allocator's settings for
// the rest of the process: for a program's main).  `simd`: the packed
// loops the reduction may take (Param::simd).
int nxcansas_main(int argc, const char* const* argv, const Console& out, const Console& err,
                  bool huge_pages = false, Simd simd = Simd::widest);

}  // namespace pk

#endif
