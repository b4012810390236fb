#include "core/RandomGenerator.h"

#include <climits>
#include <mutex>

namespace qem {

namespace {

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

void randomInts(int32_t* out, size_t n) {
    std::lock_guard<std::mutex> guard(globalRandomLock);
    for (size_t i = 0; i < n; ++i) out[i] = globalRandom.nextInt();
}

}  // namespace qem
