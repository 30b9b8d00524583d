// Fuzz target: the sensitivity of pelkaro-flat (make_sensitivity in
// pelkaro/flat_field.h) on a fuzzed run file beside a valid one.
//
// Input layout: byte 0 picks the scatterer's transmission (1/256 to 1, or
// 0 and above 1 for the refusals), byte 1 the dead time (0 to 2.5e-7 s) and
// whether the dark current takes part (a fixed file, or the fuzzed one);
// the rest is the text of the second run's detector file, read by
// Pelkaro's reader.  The first run is a water image with the beam stop at
// the detector's middle; the geometry is 0.6 m with 5 mm pixels.
//
// Invariants: an accepted sensitivity has finite efficiencies and
// uncertainties, whole values of 0 or more in the file, a good pixel at
// least, and a fate for every pixel; a refusal has a reason.
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "pelkaro/flat_field.h"

using namespace pk;

namespace {

std::string water_file() {
    std::string text = "<time>100</time>\n<monitor>100000</monitor>\n";
    for (int k = 0; k < kDetPixels; ++k) {
        const double r = std::hypot(k % kDetSide - 63.5, k / kDetSide - 63.5);
        text += std::to_string(r < 4 ? 2 : 50000 - static_cast<int>(20 * r));
        text += k % kDetSide == kDetSide - 1 ? '\n' : '\t';
    }
    return text;
}

SensitivityRequest request(const std::string& dir) {
    SensitivityRequest q;
    q.p.px = q.p.py = 5.0f;
    q.p.bx = q.p.by = 64.0f;
    q.p.sam2det = 600.0f;
    q.p.jacobian = 1;
    q.mask.intens.assign(kImageValues, 1.0f);
    q.runs = {FlatRun{dir + "/water.dat", 100, 100000}, FlatRun{dir + "/fuzzed.dat", 100, 100000}};
    q.dark = FlatRun{dir + "/dark.dat", 1000, 0};
    return q;
}

void check_result(const Status& st, const Sensitivity& s) {
    if (!st.ok()) {
        pkf::check(!st.reason.empty(), "a refusal without reason");
        return;
    }
    pkf::check(s.good > 0 && s.fate.size() == static_cast<std::size_t>(kDetPixels), "pixels");
    for (std::size_t k = 0; k < s.fate.size(); ++k) {
        pkf::check(std::isfinite(s.efficiency[k]) && std::isfinite(s.sigma[k]) && s.sigma[k] >= 0, "efficiency");
        pkf::check(s.written[k] >= 0, "written value");
    }
    pkf::check(std::isfinite(s.scale) && s.scale >= 100, "scale");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::string& dir = pkf::scratch_dir();
    static const bool written = [&dir] {
        pkf::write_file(dir + "/water.dat", water_file());
        std::string dark = "<time>1000</time>\n";
        for (int k = 0; k < kDetPixels; ++k) dark += "1\n";
        pkf::write_file(dir + "/dark.dat", dark);
        return true;
    }();
    (void)written;
    pkf::write_file(dir + "/fuzzed.dat", std::string(reinterpret_cast<const char*>(data) + 2, size - 2));
    SensitivityRequest q = request(dir);
    q.transmission = data[0] == 0 ? 0.0 : data[0] == 255 ? 1.5 : data[0] / 254.0;
    q.dead_time = (data[1] & 0x7f) * 2e-9;
    q.with_dark = (data[1] & 0x80) != 0;
    Sensitivity s;
    check_result(make_sensitivity(q, s), s);
    return 0;
}
