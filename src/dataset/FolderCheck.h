#pragma once
#include <optional>
#include <string>
#include <vector>

#include "dataset/DataFile.h"
#include "dataset/Folder.h"
#include "dataset/Manifests.h"

namespace qemdata {

// The one definition of a data set's folder, as every reader sees it
// (docs/verifying.md, "What a data set's folder holds"): what can be checked
// before a byte of the data is read. Every fault is collected, each naming
// the file or manifest at fault; qemverify reports them all, the loader and
// the export refuse the folder with the first.
//
// - The manifests of the scope (ManifestSet::read).
// - The state file: while qem1r2genstate is there, the phases after the one
//   it records are not done; a scope that takes in such a phase (the whole
//   data set, say) is refused.
// - Every file the manifests list is stored whole ("NAME.qem") or as its
//   part files 1 to P ("NAME.qem.partKKKK"), each plain or compressed
//   ("*.zst"), in any mix: each part is checked against its own manifest,
//   whatever form it is in. Refused: a file or part present both plain and
//   compressed, a file present both whole and in parts, a part missing,
//   beyond P or numbered 0, a plain file or part of other bytes than the
//   manifests give, a compressed one of other compressed bytes than they
//   give (where they give them: a part written compressed, or a whole file
//   that is such parts joined).
// - Nothing stray: no temporary or side file of an unfinished write
//   ("*.tmp", "*.new") of a manifest or data file, no data file that no
//   manifest lists.
// In a part's scope only part K's manifests and files are looked at (and
// the temporary files of part K); in a scope of some phases, only theirs.
struct FolderCheck {
    Folder folder;
    ManifestSet manifests;
    // The listed files as stored, in the manifests' order; a file missing
    // or stored in two forms at once is named in `faults` and left out.
    std::vector<DataFile> files;
    Faults faults;

    // Throws DataSetError only when the folder cannot be listed.
    static FolderCheck run(const std::string& path, const Scope& scope);

    // The compressed bytes and CRC-32 that stored file `stored` of `file`
    // must have, when the manifests give them, with who says so.
    struct Compressed {
        uint64_t bytes = 0;
        uint32_t crc = 0;
        // "phase1.manifest.part0002 says", "its compressed parts joined
        // (phase1.manifest.part0001 to phase1.manifest.part0003) make"
        std::string source;
    };
    static std::optional<Compressed> compressedOf(const ExpectedFile& expected, const DataFile& file, size_t stored);

    // Where a part of a file lies, for messages: the part file
    // ("histsale.qem.part0002.zst") when the file is stored in parts, else
    // the file, with the part and its bytes when the file has several.
    static std::string whereIs(const DataFile& file, const ExpectedFile& expected, const ExpectedPart& part);
};

}  // namespace qemdata
