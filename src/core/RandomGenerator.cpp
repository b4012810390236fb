#include "core/RandomGenerator.h"

#include <climits>
#include <mutex>

namespace {

constexpr int32_t M1 = 2147483563, A1 = 40014, Q1 = 53668, R1 = 12211;
constexpr int32_t M2 = 2147483399, A2 = 40692, Q2 = 52774, R2 = 3791;
constexpr int32_t wrap = M1 - 1;
constexpr double tableDivisor = 67108862.0;
constexpr double scale = 4.656613057391769e-10;
const double largestOutput = 1.0 - 1.2e-7;

// One Schrage step: state = a * state mod m without overflowing 32 bits.
inline int32_t step(int32_t state, int32_t a, int32_t q, int32_t r, int32_t m) {
    int32_t k = state / q;
    state = a * (state - k * q) - k * r;
    if (state < 0) state += m;
    return state;
}

std::mutex globalRandomLock;
RandomGenerator globalRandom;

}  // namespace

RandomGenerator::RandomGenerator() { seed(defaultSeed); }

RandomGenerator::RandomGenerator(int32_t s) { seed(s); }

void RandomGenerator::seed(int32_t s) {
    lcg2 = 123456789;
    shuffled = 0;
    if (s == INT32_MIN)
        lcg1 = INT32_MAX;  // -s does not exist in 32 bits; take the nearest magnitude
    else if (s < 0)
        lcg1 = -s;
    else if (s == 0)
        lcg1 = 1;
    else
        lcg1 = s;
    lcg2 = lcg1;
    for (int j = 39; j >= 0; --j) {
        lcg1 = step(lcg1, A1, Q1, R1, M1);
        if (j < 32) table[j] = lcg1;
    }
    shuffled = table[0];
    (void)nextDouble();
}

double RandomGenerator::nextDouble() {
    lcg1 = step(lcg1, A1, Q1, R1, M1);
    lcg2 = step(lcg2, A2, Q2, R2, M2);
    int j = static_cast<int>(static_cast<double>(shuffled) / tableDivisor);
    shuffled = table[j] - lcg2;
    table[j] = lcg1;
    if (shuffled < 1) shuffled += wrap;
    double u = static_cast<double>(shuffled) * scale;
    return u > largestOutput ? largestOutput : u;
}

int32_t RandomGenerator::nextInt() { return static_cast<int32_t>(nextDouble() * 65536.0); }

void seedRandom(int32_t s) {
    std::lock_guard<std::mutex> guard(globalRandomLock);
    globalRandom.seed(s);
}

double randomDouble() {
    std::lock_guard<std::mutex> guard(globalRandomLock);
    return globalRandom.nextDouble();
}

int32_t randomInt() {
    std::lock_guard<std::mutex> guard(globalRandomLock);
    return globalRandom.nextInt();
}
