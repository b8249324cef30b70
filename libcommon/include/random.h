#pragma once
// The module's pseudo-random generator: a per-thread linear congruential
// generator, state' = state * 214013 + 2531011 (mod 2^32), output
// (state' >> 16) & 0x7FFF. A thread that never seeded it starts at state 1.
#include <cstdint>

class PseudoRandom {
public:
    static constexpr int MAX_VALUE = 0x7FFF;

    // Replaces the calling thread's state.
    static void seed(std::uint32_t seed);
    // Next value of the calling thread's sequence, 0 to 0x7FFF.
    static int next();
};
