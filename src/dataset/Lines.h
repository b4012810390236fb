#pragma once
#include <cstdint>
#include <string>

#include "dataset/DataFile.h"
#include "dataset/DataSetError.h"

namespace qemdata {

// Walking the fixed-length lines of a data-set file. Every line of a file has
// the same length; line ends are "\n" or, for a data set written where text
// files end lines with CR LF, "\r\n" (one convention per file, found on its
// first line). A line is checked by its line end alone: a line of the wrong
// length moves every following line end off its place, so the first bad line
// is the first whose line end is missing.
namespace lines {

// Bytes of a line end in this file (1 or 2); throws DataSetError naming line 1
// when the first line has the wrong length. An empty file gives 1.
int lineEndOf(const DataFile& file, int length);

// "has 40 characters, expected 62" for the line at offset, or what is wrong
// with its line end (lineEnd bytes expected; 0: either).
std::string describeBadLine(const DataFile& file, uint64_t offset, int length, int lineEnd);

inline bool endsAt(const char* p, int lineEnd) {
    return lineEnd == 1 ? p[0] == '\n' : p[0] == '\r' && p[1] == '\n';
}

// Calls f(line, lineNumber) for each line in data, which holds the file's bytes
// from offset (a multiple of the line stride) on. A LineError thrown by f, and
// a line of the wrong length, become a ReadFault naming file and line.
template <typename F>
void forEach(const DataFile& file, const char* data, size_t size, uint64_t offset, int length, int lineEnd, F&& f) {
    const size_t stride = static_cast<size_t>(length + lineEnd);
    uint64_t line = offset / stride + 1;
    for (size_t pos = 0; pos < size; pos += stride, ++line) {
        const char* p = data + pos;
        if (size - pos < stride || !endsAt(p + length, lineEnd))
            throw ReadFault(file.where(offset + pos, line) + ": " + describeBadLine(file, offset + pos, length, lineEnd));
        try {
            f(p, line);
        } catch (const LineError& e) {
            throw ReadFault(file.where(offset + pos, line) + ": " + e.what());
        }
    }
}

// Reads the whole (small) file, shows its bytes to `seen` and its compressed
// files to `whole` (when given) and walks its lines.
template <typename F>
void forEachInFile(const DataFile& file, int length, F&& f, const BytesRead& seen = nullptr,
                   const CompressedRead& whole = nullptr) {
    std::string data(file.size(), '\0');
    file.read(0, data.data(), data.size(), whole);
    if (seen) seen(file, 0, data.data(), data.size());
    const int lineEnd = lineEndOf(file, length);
    forEach(file, data.data(), data.size(), 0, length, lineEnd, f);
}

}  // namespace lines

}  // namespace qemdata
