#include <gtest/gtest.h>

#include "TestSupport.h"
#include "core/RandomGenerator.h"
#include "density/DensityPattern.h"

using namespace qem;

namespace {

using Cell = std::pair<int, int>;

Cell asPair(PatternCell c) { return {c.customerOffset, c.productOffset}; }

std::vector<Cell> storedCells(const CellPattern& p) {
    std::vector<Cell> cells;
    for (int32_t k = 0; k < p.cellCount(); ++k) cells.push_back(asPair(p.cell(k)));
    return cells;
}

}  // namespace

TEST(DensityPattern, ShiftedCellMovesTheStoredCellByTheBlockOrigins) {
    qemtest::setUpContext(10, 2, 1);
    const CellPattern& p = *context.densityPattern->channelPattern(0);
    const std::vector<Cell> stored = storedCells(p);
    const auto k1 = static_cast<int32_t>(std::find(stored.begin(), stored.end(), Cell(4, 95)) - stored.begin());
    const auto k2 = static_cast<int32_t>(std::find(stored.begin(), stored.end(), Cell(9, 99)) - stored.begin());
    ASSERT_TRUE(stored.size() == 1000 && k1 < 1000 && k2 < 1000);
    EXPECT_EQ(asPair(p.shiftedCell(k1, 20, 300)), Cell(0, 38));
    EXPECT_EQ(asPair(p.shiftedCell(k2, 10, 100)), Cell(2, 15));
    for (int32_t k = 0; k < 1000; ++k) EXPECT_EQ(asPair(p.shiftedCell(k, 0, 0)), stored[static_cast<size_t>(k)]) << k;
}

TEST(DensityPattern, ChannelPatternsDependOnlyOnTheChannelIndex) {
    qemtest::setUpContext(12, 2, 555);
    std::vector<std::vector<Cell>> twelve;
    for (int32_t i = 0; i < 11; ++i) twelve.push_back(storedCells(*context.densityPattern->channelPattern(i)));
    qemtest::setUpContext(10, 2, 777);
    ASSERT_EQ(context.densityPattern->channelCount(), 9);
    const int32_t blockSize[2] = {10, 100};
    std::vector<Cell> everyCell;
    for (int c = 0; c < 10; ++c)
        for (int p = 0; p < 100; ++p) everyCell.push_back({c, p});
    for (int32_t i = 0; i < 9; ++i) {
        const std::vector<Cell> cells = storedCells(*context.densityPattern->channelPattern(i));
        EXPECT_EQ(cells, twelve[static_cast<size_t>(i)]) << "channel " << i;
        std::vector<Cell> sorted = cells;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, everyCell) << "channel " << i;
        // Filling from a private stream with the channel's seed reproduces the order exactly.
        RandomGenerator generator(1739106247 + i);
        CellPattern again;
        again.fill(blockSize, generator);
        EXPECT_EQ(storedCells(again), cells);
    }
    EXPECT_NE(twelve[0], twelve[1]);
}

TEST(DensityPattern, AggregateIsTheSortedUnionOfTheChannelsFirstCells) {
    qemtest::setUpContext(10, 2, 42);
    // Channel patterns exist for the channel leaves only; every aggregate is a new object.
    const DensityPattern& shared = *context.densityPattern;
    EXPECT_NE(shared.channelPattern(8), nullptr);
    EXPECT_EQ(shared.channelPattern(9), nullptr);
    EXPECT_EQ(shared.channelPattern(-1), nullptr);
    const std::unique_ptr<CellPattern> a = shared.aggregate(20, 300), b = shared.aggregate(20, 300);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(storedCells(*a), storedCells(*b));
    const std::pair<int32_t, int32_t> blocks[] = {{0, 0}, {10, 100}, {20, 300}, {640, 6400}};
    for (int32_t code : {2, 40, 800}) {
        DensityPattern density(10, 100);
        density.build(9, code);
        const int32_t n = density.channelCount();
        for (const auto& [c0, p0] : blocks) {
            std::set<Cell> expected;
            for (int32_t ch = 0; ch < n; ++ch) {
                std::set<Cell> own;
                for (int32_t k = 0; k < code; ++k)
                    own.insert(asPair(density.channelPattern(ch)->shiftedCell(k, c0, p0)));
                EXPECT_EQ(own.size(), static_cast<size_t>(code)) << "channel cells must be distinct";
                expected.insert(own.begin(), own.end());
            }
            const std::unique_ptr<CellPattern> aggregate = density.aggregate(c0, p0);
            // Equal to the ordered set: strictly ascending, each cell once.
            EXPECT_EQ(storedCells(*aggregate), std::vector<Cell>(expected.begin(), expected.end())) << code;
            EXPECT_GE(aggregate->cellCount(), code);
            EXPECT_LE(aggregate->cellCount(), std::min(1000, n * code));
        }
    }
}
