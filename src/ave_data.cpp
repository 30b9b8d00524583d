#include "Pelkaro.h"
#include "common.h"
int ave_data(const Param&, const Data2D&, Data1D&, const Data2D&) { return -1; }
