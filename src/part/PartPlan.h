#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "phase/PhaseFiles.h"

namespace qem {

// How the files of one phase are dealt to P parts (qempart): each file's
// buffers, numbered through its writers in order (for the files of four
// writers: batch 0's writers 0 to 3, then batch 1's, ...), are cut into P
// consecutive ranges, part k's range before part k + 1's, so that the parts
// joined in order give the file as a run that writes its writers one after
// another. The cuts balance the bytes of the parts over the whole phase:
//
// - the files of at least P buffers, largest first, are spread by water
//   filling: the parts that have the fewest bytes so far get the most of the
//   file, and each cut falls on the buffer boundary nearest to its share;
// - then the smaller files, largest first, each give one buffer to each of
//   the parts with the fewest bytes (in part order).
//
// Everything is integer arithmetic on the record counts, so every part (on
// any machine) computes the same cuts; each part keeps only its own ranges,
// so the plan's memory does not grow with P times the files.

// Buffers [first, end) of a file, numbered through its writers.
struct BufferRange {
    int64_t first = 0, end = 0;
    bool empty() const { return first == end; }
};

// The range of every file that part `part` (1 .. parts) gets.
std::vector<BufferRange> splitPhase(const std::vector<SplitFile>& files, int32_t parts, int32_t part);

// The buffers of one writer within a range of its file's buffers: writer
// `writer`'s own buffer numbers, from 0.
BufferRange writerWindow(const SplitFile& file, size_t writer, const BufferRange& range);

// Bytes of the buffers of a range.
int64_t rangeBytes(const SplitFile& file, const BufferRange& range);

}  // namespace qem
