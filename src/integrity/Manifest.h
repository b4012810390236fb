#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "integrity/ContentSum.h"

namespace qem {

// What a phase's manifest says: the answers and seed of the data set, which
// phase, which part of how many (qemgen writes a phase whole: part 1 of 1),
// and for every file of the phase the part's lines, bytes, CRC-32 of the
// bytes as written and content sum, with the whole file's lines and bytes
// (and its content sum where the writer knows it: when it wrote the file
// whole). The text, version 3 (version 2 the same but for its first line and
// the line hash of its sums, see integrity/ContentSum.h):
//
//   qem manifest 3
//   program qemgen|qempart
//   channels N
//   density-code D
//   users U
//   seed S
//   phase P
//   parts P
//   part K
//   compression zstd:LEVEL                                            (compressed parts only)
//   file NAME LINES BYTES CRC32 SUM FILE-LINES FILE-BYTES FILE-SUM   (one per file, in writing order)
//   files F
//
// CRC32 is 8 hexadecimal digits, SUM and FILE-SUM 16 (FILE-SUM "-" where not
// known). LINES, BYTES, CRC32 and SUM are those of the text; a compressed
// part's file line adds the compressed file's bytes and CRC-32:
//   file NAME LINES BYTES CRC32 SUM FILE-LINES FILE-BYTES FILE-SUM ZBYTES ZCRC32
// Version 1 ("qempart manifest 1", written by qempart before content
// sums) has no program line and file lines without the sums:
//   file NAME LINES BYTES CRC32 FILE-LINES FILE-BYTES
struct ManifestFile {
    std::string name;
    int64_t lines = 0, bytes = 0;
    uint32_t crc = 0;
    std::optional<uint64_t> sum;  // none in version 1
    int64_t fileLines = 0, fileBytes = 0;
    std::optional<uint64_t> fileSum;
    // The compressed file's bytes and CRC-32, where the part is compressed.
    std::optional<int64_t> compressedBytes;
    uint32_t compressedCrc = 0;
};

struct Manifest {
    // 3 for the manifests written now; 2 (text() writes it too) and 1 are read.
    int version = 3;
    std::string program = "qempart";
    int64_t channels = 0, densityCode = 0, users = 0, seed = 0;
    int32_t phase = 1, parts = 1, part = 1;
    std::string compression;  // "" for plain files, "zstd:LEVEL"
    std::vector<ManifestFile> files;

    // The manifest's text.
    std::string text() const;
    // Reads a manifest's text; on a fault returns nothing and says why (no
    // line end) in `error`.
    static std::optional<Manifest> parse(const std::string& text, std::string& error);
    // The line hash of this manifest's content sums (version 2: keyed,
    // version 3: XXH3-64; version 1 has no sums, and gets the current one).
    LineHash lineHash() const { return version == 2 ? LineHash::keyed : LineHash::xxh3; }
    // Whether two manifests belong to one data set: the same answers, seed
    // and parts (their versions may differ: each file's sums are checked
    // with the line hash of the manifest that gives them).
    bool sameDataSet(const Manifest& other) const;
};

// "phase1.manifest": what qemgen wrote in a phase; "phase1.manifest.part0003":
// what part 3 wrote.
std::string manifestName(int32_t phase);
std::string manifestName(int32_t phase, int32_t part);
// "histsale.qem.part0003": part 3 of a file.
std::string partFileName(const std::string& name, int32_t part);
// "qry001.qem": user u's query file ("qry%3.3ld.qem": qry999.qem, qry1000.qem ...).
std::string queryFileName(int64_t user);
// The user (1 to 2147483647) whose query file `name` is, by the name the
// programs give it (no other count of leading zeros), or 0.
int32_t queryFileUser(std::string_view name);
// The ending of a compressed file's name: "histsale.qem.part0003.zst".
inline constexpr const char* compressedEnding = ".zst";
// The ending of a part file's name while it is written:
// "histsale.qem.part0003.tmp", "histsale.qem.part0003.zst.tmp".
inline constexpr const char* temporaryEnding = ".tmp";
std::string temporaryPartFileName(const std::string& name, int32_t part);
// The ending of the side file that qemgen writes a manifest (or its state)
// under before renaming it into place: "phase1.manifest.new".
inline constexpr const char* sideFileEnding = ".new";

// The inverses of the names above, so that no reader takes a name apart by
// hand. A manifest's name: its phase (1 to 3) and part (1 to 9999; 0 for a
// whole phase's "phaseN.manifest").
struct ManifestNameParts {
    int32_t phase = 0;
    int32_t part = 0;
};
std::optional<ManifestNameParts> parseManifestName(std::string_view name);
// A part file's name "NAME.partKKKK": NAME and K (four digits, 0 to 9999:
// a part 0 is no part a manifest describes, but still a part's name).
struct PartFileNameParts {
    std::string name;
    int32_t part = 0;
};
std::optional<PartFileNameParts> parsePartFileName(std::string_view name);
// The name a temporary or side file ("*.tmp", "*.new") becomes once its
// write is complete; nothing for any other name.
std::optional<std::string> finalNameOf(std::string_view name);
// The name of a compressed file ("*.zst") without its ending; nothing for
// any other name.
std::optional<std::string> uncompressedNameOf(std::string_view name);

// A checksum or sum as the manifests write it: `digits` lower-case
// hexadecimal digits (8 for a CRC-32, 16 for a content sum).
std::string hex(uint64_t value, int digits);

}  // namespace qem
