// Small shared helpers of the stages: reading text piece by piece,
// converting numbers the way formatted input does, storing doubles as floats
// without undefined behaviour.  Files and atomic output: pelkaro/files.h.
#ifndef PELKARO_COMMON_H
#define PELKARO_COMMON_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/files.h"

namespace pk {

// Rounds a double to the nearest float as IEEE 754 does, with values beyond
// the float range becoming +-infinity (a plain cast of those is undefined).
inline float to_float(double d) {
    // 2^128 - 2^103: the smallest magnitude that rounds to infinity.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (d >= kOverflow) return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}


// Distance from the beam centre of a point at offsets (dx, dy) pixels, for
// pixel spacings px and py, rounded to a float.
inline float radius(double dx, double dy, double px, double py) {
    return to_float(std::sqrt(dx * dx * px * px + dy * dy * py * py));
}

// The squared distance terms of the pixel centres, dx dx px px of every
// column and dy dy py py of every row as radius() forms them (the distance
// of pixel (x, y) is radius_of(x, y)), and for each column and row the
// first one with the same term: the one mirrored about the beam centre,
// where there is one, else itself.  A pixel is as far from the beam centre
// as the pixel at its columns's and row's first ones, which comes before
// it in any scan of columns and rows in increasing order.
struct PixelTerms {
    std::vector<double> col_term, row_term;
    std::vector<int> first_col, first_row;

    PixelTerms(double px, double py, double bx, double by);
    float radius_of(int x, int y) const {
        return to_float(std::sqrt(col_term[static_cast<std::size_t>(x)] + row_term[static_cast<std::size_t>(y)]));
    }
};

// Scattering angle of a point at distance r from the beam centre on a
// detector at distance l from the sample, rounded to a float.
inline float scatter_angle(float r, double l) { return to_float(std::atan(static_cast<double>(r) / l)); }

// The bits of floating-point numbers, and back.
template <class To, class From>
inline To bit_cast(const From& v) {
    static_assert(sizeof(To) == sizeof(From), "bit_cast needs types of one size");
    To out;
    std::memcpy(&out, &v, sizeof out);
    return out;
}
inline uint32_t bits_of(float f) { return bit_cast<uint32_t>(f); }
inline float float_of(uint32_t u) { return bit_cast<float>(u); }
inline uint64_t bits_of(double d) { return bit_cast<uint64_t>(d); }
inline double double_of(uint64_t u) { return bit_cast<double>(u); }

// Values that depend on a pixel only through its distance from the beam
// centre, worked out once per distance: with the beam centre on a pixel's
// centre or corner, most distances recur four or eight times.  A table of
// 8192 places, open addressing; once three quarters are taken, values are
// worked out anew (an off-centre beam, where distances rarely recur).  On
// the heap, not the stack: a run's heap lies on huge pages.
template <class V>
class RadiusCache {
public:
    RadiusCache() : keys_(kSlots, kEmpty), values_(kSlots) {}
    // The value for the distance r: as kept, or make(r), kept for next time.
    template <class Make>
    V get(float r, Make make) {
        const uint32_t key = bits_of(r);
        if (full_ || key == kEmpty) return make(r);
        uint32_t at = (key * 0x9E3779B1u) >> (32 - kBits);
        for (int probe = 0; probe < kProbes; ++probe, at = (at + 1) & (kSlots - 1)) {
            if (keys_[at] == key) return values_[at];
            if (keys_[at] == kEmpty) {
                keys_[at] = key;
                values_[at] = make(r);
                full_ = ++used_ >= kSlots / 4 * 3;
                return values_[at];
            }
        }
        return make(r);
    }

private:
    static constexpr int kBits = 13;
    static constexpr uint32_t kSlots = 1u << kBits;
    static constexpr int kProbes = 8;
    static constexpr uint32_t kEmpty = 0xffffffffu;  // a NaN no distance is
    std::vector<uint32_t> keys_;
    std::vector<V> values_;
    uint32_t used_ = 0;
    bool full_ = false;
};


// Reads the next piece of a text in memory, [pos, end): the characters of a
// line up to and including its line feed, at most `limit` characters.  A
// carriage return directly before a line feed is dropped first, so CRLF and
// LF files read alike.  The piece is stored in `piece` (cleared first) and
// `pos` advanced past it.  Returns false at the end of the text (nothing
// read).  `cut` is set when the piece stopped at the limit without a line
// end while more of the text follows.
bool next_piece(const char*& pos, const char* end, std::string& piece, std::size_t limit, bool* cut = nullptr);

// Where the next piece of [pos, end) lies, without copying it: its
// characters are [pos, text_end), followed by a line feed when `newline`
// (the piece's line end, written in the text as LF or CR LF); `next` is
// where the piece after it starts.  The piece is the one next_piece reads.
struct PieceSpan {
    const char* text_end;
    const char* next;
    bool newline;
    bool cut;  // stopped at the limit without a line end, more text following
};
PieceSpan piece_at(const char* pos, const char* end, std::size_t limit);




// Outcome of converting one number from text.
enum class Scan { ok, missing, bad };

// "%f": skips white space, converts a real number and rounds it to a float.
// missing: no number there; bad: infinite, not-a-number or beyond the float
// range.  On ok or bad, `s` is advanced past the number.
Scan scan_float(const char*& s, float& out);

// "%d": skips white space, converts an optionally signed decimal integer.
// bad: beyond the 32-bit signed range.
Scan scan_int(const char*& s, int32_t& out);


}  // namespace pk

#endif
