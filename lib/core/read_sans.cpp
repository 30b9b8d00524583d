// Detector data files and mask files.
//
// A detector data file holds tagged header lines (counting time, monitor
// counts, total detector counts) and the pixel counts as unsigned decimal
// integers in the flat order of the detector.  It is read as a stream of
// characters, so lines of any length work and a number is never split.
#include "read_sans.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "pelkaro/Pelkaro.h"
#include "numbers.h"
#include "pelkaro/files.h"
#include "pieces.h"
#include "simd.h"

namespace pk {

namespace {

// Buffered character source over a FILE, that ends (as at the end of the
// file) once more than the input limit has been read, and skips a leading
// byte-order mark; or over a file's text read already (its mark removed).
class ByteReader {
public:
    explicit ByteReader(std::FILE* f) : f_(f), buf_(1 << 16) {
        if (fill() && len_ >= 3 && std::memcmp(base_, pk::kByteOrderMark, 3) == 0) pos_ = 3;
    }
    ByteReader(const char* text, std::size_t len) : text_(text), text_len_(len) { fill(); }
    // Next character, or -1 at the end of the file.
    int get() {
        if (pos_ == len_ && !fill()) return -1;
        return static_cast<unsigned char>(base_[pos_++]);
    }
    // Skips to the character after the next line feed; returns the last
    // character read (a line feed, or -1).
    int skip_line() {
        for (;;) {
            if (pos_ == len_ && !fill()) return -1;
            const void* nl = std::memchr(base_ + pos_, '\n', len_ - pos_);
            if (nl) {
                pos_ = static_cast<std::size_t>(static_cast<const char*>(nl) - base_) + 1;
                return '\n';
            }
            pos_ = len_;
        }
    }
    bool too_large() const { return too_large_; }
    // The characters buffered and not yet read, [cur(), end()); a reader
    // that takes some of them moves on with seek().
    const char* cur() const { return base_ + pos_; }
    const char* end() const { return base_ + len_; }
    void seek(const char* p) { pos_ = static_cast<std::size_t>(p - base_); }
    // Reads the next block once the buffered characters are used up; false
    // at the end of the file.
    bool refill() { return pos_ < len_ || fill(); }

private:
    bool fill() {
        pos_ = 0;
        if (f_) {
            len_ = too_large_ ? 0 : std::fread(buf_.data(), 1, buf_.size(), f_);
            base_ = buf_.data();
        } else {  // the whole text is the one block
            len_ = too_large_ ? 0 : text_len_;
            base_ = text_;
            text_len_ = 0;
        }
        total_ += len_;
        if (total_ > pk::kInputLimit) {
            too_large_ = true;
            len_ = 0;
        }
        return len_ > 0;
    }
    std::FILE* f_ = nullptr;
    std::vector<char> buf_;
    const char* text_ = nullptr;
    std::size_t text_len_ = 0;
    const char* base_ = nullptr;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::uint64_t total_ = 0;
    bool too_large_ = false;
};

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

constexpr int64_t kIntMax = 2147483647;

enum class TagValue { none, ok, too_large };

// Reads a "%d" value from the rest of a tag line after its first ">", up to
// the line end, which is consumed.  Judged by value: leading zeros are fine.
TagValue read_tag_value(ByteReader& in, int32_t& value, int& last) {
    int c = in.get();
    while (c != '>' && c != '\n' && c != -1) c = in.get();
    if (c != '>') {
        last = c;
        return TagValue::none;
    }
    c = in.get();
    while (c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r') c = in.get();
    bool neg = false;
    if (c == '+' || c == '-') {
        neg = c == '-';
        c = in.get();
    }
    TagValue result = TagValue::none;
    int64_t v = 0;
    while (is_digit(c)) {
        result = TagValue::ok;
        if (v <= kIntMax + 1) v = v * 10 + (c - '0');
        c = in.get();
    }
    if (result == TagValue::ok) {
        if (neg ? v > kIntMax + 1 : v > kIntMax) result = TagValue::too_large;
        else value = static_cast<int32_t>(neg ? -v : v);
    }
    last = (c == '\n' || c == -1) ? c : in.skip_line();
    return result;
}

}  // namespace

namespace {

// Stores the next count, or says why it cannot be stored.
inline bool store_count(int64_t v, Data2D& data, int& n, Status& why) {
    if (v > kIntMax) {
        why = failure(Stage::read, Code::bad_contents, "read_data",
                      pk::format("%s holds a count beyond the 32-bit range", data.name.c_str()));
        return false;
    }
    if (n >= kImageValues) {
        why = failure(Stage::read, Code::bad_contents, "read_data",
                      pk::format("%s holds more than %d values", data.name.c_str(), kImageValues));
        return false;
    }
    data.intens[static_cast<std::size_t>(n++)] = static_cast<float>(v);
    return true;
}

#if PK_SIMD
enum class Scan { more, line_end, failed };

// The value of the `len` digits (1 to 8) at the start of the eight bytes
// `w` (as loaded from memory, little-endian): the digits moved to the high
// bytes, the bytes below them counting as zeros, then combined in pairs,
// fours and the eight by multiplications.
inline int64_t digits_value(uint64_t w, int len) {
    const int shift = 8 * (8 - len);
    uint64_t v = (w << shift) - (0x3030303030303030ULL << shift);
    v = v * 10 + (v >> 8);
    v = ((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32)) +
         ((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32))) >>
        32;
    return static_cast<int64_t>(v);
}

// The digits (as bits) and line feeds of the 32 characters at `p`, two
// sixteen-character loads at a time.
struct Window {
    uint32_t digits, line_feeds;
};

inline Window window_at(const char* p) {
    const __m128i zero_char = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9), line_feed = _mm_set1_epi8('\n');
    uint32_t masks[2][2];
    for (int h = 0; h < 2; ++h) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * h));
        const __m128i d = _mm_sub_epi8(x, zero_char);
        masks[h][0] = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, nine), d)));
        masks[h][1] = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, line_feed)));
    }
    return Window{masks[0][0] | masks[1][0] << 16, masks[0][1] | masks[1][1] << 16};
}

