// Fuzz target: pelkaro-trans's table (--format tsv) read as pelkaro-check,
// pelkaro-batch and pelkaro-nxcansas read it, from a scratch file.  A table
// is accepted with rows or refused at a line of it; an accepted row with
// shares has them finite, each at most its sigma, the own one not negative,
// and their quadrature its sigma.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pelkaro/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = "/tmp/pelkaro-fuzz-trans-XXXXXX";
    const int fd = ::mkstemp(&path[0]);
    if (fd < 0) return 0;
    const bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
    ::close(fd);
    pk::TransTable t;
    const pk::Status st = written ? pk::read_trans_table(path, t) : pk::ok_status();
    ::unlink(path.c_str());
    if (!written) return 0;
    if (!st.ok() && (!t.rows.empty() || st.line < 0)) std::abort();
    for (const pk::TransTableRow& r : t.rows) {
        if (r.line < 2 || !std::isfinite(r.value)) std::abort();
        if (!r.split) continue;
        const pk::SigmaShares& s = r.shares;
        const double q = std::sqrt(s.empty_beam * s.empty_beam + s.dark_current * s.dark_current + s.own * s.own);
        if (!(s.own >= 0) || !(std::fabs(q - r.sigma) <= 1e-4 * r.sigma) ||
            std::fabs(s.empty_beam) > r.sigma * (1 + 1e-6))
            std::abort();
    }
    return 0;
}
