#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "TestSupport.h"
#include "core/RandomGenerator.h"
#include "dims/DimensionModel.h"

using namespace qem;

using qemtest::formatted;

namespace {

// Models of 10 and 13 channels, built on first use.
const DimensionModel& modelWith(int32_t channels) {
    static std::map<int32_t, DimensionModel> models;
    const auto [entry, added] = models.try_emplace(channels);
    if (added) entry->second.build(channels);
    return entry->second;
}

}  // namespace

TEST(CellValues, WorkedValues) {
    const DimensionModel& m = modelWith(10);
    EXPECT_EQ(m.units(0, 1, 2, 3, 4), 3);
    EXPECT_EQ(m.dollarSales(0, 1, 2, 3, 4), 17.0);
    EXPECT_EQ(m.units(1, 0, 37, 5, 14), 6);
    EXPECT_EQ(m.dollarSales(1, 0, 37, 5, 14), 123.0);
    // Costs of position 0 do not depend on the channel count.
    for (const DimensionModel* model : {&m, &modelWith(13)}) {
        EXPECT_EQ(formatted("%.3f", model->stdShipCost(0, 0, 0)), "13.042");
        EXPECT_EQ(formatted("%.3f", model->stdProdCost(0, 0, 0)), "22.348");
        EXPECT_EQ(formatted("%.3f", model->stdShipCost(1, 0, 12)), "13.137");
        EXPECT_EQ(formatted("%.3f", model->stdProdCost(1, 0, 12)), "22.410");
    }
    EXPECT_EQ(formatted("%.3f", m.stdShipCost(0, 450, 5)), "3.314");
    EXPECT_EQ(formatted("%.3f", m.stdProdCost(0, 4500, 5)), "4.194");
}

TEST(CellValues, UnitsAndAmountsStayInRange) {
    const DimensionModel& m = modelWith(10);
    for (int32_t c = 0; c < 900; c += 7)
        for (int32_t p = 0; p < 9000; p += 97)
            for (int32_t month = 0; month < 24; ++month)
                for (int32_t ch : {0, 4, 8}) {
                    const int32_t actual = m.units(0, ch, p, c, month), budget = m.units(1, ch, p, c, month);
                    ASSERT_TRUE(actual >= 1 && actual <= 14 && budget >= 1 && budget <= 17) << actual << " " << budget;
                    const double amount = m.dollarSales(1, ch, p, c, month);
                    ASSERT_TRUE(amount >= 0 && amount <= 849 && amount == std::floor(amount)) << amount;
                    ASSERT_TRUE(c != 0 || ch != 0 || actual == 1);
                }
    // Positions far beyond any table: the products wrap around, only their
    // low bits count (here computed exactly in 64 bits).
    const int64_t big = INT32_MAX;
    const int64_t base = ((big * big) & 10) + ((big * 23) & 3);
    EXPECT_EQ(m.units(0, INT32_MAX, INT32_MAX, INT32_MAX, 23), base + 1);
    const int32_t budget = m.units(1, INT32_MAX, INT32_MAX, INT32_MAX, 23);
    EXPECT_TRUE(budget >= 1 && budget <= 17);
    // The highest cells of the data region with 113 channels still get a price below 5000.
    const double amount = m.dollarSales(0, 111, 73299, 7329, 16);
    EXPECT_TRUE(amount >= 0 && amount <= 14 * 4999 / 100) << amount;
}

TEST(CellValues, BudgetCostsAreConstantWithinAQuarterInventoryDrawsOnce) {
    const DimensionModel& m = modelWith(10);
    int actualDiffers = 0;
    for (int32_t i = 0; i < 900; i += 13)
        for (int32_t month = 12; month < 24; ++month) {
            EXPECT_EQ(m.stdShipCost(1, i, month), m.stdShipCost(1, i, month / 3 * 3)) << i << " " << month;
            EXPECT_EQ(m.stdProdCost(1, i * 10, month), m.stdProdCost(1, i * 10, month / 3 * 3)) << i << " " << month;
            actualDiffers += m.stdShipCost(0, i, month) != m.stdShipCost(0, i, month / 3 * 3);
        }
    EXPECT_GT(actualDiffers, 0);
    // Inventory: 1 .. 12, one draw from the caller's generator per call.
    RandomGenerator generator(8), twin(8);
    for (int32_t c = 0; c < 900; c += 11)
        for (int32_t p = 0; p < 9000; p += 333)
            for (int32_t month = 0; month < 18; ++month) {
                const int32_t v = m.inventory(p, c, month, generator);
                ASSERT_TRUE(v >= 1 && v <= 12) << v;
                twin.nextDouble();
            }
    EXPECT_EQ(generator.nextDouble(), twin.nextDouble());
}
