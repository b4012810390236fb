#include <gtest/gtest.h>

#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "TestSupport.h"
#include "core/RandomGenerator.h"
#include "facts/BudgetWriter.h"
#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "facts/SalesWriters.h"
#include "phase/FileCapacities.h"
#include "run/Phases.h"
#include "phase/WorkerBatch.h"

using namespace qem;

using qemtest::formatted;
using Key = int64_t;

namespace {

Key cellKey(int32_t customer, int32_t product, int32_t channel = 0) {
    return (int64_t{customer} * 100000 + product) * 16 + channel;
}

// Member position by code.
struct Positions : std::unordered_map<std::string, int32_t> {
    Positions() = default;
    explicit Positions(const DimensionTable& table) {
        for (const Member& m : table.members) (*this)[m.code] = m.index;
    }
    int32_t of(const std::string& line, size_t column, size_t width) const { return at(line.substr(column, width)); }
};

}  // namespace

// The fact and cost files of 10 channels at 0.1 %, each written on first use
// into one scratch directory (the historical sales file alone is about 78 MB;
// under ctest every test runs in a process of its own, so a test writes only
// the files it reads).
class FactFiles : public ::testing::Test {
protected:
    static constexpr int32_t inventorySeed = 24680;

    static void SetUpTestSuite() {
        directory = std::make_unique<qemtest::TempDir>();
        qemtest::setUpContext(10, 2, 86420);
        const DimensionModel& model = *context.dimensionModel;
        customers = Positions(model.customers()), products = Positions(model.products());
        channels = Positions(model.channels()), times = Positions(model.times());
        // The sales walk over the data region (customers below 648, products below
        // 6480): customer block, product block, channel, first two pattern cells.
        walk.clear();
        for (int32_t c0 = 0; c0 < 648; c0 += 10)
            for (int32_t p0 = 0; p0 < 6480; p0 += 100)
                for (int32_t ch = 0; ch < 9; ++ch)
                    for (int32_t k = 0; k < 2; ++k) {
                        const CellPattern* pattern = context.densityPattern->channelPattern(ch);
                        const PatternCell c = pattern->shiftedCell(k, c0, p0);
                        walk.push_back(cellKey(c0 + c.customerOffset, p0 + c.productOffset, ch));
                    }
    }

    // Writes the named file unless it exists already.
    static void need(const std::string& name) {
        if (std::filesystem::exists(name)) return;
        RunOptions options;
        options.inventorySeed = inventorySeed;
        if (name == "histsale.qem") runHistoricalSales(9.0 * 900 * 9000 * 17 * 2 / 2000);
        if (name == "histinv.qem") runHistoricalInventory(options);
        if (name == "custship.qem") writeFile<ShippingCostWriter>("custship.qem", capacity::costFiles);
        if (name == "prodcos.qem") writeFile<ProductCostWriter>("prodcos.qem", capacity::costFiles);
        if (name == "budget.qem") runBudget();
        if (name == "currsale.qem") runCurrentSales(9.0 * 900 * 9000 * 2 / 2000);
        if (name == "currinv.qem")
            writeFile<CurrentInventoryWriter>("currinv.qem", capacity::currentInventory, options.inventorySeed);
        ASSERT_TRUE(std::filesystem::exists(name)) << name;
    }

    static void TearDownTestSuite() { directory.reset(); }

    // Checks every line of a current sales file and returns its cells, sorted.
    static std::vector<Key> currentSalesCells(const std::string& name) {
        need(name);
        const DimensionModel& model = *context.dimensionModel;
        std::vector<Key> cells;
        qemtest::forEachLine(name, [&](const std::string& line) {
            ASSERT_EQ(line.size() + 1, size_t{CurrentSalesWriter::lineLength}) << line;
            const int32_t c = customers.of(line, 0, 12), p = products.of(line, 12, 12), ch = channels.of(line, 24, 12);
            const double amount = model.dollarSales(0, ch, p, c, 17);
            ASSERT_EQ(line.substr(36), formatted("%10d%10.2f", model.units(0, ch, p, c, 17), amount)) << line;
            cells.push_back(cellKey(c, p, ch));
        });
        std::sort(cells.begin(), cells.end());
        return cells;
    }

    static inline std::unique_ptr<qemtest::TempDir> directory;
    static inline Positions customers, products, channels, times;
    static inline std::vector<Key> walk;
};

