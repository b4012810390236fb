#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

#include "core/OutputFile.h"
#include "core/Report.h"

class RecordWriter;

// Writers per batch, each on a thread of its own.
constexpr int workerCount = 4;
using Batch = std::array<RecordWriter*, workerCount>;

// Choices that known-answer tests make; the program uses the defaults.
struct RunOptions {
    // Seeds the generator of every inventory writer instead of the clock rule.
    std::optional<int32_t> inventorySeed;
    // Runs the four writers of a batch one after another (each on its own
    // thread), so that the keys of their last partial buffers are drawn in
    // writer order and the files come out the same in every run.
    bool writersInOrder = false;
};

// The four fact files written by four worker threads at a time.
void runHistoricalSales(double cells, const RunOptions& options = {});
void runCurrentSales(double cells, const RunOptions& options = {});
void runHistoricalInventory(const RunOptions& options = {});
void runBudget(const RunOptions& options = {});

// The batches of a sales file: at most 4,000,000,000 cells each, every writer
// of a batch limited to a quarter of the batch's cells (cut to a whole number).
class SalesBatches {
public:
    explicit SalesBatches(double cells);
    int64_t count() const { return batchCount; }
    // The record limit of each writer of the next batch.
    int32_t nextQuota();

private:
    int64_t batchCount;
    double remaining;
};

// Constructs a writer of file with make(). A failed allocation of its buffers
// is reported ("not enough memory for a writer of '%s': buffers of %d
// records") and thrown as "out of memory".
template <typename Make>
auto newWriter(const OutputFile& file, int32_t capacity, Make make) -> decltype(make()) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        failOutOfMemory("a writer of '%s': buffers of %d records", file.name(), static_cast<int>(capacity));
    }
}

// Runs four writers on four threads: all four exist before the first starts,
// they are released in order and waited for together (or, in order, each
// waited for before the next is released). A writer that failed ends the
// process with status 2 once all four have finished.
void runBatch(const Batch& writers, bool inOrder = false);

// The thread procedure: 1 when the writer's run() returned, 0 when it threw
// (the text has then been reported on standard error).
unsigned workerMain(RecordWriter* writer);

// Stack requested for each worker thread.
extern const size_t workerStackSize;
// Deepest stack use of any worker of the last batch, in bytes.
size_t lastBatchStackUse();
