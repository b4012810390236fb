#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"

namespace qem {

// One open output file (text mode, "w"), owned from opening to closing. Every
// write is checked; close() checks that everything reached the file and puts
// it on stable storage. On the failure path, where close() is not reached,
// the destructor closes the file without a report.
class OutputFile {
public:
    // Opens name for writing, creating or truncating it; on failure reports
    // "error opening '%s'\n%s\n" and throws the text exception "cannot continue".
    explicit OutputFile(const char* name);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const char* name() const { return fileName.c_str(); }

    // A file that only counts: nothing is opened or written, but the lines
    // and content sums are counted as for a real file, the sums with the
    // given line hash (that of the manifest they are checked against).
    struct CountOnly {};
    OutputFile(const char* name, CountOnly, LineHash hash = currentLineHash);

    // The line hash of this file's content sum.
    LineHash lineHash() const { return hash; }

    // Whether the bytes reach a file (and their CRC-32 is wanted).
    bool writesBytes() const { return stream != nullptr; }

    // What turns the text into the bytes that reach the file, where they are
    // not the text itself (a compressor). Called in file order, one write at
    // a time; hands its bytes to `put`, which writes them.
    using Put = std::function<int(const char* bytes, size_t length)>;
    class Encoder {
    public:
        virtual ~Encoder() = default;
        // 0 or an error number.
        virtual int encode(const char* text, size_t length, const Put& put) = 0;
        // The end of the encoding, at the file's close.
        virtual int finish(const Put& put) = 0;
    };
    // Set before the first write. The counts and sums below stay those of the
    // text; encodedBytes() and encodedCrc32() are those of the file's bytes.
    void setEncoder(std::unique_ptr<Encoder> e);
    uint64_t encodedBytes() const { return fileEncodedBytes; }
    uint32_t encodedCrc32() const { return encodedCrc.value(); }

    // Writes the whole text, `lines` lines whose CRC-32 is `crc` and whose
    // content sum is `contentSum`, with one call on the stream (several
    // threads may write at once: each call's text stays together, and the
    // file's CRC-32 follows the order in which the calls reach it), and
    // counts them. On failure reports "error writing '%s'\n%s\n" and throws
    // failureText.
    void write(const char* text, size_t length, uint64_t lines, uint32_t crc, uint64_t contentSum,
               const char* failureText = "Oops");
    // The same, the CRC-32 and the content sum of the text taken here.
    void write(const char* text, size_t length, uint64_t lines, const char* failureText = "Oops");

    // Closes the file after putting its data on stable storage (fdatasync; a
    // pipe or a character device needs none). A failed close or sync, or an error
    // the stream had already met, means data that never reached the file or
    // the device: reported as a write error, then the text exception "Oops".
    void close();

    // Bytes and lines written so far: counted once per write, readable from
    // any thread at any time (a progress display reads them while the
    // writers run).
    uint64_t bytesWritten() const { return writtenBytes.load(std::memory_order_relaxed); }
    uint64_t linesWritten() const { return writtenLines.load(std::memory_order_relaxed); }
    // The CRC-32 of the bytes as written, and the content sum of the lines
    // (once the writers have finished).
    uint32_t crc32() const { return fileCrc; }
    uint64_t contentSum() const { return fileSum; }

private:
    [[noreturn]] void failWrite(int error, const char* failureText) const;

    std::string fileName;
    FILE* stream;
    LineHash hash = currentLineHash;
    std::atomic<uint64_t> writtenBytes{0};
    std::atomic<uint64_t> writtenLines{0};
    std::mutex order;  // one write at a time, so the CRC-32 follows the file's order
    std::unique_ptr<Encoder> encoder;
    Put putEncoded;
    uint64_t fileEncodedBytes = 0;
    Crc32 encodedCrc;
    uint32_t fileCrc = 0;
    uint64_t fileSum = 0;
};

}  // namespace qem
