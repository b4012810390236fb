#include "density/CellPattern.h"

#include <bit>

#include "core/Failure.h"
#include "core/OrderByKey.h"
#include "core/RandomGenerator.h"

namespace qem {

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
    if (copied != keyed.size() || copied != cells.size()) throw TextException("Assertion 003 failed: arrays copied different sizes");
}

void CellPattern::setBlockSize(const int32_t blockSize[2]) {
    blockCustomers = blockSize[0];
    blockProducts = blockSize[1];
    workingSet.assign(static_cast<size_t>(blockCustomers) * rowWords(), 0);
}

void CellPattern::addShiftedCells(const CellPattern& source, int32_t count, int32_t customerOrigin,
                                  int32_t productOrigin) {
    // shiftedCell() with the block's shifts reduced once: a stored offset
    // plus a reduced shift lies below twice the block size, so one
    // subtraction replaces the two divisions per cell. Blocks never lie at
    // negative origins; those would take the plain way.
    const int32_t customerShift = customerOrigin / 3, productShift = customerOrigin / 2 + productOrigin / 9;
    const bool sameSource = source.blockCustomers == blockCustomers && source.blockProducts == blockProducts;
    if (customerShift < 0 || productShift < 0 || !sameSource || count > source.cellCount()) {
        for (int32_t k = 0; k < count; ++k) {
            const PatternCell c = source.shiftedCell(k, customerOrigin, productOrigin);
            include(c.customerOffset, c.productOffset);
        }
        return;
    }
    const int32_t cs = customerShift % blockCustomers, ps = productShift % blockProducts;
    for (int32_t k = 0; k < count; ++k) {
        const PatternCell c = source.cells[static_cast<size_t>(k)];
        int32_t customer = c.customerOffset + cs, product = c.productOffset + ps;
        if (customer >= blockCustomers) customer -= blockCustomers;
        if (product >= blockProducts) product -= blockProducts;
        include(customer, product);
    }
}

void CellPattern::finalize() {
    cells.clear();
    const size_t words = rowWords();
    if (workingSet.size() == static_cast<size_t>(blockCustomers) * words) {
        size_t count = 0;
        for (uint64_t w : workingSet) count += static_cast<size_t>(std::popcount(w));
        cells.reserve(count);
        for (int32_t customer = 0; customer < blockCustomers; ++customer) {
            for (size_t w = 0; w < words; ++w) {
                for (uint64_t bits = workingSet[static_cast<size_t>(customer) * words + w]; bits != 0; bits &= bits - 1) {
                    const size_t product = 64 * w + static_cast<size_t>(std::countr_zero(bits));
                    cells.push_back(PatternCell{static_cast<uint8_t>(customer), static_cast<uint8_t>(product)});
                }
            }
        }
    }
    workingSet.clear();
}

}  // namespace qem
