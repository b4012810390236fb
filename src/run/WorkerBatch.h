#pragma once
#include <array>
#include <cstddef>

class RecordWriter;

// The four fact files written by four worker threads at a time.
void runHistoricalSales(double cells);
void runCurrentSales(double cells);
void runHistoricalInventory();
void runBudget();

// Runs four writers on four threads: all four exist before the first starts,
// they are released in order and waited for together. A writer that failed
// ends the process with status 2 once all four have finished.
void runBatch(const std::array<RecordWriter*, 4>& writers);

// The thread procedure: 1 when the writer's run() returned, 0 when it threw
// (the text has then been reported on standard error).
unsigned workerMain(RecordWriter* writer);

// Stack requested for each worker thread.
extern const size_t workerStackSize;
// Deepest stack use of any worker of the last batch, in bytes.
size_t lastBatchStackUse();
