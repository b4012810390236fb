#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qemdata {

class DataFile;

// Called with bytes of a data file as they are read: the file, the offset of
// the first byte in the whole file, the bytes.
using BytesRead = std::function<void(const DataFile& file, uint64_t offset, const char* data, size_t length)>;

// Called once a compressed file of a data file has been read whole (every
// byte of it, and the text it holds was exactly the text expected): the
// file, the index of the compressed file among its stored files, the
// compressed bytes and their CRC-32.
using CompressedRead = std::function<void(const DataFile& file, size_t stored, uint64_t bytes, uint32_t crc)>;

// One file of a data set, stored whole ("histsale.qem") or as numbered parts
// ("histsale.qem.part0001", "histsale.qem.part0002", ...) that, concatenated
// in number order, form the file. The whole file, and each part, may be
// stored compressed instead ("histsale.qem.zst", "histsale.qem.part0001.zst":
// one or more Zstandard frames). Reads address the text of the
// concatenation; a compressed file is decompressed as it is read, from its
// start. FolderCheck finds a file's stored form.
class DataFile {
public:
    struct Part {
        std::string path;
        uint64_t offset = 0, size = 0;  // of its text in the whole file
        bool compressed = false;
        uint64_t storedBytes = 0;        // of the file as stored
        // Who gives the size of a compressed file's text (for messages):
        // "phase1.manifest.part0002 says 26721828".
        std::string sizeSource;
    };

    // The file stored as `parts` (in order: the whole file, or its parts),
    // each with its text size (of a compressed one: as the manifests give it).
    DataFile(std::string name, std::vector<Part> parts, bool inParts);
    DataFile() = default;
    // Whether this build reads compressed files (it was built with libzstd).
    static bool canDecompress();

    const std::string& name() const { return fileName; }
    uint64_t size() const { return totalSize; }
    const std::vector<Part>& parts() const { return fileParts; }
    // Whether the file is stored as numbered parts (even as one part).
    bool storedInParts() const { return inParts; }
    // Whether any of its stored files is compressed.
    bool anyCompressed() const;
    // The name of stored file k in its folder ("histsale.qem.part0002.zst").
    std::string storedName(size_t k) const;

    // Reads [offset, offset + length) into out; throws DataSetError when the
    // files end early, cannot be read, or a compressed one is damaged or holds
    // other than its text size. Every compressed file the read passes the end
    // of (an empty one included; those before the first byte too when offset
    // is 0) is read to its end and checked, and shown to `whole` when given.
    void read(uint64_t offset, char* out, size_t length, const CompressedRead& whole = nullptr) const;
    // "histsale.qem line 12" or, for a file in parts, with the part that holds
    // the line's first byte.
    std::string where(uint64_t offset, uint64_t line) const;

    // Reads the file's text in order from an offset, as read() does, call
    // after call, keeping a compressed file's place between calls.
    class Reader {
    public:
        Reader(const DataFile& file, uint64_t offset, CompressedRead whole = nullptr);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        // The next `length` bytes.
        void read(char* out, size_t length);

    private:
        struct Decoding;
        void finishPassed();
        void readPlain(char* out, size_t length);
        void readCompressed(char* out, size_t length);
        Decoding& decoding();
        bool decodeMore(Decoding& d);
        void close();

        const DataFile& file;
        CompressedRead whole;
        uint64_t position;
        size_t current = 0;
        int fd = -1;  // of the current plain part
        std::unique_ptr<Decoding> decoder;  // of the current compressed part
    };

private:
    std::string fileName;
    std::vector<Part> fileParts;
    uint64_t totalSize = 0;
    bool inParts = false;
};

}  // namespace qemdata
