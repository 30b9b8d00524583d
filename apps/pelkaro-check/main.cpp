// pelkaro-check: tells what is wrong or suspicious in a Pelkaro run before it
// is made.  The checks are the library's.
#include <cstdio>

#include "app.h"
#include "check_cli.h"

int main(int argc, char** argv) {
    pk::init_process();
    // A report that could not be written is no check: status 2, as for a
    // wrong command line (1 means the run would be refused).
    return pk::finish_output(pk::check_main(argc, argv, stdout, stderr), "pelkaro-check", 2);
}
