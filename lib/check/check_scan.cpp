// pelkaro-check: a detector data file read the way Pelkaro's reader reads
// it (a line whose first character is a digit holds counts, every other
// character ends a number; a line beginning "<time", "<moni" or "<psd " is a
// header tag whose value follows its first ">"), noting on the way what the
// reader takes without a word: decimal points and minus signs inside data
// lines, tags read under another name, tag-like lines it does not read.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check_internal.h"
#include "pelkaro/files.h"
#include "simd.h"

namespace pk {

namespace {

constexpr std::size_t kHeadLimit = 4096;  // characters of a header line kept
constexpr std::size_t kTokenLimit = 40;
constexpr std::size_t kOddLimit = 8;      // odd tags remembered per file
constexpr long long kIntMax = 2147483647;

bool digit(char c) { return c >= '0' && c <= '9'; }

std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

// The "%d" value after the first ">" of a tag line, as the reader takes it.
bool tag_value(const std::string& line, long long& value) {
    std::size_t i = line.find('>');
    if (i == std::string::npos) return false;
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\v' || line[i] == '\f' ||
                               line[i] == '\r'))
        ++i;
    bool neg = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) neg = line[i++] == '-';
    if (i >= line.size() || !digit(line[i])) return false;
    long long v = 0;
    for (; i < line.size() && digit(line[i]); ++i)
        if (v <= kIntMax + 1) v = v * 10 + (line[i] - '0');
    value = neg ? -v : v;
    return true;
}

class Scanner {
public:
    // counting false: the values and their sum are known already (the
    // reader's); the scan looks only for what the reader takes without a word.
    Scanner(DataScan& s, bool counting) : s_(s), counting_(counting) {}

    void put(char c) {
        if (at_start_) {
            at_start_ = false;
            data_ = digit(c);
        }
        if (c == '\n') {
            end_line();
            ++line_;
            at_start_ = true;
            return;
        }
        if (data_) data_char(c);
        else if (head_.size() < kHeadLimit) head_.push_back(c);
    }
    void finish() { end_line(); }
    bool at_line_start() const { return at_start_; }
    // A whole data line [p, end) followed by a line feed, holding no point
    // and no minus sign: its counts taken as put() takes them, at speed.
    void plain_data_line(const char* p, const char* end) {
        if (!counting_) {
            head_.clear();
            ++line_;
            return;
        }
        long long v = 0;
        bool in = false;
        for (; p < end; ++p) {
            const unsigned d = static_cast<unsigned>(static_cast<unsigned char>(*p)) - '0';
            if (d < 10) {
                if (v <= kIntMax) v = v * 10 + d;
                in = true;
            } else if (in) {
                count(v);
                v = 0;
                in = false;
            }
        }
        if (in) count(v);
        head_.clear();
        ++line_;
    }

private:
    void data_char(char c) {
        if (digit(c)) {
            if (v_ <= kIntMax) v_ = v_ * 10 + (c - '0');
            in_number_ = true;
        } else {
            end_number();
        }
        if (digit(c) || c == '.' || c == '-') {
            if (token_.size() < kTokenLimit) {
                token_.push_back(c);
                has_digit_ = has_digit_ || digit(c);
                has_point_ = has_point_ || c == '.';
                has_minus_ = has_minus_ || c == '-';
            }
        } else if (!token_.empty()) {
            end_token();
        }
    }
    void count(long long v) {
        if (!counting_) return;
        ++s_.values;
        if (s_.values <= kImageValues) s_.total += v;
    }
    void end_number() {
        if (!in_number_) return;
        count(v_);
        v_ = 0;
        in_number_ = false;
    }
    // Whether the kept characters of a token hold a digit, a point and a
    // minus is noted as it grows.
    void end_token() {
        if (has_digit_ && has_point_ && s_.point_line == 0) {
            s_.point_line = line_;
            s_.point_token = token_;
        }
        if (has_digit_ && has_minus_ && s_.minus_line == 0) {
            s_.minus_line = line_;
            s_.minus_token = token_;
        }
        token_.clear();
        has_digit_ = has_point_ = has_minus_ = false;
    }
    void end_line() {
        if (data_) {
            end_number();
            end_token();
        } else {
            header_line();
        }
        head_.clear();
        data_ = false;
    }
    void header_line();

    DataScan& s_;
    bool counting_ = true;
    int line_ = 1;
    bool at_start_ = true;
    bool data_ = false;
    bool in_number_ = false;
    long long v_ = 0;
    std::string token_;
    bool has_digit_ = false, has_point_ = false, has_minus_ = false;
    std::string head_;
};

