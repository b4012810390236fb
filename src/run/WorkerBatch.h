#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

#include "core/OutputFile.h"
#include "core/Report.h"
#include "sizes/SalesBatches.h"

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
void runHistoricalSales(int64_t cells, const RunOptions& options = {});
void runCurrentSales(int64_t cells, const RunOptions& options = {});
void runHistoricalInventory(const RunOptions& options = {});
void runBudget(const RunOptions& options = {});

using qem::SalesBatches;

// The batches of a sales file for the parameters in the context: `cells`
// records asked for, `months` records a cell (17 historical, 1 current).
SalesBatches salesFileBatches(int64_t cells, int32_t months);

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