// The counts of a data line 32 characters at a time, from `p` at a
// separator or the first digit of a count: each count of up to eight
// digits that ends in the window taken at once, in their order.  Stops
// after the line feed (Scan::line_end), or where fewer than 40 characters
// are left before `e` or a count has more digits (p at a separator or the
// count's first digit).
Scan scan_counts(const char*& p, const char* e, Data2D& data, int& n, Status& why) {
    float* const out = data.intens.data();
    while (e - p >= 40) {  // a count's eight bytes are read from any start in the window
        const Window w = window_at(p);
        const unsigned limit = w.line_feeds != 0 ? static_cast<unsigned>(__builtin_ctz(w.line_feeds)) : 32u;
        uint32_t starts = w.digits & ~(w.digits << 1) & static_cast<uint32_t>((uint64_t{1} << limit) - 1);
        // A count up to the window's end may go on: the next window starts
        // at it (without a branch: which way it goes is not predictable).
        const unsigned open = (limit >> 5) & (w.digits >> 31);
        const unsigned last = 31u - static_cast<unsigned>(__builtin_clz(starts | 1u));
        const unsigned next = open ? last : 32u;
        starts &= ~(open << last);
        if (next == 0) return Scan::more;  // 32 digits or more
        while (starts != 0) {
            const unsigned s = static_cast<unsigned>(__builtin_ctz(starts));
            starts &= starts - 1;
            const int len = __builtin_ctz(~(w.digits >> s));
            if (len > 8) {
                p += s;
                return Scan::more;
            }
            uint64_t bytes;
            std::memcpy(&bytes, p + s, sizeof bytes);
            // At most eight digits: never beyond the 32-bit range.
            if (n >= kImageValues) {
                store_count(0, data, n, why);  // says there are too many
                return Scan::failed;
            }
            out[n++] = static_cast<float>(digits_value(bytes, len));
        }
        if (limit < 32) {
            p += limit + 1;
            return Scan::line_end;
        }
        p += next;
    }
    return Scan::more;
}
#endif