TEST_F(FactFiles, SalesFilesHoldTheirQuotaOfWalkCells) {
    need("histsale.qem");
    const DimensionModel& model = *context.dimensionModel;
    const std::unordered_set<Key> walkCells(walk.begin(), walk.end());
    std::unordered_map<Key, int32_t> months;  // cell -> bit set of its months
    size_t count = 0;
    qemtest::forEachLine("histsale.qem", [&](const std::string& line) {
        ++count;
        ASSERT_EQ(line.size() + 1, size_t{HistoricalSalesWriter::lineLength}) << line;
        const int32_t c = customers.of(line, 0, 12), p = products.of(line, 12, 12), ch = channels.of(line, 24, 12);
        const int32_t m = times.of(line, 36, 6);
        int32_t& seen = months[cellKey(c, p, ch)];
        ASSERT_TRUE(m < 17 && !(seen & (1 << m)) && walkCells.count(cellKey(c, p, ch))) << line;
        seen |= 1 << m;
        const double amount = model.dollarSales(0, ch, p, c, m);
        ASSERT_EQ(line.substr(42), formatted("%10d%10.2f", model.units(0, ch, p, c, m), amount)) << line;
        ASSERT_EQ(line.substr(59), ".00");
    });
    // Every writer's slice holds more than its quarter of the cells, so each stops exactly at its quota.
    EXPECT_EQ(count, 9u * 900 * 9000 * 17 * 2 / 2000);
    for (const auto& [cell, seen] : months) ASSERT_EQ(seen, 0x1FFFF) << cell;

    const std::vector<Key> current = currentSalesCells("currsale.qem");
    EXPECT_EQ(current.size(), 9u * 900 * 9000 * 2 / 2000);
    EXPECT_TRUE(std::adjacent_find(current.begin(), current.end()) == current.end()) << "a cell written twice";
    for (Key cell : current) ASSERT_TRUE(walkCells.count(cell)) << cell;
}

TEST_F(FactFiles, SalesWriterStopsAtItsRecordLimit) {
    const auto writeDirect = [](int32_t limit) {
        OutputFile file("direct.qem");
        CurrentSalesWriter(file, 16333, limit).run();
        file.close();
        return currentSalesCells("direct.qem");
    };
    // A writer with no share of the cells writes nothing.
    EXPECT_TRUE(writeDirect(0).empty());
    // A limit inside the walk: exactly its first cells (block 0/0, channels 0, 0, 1, 1, 2).
    std::vector<Key> first(walk.begin(), walk.begin() + 5), all = walk;
    std::sort(first.begin(), first.end());
    EXPECT_EQ(writeDirect(5), first);
    // A limit beyond the walk: the whole walk, the last partial buffer included.
    std::sort(all.begin(), all.end());
    EXPECT_EQ(writeDirect(1000000), all);
}

// Four historical sales writers with small buffers run side by side: each
// buffer's lines land as one contiguous run, and the file is the four
// writers' buffers, each whole, in each writer's own order (a buffer holds
// the next records of its writer's walk, the last one partly filled).
TEST_F(FactFiles, LockedWritersLandEachBufferWhole) {
    constexpr int32_t capacity = 13, quota = 5000;  // 384 full buffers and one of 8 per writer
    {
        OutputFile file("buffers.qem");
        std::array<std::unique_ptr<HistoricalSalesWriter>, workerCount> writers;
        Batch batch;
        for (int t = 0; t < workerCount; ++t) {
            writers[t] = std::make_unique<HistoricalSalesWriter>(file, capacity, quota);
            writers[t]->setStride(workerCount).setSliceIndex(t);
            batch[t] = writers[t].get();
        }
        runBatch(batch);
        file.close();
    }
    // Each writer's records in the order it makes them: its slice of the walk, 17 months per cell.
    const auto sliceOf = [](Key record) { return static_cast<int>(record / 32 / 16 % 100000 / 100 % workerCount); };
    std::vector<Key> made[workerCount];
    for (Key cell : walk)
        for (Key m = 0; m < 17; ++m)
            if (auto& own = made[sliceOf(cell * 32)]; own.size() < static_cast<size_t>(quota)) own.push_back(cell * 32 + m);
    std::vector<Key> lines;
    qemtest::forEachLine("buffers.qem", [&](const std::string& l) {
        const Key cell = cellKey(customers.of(l, 0, 12), products.of(l, 12, 12), channels.of(l, 24, 12));
        lines.push_back(cell * 32 + times.of(l, 36, 6));
    });
    ASSERT_EQ(lines.size(), size_t{workerCount} * quota);
    size_t taken[workerCount] = {};
    for (size_t at = 0; at < lines.size();) {
        const int w = sliceOf(lines[at]);
        const size_t n = std::min(static_cast<size_t>(capacity), made[w].size() - taken[w]);
        ASSERT_GT(n, 0u) << "line " << at;
        std::vector<Key> run(lines.begin() + static_cast<std::ptrdiff_t>(at), lines.begin() + static_cast<std::ptrdiff_t>(at + n));
        std::vector<Key> buffer(made[w].begin() + static_cast<std::ptrdiff_t>(taken[w]),
                                made[w].begin() + static_cast<std::ptrdiff_t>(taken[w] + n));
        std::sort(run.begin(), run.end());
        std::sort(buffer.begin(), buffer.end());
        ASSERT_EQ(run, buffer) << "writer " << w << ", buffer from line " << at;
        taken[w] += n, at += n;
    }
}

