#pragma once
#include <atomic>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dataset/DataFile.h"
#include "dataset/FixedFields.h"
#include "dataset/FolderCheck.h"
#include "integrity/ContentSum.h"

namespace qemdata {

// The bytes of every file as a reader reads them, checked against the
// manifests: each part's lines, bytes, CRC-32 and content sum, each
// compressed part file's compressed bytes and CRC-32 where its manifest
// gives them, and the form of every inventory value (the columns the content
// sum reads as spaces). The readers read pieces of a file in any order, on
// several threads, cut anywhere: each piece's CRC-32 and the hashes of the
// lines whole in it are taken where it is read, with the bytes of the lines
// it cuts at its ends; once the last piece of a part is in, the pieces are
// put together in file order (CRCs combined, cut lines joined and hashed,
// sums added) and the part is checked. So the check reads nothing the
// reader does not read anyway.
class ContentCheck {
public:
    // What to do with a fault: throw it as a DataSetError where it is found
    // (a reader that stops at the first), or keep it with its part (qemverify,
    // which names them all).
    enum class Faults { thrown, kept };

    // Each file with the parts its manifests describe (none: nothing is
    // checked, as for a data set without manifests). Both must outlive the
    // check.
    struct Checked {
        const DataFile* file = nullptr;
        const ExpectedFile* expected = nullptr;
    };
    explicit ContentCheck(const std::vector<Checked>& files, Faults faults = Faults::thrown);
    // The files of a data set, with what its manifests describe.
    static std::unique_ptr<ContentCheck> of(const ManifestSet& manifests, const std::vector<DataFile>& files,
                                            Faults faults = Faults::thrown);

    // Takes the bytes [offset, offset + length) of a file's text. Safe from
    // several threads at once; every byte of a file is to be shown once.
    void add(const DataFile& file, uint64_t offset, const char* data, size_t length);

    // Takes the bytes and CRC-32 of stored file `stored` of a file, read
    // whole (a CompressedRead). Safe from several threads at once.
    void addCompressed(const DataFile& file, size_t stored, uint64_t bytes, uint32_t crc);

    // Throws DataSetError unless every part of every file was read whole
    // and checked, and every compressed file whose bytes the manifests give
    // was checked too: called before anything is published. With kept
    // faults, it names what was not read with the part instead. With
    // `needed`, only the parts it names (a reader of some parts only).
    void finish(const std::function<bool(const DataFile&, const ExpectedPart&)>& needed = nullptr);

    // What was found of one part, for a report.
    struct PartResult {
        const ExpectedPart* expected = nullptr;
        std::string where;  // FolderCheck::whereIs
        bool read = false;  // every byte of it came in
        int64_t lines = 0;
        uint64_t bytes = 0;
        uint32_t crc = 0;
        uint64_t sum = 0;
        std::vector<std::string> faults;  // kept faults, each without the part's name
    };
    std::vector<PartResult> results(const DataFile& file) const;
    // A stored compressed file read whole: its bytes, and the kept fault of
    // them (other compressed bytes or CRC-32 than the manifest gives).
    struct CompressedResult {
        bool read = false;
        uint64_t bytes = 0;
        std::string fault;
    };
    std::vector<CompressedResult> compressedResults(const DataFile& file) const;

    uint64_t partsChecked() const;
    uint64_t compressedChecked() const;
    // The processor time the checks took so far, over all threads, in seconds.
    double processorSeconds() const { return static_cast<double>(nanoseconds.load()) / 1e9; }

private:
    struct Piece {
        uint64_t offset = 0, length = 0;
        uint32_t crc = 0;
        uint64_t sum = 0;
        int64_t lines = 0;
        bool newline = false;   // the piece holds a line end
        std::string head, tail;  // the bytes up to its first line end (included), after its last
    };
    struct PartState {
        const ExpectedPart* expected = nullptr;
        std::vector<Piece> pieces;
        uint64_t bytesIn = 0;
        bool checked = false;
        int64_t lines = 0;
        uint32_t crc = 0;
        uint64_t sum = 0;
        std::vector<std::string> faults;
    };
    struct CompressedState {
        std::optional<FolderCheck::Compressed> expected;
        CompressedResult result;
    };
    struct FileState {
        const DataFile* file = nullptr;
        const ExpectedFile* expected = nullptr;
        qem::BlankColumns blank;
        const std::vector<fixed_fields::Field>* inventory = nullptr;
        int lineLength = 0;  // of the inventory files' lines, for their fields
        std::vector<PartState> parts;             // in file order
        std::vector<CompressedState> compressed;  // by stored file
        mutable std::mutex mutex;
    };

    // The hash and the inventory fields of one line at `offset` of the file.
    uint64_t line(const FileState& f, qem::LineHash hash, qem::BlankedLines* blanked, bool slack, const char* text,
                  size_t length, uint64_t offset, std::string& fault) const;
    // Puts a part's pieces together and checks the part; "" or its fault.
    std::string complete(FileState& f, PartState& part) const;
    // Throws the fault, or keeps it with its part.
    void fault(PartState& part, const std::string& text) const;

    const Faults policy;
    std::map<const DataFile*, std::unique_ptr<FileState>> files;
    std::atomic<uint64_t> nanoseconds{0};
};

}  // namespace qemdata
