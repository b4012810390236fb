#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace qem {

// What reading a file gives: its bytes, lines (a last line without a line
// end counts too), the CRC-32 of its bytes and its content sum (its blank
// columns, by its name, read as spaces).
struct FileFigures {
    int64_t bytes = 0, lines = 0;
    uint32_t crc = 0;
    uint64_t sum = 0;
    // Why the file could not be read to its end ("No such file or
    // directory", "not a regular file", ...); empty when it was.
    std::string error;
    // A line longer than longestLine: no file of a data set has one, and
    // its content sum is not taken the way a writer takes it.
    bool overlongLine = false;
};

// No line of a data set comes near this many bytes.
constexpr int64_t longestLine = 64 * 1024;

// Reads files of the folder `folder` (an open descriptor) on `threads`
// threads (0: one per processor), every file in pieces of a few megabytes,
// so that a large file keeps every thread busy and small files are read
// side by side; each piece's CRC-32 and content sum are taken as it is read,
// and the pieces' figures combined in file order. `bytesRead` counts the
// bytes read so far (a progress display reads it). The figures of each
// file, in the order given.
std::vector<FileFigures> readFiles(int folder, const std::vector<std::string>& names, std::atomic<uint64_t>& bytesRead,
                                   unsigned threads = 0);

}  // namespace qem
