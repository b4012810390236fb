#pragma once
#include <optional>

#include "core/RandomGenerator.h"
#include "dims/DimensionModel.h"
#include "facts/AggregateWriter.h"

// Inventory of every cell that has sales in some channel. The random term of
// each value comes from the writer's own generator, seeded from the clock and
// the constructing thread, so inventory is the one part of the data set that
// differs between runs. A seed given to the constructor replaces that rule
// (known-answer tests pin the values with it).
class InventoryWriter : public AggregateWriter {
public:
    InventoryWriter(OutputFile& file, int32_t capacity, WriterMutex* lock, std::optional<int32_t> seed);

protected:
    RandomGenerator generator;
};

// "histinv.qem": 17 months side by side; four threads, a buffer at a time
// under the historical inventory lock.
class HistoricalInventoryWriter : public InventoryWriter {
public:
    HistoricalInventoryWriter(OutputFile& file, int32_t capacity, std::optional<int32_t> seed = std::nullopt);

protected:
    void writeRecord(const WriterRecord& record) override;

private:
    double monthTerms[historicalMonthCount];
};

// "currinv.qem": month 17; main thread.
class CurrentInventoryWriter : public InventoryWriter {
public:
    CurrentInventoryWriter(OutputFile& file, int32_t capacity, std::optional<int32_t> seed = std::nullopt);

protected:
    void writeRecord(const WriterRecord& record) override;
};
