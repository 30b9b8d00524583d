// pelkaro-check: tells what is wrong or suspicious in a Pelkaro run before it
// is made.  The checks are the library's.
#include <cstdio>

#include "app.h"
#include "check_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    return pk::check_main(argc, argv, stdout, stderr);
}
