#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/OutputFile.h"
#include "core/RecordWriter.h"
#include "run/PartPlan.h"

// The files of a phase as qempart writes them: in qemgen's order, each with
// its writers (one, or four per batch, in the order of their slices), the
// records each writer produces and how to construct it. Needs the context.
struct PhaseFile {
    std::string name;
    SplitFile split;
    // Writers constructed together, then run in order: 4 for the files of
    // worker batches, 1 for the others.
    size_t groupSize = 1;
    // Query files: the walk draws from the global stream, so it cannot start
    // in the middle; it is replayed from the first record.
    bool replays = false;
    // Constructs writer w of the file (stride and slice set), drawing its keys.
    std::function<std::unique_ptr<RecordWriter>(OutputFile& file, size_t w)> make;
};

// The phase's files (1, 2 or 3); inventorySeed replaces the clock rule of the
// inventory writers (tests).
std::vector<PhaseFile> phaseFiles(int32_t phase, std::optional<int32_t> inventorySeed = std::nullopt);
