// pelkaro-nxcansas: a reduction written as one NXcanSAS file.
#include <cstdio>

#include "app.h"
#include "nxcansas_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    const int status =
        pk::nxcansas_main(argc, argv, pk::Console{stdout, nullptr}, pk::Console{stderr, nullptr}, true);
    // Progress that could not be written: status 2 (1 means a failed run).
    return pk::finish_output(status, "pelkaro-nxcansas", 2);
}
