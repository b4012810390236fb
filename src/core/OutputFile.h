#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

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

    // Writes the whole text, `lines` lines, with one call on the stream
    // (several threads may write at once: the stream keeps each call's text
    // together) and counts them. On failure reports "error writing '%s'\n%s\n"
    // and throws failureText.
    void write(const char* text, size_t length, uint64_t lines, const char* failureText = "Oops");

    // Something that sees every block of text written to the file, in file
    // order, once it was written (qempart counts and digests its part files
    // so). A file with a watcher is written by one thread.
    class Watcher {
    public:
        virtual ~Watcher() = default;
        virtual void written(const char* text, size_t length) = 0;
    };
    void setWatcher(Watcher* w) { watcher = w; }

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

private:
    [[noreturn]] void failWrite(int error, const char* failureText) const;

    std::string fileName;
    FILE* stream;
    std::atomic<uint64_t> writtenBytes{0};
    std::atomic<uint64_t> writtenLines{0};
    Watcher* watcher = nullptr;
};

}  // namespace qem
