// The simulator's random numbers.
//
// Randomness comes only from our own xoshiro256** generator and Poisson
// sampler (no library distributions), so a seed regenerates the same files:
// the counts are bit-identical wherever the maths library rounds exp, log,
// sin, cos and atan alike (a last-bit difference could move a count only in
// a vanishingly rare draw).
#ifndef PELKARO_SIM_RANDOM_H
#define PELKARO_SIM_RANDOM_H

#include <array>
#include <cstdint>

namespace sim {

// One step of splitmix64 on the state x, which it advances.
inline uint64_t splitmix64(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// xoshiro256** seeded through splitmix64.
class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (auto& w : s_) w = splitmix64(seed);
    }
    uint64_t next() {
        const uint64_t r = rotl(s_[1] * 5, 7) * 9, t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return r;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    // Near-normal deviate (sum of twelve uniforms less 6): exact arithmetic only.
    double normal() {
        double s = -6.0;
        for (int i = 0; i < 12; ++i) s += uniform();
        return s;
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::array<uint64_t, 4> s_{};
};

// Poisson deviate of the given mean (0 for a mean that is not above 0):
// multiplication of uniforms below a mean of 10, Hormann's transformed
// rejection (PTRS, exact) above it.
int64_t poisson(Rng& g, double mean);

}  // namespace sim

#endif
