// Output files: the reduced 2D image (".d2d"), the averaged curve (".d1d")
// and the generated mask ("mask.d2d").  Each file is written under a
// temporary name beside its target and renamed over it only when complete,
// so a reader never sees a partial file and a failed run leaves the earlier
// file as it was.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "pelkaro/Pelkaro.h"
#include "file_out.h"
#include "numbers.h"
#include "pelkaro/files.h"

namespace pk {

std::string output_name(const std::string& name, const char* ext) {
    std::size_t slash = name.rfind('/');
    std::size_t comp = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = comp + 1 < name.size() ? name.find('.', comp + 1) : std::string::npos;
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

namespace {

// The most characters printf's "%W.Pf" (W <= 16, P <= 9) writes for a
// float: a sign, 39 digits, the point and 9 decimals.
constexpr std::size_t kValueRoom = 64;

// Writes v as printf's "%*.*f" with this width and precision writes it
// widened to double, at dst (kValueRoom characters of room); returns the end.
char* put_printf(char* dst, float v, int width, int precision) {
    const int len = std::snprintf(dst, kValueRoom, "%*.*f", width, precision, static_cast<double>(v));
    return len > 0 ? dst + (static_cast<std::size_t>(len) < kValueRoom ? len : kValueRoom - 1) : dst;
}

constexpr uint64_t kPow10[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

// |v| * 10^P rounded to an integer, half to even, as printf rounds the
// exact value; false when it does not fit 64 bits (or v is not finite).
template <int P>
bool scaled_integer(float v, uint64_t& n) {
    const uint32_t bits = pk::bits_of(v);
    const uint32_t biased = bits >> 23 & 0xffu;
    if (biased == 0xffu) return false;  // infinity, not-a-number
    // v = mant * 2^exp2 exactly.
    const uint64_t mant = biased == 0 ? (bits & 0x7fffffu) : ((bits & 0x7fffffu) | 0x800000u);
    const int exp2 = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    const uint64_t scaled = mant * kPow10[P];  // below 2^54
    if (exp2 >= 0) {
        if (exp2 > 63 || scaled > (UINT64_MAX >> exp2)) return false;
        n = scaled << exp2;
    } else if (exp2 <= -64) {
        n = 0;  // below half a unit of the last digit
    } else {
        const int k = -exp2;
        n = scaled >> k;
        const uint64_t rest = scaled & ((uint64_t{1} << k) - 1);
        const uint64_t half = uint64_t{1} << (k - 1);
        if (rest > half || (rest == half && (n & 1u))) ++n;
    }
    return true;
}

// The digits 00 to 99 in pairs.
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the P decimals of frac (below 10^P) ending at `end`.
template <int P, class U>
void put_decimals(char* end, U frac) {
    for (int k = P; k >= 2; k -= 2, frac /= 100, end -= 2) std::memcpy(end - 2, &kPairs[2 * (frac % 100)], 2);
    if (P % 2 == 1) end[-1] = static_cast<char>('0' + frac % 10);
}

// Writes n / 10^P with its P decimals, a minus sign when `neg`, right
// aligned in `width` characters, at dst; returns the end.
template <int P, class U>
char* put_scaled(char* dst, U n, bool neg, int width) {
    constexpr int kFraction = P > 0 ? 1 + P : 0;  // the point and the decimals
    const U pw = static_cast<U>(kPow10[P]);
    U ip = n / pw;
    if (ip < 10 && !neg && 1 + kFraction >= width) {  // the usual value: one digit before the point
        dst[0] = static_cast<char>('0' + ip);
        if (P > 0) {
            dst[1] = '.';
            put_decimals<P>(dst + 1 + kFraction, n - ip * pw);
        }
        return dst + 1 + kFraction;
    }
    int ip_digits = 1;
    for (U t = ip; t >= 10; t /= 10) ++ip_digits;
    const int len = ip_digits + kFraction + (neg ? 1 : 0);
    for (int k = len; k < width; ++k) *dst++ = ' ';
    char* const end = dst + len;
    if (P > 0) {
        put_decimals<P>(end, n % pw);
        end[-P - 1] = '.';
    }
    char* q = end - kFraction;
    do *--q = static_cast<char>('0' + ip % 10);
    while ((ip /= 10) != 0);
    if (neg) *--q = '-';
    return end;
}

// Writes the float v as printf's "%W.Pf" writes it widened to double, at
// dst (kValueRoom characters of room); returns the end.
template <int P>
char* put_fixed(char* dst, float v, int width) {
    static_assert(P >= 0 && P <= 9, "precision 0 to 9");
    uint64_t n = 0;
    if (!scaled_integer<P>(v, n)) return put_printf(dst, v, width, P);
    const bool neg = pk::bits_of(v) >> 31;
    if (n <= UINT32_MAX) return put_scaled<P>(dst, static_cast<uint32_t>(n), neg, width);  // cheaper arithmetic
    return put_scaled<P>(dst, n, neg, width);
}

// Appends the float v as printf's "%W.Pf" writes it widened to double.
template <int P>
void append_fixed(std::string& out, float v, int width) {
    char buf[kValueRoom];
    out.append(buf, static_cast<std::size_t>(put_fixed<P>(buf, v, width) - buf));
}

// Room for one row of 128 values, each with its tab, and the line end.
constexpr std::size_t kRowRoom = kDetSide * (kValueRoom + 1) + 1;

// put_fixed<4> with width 4 for the values of an image, with few branches
// to mispredict: |v| 10^4 is an exact double (a 24-bit mantissa times
// 5^4 2^4), and adding and taking away 2^52 rounds it to an integer half
// to even, as printf rounds.  Below 10^9 the sign and the integer part
// are written without a test of the sign, and the text is never shorter
// than the width; any other value (large, infinite, not a number) takes
// put_fixed.
inline char* put_image_value(char* dst, float v) {
    const double d = std::fabs(static_cast<double>(v)) * 10000.0;
    if (!(d < 1e9)) return put_fixed<4>(dst, v, 4);
    constexpr double kWhole = 4503599627370496.0;  // 2^52
    const uint32_t n = static_cast<uint32_t>((d + kWhole) - kWhole);
    *dst = '-';
    dst += pk::bits_of(v) >> 31;
    uint32_t ip = n / 10000;
    const uint32_t frac = n - ip * 10000;
    if (ip < 10) {
        *dst++ = static_cast<char>('0' + ip);
    } else {
        const int digits = ip < 100 ? 2 : ip < 1000 ? 3 : ip < 10000 ? 4 : 5;
        for (int k = digits; k > 0; --k, ip /= 10) dst[k - 1] = static_cast<char>('0' + ip % 10);
        dst += digits;
    }
    dst[0] = '.';
    std::memcpy(dst + 1, &kPairs[2 * (frac / 100)], 2);
    std::memcpy(dst + 3, &kPairs[2 * (frac % 100)], 2);
    return dst + 5;
}

// Writes one row of 128 values, each as "%W.Pf" and a tab, and the line
// end, at dst (kRowRoom characters of room); returns the end.
template <int P>
char* put_row(char* dst, const float* row, int width) {
    for (int c = 0; c < kDetSide; ++c) {
        dst = put_fixed<P>(dst, row[c], width);
        *dst++ = '\t';
    }
    *dst++ = '\n';
    return dst;
}

// Appends one row of 128 values, each written as "%W.Pf" and a tab, and the
// line end.
template <int P>
void append_row(std::string& out, const float* row, int width) {
    std::array<char, kRowRoom> buf;
    out.append(buf.data(), static_cast<std::size_t>(put_row<P>(buf.data(), row, width) - buf.data()));
}

bool write_all(std::FILE* f, const char* s, std::size_t n) { return std::fwrite(s, 1, n, f) == n; }
bool write_all(std::FILE* f, const std::string& s) { return write_all(f, s.data(), s.size()); }

constexpr std::size_t kChunk = 1 << 18;  // a whole image file in one write

// Commits `out` when everything was `written` (errno cleared before the
// writing): 0 when the target now holds the complete file, else the
// system's error number of the first failure (-1 where it gave none).
int finished(pk::AtomicFile& out, bool written) {
    const int write_error = written ? 0 : errno;
    errno = 0;
    if (pk::atomic_finish(out, written)) return 0;
    const int e = write_error != 0 ? write_error : errno;
    return e != 0 ? e : -1;
}

// An output file that could not be made: Pelkaro's diagnostic as it has
// always been, the system's reason (a full disk, a file-size limit) added
// to the reason the other programs show.
Status unwritten(const char* label, const std::string& what, int err) {
    Status s = failure(Stage::output, Code::cannot_write, label, what);
    if (err > 0) s.reason += std::string(": ") + std::strerror(err);
    return s;
}

}  // namespace

namespace {

// The rows of an image, formatted into a buffer and written about 64 KiB
// at a time: the whole file would need fresh memory (and its page faults)
// for every image.
class RowWriter {
public:
    explicit RowWriter(pk::AtomicFile& f) : f_(f), buf_(kChunk + kRowRoom) {}
    // A row of the image, each value as "%4.4f".
    void row(const float* values) {
        char* dst = buf_.data() + used_;
        for (int c = 0; c < kDetSide; ++c) {
            dst = put_image_value(dst, values[c]);
            *dst++ = '\t';
        }
        *dst++ = '\n';
        used_ = static_cast<std::size_t>(dst - buf_.data());
        if (used_ >= kChunk) flush();
    }
    void text(std::string_view s) {
        for (const char ch : s) {
            buf_[used_++] = ch;
            if (used_ >= kChunk) flush();
        }
    }
    // Writes what is left; true when every write succeeded.
    bool finish() {
        flush();
        return written_;
    }

private:
    void flush() {
        if (written_ && used_ > 0) written_ = pk::atomic_write(f_, std::string_view(buf_.data(), used_));
        used_ = 0;
    }
    pk::AtomicFile& f_;
    std::vector<char> buf_;
    std::size_t used_ = 0;
    bool written_ = true;
};

// Header of the 2D file: every piece of the parameter file that is not a
// comment, exactly as read, behind "# ".  A last line without a line end
// gets one, so that the header's own last line stands on a line of its own.
void write_header(RowWriter& out, const ParamFile& pf) {
    const ParamPiece* last = nullptr;
    for (const ParamPiece& pc : pf.pieces) {
        const std::string_view text = pf.text_of(pc);
        if (!text.empty() && text[0] == '#') continue;
        out.text("# ");
        out.text(text);
        last = &pc;
    }
    if (last && !last->cut && (last->length == 0 || pf.text_of(*last).back() != '\n')) out.text("\n");
    out.text("# detector appears as if looking from sample position\n");
}

// The header, then intensities, two blank lines, uncertainties: 128 rows of
// 128 values each.
bool write_image(pk::AtomicFile& f, const ParamFile& pf, const Data2D& data) {
    RowWriter out(f);
    write_header(out, pf);
    for (int r = 0; r < kDetSide; ++r) out.row(&data.intens[static_cast<std::size_t>(r * kDetSide)]);
    out.text("\n\n");
    for (int r = 0; r < kDetSide; ++r) out.row(&data.uncert[static_cast<std::size_t>(r * kDetSide)]);
    return out.finish();
}

}  // namespace

Status write_2D(const Param&, const Data2D& data, const ParamFile& pf, const Console& con) {
    pk::say(con, "Entered write_2D\n");
    const std::string out_name = output_name(data.name, ".d2d");
    pk::say(con, "The 2D output filename is %s\n", out_name.c_str());
    return write_image_file(data, pf, out_name);
}

Status write_image_file(const Data2D& data, const ParamFile& pf, const std::string& out_name) {
    pk::AtomicFile out;
    errno = 0;
    if (!pk::atomic_open_whole(out_name, out)) {
        const int e = errno;
        return unwritten("file_out:write_2D",
                         pk::format("could not open the output file %s for writing", out_name.c_str()), e);
    }
    errno = 0;
    if (const int e = finished(out, write_image(out, pf, data))) {
        return unwritten("file_out:write_2D", pk::format("could not write the output file %s", out_name.c_str()), e);
    }
    return ok_status();
}

Status write_2D(const Param& p, const Data2D& data, const std::string& name, const Console& con) {
    ParamFile pf;
    if (!read_param_file(name, pf).ok()) {
        const std::string out_name = output_name(data.name, ".d2d");
        pk::say(con, "Entered write_2D\nThe 2D output filename is %s\n", out_name.c_str());
        return failure(
            Stage::output, Code::cannot_write, "file_out:write_2D",
            pk::format("could not open the output file %s for writing", out_name.c_str()));
    }
    return write_2D(p, data, pf, con);
}

Status write_1D(const Param&, const Data2D& data, const Data1D& d, const std::string&, const Console& con) {
    pk::say(con, "Entered write_1D\n");
    try {
        const std::string out_name = output_name(data.name, ".d1d");
        pk::say(con, "The 1D output filename is %s\n", out_name.c_str());
        return write_curve_file(d, out_name);
    } catch (const std::bad_alloc&) {
        return failure(Stage::output, Code::cannot_write, "file_out:write_1D",
                       pk::format("could not allocate the filename buffer"));
    }
}

Status write_curve_file(const Data1D& d, const std::string& out_name) {
    try {
        std::string text;
        const int num = d.num < 0 ? 0 : (d.num > kCurveValues ? kCurveValues : d.num);
        for (int i = 0; i < num && static_cast<std::size_t>(i) < d.area.size(); ++i) {
            if (d.area[i] == 0) continue;
            // "%8f\t%8f\t%12f\t%8f\n"
            append_fixed<6>(text, d.x[i], 8);
            text.push_back('\t');
            append_fixed<6>(text, d.y[i], 8);
            text.push_back('\t');
            append_fixed<6>(text, d.dy[i], 12);
            text.push_back('\t');
            append_fixed<6>(text, d.dq[i], 8);
            text.push_back('\n');
        }
        errno = 0;
        const pk::WholeFile w = pk::atomic_write_file(out_name, text);
        const int e = errno;
        if (w == pk::WholeFile::not_opened)
            return unwritten("file_out:write_1D",
                             pk::format("could not open the output file %s for writing", out_name.c_str()), e);
        if (w == pk::WholeFile::not_written)
            return unwritten("file_out:write_1D", pk::format("could not write the output file %s", out_name.c_str()),
                             e != 0 ? e : -1);
        return ok_status();
    } catch (const std::bad_alloc&) {
        return failure(Stage::output, Code::cannot_write, "file_out:write_1D",
                       pk::format("could not allocate the filename buffer"));
    }
}

Status write_mask(const Param& p, const Data2D& data, const Console& con) {
    pk::say(con, "Entered write_mask\n");
    try {
        pk::AtomicFile out;
        if (!pk::atomic_open("mask.d2d", out)) {
            return failure(Stage::output, Code::cannot_write, "file_out:write_mask",
                           pk::format("could not open the output file"));
        }
        std::string text;
        char line[256];
        std::snprintf(line, sizeof line, "# mask file created from beam center %f %f\n", static_cast<double>(p.bx),
                      static_cast<double>(p.by));
        text += line;
        text += "# detector appears as if looking from sample position\n";
        for (int r = 0; r < kDetSide; ++r) append_row<2>(text, &data.intens[static_cast<std::size_t>(r * kDetSide)], 2);
        if (!pk::atomic_finish(out, write_all(out.f, text))) {
            return failure(Stage::output, Code::cannot_write, "file_out:write_mask",
                           pk::format("could not write the output file mask.d2d"));
        }
        return ok_status();
    } catch (const std::bad_alloc&) {
        return failure(Stage::output, Code::cannot_write, "file_out:write_mask",
                       pk::format("could not open the output file"));
    }
}

}  // namespace pk
