#pragma once
#include "core/RecordWriter.h"

namespace qem {

// Shared walk of the two sales files: customer blocks of the data region,
// this writer's slice of the product blocks, every channel leaf and the first
// densityCode cells of the channel's pattern shifted for the block; stops
// after recordLimit records.
class SalesWriter : public RecordWriter {
public:
    SalesWriter(OutputFile& file, int32_t capacity, int32_t lineLength, int32_t recordLimit, int32_t months,
                WriterMutex* lock);

protected:
    void walk() override;
    bool seeks() const override { return true; }

private:
    int32_t months;  // records per cell: 17 historical months, or 1
};

// "histsale.qem": 17 records per cell; each buffer's text is written in one
// piece under the historical sales lock.
class HistoricalSalesWriter : public SalesWriter {
public:
    static constexpr int32_t lineLength = 63;  // "%12s%12s%12s%6s%10d%10.2lf\n"

    HistoricalSalesWriter(OutputFile& file, int32_t capacity, int32_t recordLimit);

protected:
    char* writeRecord(const WriterRecord& record, char* text) override;
};

// "currsale.qem": one record per cell; each buffer's text is written with one
// call on the shared stream, without a lock (the stream keeps a call's text
// together, so lines never split).
class CurrentSalesWriter : public SalesWriter {
public:
    static constexpr int32_t lineLength = 57;  // "%-12s%-12s%-12s%10d%10.2lf\n"

    CurrentSalesWriter(OutputFile& file, int32_t capacity, int32_t recordLimit);

protected:
    char* writeRecord(const WriterRecord& record, char* text) override;
};

}  // namespace qem