void Scanner::header_line() {
    const std::string head5 = head_.substr(0, 5);
    HeaderTag tag;
    tag.line = line_;
    tag.text = head_.substr(0, head_.find('>') == std::string::npos ? head_.size() : head_.find('>') + 1);
    if (head_.size() >= 5 && (head5 == "<time" || head5 == "<moni" || head5 == "<psd ")) {
        if (!tag_value(head_, tag.value)) return;
        tag.kind = head5 == "<time" ? 't' : head5 == "<moni" ? 'm' : 'p';
        (tag.kind == 't' ? s_.time : tag.kind == 'm' ? s_.monitor : s_.psd) = tag;
        const bool known = tag.text == "<time>" || tag.text == "<moni>" || tag.text == "<monitor>" ||
                           tag.text == "<psd counts>";
        if (!known && s_.odd.size() < kOddLimit) s_.odd.push_back(tag);
        return;
    }
    const std::string low = lower(head_.substr(0, 5));
    if (low.compare(0, 4, "<psd") == 0 || low == "<time" || low == "<moni") {
        long long ignored = 0;
        if (tag_value(head_, ignored) && s_.odd.size() < kOddLimit) s_.odd.push_back(tag);
    }
}

}  // namespace

bool scan_data_file(const std::string& name, DataScan& scan) {
    scan = DataScan{};
    pk::FilePtr f(pk::open_regular(name));
    if (!f) return false;
    Scanner sc(scan, true);
    std::vector<char> buf(1 << 16);
    std::size_t n = 0;
    std::uint64_t total = 0;
    while (total <= pk::kInputLimit && (n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0) {
        std::size_t i = total == 0 && n >= 3 && std::memcmp(buf.data(), pk::kByteOrderMark, 3) == 0 ? 3 : 0;
        total += n;
        for (; i < n; ++i) sc.put(buf[i]);
    }
    sc.finish();
    return true;
}

void scan_data_text(std::string_view text, DataScan& scan, const DataCounts* known) {
    scan = DataScan{};
    Scanner sc(scan, known == nullptr);
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        if (sc.at_line_start() && digit(*p)) {
            const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
            const char* const le = lf ? static_cast<const char*>(lf) : end;
            const std::size_t n = static_cast<std::size_t>(le - p);
            if (lf && !std::memchr(p, '.', n) && !std::memchr(p, '-', n)) {
                sc.plain_data_line(p, le);
                p = le + 1;
                continue;
            }
        }
        sc.put(*p++);
    }
    sc.finish();
    if (known) scan.values = known->values, scan.total = known->total;
}

bool counts_of(const Data2D& d, DataCounts& counts) {
    // Each value the reader stored is a whole count; below 2^24 its float
    // is that count exactly.  Sums of such counts (an image holds fewer
    // than 2^16) are whole numbers below 2^40, exact in a double in any
    // order: four sums, one per lane of the packed loop.
    if (d.values < 0 || static_cast<std::size_t>(d.values) > d.intens.size()) return false;
    const std::size_t n = static_cast<std::size_t>(d.values);
    const float* v = d.intens.data();
    double total = 0.0;
    bool whole = true;
    std::size_t k = 0;
#if PK_SIMD
    const __m128 zero = _mm_setzero_ps(), limit = _mm_set1_ps(16777216.0f);
    __m128 in_range = _mm_cmpeq_ps(zero, zero);
    __m128d lo = _mm_setzero_pd(), hi = _mm_setzero_pd();
    for (; k + 4 <= n; k += 4) {
        const __m128 x = _mm_loadu_ps(v + k);
        in_range = _mm_and_ps(in_range, _mm_and_ps(_mm_cmpge_ps(x, zero), _mm_cmplt_ps(x, limit)));
        lo = _mm_add_pd(lo, _mm_cvtps_pd(x));
        hi = _mm_add_pd(hi, _mm_cvtps_pd(_mm_movehl_ps(x, x)));
    }
    whole = _mm_movemask_ps(in_range) == 0xF;
    const __m128d two = _mm_add_pd(lo, hi);
    total = _mm_cvtsd_f64(_mm_add_sd(two, _mm_unpackhi_pd(two, two)));
#endif
    for (; k < n; ++k) {
        whole = whole && v[k] >= 0.0f && v[k] < 16777216.0f;
        total += static_cast<double>(v[k]);
    }
    if (!whole) return false;
    counts.values = d.values;
    counts.total = static_cast<long long>(total);
    return true;
}

}  // namespace pk
