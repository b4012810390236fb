#pragma once
#include <cstddef>
#include <cstdint>

namespace qem {

// Combined multiplicative congruential generator (two Lehmer streams combined
// by difference) with a 32-entry shuffle table, in signed 32-bit arithmetic
// with Schrage's method. Every random choice of the data set comes from it, so
// its sequence, its seeding and the value discarded after seeding are fixed.
class RandomGenerator {
public:
    static constexpr int32_t defaultSeed = 19437523;

    RandomGenerator();
    explicit RandomGenerator(int32_t seed);

    // Full reinitialisation; restarts the stream.
    void seed(int32_t s);
    // A fraction in [scale, 1 - 1.2e-7]: never 0, never 1. Inline: the
    // inventory writers draw 17 per line.
    double nextDouble() {
        lcg1 = step(lcg1, A1, Q1, R1, M1);
        lcg2 = step(lcg2, A2, Q2, R2, M2);
        // The table index is the integer part of shuffled / 67108862.0. As
        // shuffled lies in [1, 2^31) the exact quotient is never closer than
        // 1 / 67108862 to the next integer, far more than the rounding of the
        // floating-point division, so integer division gives the same index.
        const int j = shuffled / tableDivisor;
        shuffled = table[j] - lcg2;
        table[j] = lcg1;
        if (shuffled < 1) shuffled += wrap;
        const double u = static_cast<double>(shuffled) * scale;
        return u > largestOutput ? largestOutput : u;
    }
    // 16 random bits: the integer part of nextDouble() * 65536.
    int32_t nextInt() { return static_cast<int32_t>(nextDouble() * 65536.0); }

private:
    static constexpr int32_t M1 = 2147483563, A1 = 40014, Q1 = 53668, R1 = 12211;
    static constexpr int32_t M2 = 2147483399, A2 = 40692, Q2 = 52774, R2 = 3791;
    static constexpr int32_t wrap = M1 - 1;
    static constexpr int32_t tableDivisor = 67108862;
    static constexpr double scale = 4.656613057391769e-10;
    static constexpr double largestOutput = 1.0 - 1.2e-7;

    // One Schrage step: state = a * state mod m without overflowing 32 bits.
    static int32_t step(int32_t state, int32_t a, int32_t q, int32_t r, int32_t m) {
        const int32_t k = state / q;
        state = a * (state - k * q) - k * r;
        if (state < 0) state += m;
        return state;
    }

    int32_t lcg2;
    int32_t shuffled;
    int32_t table[32];
    int32_t lcg1;
};

// The process-wide stream, reached only through these entry points: worker
// threads draw from it at their final partial flush, so they share a lock of
// their own.
void seedRandom(int32_t s);
double randomDouble();
int32_t randomInt();
// n values of randomInt() in a row, under one taking of the lock: the values
// n calls of randomInt() would give.
void randomInts(int32_t* out, size_t n);

}  // namespace qem
