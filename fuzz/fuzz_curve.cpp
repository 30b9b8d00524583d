// Fuzz target: a secondary standard's cross-section curve
// (read_cross_section_curve in pelkaro/trans.h), the file's text fuzzed.
//
// Invariants: a curve accepted has two points at least, Q increasing from
// 0 or more and every cross-section finite and above 0; a refusal has a
// reason and, for a line at fault, its number.
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "pelkaro/trans.h"

using namespace pk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = pkf::scratch_dir() + "/curve.txt";
    pkf::write_file(path, data, size);
    StandardRun s;
    const Status st = read_cross_section_curve(path, s);
    if (!st.ok()) {
        pkf::check(!st.reason.empty(), "a refusal without reason");
        return 0;
    }
    pkf::check(s.curve_q.size() >= 2 && s.curve_q.size() == s.curve_x.size(), "points");
    for (std::size_t k = 0; k < s.curve_q.size(); ++k) {
        pkf::check(std::isfinite(s.curve_q[k]) && s.curve_q[k] >= 0, "Q");
        pkf::check(std::isfinite(s.curve_x[k]) && s.curve_x[k] > 0, "cross-section");
        if (k > 0) pkf::check(s.curve_q[k] > s.curve_q[k - 1], "Q increasing");
    }
    return 0;
}
