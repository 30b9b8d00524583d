#include "Pelkaro.h"
#include "common.h"
int sub_data(const Param&, const std::vector<Data2D>&, const std::vector<Data2D>&, const Data2D&, const Data2D&, Data2D&) { return -1; }
