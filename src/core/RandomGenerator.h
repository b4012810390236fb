#pragma once
#include <cstdint>

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
    // A fraction in [scale, 1 - 1.2e-7]: never 0, never 1.
    double nextDouble();
    // 16 random bits: the integer part of nextDouble() * 65536.
    int32_t nextInt();

private:
    int32_t lcg2;
    int32_t shuffled;
    int32_t table[32];
    int32_t lcg1;
};

// The process-wide stream, reached only through these three entry points:
// worker threads draw from it at their final partial flush, so they share a
// lock of their own.
void seedRandom(int32_t s);
double randomDouble();
int32_t randomInt();
