#pragma once
#include <cstdint>
#include <memory>

#include "core/OutputFile.h"
#include "core/WriterMutex.h"
#include "core/WriterRecord.h"

// Base of every output-file writer. It owns a fixed buffer of records and
// writes each buffer in a shuffled order: the permutation drawn at construction
// for every full buffer, a freshly drawn one for the final partial buffer.
//
// A concrete writer implements walk(), which visits its share of the data and
// for every record fills slot() and calls emit(); the base writes a buffer
// when it is full or when the record limit is reached, and after the walk the
// partly filled rest. writeRecord() formats one record (or appends it to the
// writer's own text); endOfBuffer() follows the last record of each buffer.
class RecordWriter {
public:
    // capacity: slots per buffer (at least 1); recordLimit: the most records
    // this writer produces, 0 for no limit; lock: held while a buffer is
    // written, or none. Draws capacity keys from the global random stream.
    RecordWriter(OutputFile& file, int32_t capacity, int32_t recordLimit = 0, WriterMutex* lock = nullptr);
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

protected:
    virtual void walk() = 0;
    virtual void writeRecord(const WriterRecord& record) = 0;
    // Called once after each buffer's records were written, still under the lock.
    virtual void endOfBuffer() {}

    // The slot that the next record goes into; its fields keep whatever an
    // earlier record of the slot left until the walk sets them.
    WriterRecord& slot() { return *cursor; }
    // Takes the record in slot() and moves on; writes the buffer when it is
    // full or the record limit is reached. Returns false once the limit has
    // been reached: the walk must then stop.
    bool emit();
    // Position of a slot in the buffer (the record's place in generation
    // order within its buffer).
    int32_t slotIndex(const WriterRecord& record) const { return static_cast<int32_t>(&record - records.get()); }

    // Write to the file with the failure report of OutputFile::write.
    void writeText(const char* text, size_t length) { file.write(text, length); }
    void writeLine(const char* line);

    OutputFile& file;
    const int32_t recordLimit;
    int32_t stride = 1;
    int32_t sliceIndex = 0;

private:
    // Draws a key for each slot before end and orders those entries of `order`.
    void shuffle(WriterRecord* end);
    // Writes the slots before end in shuffled order, under the lock if any,
    // then calls endOfBuffer().
    void flushRecords(WriterRecord* end);

    const int32_t capacity;
    WriterMutex* const lock;
    std::unique_ptr<WriterRecord[]> records;
    std::unique_ptr<WriterRecord*[]> order;
    WriterRecord* cursor;
    int32_t count = 0;
    bool limitReached = false;
};
