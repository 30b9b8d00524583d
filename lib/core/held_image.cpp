// Images a front end holds in memory, taken where the parameter file names
// a file of their name: detector counts as the data reader stores a file's
// counts (with the same checks and messages), mask values as the mask reader
// stores a mask file's.  A held image has no header, so the counting time
// and monitor count are those of the parameter line.
#include "held_image.h"

#include <cmath>
#include <cstdint>

#include "pelkaro/Pelkaro.h"
#include "numbers.h"
#include "read_sans.h"

namespace pk {

namespace {

constexpr uint32_t kCountMax = 2147483647;  // the reader's 32-bit limit

// The checks the readers make of a file's values, on a held image.
Status check_values(const HeldImage& h, const char* limit_text) {
    if (h.values.size() > static_cast<std::size_t>(kImageValues))
        return failure(Stage::read, Code::bad_contents, h.mask ? "read_saxs" : "read_data",
                       pk::format("%s%s holds more than %d values", h.mask ? "the mask file " : "", h.name.c_str(),
                                  kImageValues));
    for (uint32_t v : h.values)
        if (v > kCountMax)
            return failure(Stage::read, Code::bad_contents, h.mask ? "read_saxs" : "read_data",
                           pk::format("%s%s holds %s beyond the 32-bit range", h.mask ? "the mask file " : "",
                                      h.name.c_str(), limit_text));
    return ok_status();
}

// The counts of a held image stored as read_data stores a file's, with the
// uncertainty of every count: its square root, 1 for a count of 0.
Status take_counts(const HeldImage& h, Data2D& data) {
    const Status st = check_values(h, "a count");
    if (!st.ok()) return st;
    std::size_t n = 0;
    for (; n < h.values.size(); ++n) data.intens[n] = static_cast<float>(static_cast<int64_t>(h.values[n]));
    data.values = static_cast<int32_t>(n);
    if (data.monitor == 0) data.monitor = data.tm;
    for (std::size_t k = 0; k < data.intens.size(); ++k) {
        const float c = data.intens[k];
        data.uncert[k] = c == 0 ? 1.0f : pk::to_float(std::sqrt(static_cast<double>(c)));
    }
    return ok_status();
}

}  // namespace

Status read_data(const std::vector<HeldImage>& held, Data2D& data, const Console& con) {
    const HeldImage* h = held_image(held, data.name);
    if (!h) return read_data(data, con);
    if (data.intens.size() != static_cast<std::size_t>(kImageValues)) data.intens.assign(kImageValues, 0.0f);
    if (data.uncert.size() != static_cast<std::size_t>(kImageValues)) data.uncert.assign(kImageValues, 0.0f);
    if (h->mask)
        return failure(Stage::read, Code::bad_contents, "read_data",
                       pk::format("%s is a mask held in memory, not detector counts", h->name.c_str()));
    return take_counts(*h, data);
}

Status read_mask(const std::vector<HeldImage>& held, const Param& p, Data2D& mask) {
    const HeldImage* h = held_image(held, mask.name);
    if (!h) return read_mask(p, mask);
    if (mask.intens.size() != static_cast<std::size_t>(kImageValues)) mask.intens.assign(kImageValues, 0.0f);
    if (!h->mask)
        return failure(Stage::read, Code::bad_contents, "read_saxs",
                       pk::format("%s is detector counts held in memory, not a mask", h->name.c_str()));
    const Status st = check_values(*h, "a value");
    if (!st.ok()) return st;
    std::size_t n = 0;
    for (; n < h->values.size(); ++n) mask.intens[n] = static_cast<float>(static_cast<int64_t>(h->values[n]));
    mask.values = static_cast<int32_t>(n);
    return ok_status();
}

}  // namespace pk
