#include <gtest/gtest.h>

#include <vector>

#include "run/WorkerBatch.h"

// Batches of at most 4,000,000,000 cells; each writer gets a quarter of its
// batch's cells, cut to a whole number.
TEST(WorkerBatch, SalesFilesSplitIntoBatchesOfFourBillionCells) {
    const struct {
        double cells;
        std::vector<int32_t> quotas;
    } cases[] = {
        {9.0 * 900 * 9000 * 17 * 2 / 2000, {309825}},  // 10 channels at 0.1 %: one batch
        {4.0 * 1000 + 1, {1000}},                     // the odd cell is not assigned
        {3.0, {0}},
        {4e9, {1000000000}},
        {8e9, {1000000000, 1000000000}},
        {8e9 + 1, {1000000000, 1000000000, 0}},
        {1e10, {1000000000, 1000000000, 500000000}},
    };
    for (const auto& c : cases) {
        SalesBatches batches(c.cells);
        std::vector<int32_t> quotas;
        for (int64_t b = 0; b < batches.count(); ++b) quotas.push_back(batches.nextQuota());
        EXPECT_EQ(quotas, c.quotas) << c.cells;
    }
}
