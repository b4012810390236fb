#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "density/CellPattern.h"

namespace qem {

// Which customer-product cells of each block carry data: for every channel
// leaf a fixed random order of the block's cells (the first densityCode of
// them, shifted for the block, carry data), and per block the union over all
// channels. Built once per run; read-only afterwards, from any thread.
class DensityPattern {
public:
    DensityPattern(int32_t blockCustomers, int32_t blockProducts);
    ~DensityPattern();

    // One channel pattern per Channel leaf (channelLeafCount of them).
    void build(int32_t channelLeafCount, int32_t densityCode);

    // The stored pattern of a channel leaf, owned by this object; none for a
    // position outside 0 .. channelCount() - 1.
    const CellPattern* channelPattern(int32_t channel) const;
    // A new pattern, owned by the caller, of the cells of the block at the
    // given origins that carry data in at least one channel, ascending.
    std::unique_ptr<CellPattern> aggregate(int32_t customerOrigin, int32_t productOrigin) const;

    int32_t channelCount() const { return static_cast<int32_t>(channelPatterns.size()); }

private:
    int32_t blockCustomers;
    int32_t blockProducts;
    int32_t densityCode = 0;
    std::vector<std::unique_ptr<CellPattern>> channelPatterns;
};

}  // namespace qem
