// pelkaro-aniso's NXcanSAS file (HDF5; built where HDF5 is found): I(phi)
// as an NXdata group with the azimuth as its axis, the orientation, and
// the sector pairs as two SASdata curves that SasView loads.
#ifndef PELKARO_ANISO_NXCANSAS_H
#define PELKARO_ANISO_NXCANSAS_H

#include <string>

#include "pelkaro/aniso.h"
#include "pelkaro/run.h"

namespace pk {

// Writes the file to `path` (atomically) for a completed reduction `run`:
// sasentry01 holds, with `pairs`, the curve along the axis (sasdata01) and
// across it (sasdata02), Q, I, Idev and Qdev each; always `azimuthal`
// (NXdata: phi in degrees, I, Idev, area), and with `orient` the
// orientation in sasprocess.  Refused with Stage::output,
// Code::cannot_write, its reason a sentence without a program name.
Status write_aniso_file(const Run& run, const AzimuthProfile& prof, const Orientation* orient,
                        const SectorPairs* pairs, const std::string& path);

}  // namespace pk

#endif
