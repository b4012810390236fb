#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "integrity/ContentSum.h"
#include "dataset/DataFile.h"
#include "dataset/Manifests.h"

namespace qemdata {

// The bytes of every file as the load reads them, checked against the
// manifests: each part's lines, bytes, CRC-32 and content sum. The jobs read
// pieces of a file in any order and on several threads; each piece's CRC and
// sum are taken where it is read, and once the last piece of a part is in,
// the CRCs are combined in file order and the sums added, and the part is
// checked. So the check reads nothing the load does not read anyway.
class ContentCheck {
public:
    // Nothing is checked when the data set has no manifests. The files must
    // have passed manifests.checkStored(); both must outlive the check.
    ContentCheck(const DataSetManifests& manifests, const std::vector<const DataFile*>& files);

    // Takes the bytes [offset, offset + length) of a file. Throws DataSetError
    // naming the file and part when a part they complete is not the part
    // its manifest describes. Safe from several threads at once; every byte
    // of a file is to be shown once.
    void add(const DataFile& file, uint64_t offset, const char* data, size_t length);

    // Takes the bytes and CRC-32 of a compressed file of a file, read whole
    // (a CompressedRead): throws DataSetError naming it when the manifests give
    // others. Safe from several threads at once.
    void addCompressed(const DataFile& file, size_t stored, uint64_t bytes, uint32_t crc);

    // Throws DataSetError unless every part of every file was read whole and
    // checked, and every compressed file whose bytes the manifests give was
    // checked too: called before the load is published.
    void finish() const;

    // The parts checked so far.
    uint64_t partsChecked() const;
    // The compressed files checked so far against the manifests' compressed
    // bytes and CRC-32.
    uint64_t compressedChecked() const;
    // The processor time the checks took so far, over all threads, in seconds.
    double processorSeconds() const { return static_cast<double>(nanoseconds.load()) / 1e9; }

private:
    struct Piece {
        uint64_t offset = 0, length = 0;
        uint32_t crc = 0;
        uint64_t sum = 0;
        int64_t lines = 0;
    };
    struct PartState {
        const ExpectedPart* expected = nullptr;
        std::vector<Piece> pieces;
        uint64_t bytesIn = 0;
        bool checked = false;
    };
    struct CompressedState {
        std::optional<DataSetManifests::Compressed> expected;
        bool checked = false;
    };
    struct FileState {
        const DataFile* file = nullptr;
        qem::BlankColumns blank;
        std::vector<PartState> parts;  // in file order
        std::vector<CompressedState> compressed;  // by stored file
        mutable std::mutex mutex;
    };

    // "" when the part's pieces make the part its manifest describes, else
    // what differs.
    std::string verify(const FileState& f, PartState& part) const;

    const DataSetManifests& manifests;
    std::map<std::string, std::unique_ptr<FileState>> files;
    std::atomic<uint64_t> nanoseconds{0};
};

}  // namespace qemdata
