#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "integrity/ContentSum.h"

namespace qem {

// What reading a file gives: its bytes, lines (a last line without a line
// end counts too), the CRC-32 of its bytes and its content sum (its blank
// columns, by its name, read as spaces). For a compressed file these are the
// figures of its text, decompressed as it is read, and the file's own bytes
// and CRC-32 are given apart.
struct FileFigures {
    int64_t bytes = 0, lines = 0;
    uint32_t crc = 0;
    uint64_t sum = 0;
    // Why the file could not be read to its end ("No such file or
    // directory", "not a regular file", ...); empty when it was.
    std::string error;
    // A compressed file: its own bytes and their CRC-32 (read to its end
    // even where its data is unsound), and what is wrong with its data
    // ("corrupt compressed data (...)", "cut short: ...": the text figures
    // then stop where decompressing stopped); empty when it decompressed whole.
    int64_t compressedBytes = 0;
    uint32_t compressedCrc = 0;
    std::string decodeError;
    // A line longer than longestLine: no file of a data set has one, and
    // its content sum is not taken the way a writer takes it.
    bool overlongLine = false;
};

// No line of a data set comes near this many bytes.
constexpr int64_t longestLine = 64 * 1024;

// A file to read: its name in the folder, whether it is a Zstandard file
// (one or more frames) whose text is to be checked, and the line hash of its
// content sum (that of the manifest it is checked against).
struct FileToRead {
    std::string name;
    bool compressed = false;
    LineHash lineHash = currentLineHash;
};

// Reads files of the folder `folder` (an open descriptor) on `threads`
// threads (0: one per processor). A plain file is read in pieces of a
// megabyte, so that a large file keeps every thread busy and small files are
// read side by side; each piece's CRC-32 and content sum are taken as it is
// read, and the pieces' figures combined in file order. A compressed file
// is read from start to end by one thread (its frames can only be decoded
// in order), a megabyte at a time, its text taken as it comes out of the
// decoder: memory does not grow with the file. The compressed files are
// taken first, so that the pieces of plain files fill the other threads
// meanwhile. `bytesRead` counts the bytes of text read so far (a progress
// display reads it). The figures of each file, in the order given.
std::vector<FileFigures> readFiles(int folder, const std::vector<FileToRead>& files, std::atomic<uint64_t>& bytesRead,
                                   unsigned threads = 0);

}  // namespace qem
