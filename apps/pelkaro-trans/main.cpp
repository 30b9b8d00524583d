// pelkaro-trans: transmissions, the beam centre and the absolute scale
// factor from direct-beam runs.  The measurements are the library's.
#include <cstdio>

#include "app.h"
#include "trans_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    return pk::trans_main(argc, argv, stdout, stderr);
}
