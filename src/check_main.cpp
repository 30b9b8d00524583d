// pelkaro-check: tells what is wrong or suspicious in a Pelkaro run before it
// is made.  The checks are in check.cpp and its companions.
#include <cstdio>

#include "check.h"

int main(int argc, char** argv) { return pkc::check_main(argc, argv, stdout, stderr); }
