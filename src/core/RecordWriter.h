#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>

#include "core/WriterMutex.h"
#include "core/WriterRecord.h"

// Base of every output-file writer. It owns a fixed buffer of records and
// writes each buffer in a shuffled order: the permutation drawn at construction
// for every full buffer, a freshly drawn one for the final partial buffer.
class RecordWriter {
public:
    RecordWriter(FILE* file, const char* fileName, int32_t capacity, int32_t recordLimit);
    virtual ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    RecordWriter& setStride(int32_t n);
    RecordWriter& setSliceIndex(int32_t i);

    // Generates all of this writer's records.
    virtual void run() = 0;

    int32_t getCapacity() const { return capacity; }
    int32_t getRecordLimit() const { return recordLimit; }
    int32_t getStride() const { return stride; }
    int32_t getSliceIndex() const { return sliceIndex; }
    const char* getFileName() const { return fileName; }

protected:
    // Called once after each buffer's records were written, still under the lock.
    virtual void endOfBuffer() {}
    virtual void writeRecord(const WriterRecord& record) = 0;

    // Draws a key for each slot before end and orders those entries of `order`.
    void shuffle(WriterRecord* end);
    // Writes the slots before end in shuffled order, under lock if given, then
    // calls endOfBuffer().
    void flushRecords(WriterRecord* end, WriterMutex* lock);

    WriterRecord* recordsBegin() { return records.get(); }
    WriterRecord* recordsEnd() { return records.get() + capacity; }

    // Writes the whole of text to the file or reports the failure and throws
    // the text exception "Oops".
    void writeText(const char* text, size_t length);
    // Writes one NUL-terminated line in one call, with the same failure report.
    void writeLine(const char* line);
    // Reports a failed write of this writer's file on standard error.
    void reportWriteError() const;

    FILE* file;
    const char* fileName;
    int32_t capacity;
    int32_t recordLimit;
    int32_t stride = 1;
    int32_t sliceIndex = 0;

private:
    std::unique_ptr<WriterRecord[]> records;
    std::unique_ptr<WriterRecord*[]> order;
};
