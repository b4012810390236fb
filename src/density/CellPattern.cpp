#include "density/CellPattern.h"

#include "core/OrderByKey.h"
#include "core/RandomGenerator.h"

namespace {

struct KeyedCell {
    int32_t key;
    PatternCell cell;
};

}  // namespace

void CellPattern::fill(const int32_t blockSize[2], RandomGenerator& generator) {
    blockCustomers = blockSize[0];
    blockProducts = blockSize[1];
    const int32_t n = blockCustomers * blockProducts;
    cells.resize(static_cast<size_t>(n));
    std::vector<KeyedCell> keyed(static_cast<size_t>(n));
    for (int32_t t = 0; t < n; ++t) {
        keyed[static_cast<size_t>(t)].key = generator.nextInt();
        keyed[static_cast<size_t>(t)].cell =
            PatternCell{static_cast<uint8_t>(t / blockProducts), static_cast<uint8_t>(t % blockProducts)};
    }
    orderByKey(keyed.data(), keyed.data() + keyed.size(), [](const KeyedCell& e) { return e.key; });
    size_t copied = 0;
    for (const KeyedCell& e : keyed) cells[copied++] = e.cell;
    if (copied != keyed.size() || copied != cells.size()) throw "Assertion 003 failed: arrays copied different sizes";
}

void CellPattern::setBlockSize(const int32_t blockSize[2]) {
    blockCustomers = blockSize[0];
    blockProducts = blockSize[1];
    workingSet.assign(static_cast<size_t>(blockCustomers) * static_cast<size_t>(blockProducts), 0);
}

void CellPattern::addShiftedCells(const CellPattern& source, int32_t count, int32_t customerOrigin,
                                  int32_t productOrigin) {
    for (int32_t k = 0; k < count; ++k) {
        const PatternCell c = source.shiftedCell(k, customerOrigin, productOrigin);
        workingSet[static_cast<size_t>(c.customerOffset) * static_cast<size_t>(blockProducts) + c.productOffset] = 1;
    }
}

void CellPattern::finalize() {
    size_t count = 0;
    for (uint8_t present : workingSet) count += present;
    cells.resize(count);
    size_t next = 0;
    for (size_t i = 0; i < workingSet.size(); ++i) {
        if (workingSet[i])
            cells[next++] = PatternCell{static_cast<uint8_t>(i / static_cast<size_t>(blockProducts)),
                                        static_cast<uint8_t>(i % static_cast<size_t>(blockProducts))};
    }
    workingSet.clear();
}
