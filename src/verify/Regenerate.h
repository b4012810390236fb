#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "context/Context.h"
#include "core/OutputFile.h"

namespace qem {

// What the answers and the seed give for one file of a phase: its lines,
// bytes and content sum.
struct RegeneratedFile {
    std::string name;
    int64_t lines = 0, bytes = 0;
    uint64_t sum = 0;
};

// The file being regenerated and the bytes of the files done, for a
// progress display on another thread.
struct RegenerationProgress {
    std::mutex mutex;
    const OutputFile* file = nullptr;
    int32_t phase = 0;
    uint64_t finishedBytes = 0;
};

struct Regeneration {
    std::vector<RegeneratedFile> files;
    // Why the phase could not be regenerated to its end; empty when it was.
    std::string failure;
};

// Recomputes every file of a phase from the answers and the seed in `state`
// without writing anything: the context built as the phase's run builds it,
// then each file's writers run as qemgen runs them (runFileWriters: the four
// writers of a batch on threads) into a file that only counts its lines,
// bytes and content sum. The sums do not depend on the order in which the
// threads reach the file, nor on the random inventory values. The sums are
// taken with `hash`, the line hash of the manifests they are compared with.
Regeneration regeneratePhase(const GeneratorState& state, int32_t phase, RegenerationProgress& progress,
                             LineHash hash = currentLineHash);

}  // namespace qem
