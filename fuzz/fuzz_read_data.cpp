// Fuzz target: the detector data reader on a fuzzed data file, with the
// pixel arrays allocated and cleared as the run driver does.  After a
// successful read every value is a whole number from 0 to 2^31, every
// uncertainty its square root (1 for a count of 0), and the header values are
// finite whole numbers.  The reader of a file's text read already (a series'
// check) gives the same result, bit for bit, or the same refusal; and the
// counts are those a plain reading of the text, character by character,
// finds, or the reader refuses the count the plain reading refuses.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// The counts a plain reading of the text finds, one character at a time:
// a line whose first character (after a leading byte-order mark) is a
// digit holds counts, each maximal run of its digits; other lines hold
// none.  `why` is the first refusal of a count, as the reader words it.
struct PlainReading {
    std::vector<float> counts;
    std::string why;
};

PlainReading plain_reading(const std::string& text) {
    PlainReading r;
    std::size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const auto digit = [&text](std::size_t k) { return text[k] >= '0' && text[k] <= '9'; };
    while (at < text.size() && r.why.empty()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        for (std::size_t k = at; digit(at) && k < end && r.why.empty();) {
            if (!digit(k)) {
                ++k;
                continue;
            }
            long long v = 0;
            for (; k < end && digit(k); ++k) v = std::min(v * 10 + (text[k] - '0'), 1LL << 40);
            if (v > 2147483647) r.why = "d.dat holds a count beyond the 32-bit range";
            else if (r.counts.size() >= static_cast<std::size_t>(kImageValues)) r.why = "d.dat holds more than 36864 values";
            else r.counts.push_back(static_cast<float>(v));
        }
        at = end + 1;
    }
    return r;
}

// The reader's counts against the plain reading's, unless the reader
// stopped at a header value (which the plain reading does not look at).
void same_as_plain_reading(const Data2D& d, const Status& st, const std::string& file) {
    const PlainReading r = plain_reading(file);
    if (!st.ok() && st.reason.find("header value") != std::string::npos) return;
    pkf::check(st.ok() == r.why.empty() && (st.ok() || st.reason == r.why), "the reader's verdict is not the plain "
               "reading's", st.reason + " / " + r.why);
    if (!st.ok()) return;
    pkf::check(d.values == static_cast<int>(r.counts.size()), "the reader found another number of counts");
    for (std::size_t k = 0; k < r.counts.size(); ++k)
        if (d.intens[k] != r.counts[k]) pkf::fail("a count is not the plain reading's", std::to_string(k));
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
    same_as_plain_reading(d, st, std::string(reinterpret_cast<const char*>(data), size));
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
