#pragma once
#include "core/RecordWriter.h"

namespace qem {

// Shared walk of the files without a channel column (inventory and budget):
// customer blocks of the data region, this writer's slice of the product
// blocks, and per block the aggregate of the cells that carry data in at least
// one channel, ascending. Each cell gives monthCount records, timeIndex running
// from firstMonth.
class AggregateWriter : public RecordWriter {
public:
    AggregateWriter(OutputFile& file, int32_t capacity, int32_t lineLength, int32_t firstMonth, int32_t monthCount,
                    WriterMutex* lock);

protected:
    void walk() override;
    bool seeks() const override { return true; }

private:
    int32_t firstMonth;
    int32_t monthCount;
};

}  // namespace qem
