#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/OutputFile.h"
#include "core/WriterMutex.h"
#include "core/WriterRecord.h"
#include "integrity/ContentSum.h"

namespace qem {

// Base of every output-file writer. It owns a fixed buffer of records and
// writes each buffer in a shuffled order: the permutation drawn at construction
// for every full buffer, a freshly drawn one for the final partial buffer.
//
// A concrete writer implements walk(), which visits its share of the data and
// for every record fills slot() and calls emit(); the base writes a buffer
// when it is full or when the record limit is reached, and after the walk the
// partly filled rest. writeRecord() formats one record's line into the
// writer's text block.
//
// A buffer is written in two steps: first all of its records are formatted,
// in shuffled order, into the writer's own text block, without any lock; then
// the file's lock (if any) is taken only to hand the block to the file in one
// write. So the writers of a shared file format side by side and meet only
// for the copy into the file, and each buffer lands in the file as one
// contiguous run of lines.
class RecordWriter {
public:
    // capacity: slots per buffer (at least 1); lineLength: the longest line
    // the writer formats, line end included (the text block holds capacity of
    // them); recordLimit: the most records this writer produces, 0 for no
    // limit; lock: held while a buffer's text is written, or none. Draws
    // capacity keys from the global random stream.
    RecordWriter(OutputFile& file, int32_t capacity, int32_t lineLength, int32_t recordLimit = 0,
                 WriterMutex* lock = nullptr);
    virtual ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // The share of the data among the writers of one file: slice sliceIndex
    // of stride slices (batch writers only; set before run()).
    RecordWriter& setStride(int32_t n);
    RecordWriter& setSliceIndex(int32_t i);

    // Produces all of this writer's records: the walk, then, unless the
    // record limit ended it, the last, partly filled buffer (which may be
    // empty: then nothing is written or drawn, but endOfBuffer() is called).
    void run();

    // Part of a file (qempart): of this writer's buffers, numbered from 0 in
    // the order a whole run writes them, only [firstBuffer, endBuffer) are
    // written. A writer that seeks (seeks()) starts its walk at the first
    // record of firstBuffer and ends it after endBuffer, so the records
    // outside are never generated; any other writer walks as a whole run does
    // (its walk draws from the global stream) and formats and writes only the
    // buffers inside. Either way the keys are drawn as in a whole run: at
    // construction, and at the final partial flush when it is reached. Set
    // before run().
    RecordWriter& setWindow(int64_t firstBuffer, int64_t endBuffer);

    int32_t lineLength() const { return maxLine; }

    // Room after the block for one line longer than lineLength: a line that
    // overruns its length is detected once formatted (text exception
    // "Assert 002 failed", nothing of the buffer written) before the next
    // one starts. No line of any writer comes near it: codes and names fill
    // at most their column, and a number field is at most a few hundred
    // characters even for a value no formula yields.
    static constexpr size_t lineOverrun = 1024;

protected:
    virtual void walk() = 0;
    // Formats one record's line (at most lineLength() characters, line end
    // included) at text and returns the position after it.
    virtual char* writeRecord(const WriterRecord& record, char* text) = 0;
    // Called once after each buffer's text was written, still under the lock.
    virtual void endOfBuffer() {}
    // True for a writer whose walk starts at walkStart() and stops when emit()
    // says so: its walk draws nothing from the global stream.
    virtual bool seeks() const { return false; }
    // The number of the first record the walk produces: 0, or in a window the
    // first record of its first buffer (writers that seek only).
    int64_t walkStart() const { return seeks() ? windowFirst * capacity : 0; }

    // The slot that the next record goes into; its fields keep whatever an
    // earlier record of the slot left until the walk sets them.
    WriterRecord& slot() { return *cursor; }
    // Takes the record in slot() and moves on; writes the buffer when it is
    // full or the record limit is reached. Returns false once the limit has
    // been reached: the walk must then stop.
    bool emit() {
        ++cursor;
        ++count;
        limitReached = count >= stopCount;
        if (cursor == bufferEnd || limitReached) [[unlikely]]
            flushAndRestart();
        return !limitReached;
    }
    // Position of a slot in the buffer (the record's place in generation
    // order within its buffer).
    int32_t slotIndex(const WriterRecord& record) const { return static_cast<int32_t>(&record - records.get()); }

    OutputFile& file;
    const int32_t recordLimit;
    int32_t stride = 1;
    int32_t sliceIndex = 0;
    // Thrown when a write to the file fails (after the report).
    const char* writeFailureText = "Oops";

private:
    // Draws a key for each slot before end, in slot order, and points the
    // entries of `order` at those slots.
    void drawKeys(WriterRecord* end);
    // Orders the first k entries of `order` by their slots' keys.
    void sortOrder(std::ptrdiff_t k);
    // Writes the filled slots and moves the cursor back to the first.
    void flushAndRestart();
    // Formats the slots before end in shuffled order into the text block,
    // then writes the block under the lock if any and calls endOfBuffer().
    void flushRecords(WriterRecord* end);
    // Formats the first k slots of `order` into the text block, each line
    // hashed for the content sum (their sum in contentSum) by the file's line
    // hash; returns the end of the text.
    template <LineHash hash, bool blanked>
    char* formatBlock(std::ptrdiff_t k, uint64_t& contentSum);

    const int32_t capacity;
    const int32_t maxLine;
    WriterMutex* const lock;
    // Columns of this file's lines that its content sum reads as spaces.
    const BlankColumns blank;
    std::unique_ptr<WriterRecord[]> records;
    std::unique_ptr<WriterRecord*[]> order;
    std::unique_ptr<char[]> text;
    WriterRecord* cursor;
    WriterRecord* bufferEnd;
    std::ptrdiff_t sortedSlots = 0;  // entries of `order` in key order
    int64_t count = 0;               // records produced, those a window skips included
    // The walk ends when count reaches it: the record limit, or the end of a
    // seeking writer's window, whichever comes first.
    int64_t stopCount;
    bool limitReached = false;
    // The window: buffers outside it are not written. `buffer` is the number
    // of the buffer being filled.
    int64_t windowFirst = 0, windowEnd = INT64_MAX, buffer = 0;
};

}  // namespace qem
