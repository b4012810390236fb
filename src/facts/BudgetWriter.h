#pragma once
#include "facts/AggregateWriter.h"

// "budget.qem": 12 records per cell (months 12 .. 23), scenario Budget and
// channel 0; four threads, a buffer at a time under the budget lock.
class BudgetWriter : public AggregateWriter {
public:
    BudgetWriter(OutputFile& file, int32_t capacity);

protected:
    void writeRecord(const WriterRecord& record) override;
};
