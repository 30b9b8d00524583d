// pelkaro-flat: the detector's sensitivity from flat-scatterer runs; see flat_cli.h.
#include <cstdio>

#include "app.h"
#include "flat_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    return pk::finish_output(pk::flat_main(argc, argv, stdout, stderr), "pelkaro-flat", 1, true);
}
