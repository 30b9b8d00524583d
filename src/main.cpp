// Pelkaro: one reduction, mask file or beam-centre measurement per run, on
// the parameter file named on the command line.
#include "run.h"

int main(int argc, char** argv) { return pelkaro_main(argc, argv, Console{}); }
