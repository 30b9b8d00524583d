// pelkaro-nxcansas: a reduction written as one NXcanSAS file.
#include <cstdio>

#include "common.h"
#include "nxcansas.h"

int main(int argc, char** argv) {
    pk::init_process();
    return pk::nx::nxcansas_main(argc, argv, Console{stdout, nullptr}, Console{stderr, nullptr});
}
