#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

class RecordWriter;

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

// Runs four writers on four threads: all four exist before the first starts,
// they are released in order and waited for together (or, in order, each
// waited for before the next is released). A writer that failed ends the
// process with status 2 once all four have finished.
void runBatch(const std::array<RecordWriter*, 4>& writers, bool inOrder = false);

// The thread procedure: 1 when the writer's run() returned, 0 when it threw
// (the text has then been reported on standard error).
unsigned workerMain(RecordWriter* writer);

// Stack requested for each worker thread.
extern const size_t workerStackSize;
// Deepest stack use of any worker of the last batch, in bytes.
size_t lastBatchStackUse();
