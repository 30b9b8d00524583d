// pelkaro-aniso: I(phi) in a ring, sector pairs and the orientation of a
// reduced anisotropic pattern.
#include <cstdio>

#include "aniso_cli.h"
#include "app.h"

int main(int argc, char** argv) {
    pk::init_process();
    const int status = pk::aniso_main(argc, argv, pk::Console{stdout, nullptr}, pk::Console{stderr, nullptr});
    // A table that could not be written to standard output: status 1.
    return pk::finish_output(status, "pelkaro-aniso", 1, true);
}
