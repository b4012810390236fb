#pragma once
#include <cstdint>

namespace qem {

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
//
// Whole numbers throughout: every count a data set can have is exact here.
// The arguments must be positive (cells may be 0) and their products must
// fit 64 bits, which DataSetShape makes sure of before it asks.
class SalesBatches {
public:
    // Writers per batch, each on a thread of its own.
    static constexpr int64_t writersPerBatch = 4;
    static constexpr int64_t cellsPerBatch = 4000000000;

    SalesBatches(int64_t cells, int64_t recordsPerBlock, int64_t productBlocks);

    int64_t count() const { return batchCount; }
    // Slices of the file: four per batch; the stride of its writers.
    int64_t slices() const { return batchCount * writersPerBatch; }
    // The record limit of every writer, capped at the largest signed 32-bit
    // count (a writer's record limit); limit() is the uncapped value.
    int32_t quota() const { return static_cast<int32_t>(writerLimit < INT32_MAX ? writerLimit : INT32_MAX); }
    int64_t limit() const { return writerLimit; }
    // The records (lines) the file gets: each slice writes its quota, or all
    // it holds where that is less.
    uint64_t records() const;
    // The records of slice `slice` (0 .. slices() - 1): the slices before
    // the remainder of the product blocks hold one block more.
    int64_t sliceRecords(int64_t slice) const;

private:
    // Records of a slice of the shorter or of the longer kind (`longer` of
    // the slices hold one product block more than the others).
    int64_t walk(bool longSlice) const;

    int64_t recordsPerBlock;
    int64_t productBlocks;
    int64_t batchCount = 0;
    int64_t longer = 0;
    int64_t writerLimit = 0;
};

}  // namespace qem
