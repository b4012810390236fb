#include "facts/AggregateWriter.h"

#include "context/Context.h"
#include "core/Failure.h"
#include "core/WalkPosition.h"

namespace qem {

AggregateWriter::AggregateWriter(OutputFile& f, int32_t cap, int32_t lineLength, int32_t first, int32_t count,
                                 WriterMutex* lock)
    : RecordWriter(f, cap, lineLength, 0, lock), firstMonth(first), monthCount(count) {}

void AggregateWriter::walk() {
    const DensityPattern& density = *context.densityPattern;
    const int32_t cEnd = customerEnd(), pEnd = productEnd();
    const int32_t bc = context.blockCustomers, bp = context.blockProducts;
    const int64_t productStep = int64_t{bp} * stride, firstProduct = int64_t{bp} * sliceIndex;
    const int64_t sliceBlocks = sliceProductBlocks(sliceIndex, stride);
    if (sliceBlocks == 0) return;
    // A window starts the loops where its first record lies. Every block
    // holds the same number of cells (a block moves the cells of every
    // channel by one shift, which maps the block onto itself), so the block
    // of a record follows from the cells of any block; a seeking walk checks
    // that on every block it visits.
    const int64_t first = walkStart();
    const int32_t blockCells = first > 0 ? density.aggregate(0, static_cast<int32_t>(firstProduct))->cellCount() : -1;
    const auto start = walkPosition<3>(first, {sliceBlocks, blockCells > 0 ? blockCells : 1, monthCount});
    int32_t c0 = static_cast<int32_t>(start[0] * bc);
    int64_t p0 = firstProduct + start[1] * productStep;
    int32_t i0 = static_cast<int32_t>(start[2]), m0 = static_cast<int32_t>(start[3]);
    for (; c0 < cEnd; c0 += bc, p0 = firstProduct) {
        for (; p0 < pEnd; p0 += productStep, i0 = 0) {
            const std::unique_ptr<CellPattern> aggregate = density.aggregate(c0, static_cast<int32_t>(p0));
            const int32_t cells = aggregate->cellCount();
            if (blockCells >= 0 && cells != blockCells) throw TextException("Assert 004 failed");
            for (int32_t i = i0; i < cells; ++i, m0 = 0) {
                const PatternCell cell = aggregate->cell(i);
                for (int32_t m = m0; m < monthCount; ++m) {
                    WriterRecord& r = slot();
                    r.timeIndex = firstMonth + m;
                    r.customerIndex = c0 + cell.customerOffset;
                    r.productIndex = static_cast<int32_t>(p0) + cell.productOffset;
                    if (!emit()) return;
                }
            }
        }
    }
}

}  // namespace qem
