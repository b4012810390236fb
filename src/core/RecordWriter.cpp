#include "core/RecordWriter.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <thread>

#include "core/Failure.h"
#include "core/OrderByKey.h"
#include "core/RandomGenerator.h"
#include "integrity/Crc32.h"

namespace qem {

RecordWriter::RecordWriter(OutputFile& f, int32_t cap, int32_t lineLength, int32_t limit, WriterMutex* fileLock)
    : file(f),
      recordLimit(limit),
      capacity(cap),
      maxLine(lineLength),
      lock(fileLock),
      blank(blankColumnsOf(f.name())),
      stopCount(limit > 0 ? limit : INT64_MAX) {
    if (capacity < 1 || maxLine < 1) throw TextException("Assert 001 failed");
    records.reset(new WriterRecord[capacity]());
    order.reset(new WriterRecord*[capacity]);
    text.reset(new char[static_cast<size_t>(capacity) * static_cast<size_t>(maxLine) + lineOverrun]);
    cursor = records.get();
    bufferEnd = records.get() + capacity;
    // The keys of the full buffers' order are drawn now, on the constructing
    // thread; ordering them waits for the first full buffer, so that a
    // batch's writers do it on their own threads.
    drawKeys(bufferEnd);
}

RecordWriter::~RecordWriter() = default;

RecordWriter& RecordWriter::setStride(int32_t n) {
    stride = n;
    return *this;
}

RecordWriter& RecordWriter::setSliceIndex(int32_t i) {
    sliceIndex = i;
    return *this;
}

RecordWriter& RecordWriter::setWindow(int64_t firstBuffer, int64_t endBuffer) {
    if (firstBuffer < 0 || endBuffer < firstBuffer || count != 0) throw TextException("Assert 001 failed");
    windowFirst = firstBuffer;
    windowEnd = endBuffer;
    if (seeks()) {
        // The buffers before the window count as produced; the walk ends
        // with the window's last buffer (or earlier, at the record limit).
        buffer = firstBuffer;
        count = firstBuffer * capacity;
        if (endBuffer <= INT64_MAX / capacity) stopCount = std::min(stopCount, endBuffer * capacity);
    }
    return *this;
}

void RecordWriter::run() {
    // A seeking writer with an empty window has nothing to produce.
    if (seeks() && windowFirst == windowEnd) return;
    walk();
    if (!limitReached) flushRecords(cursor);
}

void RecordWriter::flushAndRestart() {
    flushRecords(cursor);
    cursor = records.get();
    ++buffer;
}

void RecordWriter::drawKeys(WriterRecord* end) {
    WriterRecord* const base = records.get();
    if (end < base || end - base > capacity) throw TextException("Assert 001 failed");
    const std::ptrdiff_t k = end - base;
    // One draw per slot, in slot order; drawn in runs under one taking of the stream's lock.
    constexpr std::ptrdiff_t run = 256;
    int32_t keys[run];
    for (std::ptrdiff_t first = 0; first < k; first += run) {
        const std::ptrdiff_t n = std::min(run, k - first);
        randomInts(keys, static_cast<size_t>(n));
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            order[first + i] = base + first + i;
            base[first + i].shuffleKey = keys[i];
        }
    }
    sortedSlots = 0;
}

void RecordWriter::sortOrder(std::ptrdiff_t k) {
    orderByKey(order.get(), order.get() + k, [](const WriterRecord* r) { return r->shuffleKey; });
    sortedSlots = k;
}

template <LineHash hash, bool blanked>
char* RecordWriter::formatBlock(std::ptrdiff_t k, uint64_t& contentSum) {
    const BlankColumns lineBlank = blanked ? blank : BlankColumns{};
    std::optional<BlankedLines> blankedLines;
    if constexpr (blanked && hash == LineHash::xxh3) blankedLines.emplace(blank);
    const auto hashLine = [&](const char* line, size_t n) {
        if constexpr (blanked && hash == LineHash::xxh3) return blankedLines->hashWithSlack(line, n);
        else return lineHash<true>(line, n, lineBlank, hash);
    };
    char* out = text.get();
    // The shuffled order reads the slots at random: ask for each slot a few
    // lines ahead of its use.
    constexpr std::ptrdiff_t prefetchDistance = 8;
    // Each line is hashed for the content sum while it is still in the
    // cache, a few lines after it was formatted: the hash reads whole words,
    // which right after the formatter's byte stores would wait for each of
    // them to reach the cache.
    constexpr std::ptrdiff_t hashLag = 16;
    char* ends[hashLag];  // the ends of the last lines formatted, by i % hashLag
    const char* unhashed = out;
    uint64_t sum = 0;
    for (std::ptrdiff_t i = 0; i < k; ++i) {
        if (i + prefetchDistance < k) __builtin_prefetch(order[i + prefetchDistance]);
        char* const next = writeRecord(*order[i], out);
        if (next - out > maxLine) throw TextException("Assert 002 failed");
        if (i >= hashLag) {
            const char* const end = ends[i % hashLag];
            sum += hashLine(unhashed, static_cast<size_t>(end - unhashed));
            unhashed = end;
        }
        ends[i % hashLag] = next;
        out = next;
    }
    for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(k - hashLag, 0); i < k; ++i) {
        const char* const end = ends[i % hashLag];
        sum += hashLine(unhashed, static_cast<size_t>(end - unhashed));
        unhashed = end;
    }
    contentSum = sum;
    return out;
}

void RecordWriter::flushRecords(WriterRecord* end) {
    // A full buffer keeps the order of the keys drawn at construction; a
    // partial one draws keys of its own.
    const std::ptrdiff_t k = end - records.get();
    if (end != bufferEnd) {
        drawKeys(end);
        sortOrder(k);
    } else if (sortedSlots != k) {
        sortOrder(k);
    }
    // Outside a window nothing is written (the keys above were drawn all the same).
    if (buffer < windowFirst || buffer >= windowEnd) return;
    char* const block = text.get();
    uint64_t contentSum = 0;
    char* const out = file.lineHash() == LineHash::xxh3
                          ? (blank.any() ? formatBlock<LineHash::xxh3, true>(k, contentSum)
                                         : formatBlock<LineHash::xxh3, false>(k, contentSum))
                          : (blank.any() ? formatBlock<LineHash::keyed, true>(k, contentSum)
                                         : formatBlock<LineHash::keyed, false>(k, contentSum));
    const size_t length = static_cast<size_t>(out - block);
    // The block's CRC-32 is taken here too, so that under the lock only the
    // copy into the file remains.
    Crc32 crc;
    if (file.writesBytes()) crc.add(block, length);
    {
        std::optional<WriterMutexLock> guard;
        if (lock) guard.emplace(*lock);
        file.write(block, length, static_cast<uint64_t>(k), crc.value(), contentSum, writeFailureText);
        endOfBuffer();
    }
    // This writer has only formatting ahead of it, while another one may be
    // waiting with a whole buffer for the file: that one runs first. With
    // more writers than cores the file would otherwise stand idle until the
    // formatting threads' time slices end.
    std::this_thread::yield();
}

}  // namespace qem
