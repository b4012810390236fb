#pragma once
#include "facts/AggregateWriter.h"

// "budget.qem": 12 records per cell (months 12 .. 23), scenario Budget and
// channel 0; four threads, a buffer at a time under the budget lock.
class BudgetWriter : public AggregateWriter {
public:
    BudgetWriter(FILE* file, const char* fileName, int32_t capacity, int32_t recordLimit);

protected:
    void writeRecord(const WriterRecord& record) override;
};