// Reads the counts of one data line, starting at its first digit `c`:
// every non-digit ends a number; empty fields are skipped.  Leaves `c` at
// the first character of the next line (or -1).  The characters are taken
// straight from the reader's buffer, between counts by scan_counts where
// the packed loops are compiled.
int read_counts(ByteReader& in, int& c, Data2D& data, int& n, Status& why) {
    in.seek(in.cur() - 1);  // back to the digit `c`, still in the buffer
    int64_t v = 0;
    bool have = false;
    do {
        const char* const e = in.end();
        const char* p = in.cur();
        while (p < e) {
#if PK_SIMD
            if (!have) {
                const Scan s = scan_counts(p, e, data, n, why);
                if (s == Scan::failed) return -1;
                if (s == Scan::line_end) {
                    in.seek(p);
                    c = in.get();
                    return 1;
                }
            }
#endif
            const unsigned d = static_cast<unsigned>(static_cast<unsigned char>(*p)) - '0';
            if (d < 10) {
                if (v <= kIntMax) v = v * 10 + d;
                have = true;
                ++p;
                continue;
            }
            if (have && !store_count(v, data, n, why)) return -1;
            v = 0;
            have = false;
            if (*p == '\n') {
                in.seek(p + 1);
                c = in.get();
                return 1;
            }
            ++p;
        }
        in.seek(e);
    } while (in.refill());
    c = -1;  // the end of the file ends the last count
    return have && !store_count(v, data, n, why) ? -1 : 1;
}

// A header line: a tag of counting time, monitor counts or detector total
// is recognised by its first five characters; any other line is skipped.
// `c` is the line's first character; left at the next line's first one.
int read_tag_line(ByteReader& in, int& c, Data2D& data, const Console& con, Status& why) {
    char head[5] = {0, 0, 0, 0, 0};
    int len = 0;
    while (len < 5 && c != '\n' && c != -1) {
        head[len++] = static_cast<char>(c);
        if (len < 5) c = in.get();
    }
    float* target = nullptr;
    const char* label = nullptr;
    if (len == 5) {
        if (std::memcmp(head, "<time", 5) == 0) {
            target = &data.tm;
            label = "Data set time = %f\n";
        } else if (std::memcmp(head, "<moni", 5) == 0) {
            target = &data.monitor;
            label = "Data set monitor = %f\n";
        } else if (std::memcmp(head, "<psd ", 5) == 0) {
            target = &data.psd;
            label = "Data set PSD counts = %f\n";
        }
    }
    int last = c;
    if (target) {
        int32_t value = 0;
        const TagValue t = read_tag_value(in, value, last);
        if (t == TagValue::too_large) {
            why = failure(Stage::read, Code::bad_contents, "read_data",
                          pk::format("%s holds a header value beyond the 32-bit range", data.name.c_str()));
            return -1;
        }
        if (t == TagValue::ok) {
            *target = static_cast<float>(value);
            pk::say(con, label, static_cast<double>(*target));
        }
    } else if (len == 5) {
        last = in.skip_line();
    }
    c = (last == -1) ? -1 : in.get();
    return 1;
}

}  // namespace

namespace {

// The uncertainty of every count: its square root, 1 for a count of 0.
// The packed loop takes the square root of the float itself: correctly
// rounded to a float, it is the double square root rounded to a float for
// every float (a double holds more than twice a float's digits, so the
// second rounding never differs), at a quarter of the cost.
void counting_uncertainties(const float* intens, float* uncert) {
    int k = 0;
#if PK_SIMD
    const __m128 zero = _mm_setzero_ps();
    const __m128 one = _mm_set1_ps(1.0f);
    for (; k + 4 <= kImageValues; k += 4) {
        const __m128 x = _mm_loadu_ps(intens + k);
        const __m128 is_zero = _mm_cmpeq_ps(x, zero);
        _mm_storeu_ps(uncert + k, simd::select(is_zero, one, _mm_sqrt_ps(x)));
    }
#endif
    for (; k < kImageValues; ++k)
        uncert[k] = intens[k] == 0 ? 1.0f : pk::to_float(std::sqrt(static_cast<double>(intens[k])));
}

}  // namespace

