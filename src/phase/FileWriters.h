#pragma once
#include "core/OutputFile.h"
#include "phase/PhaseFiles.h"
#include "phase/WorkerBatch.h"

namespace qem {

// Runs every writer of one file of a phase into `out`, as a whole run writes
// the file: group by group, a group's writers all constructed (drawing their
// keys in order) before the first runs, a group of four run as a batch on
// four threads, a single writer on this thread, each group's writers
// destroyed the last first. qemgen writes its files through it, and
// qemverify recomputes them into a file that only counts.
//
// Returns false, with no further group run, when a writer of a batch failed
// (reported on standard error); a writer on this thread that fails throws.
[[nodiscard]] bool runFileWriters(const PhaseFile& file, OutputFile& out, const RunOptions& options = {});

}  // namespace qem
