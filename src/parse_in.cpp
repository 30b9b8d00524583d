#include "Pelkaro.h"
#include "common.h"
int count_parse(const std::string&, Param&) { return -1; }
int parse_in(const std::string&, Param&, std::vector<Data2D>&, std::vector<Data2D>&, Data2D&, Data2D&, Data2D&) { return -1; }
