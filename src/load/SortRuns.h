#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qemload {

// Sorting a table's rows in key order within a fixed memory: the rows of
// each line are kept in memory (binary COPY rows) with the line's key up to
// a budget; a table larger than that is sorted in runs, each written in key
// order to a temporary file, and the runs are merged as they are sent.

// One line's rows in a run held in memory: its key and where its bytes lie.
struct RunEntry {
    uint64_t key;
    uint64_t offset : 40;  // in the run's row bytes
    uint64_t size : 24;
};

// Sorts the entries by key (equal keys, which the table's key refuses, in any order).
void sortEntries(std::vector<RunEntry>& entries);

// A run on disk: an unnamed temporary file (gone when closed, or when the
// process dies), written once and read once from its start. Each line is
// its key (8 bytes), its size (4 bytes) and its rows.
class RunFile {
public:
    // `folder`: where the file goes; `what` names the table in messages.
    RunFile(const std::string& folder, const std::string& what);
    ~RunFile();
    RunFile(const RunFile&) = delete;
    RunFile& operator=(const RunFile&) = delete;

    // Writes the entries' rows in their order (bytes: the rows they point at).
    void write(const std::vector<RunEntry>& entries, const char* bytes);
    // Prepares reading from the start through a buffer of `bufferBytes`.
    void startReading(size_t bufferBytes);
    // The next line: false at the end; else its key, and its rows until the
    // next call.
    bool next(uint64_t& key, const char*& rows, size_t& size);

private:
    void flushWrites();
    void fill();
    [[noreturn]] void fail(const char* doing) const;

    int fd = -1;
    std::string folder, what;
    std::vector<char> buffer;
    size_t begin = 0, end = 0;  // unread bytes of the buffer
    bool atEnd = false;
};

// The folder sort runs go to: TMPDIR, else /tmp.
std::string runFolder();

}  // namespace qemload
