#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "phase/PhaseRun.h"

namespace qem {

class RecordWriter;

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

// Runs four writers on four threads: all four exist before the first starts,
// they are released in order and waited for together (or, in order, each
// waited for before the next is released). Returns whether all four
// finished; a writer that failed has been reported (workerMain).
[[nodiscard]] bool runBatchWriters(const Batch& writers, bool inOrder = false);

// The same, as qemgen runs a batch: a writer that failed fails the run with
// status 2 ("exiting...\n", then a ReportedFailure) once all four have
// finished and their threads have ended.
void runBatch(const Batch& writers, bool inOrder = false);

// Stack requested for each worker thread.
extern const size_t workerStackSize;
// Deepest stack use of any worker of the last batch, in bytes.
size_t lastBatchStackUse();

}  // namespace qem
