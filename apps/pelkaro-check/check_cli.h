// pelkaro-check's command line, for its main and its tests.
#ifndef PELKARO_CHECK_CLI_H
#define PELKARO_CHECK_CLI_H

#include <cstdio>

namespace pk {

// The program: arguments as main gets them, the report to `out`, command-line
// errors to `err`.  Returns the exit status: 0 nothing would stop the run,
// 1 something would, 2 a wrong command line.
int check_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

}  // namespace pk

#endif
