// The simulator's run, from its command line to its files and summary.
#ifndef PELKARO_SIM_MAIN_H
#define PELKARO_SIM_MAIN_H

namespace sim {

// Simulates the measurement that argv asks for and writes its files
// (sim_files.h); prints a summary on standard output and errors on
// standard error.  The exit status: 0 written, 1 the files could not be
// written, 2 a bad option or settings that make a run Pelkaro cannot reduce.
int sim_main(int argc, char** argv);

}  // namespace sim

#endif
