// pelkaro-merge: curves of several configurations joined into one NXcanSAS file.
#include <cstdio>

#include "app.h"
#include "merge_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    const int status = pk::merge_main(argc, argv, stdout, stderr);
    return pk::finish_output(status, "pelkaro-merge", 1, true);
}
