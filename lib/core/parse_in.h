// The parameter file's count and parse: the stages of a run's parameter step.
#ifndef PELKARO_PARSE_IN_H
#define PELKARO_PARSE_IN_H

#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// Reads the parameter file into `pf`, then counts its sample and buffer lines.
Status count_parse(const std::string& name, ParamFile& pf, Param& p, const Console& con = Console{});
Status count_parse(const std::string& name, Param& p, const Console& con = Console{});
// The count on a parameter file read already.
Status count_parse(const ParamFile& pf, Param& p, const Console& con = Console{});
// The parse proper; the files of `held` images exist whatever the file
// system says, and so do the `known` files but samples.
Status parse_in(const ParamFile& pf, Param& p, std::vector<Data2D>& sam, std::vector<Data2D>& buf, Data2D& dc,
             Data2D& sens, Data2D& mask, ParseLog& log, const Console& con = Console{},
             const std::vector<HeldImage>* held = nullptr, const std::vector<std::string>* known = nullptr);
// The same on the file itself, read for this call.
Status parse_in(const std::string& name, Param& p, std::vector<Data2D>& sam,
             std::vector<Data2D>& buf, Data2D& dc, Data2D& sens, Data2D& mask,
             uint32_t* seen = nullptr, const Console& con = Console{});

}  // namespace pk

#endif
