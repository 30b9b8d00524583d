#include "pelkaro/Pelkaro.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdarg>
#include <cstring>
#include <string>

#include "keywords.h"
#include "pelkaro/files.h"
#include "pieces.h"

namespace pk {

Simd simd_named(const char* name) {
    const std::string n = name ? name : "";
    return n == "sse2" ? Simd::sse2 : n == "avx2" ? Simd::avx2 : Simd::widest;
}

std::string format(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::va_list again;
    va_copy(again, args);
    const int len = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (len > 0) {
        out.resize(static_cast<std::size_t>(len) + 1);
        std::vsnprintf(&out[0], out.size(), fmt, again);
        out.resize(static_cast<std::size_t>(len));
    }
    va_end(again);
    return out;
}

void stage_done(const Console& con, const char* stage) {
    if (!con.clock) return;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    con.clock->ends.emplace_back(stage, std::chrono::duration<double>(now).count());
}

void say(const Console& con, const char* fmt, ...) {
    std::va_list args;
    if (con.file) {
        va_start(args, fmt);
        std::vfprintf(con.file, fmt, args);
        va_end(args);
    }
    if (con.capture) {
        va_start(args, fmt);
        std::va_list again;
        va_copy(again, args);
        const int len = std::vsnprintf(nullptr, 0, fmt, args);
        if (len > 0) {
            const std::size_t at = con.capture->size();
            con.capture->resize(at + static_cast<std::size_t>(len) + 1);
            std::vsnprintf(&(*con.capture)[at], static_cast<std::size_t>(len) + 1, fmt, again);
            con.capture->resize(at + static_cast<std::size_t>(len));
        }
        va_end(again);
        va_end(args);
    }
}

const char* keyword_name(int k) { return k >= 0 && k < kKeywordCount ? kKeywordTable[k].name : ""; }

bool keyword_names_file(int k) { return k >= 0 && k < kKeywordCount && kKeywordTable[k].form != KwForm::numbers; }

std::string escaped(const std::string& s) {
    std::string out;
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            default:
                if (c < 0x20 || c == 0x7f) out += pk::format("\\x%02x", c);
                else out += ch;
        }
    }
    return out;
}

namespace {

// Cuts the text of a parameter file into pieces: at most kPieceLimit
// characters, ending after a line feed; CR LF counts as LF, a lone CR is an
// ordinary character.  A piece's text ends at its first NUL.  The texts are
// gathered in place, each moved to where the one before it ended: a piece's
// text is never longer than the characters it is read from, so nothing is
// overwritten before it is read.
void split_pieces(std::string& text, std::vector<ParamPiece>& pieces) {
    pieces.clear();
    // A line gives one piece more than its length has whole 510s at most.
    pieces.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1 +
                   text.size() / kPieceLimit);
    char* const base = text.data();
    const char* pos = base;
    const char* const end = pos + text.size();
    std::size_t out = 0;
    int line = 1;
    while (pos < end) {
        const pk::PieceSpan s = pk::piece_at(pos, end, kPieceLimit);
        const std::size_t len = static_cast<std::size_t>(s.text_end - pos);
        const char* const nul = static_cast<const char*>(std::memchr(pos, '\0', len));
        const std::size_t keep = nul ? static_cast<std::size_t>(nul - pos) : len;
        ParamPiece pc;
        pc.offset = out;
        std::memmove(base + out, pos, keep);
        out += keep;
        if (s.newline && !nul) base[out++] = '\n';
        pc.length = static_cast<uint16_t>(out - pc.offset);
        pc.cut = s.cut;
        pc.line = line;
        pieces.push_back(pc);
        if (s.newline) ++line;
        pos = s.next;
    }
    text.resize(out);
}

}  // namespace

Status read_param_file(const std::string& name, ParamFile& pf) {
    pf.name = name;
    pf.pieces.clear();
    Status st = pk::read_file(name, pf.text);
    if (!st.ok()) {
        std::string().swap(pf.text);
        st.stage = Stage::parameters;
        return st;
    }
    split_pieces(pf.text, pf.pieces);
    return ok_status();
}

void read_param_text(const std::string& name, const std::string& text, ParamFile& pf) {
    const std::size_t bom = text.compare(0, 3, pk::kByteOrderMark) == 0 ? 3 : 0;
    std::string t = text.substr(bom);
    pf.name = name;
    split_pieces(t, pf.pieces);
    pf.text = std::move(t);
}


EntryCount count_entries(const ParamFile& pf) {
    EntryCount n;
    for (const ParamPiece& pc : pf.pieces) {
        const std::string_view head = pf.text_of(pc).substr(0, 4);
        if (head == "DATS") ++n.samples;
        else if (head == "DATB") ++n.buffers;
    }
    return n;
}

const HeldImage* held_image(const std::vector<HeldImage>& held, const std::string& name) {
    for (const HeldImage& h : held)
        if (h.name == name) return &h;
    return nullptr;
}

namespace {

const char* skip_space(const char* s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\v' || *s == '\f' || *s == '\r') ++s;
    return s;
}

}  // namespace

Scan scan_float(const char*& s, float& out) {
    const char* start = skip_space(s);
    char* end = nullptr;
    float v = std::strtof(start, &end);
    if (end == start) return Scan::missing;
    s = end;
    out = v;
    if (!std::isfinite(v)) return Scan::bad;
    return Scan::ok;
}

Scan scan_int(const char*& s, int32_t& out) {
    const char* start = skip_space(s);
    const char* q = start;
    if (*q == '+' || *q == '-') ++q;
    if (*q < '0' || *q > '9') return Scan::missing;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(start, &end, 10);
    s = end;
    if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return Scan::bad;
    out = static_cast<int32_t>(v);
    return Scan::ok;
}

}  // namespace pk
