// Pelkaro: one reduction, mask file or beam-centre measurement per run, on
// the parameter file named on the command line.
#include <cstdlib>

#include "app.h"
#include "pelkaro_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    pk::CliOptions opt;
    opt.huge_pages = true;
    opt.simd = pk::simd_from_environment();
    if (const char* times = std::getenv("PELKARO_STAGE_TIMES")) opt.stage_times = times;
    return pk::pelkaro_main(argc, argv, pk::Console{}, opt);
}
