// The plain, literal azimuthal average (ave_literal.cpp), kept as the
// reference that the benchmarks measure the fast average against.
#ifndef PELKARO_AVE_LITERAL_H
#define PELKARO_AVE_LITERAL_H

#include "Pelkaro.h"

int ave_data_literal(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask);

#endif
