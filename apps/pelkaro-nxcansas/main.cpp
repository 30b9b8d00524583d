// pelkaro-nxcansas: a reduction written as one NXcanSAS file.
#include <cstdio>

#include <hdf5.h>

#include "app.h"
#include "nxcansas_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    // HDF5 keeps the memory of what it frees for reuse, up to 16 MiB for
    // some kinds, for the rest of the process: a file of many small objects
    // would hold that much for nothing.  1 MiB of each kind at most, 256 KiB
    // of each size.  A setting of this program's process, not the library's.
    H5set_free_list_limits(1 << 20, 1 << 18, 1 << 20, 1 << 18, 1 << 20, 1 << 18);
    const int status =
        pk::nxcansas_main(argc, argv, pk::Console{stdout, nullptr}, pk::Console{stderr, nullptr}, true,
                          pk::simd_from_environment());
    // Progress that could not be written: status 2 (1 means a failed run).
    return pk::finish_output(status, "pelkaro-nxcansas", 2);
}
