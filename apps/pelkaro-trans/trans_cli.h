// pelkaro-trans's command line, for its main and its tests.
#ifndef PELKARO_TRANS_CLI_H
#define PELKARO_TRANS_CLI_H

#include <cstdio>

namespace pk {

// The program: arguments as main gets them, the table to `out`, warnings
// and errors to `err`.  Returns the exit status: 0 everything measured, 1 an
// input could not be used, 2 a wrong command line.
int trans_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

}  // namespace pk

#endif
