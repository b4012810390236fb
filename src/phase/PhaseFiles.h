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
#include "integrity/Manifest.h"

namespace qem {

// The one description of every phase's files, which both programs follow:
// qemgen writes each file whole, writer after writer (four at a time on
// threads where a file has groups of four), qempart writes any part of them,
// and the sizes and the progress count their records. Needs the context (for
// the records of the inventory and budget files, its density pattern; for
// making a writer, its model as well).

// A file's records as its writers produce them, in buffers.
struct SplitFile {
    int32_t capacity = 1;    // records per buffer
    int32_t lineLength = 1;  // bytes per record
    // Records of each writer, in the order their buffers follow one another.
    std::vector<int64_t> writerRecords;
};

// Buffers and bytes of a writer or a file.
int64_t buffersOf(int64_t records, int32_t capacity);
int64_t bufferCount(const SplitFile& file);
int64_t byteCount(const SplitFile& file);

struct PhaseFile {
    std::string name;
    SplitFile split;
    // Writers constructed together and run as a batch, on threads of their
    // own in qemgen: 4 for the files of worker batches, 1 for the others.
    size_t groupSize = 1;
    // Query files: the walk draws from the global stream, so it cannot start
    // in the middle; it is replayed from the first record.
    bool replays = false;
    // Constructs writer w of the file (stride and slice set), drawing its keys.
    std::function<std::unique_ptr<RecordWriter>(OutputFile& file, size_t w)> make;
};

// The files that phase 1, 2 or 3 writes, in writing order (phase 3: one per
// user); index runs from 0 to phaseFileCount(phase) - 1.
int64_t phaseFileCount(int32_t phase);
// File `index` of the phase; inventorySeed replaces the clock rule of the
// inventory writers (tests).
PhaseFile phaseFile(int32_t phase, int64_t index, std::optional<int32_t> inventorySeed = std::nullopt);
// All files of a phase (for phase 3 one per user: memory grows with them).
std::vector<PhaseFile> phaseFiles(int32_t phase, std::optional<int32_t> inventorySeed = std::nullopt);

// The sales files of `cells` records instead of the answers' (tests).
PhaseFile historicalSalesFile(int64_t cells);
PhaseFile currentSalesFile(int64_t cells);

}  // namespace qem