namespace {

// The counts and header values of a detector file from its reader.
Status read_from(ByteReader& in, Data2D& data, const Console& con) {
    int n = 0;  // next pixel position
    int c = in.get();
    Status why;
    while (c != -1) {
        const int r = is_digit(c) ? read_counts(in, c, data, n, why) : read_tag_line(in, c, data, con, why);
        if (r != 1) return why;
    }
    if (in.too_large())
        return failure(Stage::read, Code::too_large, "read_data",
                       pk::format("%s holds more than %s, the most an input file may hold",
                                  data.name.c_str(), pk::kInputLimitText));
    data.values = n;
    if (data.monitor == 0) data.monitor = data.tm;
    counting_uncertainties(data.intens.data(), data.uncert.data());
    return ok_status();
}

void size_image(Data2D& data) {
    if (data.intens.size() != static_cast<std::size_t>(kImageValues)) data.intens.assign(kImageValues, 0.0f);
    if (data.uncert.size() != static_cast<std::size_t>(kImageValues)) data.uncert.assign(kImageValues, 0.0f);
}

}  // namespace

// A detector file of the usual size is read whole, in one call, and its
// text parsed; a larger one, or one that cannot be read so, through a
// buffer of 64 KiB (that reader's words for a refusal).  The same values
// either way.
constexpr std::uint64_t kReadWhole = std::uint64_t{1} << 20;

Status read_data(Data2D& data, const Console& con) {
    size_image(data);
    std::string text;
    if (pk::read_file(data.name, text, kReadWhole).ok()) return read_data_text(text, data, con);
    text = std::string();
    pk::FilePtr f(pk::open_regular(data.name));
    if (!f)
        return failure(Stage::read, Code::cannot_read, "read_saxs",
                       pk::format("could not access the data in %s", data.name.c_str()));
    ByteReader in(f.get());
    return read_from(in, data, con);
}

Status read_data_text(std::string_view text, Data2D& data, const Console& con) {
    size_image(data);
    ByteReader in(text.data(), text.size());
    return read_from(in, data, con);
}

namespace {

constexpr const char* kGeneratedMaskHeader = "# mask file created from beam center";
constexpr std::size_t kMaskRowLimit = 1 << 16;

// A mask file as run mode 1 writes it: one detector row of tab-separated
// values per line, each value truncated like "%d".  [pos, end) is the text
// after the header's first piece.
int read_generated_mask(const char* pos, const char* end, Data2D& mask, Status& why) {
    std::string line;
    int row = 0;
    bool cut = false;
    while (pk::next_piece(pos, end, line, kMaskRowLimit, &cut)) {
        if (cut) {
            why = failure(Stage::read, Code::bad_contents, "read_saxs",
                          pk::format("a row of the mask file %s is too long", mask.name.c_str()));
            return -1;
        }
        if (line[0] == '#' || line == "\n") continue;
        if (line.find('\0') != std::string::npos) line.resize(line.find('\0'));
        const char* s = line.c_str();
        int col = 0;
        for (;;) {
            while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\v' || *s == '\f') ++s;
            if (*s == '\0') break;
            int32_t v = 0;
            if (pk::scan_int(s, v) != pk::Scan::ok || col >= kDetSide || row >= kDetSide) {
                why = failure(Stage::read, Code::bad_contents, "read_saxs",
                              pk::format("the mask file %s is not a %d x %d grid of values", mask.name.c_str(),
                                         kDetSide, kDetSide));
                return -1;
            }
            mask.intens[static_cast<std::size_t>(row * kDetSide + col)] = static_cast<float>(v);
            ++col;
            // The rest of the value ("1.00": the fraction) up to the next separator.
            while (*s && *s != ' ' && *s != '\t' && *s != '\n' && *s != '\r' && *s != '\v' && *s != '\f') ++s;
        }
        if (col != kDetSide) {
            why = failure(
                Stage::read, Code::bad_contents, "read_saxs",
                pk::format("the mask file %s is not a %d x %d grid of values", mask.name.c_str(), kDetSide, kDetSide));
            return -1;
        }
        ++row;
    }
    mask.values = row * kDetSide;
    if (row != kDetSide) {
        why = failure(
            Stage::read, Code::bad_contents, "read_saxs",
            pk::format("the mask file %s is not a %d x %d grid of values", mask.name.c_str(), kDetSide, kDetSide));
        return -1;
    }
    return 1;
}

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The integer at the start of a piece's text [s, e), read as "%d" reads it
// (white space, a sign, decimal digits; a NUL ends the text): missing when
// there is none, bad when it lies beyond the 32-bit signed range.
pk::Scan leading_int(const char* s, const char* e, int32_t& out) {
    while (s < e && is_space(*s)) ++s;
    bool neg = false;
    if (s < e && (*s == '+' || *s == '-')) neg = *s++ == '-';
    if (!(s < e && is_digit(*s))) return pk::Scan::missing;
    int64_t v = 0;
    for (; s < e && is_digit(*s); ++s)
        if (v <= kIntMax + 1) v = v * 10 + (*s - '0');
    if (v > (neg ? kIntMax + 1 : kIntMax)) return pk::Scan::bad;
    out = static_cast<int32_t>(neg ? -v : v);
    return pk::Scan::ok;
}

// The common line of a mask file, a count alone ("1\n", "0\r\n"), taken
// without the general piece rules (it is one piece, the value its first
// integer): returns where the next line starts, or nullptr for any other
// line.
const char* plain_value_line(const char* s, const char* e, int32_t& out) {
    constexpr int kMaxDigits = 9;  // below the 32-bit limit whatever the digits
    int64_t v = 0;
    int len = 0;
    while (len <= kMaxDigits && s + len < e && is_digit(s[len])) v = v * 10 + (s[len++] - '0');
    if (len == 0 || len > kMaxDigits || s + len >= e) return nullptr;
    const char* after = s + len;
    if (*after == '\r' && after + 1 < e) ++after;
    if (*after != '\n') return nullptr;
    out = static_cast<int32_t>(v);
    return after + 1;
}

}  // namespace

