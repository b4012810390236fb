#include <gtest/gtest.h>

#include "core/RandomGenerator.h"

TEST(RandomGenerator, EqualStreamsForEquivalentSeeds) {
    RandomGenerator zero(0), one(1), minusFive(-5), five(5);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(zero.nextDouble(), one.nextDouble());
        EXPECT_EQ(minusFive.nextInt(), five.nextInt());
    }
}
