// pelkaro-mask: makes a detector mask file from rules; see mask_make.h.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "mask_make.h"

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
        // Line by line, so the report and the diagnostics interleave in order.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        Console out;
        Console err;
        err.file = stderr;
        return mask_make_main(args, out, err);
    } catch (const std::bad_alloc&) {
        std::fputs("pelkaro-mask: error: out of memory; nothing written\n", stderr);
        return 1;
    }
}
