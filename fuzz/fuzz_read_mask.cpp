// Fuzz target: the mask reader on a fuzzed mask file (both layouts: one
// value per line, and the 128-row grid that run mode 1 writes).  The array
// is preset with a marker no file can produce; after a successful read the
// values the file set are whole numbers, and they fill a run of positions
// from 0 (the file's values in order), the rest keeping the marker.
#include <cmath>
#include <cstdint>
#include <string>

#include "pelkaro/Pelkaro.h"
#include "fuzz_util.h"
#include "read_sans.h"

using namespace pk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pkf::quiet_stdout();
    const pkf::InScratch in_scratch;
    pkf::write_file("m.msk", data, size);

    constexpr float kMarker = 0.5f;
    Param p{};
    static Data2D mask;  // arrays refilled, not reallocated, for each input
    mask.name = "m.msk";
    mask.intens.assign(kImageValues, kMarker);
    mask.uncert.assign(kImageValues, kMarker);
    const Status st = read_mask(p, mask);
    pkf::check(st.ok() == st.text().empty(), "read_mask result without its reason");
    pkf::check(mask.intens.size() == static_cast<size_t>(kImageValues) &&
                   mask.uncert.size() == static_cast<size_t>(kImageValues),
               "read_mask resized the mask arrays");
    for (int k = 0; k < kImageValues; ++k)
        if (mask.uncert[static_cast<size_t>(k)] != kMarker) pkf::fail("read_mask touched the uncertainties");
    if (!st.ok()) return 0;

    int k = 0;
    for (; k < kImageValues && mask.intens[static_cast<size_t>(k)] != kMarker; ++k) {
        const float v = mask.intens[static_cast<size_t>(k)];
        if (!(std::isfinite(v) && std::floor(v) == v && std::fabs(v) <= 2147483648.0f))
            pkf::fail("mask value is not a whole number", std::to_string(k));
    }
    for (; k < kImageValues; ++k)
        if (mask.intens[static_cast<size_t>(k)] != kMarker)
            pkf::fail("mask values do not fill positions from 0", std::to_string(k));
    return 0;
}
