#include <gtest/gtest.h>

#include <cstdint>

#include "sizes/SalesBatches.h"

using namespace qem;

// Batches of at most 4,000,000,000 cells, four writers each, every writer
// limited to the same number of records: as many as the slices can hold
// together without going over the cells asked for.
TEST(WorkerBatch, SalesFilesSplitIntoBatchesWithOneQuotaForEveryWriter) {
    const double longSlices = 1e12;  // records per product block, more than any quota needs
    const struct {
        const char* what;
        double cells, recordsPerBlock;
        int64_t productBlocks, batches;
        int32_t quota;
        uint64_t records;  // lines of the file: every slice writes its quota or all it holds
    } cases[] = {
        {"10 channels at 0.1 %", 9.0 * 900 * 9000 * 17 * 2 / 2000, 65 * 9 * 2 * 17, 65, 1, 309825, 1239300},
        {"the odd cell is not assigned", 4.0 * 1000 + 1, longSlices, 8, 1, 1000, 4000},
        {"fewer cells than writers", 3.0, longSlices, 8, 1, 0, 0},
        {"one full batch", 4e9, longSlices, 8, 1, 1000000000, 4000000000},
        {"two full batches", 8e9, longSlices, 8, 2, 1000000000, 8000000000},
        {"one cell more: three batches", 8e9 + 1, longSlices, 12, 3, 666666666, 7999999992},
        {"two and a half batches", 1e10, longSlices, 12, 3, 833333333, 9999999996},
        {"20 channels at 40 %", 4186080000.0, 130 * 19 * 800 * 17, 130, 2, 523260000, 4186080000},
        {"50 channels at 5 %", 8434125000.0, 324 * 49 * 100 * 17, 324, 3, 702843750, 8434125000},
        // 16 of the 68 slices hold 4 blocks (863,654,400 records), fewer than 67,473,000,000 / 68: they write
        // all they hold, and the 52 slices of 5 blocks make up for them.
        {"50 channels at 40 %", 67473000000.0, 324.0 * 49 * 800 * 17, 324, 17, 1031817876, 67472999952},
        {"100 channels at 40 %", 545292000000.0, 648.0 * 99 * 800 * 17, 648, 137, 1544266944, 545292000000},
        {"the whole walk holds fewer records than asked", 1000.0, 10, 5, 1, 20, 50},
        {"a slice would need more than a signed 32-bit count", 1e13, 1e10, 3, 2500, INT32_MAX, 3ull * INT32_MAX},
    };
    for (const auto& c : cases) {
        const SalesBatches batches(c.cells, c.recordsPerBlock, c.productBlocks);
        EXPECT_EQ(batches.count(), c.batches) << c.what;
        EXPECT_EQ(batches.quota(), c.quota) << c.what;
        EXPECT_EQ(batches.records(), c.records) << c.what;
    }
}

// Every sales file of a single batch keeps the quota a quarter of its cells,
// cut to a whole number: every one of its four slices holds at least that.
TEST(WorkerBatch, SingleBatchQuotaIsAQuarterOfTheCellsForEveryDataSet) {
    int checked = 0;
    for (int64_t n = 10; n < 150; ++n) {
        const double leafCells = static_cast<double>(n - 1) * static_cast<double>(90 * n) * static_cast<double>(900 * n);
        const int64_t customerBlocks = (90 * n * 72 / 100 + 9) / 10, productBlocks = (900 * n * 72 / 100 + 99) / 100;
        for (int32_t d = 2; d <= 800; d += 2) {
            for (const int32_t months : {17, 1}) {
                const double cells = leafCells * months * d / 2000;
                if (cells > 4e9) continue;
                const SalesBatches batches(cells, static_cast<double>(customerBlocks) * (n - 1) * d * months,
                                           productBlocks);
                ASSERT_EQ(batches.count(), 1);
                ASSERT_EQ(batches.quota(), static_cast<int32_t>(cells / 4)) << n << " channels, d " << d;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 30000);
}
