#pragma once
#include <optional>
#include <vector>

#include "core/RandomGenerator.h"
#include "dims/DimensionModel.h"
#include "facts/AggregateWriter.h"

namespace qem {

// Inventory of every cell that has sales in some channel. The random term of
// each value comes from the writer's own generator, seeded from the clock and
// the constructing thread, so inventory is the one part of the data set that
// differs between runs. A seed given to the constructor replaces that rule
// (known-answer tests pin the values with it).
class InventoryWriter : public AggregateWriter {
public:
    InventoryWriter(OutputFile& file, int32_t capacity, int32_t lineLength, WriterMutex* lock,
                    std::optional<int32_t> seed);

protected:
    // Computes the factor tables, then walks.
    void walk() override;

    RandomGenerator generator;
    // inventoryCustomerTerm and inventoryProductTerm by position.
    std::vector<double> customerTerms, productTerms;
};

// "histinv.qem": 17 months side by side; four threads, a buffer's text at a
// time under the historical inventory lock.
class HistoricalInventoryWriter : public InventoryWriter {
public:
    static constexpr int32_t lineLength = 195;  // "%12s%12s", 17 times "%10d", "\n"

    HistoricalInventoryWriter(OutputFile& file, int32_t capacity, std::optional<int32_t> seed = std::nullopt);

protected:
    char* writeRecord(const WriterRecord& record, char* text) override;

private:
    double monthTerms[historicalMonthCount];
};

// "currinv.qem": month 17; main thread.
class CurrentInventoryWriter : public InventoryWriter {
public:
    static constexpr int32_t lineLength = 35;  // "%-12s%-12s%10ld\n"

    CurrentInventoryWriter(OutputFile& file, int32_t capacity, std::optional<int32_t> seed = std::nullopt);

protected:
    char* writeRecord(const WriterRecord& record, char* text) override;

private:
    double monthTerm;  // of month 17
};

}  // namespace qem