// A mask file is read whole into memory and taken apart there, piece by
// piece as next_piece cuts a text file: a piece whose first value is an
// integer sets the next position; comment pieces and pieces without one
// take none.
Status read_mask(const Param&, Data2D& mask) {
    if (mask.intens.size() != static_cast<std::size_t>(kImageValues)) mask.intens.assign(kImageValues, 0.0f);
    std::string text;
    const Status r = pk::read_file(mask.name, text);
    if (r.code == Code::too_large)
        return failure(Stage::read, Code::too_large, "read_saxs",
                       pk::format("the mask file %s holds more than %s, the most an input file may hold",
                                  mask.name.c_str(), pk::kInputLimitText));
    if (!r.ok())
        return failure(Stage::read, Code::cannot_read, "read_saxs",
                       pk::format("could not open the mask file %s", mask.name.c_str()));
    Status why;
    mask.values = 0;
    const char* pos = text.data();
    const char* const end = pos + text.size();
    const std::size_t header_len = std::strlen(kGeneratedMaskHeader);
    float* const values = mask.intens.data();
    int n = 0;
    for (bool first = true; pos < end; first = false) {
        int32_t v = 0;
        const char* const next = n < kImageValues ? plain_value_line(pos, end, v) : nullptr;
        if (next) {
            values[n++] = static_cast<float>(v);
            pos = next;
            continue;
        }
        const pk::PieceSpan piece = pk::piece_at(pos, end, kPieceLimit);
        const char* const s = pos;
        pos = piece.next;
        if (first && static_cast<std::size_t>(piece.text_end - s) >= header_len &&
            std::memcmp(s, kGeneratedMaskHeader, header_len) == 0)
            return read_generated_mask(pos, end, mask, why) == 1 ? ok_status()
                                                                 : why;
        if (s < piece.text_end && *s == '#') continue;
        const pk::Scan got = leading_int(s, piece.text_end, v);
        if (got == pk::Scan::missing) continue;  // no integer at the start: takes no position
        if (got == pk::Scan::bad) {
            return failure(Stage::read, Code::bad_contents, "read_saxs",
                           pk::format("the mask file %s holds a value beyond the 32-bit range",
                                      mask.name.c_str()));
        }
        if (n >= kImageValues) {
            return failure(Stage::read, Code::bad_contents, "read_saxs",
                           pk::format("the mask file %s holds more than %d values", mask.name.c_str(),
                                      kImageValues));
        }
        values[n++] = static_cast<float>(v);
    }
    mask.values = n;
    return ok_status();
}

}  // namespace pk
