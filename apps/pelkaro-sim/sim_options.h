// The settings of one simulated measurement and the command line that sets
// them.  Every default is the value of the bundled example, so a run without
// options regenerates it.
#ifndef PELKARO_SIM_OPTIONS_H
#define PELKARO_SIM_OPTIONS_H

#include <cstdint>
#include <string>

namespace sim {

// Lengths are in millimetres, the parameter file's one length unit; pixel
// coordinates place pixel (x, y) on the square [x, x+1] x [y, y+1].  A value
// of 0 in the fields marked "derived" means "work it out from the others".
struct Settings {
    // Instrument
    double distance = 5000.0;         // sample to detector
    double collimation = 5000.0;      // source to sample
    double source_aperture = 30.0;    // diameters
    double sample_aperture = 10.0;
    double wavelength = 6.0;          // angstrom
    double spread = 0.1;              // relative wavelength spread (Q resolution only)
    double pixel_x = 5.0, pixel_y = 5.0;
    double centre_x = 65.5, centre_y = 62.5;  // the centre of pixel (65, 62)
    // Sample: dilute spheres in a solvent
    double radius = 80.0;             // angstrom
    double volume_fraction = 0.01;
    double contrast = 3.5e10;         // scattering length density difference, cm^-2
    double thickness = 0.1;           // cm, sample and buffer cells alike
    double sample_transmission = 0;   // derived: exp(-1.06 cm^-1 * thickness)
    // Oriented ellipsoids instead of spheres when orientation > 0 (sim_oriented.h)
    double orientation = 0;           // degrees: spread of the axes about `axis`
    double axis = 0;                  // degrees: mean direction of the long axes
    double aspect = 4.0;              // polar over equatorial semi-axis
    double buffer_transmission = 0;   // derived: exp(-1.0 cm^-1 * thickness)
    // Counting
    double monitor = 1.5e6;           // sample monitor counts
    double buffer_monitor = 0;        // derived: 3/4 of the sample's
    double time = 0;                  // derived: monitor counts / 1000 per second
    double buffer_time = 0;           // derived likewise from the buffer's monitor counts
    double dark_time = 7200.0;        // s
    double flat_monitor = 4.8e7;      // an overnight flat field
    // Detector
    double dark_rate = 5e-4;          // counts per second per pixel
    double flat_spread = 0.03;        // pixel-to-pixel spread of the efficiencies
    double dead_time = 0.0;           // s, non-paralysable, the whole detector's rate; 0: none
    double flat_stop_x = 0, flat_stop_y = 0;  // derived: the second flat run's beam stop, 12 pixels along x
    bool flat_runs = false;           // also write two flat-field runs with the beam stop moved between them
    uint64_t seed = 1;
    bool transmission_runs = false;   // also write the direct-beam runs for pelkaro-trans
    std::string out = ".";
    bool resolution = false;          // --resolution: counts drawn through the instrument (sim_resolution.h)
    bool gravity = false;             // --gravity: the traced neutrons fall over their flight (needs --resolution)
};

// What the command line asks for.
struct Parsed {
    enum class Action { Simulate, Exit } action = Action::Simulate;
    int status = 0;  // exit status when action is Exit
};

// Reads argv into `s`.  --help and --version print to standard output and
// ask for exit status 0; a bad option prints why on standard error and asks
// for status 2.
Parsed parse_options(int argc, char** argv, Settings& s);

// The command that regenerates `s`: seed, thickness and monitor counts
// always, then every other option whose value is not its default.
std::string command_line(const Settings& s);

// Shortest decimal text that reads back as exactly `v`.
std::string shortest(double v);

}  // namespace sim

#endif
