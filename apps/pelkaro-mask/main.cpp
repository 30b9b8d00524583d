// pelkaro-mask: makes a detector mask file from rules; see mask_make.h.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "app.h"
#include "mask_make.h"

int main(int argc, char** argv) {
    // Temporaries removed on a termination signal, a file-size limit a
    // failed write rather than death, the report line by line.
    pk::init_process();
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
        pk::Console out;
        pk::Console err;
        err.file = stderr;
        return pk::finish_output(pk::mask_make_main(args, out, err), "pelkaro-mask", 1, true);
    } catch (const std::bad_alloc&) {
        std::fputs("pelkaro-mask: error: out of memory; nothing written\n", stderr);
        return 1;
    }
}
