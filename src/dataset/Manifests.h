#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dataset/Folder.h"
#include "integrity/Manifest.h"

namespace qemdata {

// The faults found in a folder, each "NAME: what is wrong", in the order
// they were found.
using Faults = std::vector<std::string>;

// What of a data set a reader looks at: some or all of its phases, and all
// of its parts or only part K (a part still being written beside others).
struct Scope {
    std::set<int32_t> phases{1, 2, 3};
    int32_t part = 0;  // 0: every part
    bool whole() const { return part == 0 && phases.size() == 3; }
};

// One part of a file as its manifest describes it: where it lies in the
// whole file and what its bytes must be.
struct ExpectedPart {
    int32_t part = 1;       // 1 .. the data set's parts
    std::string manifest;   // the file name of the manifest that describes it
    uint64_t offset = 0;    // of its first byte in the whole file (in a part's scope: 0)
    int64_t lines = 0, bytes = 0;
    uint32_t crc = 0;
    std::optional<uint64_t> sum;  // none in a manifest of version 1
    qem::LineHash lineHash = qem::currentLineHash;  // the line hash of that manifest's sums
    // The compressed part file's bytes and CRC-32, where the part was
    // written compressed.
    std::optional<int64_t> compressedBytes;
    uint32_t compressedCrc = 0;
};

// A file of the data set as the manifests of its phase describe it: its
// parts in order (one part when the phase was written whole, or in a
// part's scope).
struct ExpectedFile {
    std::string name;
    int32_t phase = 1;
    std::vector<ExpectedPart> parts;
    int64_t wholeLines = 0, wholeBytes = 0;  // of the whole file, as the manifests give them
    uint64_t bytes() const { return parts.empty() ? 0 : parts.back().offset + static_cast<uint64_t>(parts.back().bytes); }
};

// The manifests of a data set in a folder: "phaseN.manifest" for a phase
// that qemgen wrote whole, "phaseN.manifest.partKKKK" for part K of a phase
// written in parts. Read and checked before any other file is read, so that
// a data set whose manifests are missing, unreadable or of different data
// sets is named before a byte of it is read.
class ManifestSet {
public:
    // Reads the manifests of the scope. Every fault goes to `faults`:
    // a manifest that cannot be read, that is not the phase and part its
    // name says, whose compression no program writes, that disagrees with
    // the first on the answers, seed or parts; a phase with both a whole
    // manifest and part manifests, or without its manifest or some of its
    // part manifests, or with a part manifest beyond P; a manifest whose
    // files are not the phase's files in writing order, or whose whole-file
    // sizes differ from its phase's others; files whose parts do not add up
    // to the whole file's lines, bytes and content sum.
    static ManifestSet read(const Folder& folder, const Scope& scope, Faults& faults);

    // No manifest in the scope at all (a data set written before them).
    bool empty() const { return read_.empty(); }
    // The answers, seed and parts of the first manifest, and its name.
    const qem::Manifest& settings() const { return read_.front().m; }
    const std::string& firstName() const { return read_.front().name; }
    // Whether every manifest carries content sums (version 2).
    bool carriesSums() const { return sums; }
    // "phase1.manifest.part0001: version 1, without content sums: ...".
    const std::vector<std::string>& notes() const { return notes_; }
    // The files whose manifests are whole, in phase and writing order.
    const std::vector<ExpectedFile>& files() const { return expected; }
    const ExpectedFile* find(const std::string& name) const;
    // The phase of a name of the data set's files (1 to 3), 0 for a name
    // that is none of them; -1 while the answers are unknown (no manifest).
    int32_t phaseOfName(const std::string& name) const;
    // The parts of each phase (P; 1 for a phase written whole); 0 for a
    // phase without a manifest.
    int32_t partsOf(int32_t phase) const;
    bool wholePhase(int32_t phase) const;
    // The line hash of a phase's content sums (its manifests' versions:
    // one phase, one line hash).
    qem::LineHash lineHashOf(int32_t phase) const;
    // The manifests read, by phase and part (0: a whole phase's).
    struct Read {
        std::string name;
        int32_t phase = 0, part = 0;
        qem::Manifest m;
    };
    const std::vector<Read>& manifests() const { return read_; }

private:
    std::vector<Read> read_;
    std::map<int32_t, std::vector<const Read*>> byPhase;
    std::vector<ExpectedFile> expected;
    std::map<std::string, size_t> index;
    std::vector<std::string> notes_;
    std::map<std::string, int32_t> namedPhase;  // the files of phases 1 and 2
    int64_t users = 0;
    bool sums = true;
    std::map<int32_t, qem::LineHash> lineHashes;
};

// The file names of a phase in writing order (phase 3: the query files of
// users 1 to `users`).
std::vector<std::string> phaseFileNames(int32_t phase, int64_t users);

// "a, b and 3 more": at most `shown` names of a list.
std::string someOf(const std::vector<std::string>& names, size_t shown = 6);

}  // namespace qemdata
