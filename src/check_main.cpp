// pelkaro-check: tells what is wrong or suspicious in a Pelkaro run before it
// is made.  The checks are in check.cpp and its companions.
#include <cstdio>

#include "check.h"
#include "common.h"

int main(int argc, char** argv) {
    pk::init_process();
    return pkc::check_main(argc, argv, stdout, stderr);
}
