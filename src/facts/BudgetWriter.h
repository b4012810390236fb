#pragma once
#include "facts/AggregateWriter.h"

namespace qem {

// "budget.qem": 12 records per cell (months 12 .. 23), scenario Budget and
// channel 0; four threads, a buffer's text at a time under the budget lock.
class BudgetWriter : public AggregateWriter {
public:
    static constexpr int32_t lineLength = 51;  // "%12s%12s%6s%10d%10.2lf\n"

    BudgetWriter(OutputFile& file, int32_t capacity);

protected:
    char* writeRecord(const WriterRecord& record, char* text) override;
};

}  // namespace qem
