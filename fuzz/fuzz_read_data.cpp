// Fuzz target: the detector data reader on a fuzzed data file, with the
// pixel arrays allocated and cleared as the run driver does.  After a
// successful read every value is a whole number from 0 to 2^31, every
// uncertainty its square root (1 for a count of 0), and the header values are
// finite whole numbers.  The reader of a file's text read already (a series'
// check) gives the same result, bit for bit, or the same refusal.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/files.h"
#include "fuzz_util.h"
#include "read_sans.h"

using namespace pk;

namespace {

bool whole(float v) { return std::isfinite(v) && std::floor(v) == v; }

bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// read_data_text on the file's text against read_data's result `d` and `st`.
void same_from_text(const Data2D& d, const Status& st, float tm, float monitor) {
    std::string text;
    if (!read_file("d.dat", text).ok()) return;  // too large: the file's reader alone
    Data2D t;
    t.name = "d.dat", t.tm = tm, t.monitor = monitor;
    const Status ts = read_data_text(text, t);
    pkf::check(ts.text() == st.text(), "the text's reader and the file's differ in their verdict");
    if (!st.ok()) return;
    pkf::check(same_floats(t.intens, d.intens) && same_floats(t.uncert, d.uncert), "the text's pixels differ");
    pkf::check(std::memcmp(&t.tm, &d.tm, sizeof t.tm) == 0 && std::memcmp(&t.monitor, &d.monitor, sizeof t.tm) == 0 &&
                   std::memcmp(&t.psd, &d.psd, sizeof t.tm) == 0 && t.values == d.values,
               "the text's header values differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pkf::quiet_stdout();
    const pkf::InScratch in_scratch;
    pkf::write_file("d.dat", data, size);

    // One record for the whole process: its arrays are cleared, not
    // reallocated, before each read.
    static Data2D d;
    d.name = "d.dat";
    d.psd = 0.0f;
    d.intens.assign(kImageValues, 0.0f);
    d.uncert.assign(kImageValues, 0.0f);
    // Header values as a parameter file could give them; the low bits of the
    // input length pick whether the monitor count must fall back to the time.
    d.tm = 600.0f;
    d.monitor = (size & 1) ? 0.0f : 1.0e6f;
    const float tm = d.tm, monitor = d.monitor;
    const Status st = read_data(d);
    pkf::check(st.ok() == st.text().empty(), "read_data result without its reason");
    same_from_text(d, st, tm, monitor);
    pkf::check(d.intens.size() == static_cast<size_t>(kImageValues) &&
                   d.uncert.size() == static_cast<size_t>(kImageValues),
               "read_data resized the pixel arrays");
    if (!st.ok()) return 0;

    for (int k = 0; k < kImageValues; ++k) {
        const float v = d.intens[static_cast<size_t>(k)];
        const float u = d.uncert[static_cast<size_t>(k)];
        if (!(whole(v) && v >= 0 && v <= 2147483648.0f)) pkf::fail("pixel value is not a count", std::to_string(k));
        const float want = v == 0 ? 1.0f : static_cast<float>(std::sqrt(static_cast<double>(v)));
        if (u != want) pkf::fail("uncertainty is not the square root of the count", std::to_string(k));
    }
    pkf::check(whole(d.tm) && whole(d.monitor) && whole(d.psd), "header value is not a whole number");
    pkf::check(d.monitor != 0 || d.tm == 0, "monitor count 0 did not fall back to the time");
    return 0;
}
