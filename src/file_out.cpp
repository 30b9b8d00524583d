#include "Pelkaro.h"
#include "common.h"
int write_2D(const Param&, const Data2D&, const std::string&) { return -1; }
int write_1D(const Param&, const Data2D&, const Data1D&, const std::string&) { return -1; }
int write_mask(const Param&, const Data2D&) { return -1; }
