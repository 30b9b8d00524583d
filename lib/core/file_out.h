// The output files: the reduced image (.d2d), the curve (.d1d) and the
// mask file.
#ifndef PELKARO_FILE_OUT_H
#define PELKARO_FILE_OUT_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// The output file name for an image: its name cut at the first "." of the
// last path component that is not that component's first character (the
// directory part is kept as it is), then the extension (".d2d", ".d1d").
std::string output_name(const std::string& name, const char* ext);
Status write_2D(const Param& p, const Data2D& data, const ParamFile& pf, const Console& con = Console{});
Status write_2D(const Param& p, const Data2D& data, const std::string& name, const Console& con = Console{});
Status write_1D(const Param& p, const Data2D& data, const Data1D& d, const std::string& name,
             const Console& con = Console{});
Status write_mask(const Param& p, const Data2D& data, const Console& con = Console{});

// The .d2d (header from `pf`) and the .d1d at a chosen path, as write_2D and
// write_1D write them.
Status write_image_file(const Data2D& data, const ParamFile& pf, const std::string& out_name);
Status write_curve_file(const Data1D& d, const std::string& out_name);

}  // namespace pk

#endif
