#include "Pelkaro.h"
#include "common.h"
int jacobian(const Param&, Data2D&) { return -1; }
int sens_norm(const Param&, Data2D&, Data2D&) { return -1; }
int sens_cor(const Param&, Data2D&, const Data2D&, const Data2D&) { return -1; }
