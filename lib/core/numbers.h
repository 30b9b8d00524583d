// Numbers as the reduction stores them: doubles rounded to floats without
// undefined behaviour, and the bits of floating-point values.
#ifndef PELKARO_NUMBERS_H
#define PELKARO_NUMBERS_H

#include <cstdint>
#include <cstring>
#include <limits>

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

}  // namespace pk

#endif
