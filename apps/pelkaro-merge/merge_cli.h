// pelkaro-merge's command line, for its main and its tests.
#ifndef PELKARO_MERGE_CLI_H
#define PELKARO_MERGE_CLI_H

#include <cstdio>
#include <string>
#include <vector>

#include "pelkaro/merge.h"

namespace pk {

struct MergeArgs {
    std::vector<std::string> inputs;
    std::string out;        // -o; empty: beside the first input, "<stem>_merged.h5"
    std::string reference;  // --reference; empty: the curve with the lowest Q_min
    MergeOptions opt;
};

enum class MergeCli { run, help, version, bad };

// Reads the arguments after the program name; on MergeCli::bad, `why` says
// what is wrong in one line.
MergeCli parse_merge_args(int argc, const char* const* argv, MergeArgs& args, std::string& why);

std::string merge_usage_text();

// The program: one line per input on `out`, errors on `err`.  Returns the
// exit status: 0 written, 1 unusable input, 2 command line.
int merge_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

}  // namespace pk

#endif
