// Output files: the reduced 2D image (".d2d"), the averaged curve (".d1d")
// and the generated mask ("mask.d2d").  Each file is written under a
// temporary name beside its target and renamed over it only when complete,
// so a reader never sees a partial file and a failed run leaves the earlier
// file as it was.
#include <cstdio>
#include <cstring>
#include <new>

#include "Pelkaro.h"
#include "common.h"

namespace {

// The output file name for an image: its name cut at the first "." of the
// last path component that is not that component's first character (the
// directory part is kept as it is), then the extension.
std::string output_name(const std::string& name, const char* ext) {
    std::size_t slash = name.rfind('/');
    std::size_t comp = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = comp + 1 < name.size() ? name.find('.', comp + 1) : std::string::npos;
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

// Appends v as printf's "%*.*f" with this width and precision (0 to 9)
// writes the double v.
void append_printf(std::string& out, double v, int width, int precision) {
    char num[64];
    const int len = std::snprintf(num, sizeof num, "%*.*f", width, precision, v);
    if (len < 0) return;
    if (static_cast<std::size_t>(len) < sizeof num) {
        out.append(num, static_cast<std::size_t>(len));
    } else {
        // Values beyond about 1e50 do not fit the small buffer.
        std::vector<char> big(static_cast<std::size_t>(len) + 1);
        std::snprintf(big.data(), big.size(), "%*.*f", width, precision, v);
        out.append(big.data(), static_cast<std::size_t>(len));
    }
}

// Appends the float v as printf's "%W.Pf" writes it widened to double
// (precision 0 to 9).
void append_fixed(std::string& out, float v, int width, int precision) {
    static const uint64_t kPow10[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000,
                                        1000000000};
    const uint32_t bits = pk::bits_of(v);
    const uint32_t biased = bits >> 23 & 0xffu;
    if (biased == 0xffu) return append_printf(out, v, width, precision);  // infinity, not-a-number
    // v = mant * 2^exp2 exactly.
    const uint64_t mant = biased == 0 ? (bits & 0x7fffffu) : ((bits & 0x7fffffu) | 0x800000u);
    const int exp2 = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    const uint64_t scaled = mant * kPow10[precision];  // below 2^54
    uint64_t n;  // |v| * 10^precision rounded to an integer, half to even
    if (exp2 >= 0) {
        if (exp2 > 63 || scaled > (UINT64_MAX >> exp2)) return append_printf(out, v, width, precision);
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
    char buf[40];
    char* const end = buf + sizeof buf;
    char* p = end;
    for (int d = 0; d < precision; ++d) {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    if (precision > 0) *--p = '.';
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    if (bits >> 31) *--p = '-';
    const std::size_t len = static_cast<std::size_t>(end - p);
    if (len < static_cast<std::size_t>(width)) out.append(static_cast<std::size_t>(width) - len, ' ');
    out.append(p, len);
}

// Appends one row of 128 values, each written as "%W.Pf" and a tab, and the
// line end.
void append_row(std::string& out, const float* row, int width, int precision) {
    for (int c = 0; c < kDetSide; ++c) {
        append_fixed(out, row[c], width, precision);
        out.push_back('\t');
    }
    out.push_back('\n');
}

bool write_all(std::FILE* f, const std::string& s) { return std::fwrite(s.data(), 1, s.size(), f) == s.size(); }

constexpr std::size_t kChunk = 1 << 16;

}  // namespace

namespace {

// Header of the 2D file: every piece of the parameter file that is not a
// comment, exactly as read, behind "# ".  A last line without a line end
// gets one, so that the header's own last line stands on a line of its own.
void append_header(std::string& text, const ParamFile& pf) {
    const ParamPiece* last = nullptr;
    for (const ParamPiece& pc : pf.pieces) {
        if (!pc.text.empty() && pc.text[0] == '#') continue;
        text += "# ";
        text += pc.text;
        last = &pc;
    }
    if (last && !last->cut && (last->text.empty() || last->text.back() != '\n')) text += '\n';
    text += "# detector appears as if looking from sample position\n";
}

// Writes the text in pieces of about 64 KiB as it grows: the whole file
// would need fresh memory (and its page faults) for every image.
struct ChunkWriter {
    std::FILE* f;
    std::string text;
    bool written = true;
    void flush(std::size_t at_least) {
        if (written && text.size() >= at_least) {
            written = write_all(f, text);
            text.clear();
        }
    }
};

// Intensities, two blank lines, uncertainties: 128 rows of 128 values each.
bool write_image(std::FILE* f, const std::string& header, const Data2D& data) {
    ChunkWriter out{f, header};
    out.text.reserve(header.size() + kChunk + 4096);
    out.flush(kChunk);
    for (int r = 0; r < kDetSide; ++r) {
        append_row(out.text, &data.intens[static_cast<std::size_t>(r * kDetSide)], 4, 4);
        out.flush(kChunk);
    }
    out.text += "\n\n";
    for (int r = 0; r < kDetSide; ++r) {
        append_row(out.text, &data.uncert[static_cast<std::size_t>(r * kDetSide)], 4, 4);
        out.flush(kChunk);
    }
    out.flush(0);
    return out.written;
}

}  // namespace

int write_2D(const Param&, const Data2D& data, const ParamFile& pf, const Console& con) {
    pk::say(con, "Entered write_2D\n");
    const std::string out_name = output_name(data.name, ".d2d");
    pk::say(con, "The 2D output filename is %s\n", out_name.c_str());
    pk::AtomicFile out;
    if (!pk::atomic_open(out_name, out)) {
        pk::say(con, "file_out:write_2D -> could not open the output file %s for writing\n", out_name.c_str());
        return -1;
    }
    std::string header;
    append_header(header, pf);
    if (!pk::atomic_finish(out, write_image(out.f, header, data))) {
        pk::say(con, "file_out:write_2D -> could not write the output file %s\n", out_name.c_str());
        return -1;
    }
    return 1;
}

int write_2D(const Param& p, const Data2D& data, const std::string& name, const Console& con) {
    ParamFile pf;
    if (read_param_file(name, pf) != 1) {
        const std::string out_name = output_name(data.name, ".d2d");
        pk::say(con, "Entered write_2D\nThe 2D output filename is %s\n", out_name.c_str());
        pk::say(con, "file_out:write_2D -> could not open the output file %s for writing\n", out_name.c_str());
        return -1;
    }
    return write_2D(p, data, pf, con);
}

int write_1D(const Param&, const Data2D& data, const Data1D& d, const std::string&, const Console& con) {
    pk::say(con, "Entered write_1D\n");
    try {
        const std::string out_name = output_name(data.name, ".d1d");
        pk::say(con, "The 1D output filename is %s\n", out_name.c_str());
        pk::AtomicFile out;
        if (!pk::atomic_open(out_name, out)) {
            pk::say(con, "file_out:write_1D -> could not open the output file %s for writing\n", out_name.c_str());
            return -1;
        }
        std::string text;
        const int num = d.num < 0 ? 0 : (d.num > kCurveValues ? kCurveValues : d.num);
        for (int i = 0; i < num && static_cast<std::size_t>(i) < d.area.size(); ++i) {
            if (d.area[i] == 0) continue;
            // "%8f\t%8f\t%12f\t%8f\n"
            append_fixed(text, d.x[i], 8, 6);
            text.push_back('\t');
            append_fixed(text, d.y[i], 8, 6);
            text.push_back('\t');
            append_fixed(text, d.dy[i], 12, 6);
            text.push_back('\t');
            append_fixed(text, d.dq[i], 8, 6);
            text.push_back('\n');
        }
        if (!pk::atomic_finish(out, write_all(out.f, text))) {
            pk::say(con, "file_out:write_1D -> could not write the output file %s\n", out_name.c_str());
            return -1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        pk::say(con, "file_out:write_1D -> could not allocate the filename buffer\n");
        return -1;
    }
}

int write_mask(const Param& p, const Data2D& data, const Console& con) {
    pk::say(con, "Entered write_mask\n");
    try {
        pk::AtomicFile out;
        if (!pk::atomic_open("mask.d2d", out)) {
            pk::say(con, "file_out:write_mask -> could not open the output file\n");
            return -1;
        }
        std::string text;
        char line[256];
        std::snprintf(line, sizeof line, "# mask file created from beam center %f %f\n", static_cast<double>(p.bx),
                      static_cast<double>(p.by));
        text += line;
        text += "# detector appears as if looking from sample position\n";
        for (int r = 0; r < kDetSide; ++r) append_row(text, &data.intens[static_cast<std::size_t>(r * kDetSide)], 2, 2);
        if (!pk::atomic_finish(out, write_all(out.f, text))) {
            pk::say(con, "file_out:write_mask -> could not write the output file mask.d2d\n");
            return -1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        pk::say(con, "file_out:write_mask -> could not open the output file\n");
        return -1;
    }
}
