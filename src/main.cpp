#include "Pelkaro.h"
#include <cstdio>
int main(int, char**) { std::printf("Pelkaro:  not yet available\n"); return -1; }
