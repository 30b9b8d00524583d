// pelkaro_sim: writes a complete, simulated small-angle neutron scattering
// measurement for the 128 x 128 detector, in Pelkaro's own file formats:
//
//   sphere_sample.dat   dilute monodisperse spheres in a solvent
//   solvent_buffer.dat  the solvent alone, in a cell of the same thickness
//   dark_current.dat    beam closed: electronic noise only
//   flat_field.dat      an isotropic scatterer (light water): the detector
//                       efficiencies times the cos^3 solid-angle falloff
//   direct_beam.dat     attenuated direct beam, beam stop out (beam centre)
//   detector.mask       beam stop shadow and the flat field's bad pixels
//   spheres.par         the reduction's parameter file
//   beam_centre.par     a beam-centre run on the direct-beam image
//
// The instrument, the sample and the counting are options (sim_options.h);
// their defaults are the bundled example in examples/.
//
// The forward model that the counts follow is in sim_model.h, the absolute
// scale factor the parameter file gets in sim_mask.h, the random numbers
// (a seed regenerates the same files) in sim_random.h, and the run from the
// command line to the files in sim_main.h.
#include "app.h"
#include "sim_main.h"

int main(int argc, char** argv) {
    // Temporary files removed on a termination signal, a file-size limit a
    // failed write rather than death.
    pk::init_process();
    return sim::sim_main(argc, argv);
}
