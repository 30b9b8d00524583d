// pelkaro-nxcansas: a reduction written as one NXcanSAS file.
#include <cstdio>

#include "app.h"
#include "nxcansas_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    return pk::nxcansas_main(argc, argv, pk::Console{stdout, nullptr}, pk::Console{stderr, nullptr}, true);
}
