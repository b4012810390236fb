#include "sizes/SalesBatches.h"

#include <algorithm>

namespace qem {

namespace {
using Wide = __int128;
}

SalesBatches::SalesBatches(int64_t cells, int64_t perBlock, int64_t blocks)
    : recordsPerBlock(perBlock), productBlocks(blocks) {
    // One batch per 4,000,000,000 cells or part of them.
    batchCount = cells / cellsPerBatch + (cells % cellsPerBatch != 0 ? 1 : 0);
    if (batchCount == 0) return;
    // The slices hold one of two numbers of blocks: `longer` of them one more.
    const int64_t n = slices();
    longer = productBlocks % n;
    const int64_t shortWalk = walk(false), longWalk = walk(true);
    const Wide whole = Wide{n - longer} * shortWalk + Wide{longer} * longWalk;
    if (cells >= whole)
        writerLimit = longer > 0 ? longWalk : shortWalk;  // every slice writes all it holds
    else if (cells / n < shortWalk)
        writerLimit = cells / n;  // every slice is long enough
    else  // the short slices write all they hold, the longer ones share the rest
        writerLimit = shortWalk + static_cast<int64_t>((Wide{cells} - Wide{n} * shortWalk) / longer);
}

int64_t SalesBatches::walk(bool longSlice) const {
    const int64_t shortWalk = batchCount > 0 ? productBlocks / slices() * recordsPerBlock : 0;
    return longSlice ? shortWalk + recordsPerBlock : shortWalk;
}

int64_t SalesBatches::sliceRecords(int64_t slice) const {
    return std::min<int64_t>(quota(), walk(slice < longer));
}

uint64_t SalesBatches::records() const {
    // The first `longer` slices hold one block more than the rest.
    const uint64_t shortSlices = static_cast<uint64_t>(slices() - longer);
    return static_cast<uint64_t>(longer) * static_cast<uint64_t>(sliceRecords(0)) +
           shortSlices * static_cast<uint64_t>(sliceRecords(longer));
}

}  // namespace qem
