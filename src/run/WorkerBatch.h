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

// The batches of a sales file of `cells` records: one per 4,000,000,000 cells
// or part of them, four writers each, every writer with a slice of its own of
// the productBlocks product blocks (block s, s + slices, s + 2 slices, ...),
// each block holding recordsPerBlock records of the walk. Every writer gets
// the same record limit: the largest with which the slices together hold no
// more than `cells` records. Where every slice holds at least
// cells / slices records (every file of a single batch does), that is
// cells / slices cut to a whole number, and the file holds the cells less the
// remainder of that division; slices that hold fewer records write all of
// theirs, and the others make up for them.
class SalesBatches {
public:
    SalesBatches(double cells, double recordsPerBlock, int64_t productBlocks);
    int64_t count() const { return batchCount; }
    // The record limit of every writer.
    int32_t quota() const { return writerQuota; }
    // The records (lines) the file gets: each slice writes its quota, or all
    // it holds where that is less.
    uint64_t records() const;
    // The records of slice `slice` (0 .. 4 x count() - 1): the slices before
    // the remainder of the product blocks hold one block more.
    int64_t sliceRecords(int64_t slice) const;

private:
    // Records of a slice of the shorter or of the longer kind (`longer` of
    // the slices hold one product block more than the others).
    double walk(bool longSlice) const;

    double recordsPerBlock;
    int64_t productBlocks;
    int64_t batchCount;
    int64_t longer = 0;
    int32_t writerQuota;
};

// The batches of a sales file for the parameters in the context: `cells`
// records asked for, `months` records a cell (17 historical, 1 current).
SalesBatches salesFileBatches(double cells, int32_t months);

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
