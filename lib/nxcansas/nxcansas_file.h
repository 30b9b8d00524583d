// Names and units of the NXcanSAS file of a reduction.
#ifndef PELKARO_NXCANSAS_FILE_H
#define PELKARO_NXCANSAS_FILE_H

#include <string>

namespace pk {

// The last path component of a file name cut at its first "." that is not
// the component's first character: the stem the output files are named by.
std::string stem_of(const std::string& name);

// The thickness unit implied by an intensity unit "1/mm", "1/cm" or "1/m";
// "cm" for any other (the unit the parameter file's thicknesses are in).
std::string thickness_unit(const std::string& intensity_unit);

}  // namespace pk

#endif
