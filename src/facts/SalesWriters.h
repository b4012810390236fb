#pragma once
#include <memory>

#include "core/RecordWriter.h"

// Shared walk of the two sales files: customer blocks of the data region,
// this writer's slice of the product blocks, every channel leaf and the first
// densityCode cells of the channel's pattern shifted for the block; stops
// after recordLimit records.
class SalesWriter : public RecordWriter {
public:
    SalesWriter(OutputFile& file, int32_t capacity, int32_t recordLimit, int32_t months, WriterMutex* lock);

protected:
    void walk() override;

private:
    int32_t months;  // records per cell: 17 historical months, or 1
};

// "histsale.qem": 17 records per cell, each buffer's text handed to the file
// in one write under the historical sales lock.
class HistoricalSalesWriter : public SalesWriter {
public:
    HistoricalSalesWriter(OutputFile& file, int32_t capacity, int32_t recordLimit);

protected:
    void writeRecord(const WriterRecord& record) override;
    void endOfBuffer() override;

private:
    std::unique_ptr<char[]> textBuffer;
    int32_t textLength = 0;
};

// "currsale.qem": one record per cell, each line written with one call on the
// shared stream, without a lock.
class CurrentSalesWriter : public SalesWriter {
public:
    CurrentSalesWriter(OutputFile& file, int32_t capacity, int32_t recordLimit);

protected:
    void writeRecord(const WriterRecord& record) override;
};
