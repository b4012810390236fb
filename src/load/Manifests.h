#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "integrity/Manifest.h"
#include "load/DataFile.h"

namespace qemload {

// One part of a file as its manifest describes it: where it lies in the
// whole file and what its bytes must be.
struct ExpectedPart {
    int32_t part = 1;       // 1 .. the data set's parts
    std::string manifest;   // the file name of the manifest that describes it
    uint64_t offset = 0;    // of its first byte in the whole file
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
// parts in order (one part when the phase was written whole).
struct ExpectedFile {
    int32_t phase = 1;
    std::vector<ExpectedPart> parts;
    uint64_t bytes() const { return parts.empty() ? 0 : parts.back().offset + static_cast<uint64_t>(parts.back().bytes); }
};

// The manifests of a data set: "phaseN.manifest" for a phase that qemgen
// wrote whole, "phaseN.manifest.partKKKK" for part K of a phase that qempart
// wrote in parts. Read and checked before anything else, so that a data set
// whose manifests are missing, unreadable or of different data sets is
// refused before a file is read.
class DataSetManifests {
public:
    // Reads every manifest in the folder. Empty when there is none (a data
    // set written before manifests). Otherwise they must be readable, each
    // must be the phase and part its name says, all must agree on the
    // answers, the seed and the parts P, every phase 1 to 3 must have its
    // manifest (whole) or all of its P part manifests, the parts of a phase
    // must list the same files with the same whole-file sizes, and each
    // file's parts must add up to those sizes. Throws LoadError naming the
    // manifest at fault.
    static DataSetManifests read(const std::string& folder);

    bool empty() const { return expected.empty(); }
    // The answers, seed and parts (those of any manifest: all agree), and
    // the name of the first manifest, which states them.
    const qem::Manifest& settings() const { return first; }
    const std::string& firstName() const { return firstManifest; }
    // Whether every manifest carries content sums (version 2 or later).
    bool carriesSums() const { return sums; }
    const std::map<std::string, ExpectedFile>& files() const { return expected; }
    const ExpectedFile* find(const std::string& name) const;

    // What can be checked without reading: the files are exactly those the
    // manifests list; each is stored whole or as the part files 1 to P; a
    // whole file has the bytes its parts add up to, a part file those of
    // its part. A compressed file gets the size of its text from them, and
    // has the compressed bytes they give, where they give them: a part file
    // those of its part, a whole file those of its compressed parts joined.
    // Throws LoadError naming the file and part.
    void checkStored(const std::vector<DataFile*>& files) const;

    // The compressed bytes and CRC-32 that the stored file `stored` of a
    // file must have, when the manifests give them, with who says so.
    struct Compressed {
        uint64_t bytes = 0;
        uint32_t crc = 0;
        // "phase1.manifest.part0002 says", "its compressed parts joined
        // (phase1.manifest.part0001 to phase1.manifest.part0003) make"
        std::string source;
    };
    std::optional<Compressed> compressedOf(const DataFile& file, size_t stored) const;

    // Where a part of a file lies, for messages: the part file
    // ("histsale.qem.part0002") when the file is stored in parts, else the
    // file, with the part and its bytes when the file has several.
    std::string whereIs(const DataFile& file, const ExpectedPart& part) const;

private:
    std::map<std::string, ExpectedFile> expected;
    qem::Manifest first;
    std::string firstManifest;
    bool sums = true;
};

}  // namespace qemload
