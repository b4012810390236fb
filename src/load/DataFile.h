#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qemload {

// One file of a data set, stored whole ("histsale.qem") or as numbered parts
// ("histsale.qem.part0000", "histsale.qem.part0001", ...) that, concatenated in
// number order, form the file. Reads address the concatenation.
class DataFile {
public:
    struct Part {
        std::string path;
        uint64_t offset = 0, size = 0;
    };

    // Finds NAME in the folder, whole or in parts; throws LoadError when it is
    // missing, present in both forms, or its part numbers have a gap.
    static DataFile find(const std::string& folder, const std::string& name);
    // True when the folder holds NAME in either form.
    static bool exists(const std::string& folder, const std::string& name);

    const std::string& name() const { return fileName; }
    uint64_t size() const { return totalSize; }
    const std::vector<Part>& parts() const { return fileParts; }
    // Whether the file is stored as numbered parts (even as one part).
    bool storedInParts() const { return inParts; }

    // Reads [offset, offset + length) into out; throws LoadError when the
    // files end early or cannot be read.
    void read(uint64_t offset, char* out, size_t length) const;
    // "histsale.qem line 12" or, for a file in parts, with the part that holds
    // the line's first byte.
    std::string where(uint64_t offset, uint64_t line) const;

private:
    std::string fileName;
    std::vector<Part> fileParts;
    uint64_t totalSize = 0;
    bool inParts = false;
};

// Called with bytes of a data file as they are read: the file, the offset of
// the first byte in the whole file, the bytes.
using BytesRead = std::function<void(const DataFile& file, uint64_t offset, const char* data, size_t length)>;

// All bytes of a data file at once: the file mapped into memory when it is one
// piece (no copy), read into memory when it comes in parts.
class FileBytes {
public:
    explicit FileBytes(const DataFile& file);
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    const char* data() const { return bytes; }
    size_t size() const { return length; }

private:
    void* mapping = nullptr;
    std::unique_ptr<char[]> copy;
    const char* bytes = "";
    size_t length = 0;
};

}  // namespace qemload
