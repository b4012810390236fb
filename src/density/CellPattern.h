#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qem {

class RandomGenerator;

// A cell of a block: customer offset (0..blockCustomers-1) and product offset
// (0..blockProducts-1). Cells order by customer offset, then product offset.
struct PatternCell {
    uint8_t customerOffset;
    uint8_t productOffset;
};

// An ordered list of the cells of one block. A channel pattern holds every
// cell once in a random order and is read through a block-dependent shift; an
// aggregate holds the distinct shifted cells of several channels, ascending.
class CellPattern {
public:
    CellPattern() = default;

    // Puts all cells of a block into a random order drawn from generator
    // (one nextInt per cell, row by row).
    void fill(const int32_t blockSize[2], RandomGenerator& generator);
    void setBlockSize(const int32_t blockSize[2]);
    // Adds the first count shifted cells of source to the working set.
    void addShiftedCells(const CellPattern& source, int32_t count, int32_t customerOrigin, int32_t productOrigin);
    // Turns the working set into the ascending cell list.
    void finalize();

    int32_t cellCount() const { return static_cast<int32_t>(cells.size()); }

    PatternCell shiftedCell(int32_t k, int32_t customerOrigin, int32_t productOrigin) const {
        const PatternCell c = cells[static_cast<size_t>(k)];
        return PatternCell{
            static_cast<uint8_t>((customerOrigin / 3 + c.customerOffset) % blockCustomers),
            static_cast<uint8_t>((customerOrigin / 2 + c.productOffset + productOrigin / 9) % blockProducts)};
    }

    PatternCell cell(int32_t k) const { return cells[static_cast<size_t>(k)]; }

private:
    // Marks a cell of the working set.
    void include(int32_t customerOffset, int32_t productOffset) {
        workingSet[static_cast<size_t>(customerOffset) * rowWords() + static_cast<size_t>(productOffset) / 64] |=
            uint64_t{1} << (productOffset % 64);
    }
    size_t rowWords() const { return (static_cast<size_t>(blockProducts) + 63) / 64; }

    std::vector<PatternCell> cells;
    // Membership of each cell while an aggregate is assembled: one bit per
    // product offset, a row of words per customer offset; read row by row,
    // bit by bit, it is the ascending cell order.
    std::vector<uint64_t> workingSet;
    int32_t blockCustomers = 0;
    int32_t blockProducts = 0;
};

}  // namespace qem