// Inventory: the pairs of the walk, each once; currinv's values are the
// month-17 values with the random terms of its seed, in the order written.
TEST_F(FactFiles, InventoryAndBudgetCoverEveryCellWithSalesInAnyChannel) {
    for (const char* name : {"histinv.qem", "currinv.qem", "budget.qem"}) need(name);
    const DimensionModel& model = *context.dimensionModel;
    std::set<Key> pairs, historical, current;
    for (Key cell : walk) pairs.insert(cell / 16 * 16);
    const auto pairOf = [](const std::string& l) { return cellKey(customers.of(l, 0, 12), products.of(l, 12, 12)); };
    const auto inRange = [](const std::string& field) { return std::stoi(field) >= 1 && std::stoi(field) <= 12; };
    qemtest::forEachLine("histinv.qem", [&](const std::string& line) {
        ASSERT_EQ(line.size() + 1, size_t{HistoricalInventoryWriter::lineLength}) << line;
        ASSERT_TRUE(historical.insert(pairOf(line)).second) << line;
        for (size_t m = 0; m < 17; ++m) ASSERT_TRUE(inRange(line.substr(24 + 10 * m, 10))) << line;
    });
    RandomGenerator terms(inventorySeed);
    qemtest::forEachLine("currinv.qem", [&](const std::string& line) {
        ASSERT_EQ(line.size() + 1, size_t{CurrentInventoryWriter::lineLength}) << line;
        ASSERT_TRUE(current.insert(pairOf(line)).second && inRange(line.substr(24))) << line;
        const int32_t c = customers.of(line, 0, 12), p = products.of(line, 12, 12);
        ASSERT_EQ(std::stoi(line.substr(24)), model.inventory(p, c, 17, terms)) << line;
    });
    EXPECT_EQ(historical, pairs);
    EXPECT_EQ(current, pairs);
    std::map<Key, int32_t> budgetMonths;  // cell -> bit set of its months
    qemtest::forEachLine("budget.qem", [&](const std::string& line) {
        ASSERT_EQ(line.size() + 1, size_t{BudgetWriter::lineLength}) << line;
        const int32_t c = customers.of(line, 0, 12), p = products.of(line, 12, 12), m = times.of(line, 24, 6);
        int32_t& seen = budgetMonths[cellKey(c, p)];
        ASSERT_TRUE(m >= 12 && m < 24 && !(seen & (1 << m))) << line;
        seen |= 1 << m;
        const double amount = model.dollarSales(1, 0, p, c, m);
        ASSERT_EQ(line.substr(30), formatted("%10d%10.2f", model.units(1, 0, p, c, m), amount)) << line;
    });
    EXPECT_EQ(budgetMonths.size(), pairs.size());
    for (const auto& [cell, seen] : budgetMonths) ASSERT_TRUE(seen == 0xFFF000 && pairs.count(cell)) << cell;
}

TEST_F(FactFiles, CostFilesCoverEveryLeafInBothScenarios) {
    for (const char* name : {"custship.qem", "prodcos.qem"}) need(name);
    const DimensionModel& model = *context.dimensionModel;
    const struct {
        const char* name;
        const Positions& leaves;
        int32_t leafCount;
        double (DimensionModel::*cost)(int32_t, int32_t, int32_t) const;
    } files[] = {{"custship.qem", customers, 900, &DimensionModel::stdShipCost},
                 {"prodcos.qem", products, 9000, &DimensionModel::stdProdCost}};
    for (const auto& f : files) {
        std::unordered_set<Key> seen;
        qemtest::forEachLine(f.name, [&](const std::string& line) {
            ASSERT_EQ(line.size() + 1, size_t{CostWriter::lineLength}) << line;
            const int32_t leaf = f.leaves.of(line, 0, 12), month = times.of(line, 24, 6);
            const std::string scenario = line.substr(12, 12);
            const int32_t s = scenario == "Budget      ";
            ASSERT_TRUE((s || scenario == "Actual      ") && leaf < f.leafCount) << line;
            ASSERT_TRUE(s ? month >= 12 && month < 24 : month < 18) << line;
            ASSERT_TRUE(seen.insert(cellKey(leaf, month, s)).second) << line;
            // Budget costs follow the quarter, not the month.
            ASSERT_EQ(line.substr(30), formatted("%10.3f", (model.*f.cost)(s, leaf, s ? month / 3 * 3 : month)));
        });
        EXPECT_EQ(seen.size(), static_cast<size_t>(f.leafCount) * 30) << f.name;
    }
}
