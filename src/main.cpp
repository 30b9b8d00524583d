// Pelkaro: one reduction, mask file or beam-centre measurement per run, on
// the parameter file named on the command line.
#include "common.h"
#include "run.h"

int main(int argc, char** argv) {
    pk::init_process();
    return pelkaro_main(argc, argv, Console{});
}
