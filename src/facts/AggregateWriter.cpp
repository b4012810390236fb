#include "facts/AggregateWriter.h"

#include "context/Context.h"

AggregateWriter::AggregateWriter(OutputFile& f, int32_t cap, int32_t lineLength, int32_t first, int32_t count,
                                 WriterMutex* lock)
    : RecordWriter(f, cap, lineLength, 0, lock), firstMonth(first), monthCount(count) {}

void AggregateWriter::walk() {
    const DensityPattern& density = *context.densityPattern;
    const int32_t cEnd = customerEnd(), pEnd = productEnd();
    const int32_t bc = context.blockCustomers, bp = context.blockProducts;
    const int64_t productStep = int64_t{bp} * stride;
    for (int32_t c0 = 0; c0 < cEnd; c0 += bc) {
        for (int64_t p0 = int64_t{bp} * sliceIndex; p0 < pEnd; p0 += productStep) {
            const std::unique_ptr<CellPattern> aggregate = density.aggregate(c0, static_cast<int32_t>(p0));
            const int32_t cells = aggregate->cellCount();
            for (int32_t i = 0; i < cells; ++i) {
                const PatternCell cell = aggregate->cell(i);
                for (int32_t m = 0; m < monthCount; ++m) {
                    WriterRecord& r = slot();
                    r.timeIndex = firstMonth + m;
                    r.customerIndex = c0 + cell.customerOffset;
                    r.productIndex = static_cast<int32_t>(p0) + cell.productOffset;
                    emit();
                }
            }
        }
    }
}
