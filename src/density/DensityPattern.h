#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "density/CellPattern.h"

// Which customer-product cells of each block carry data: for every channel
// leaf a fixed random order of the block's cells (the first densityCode of
// them, shifted for the block, carry data), and per block the union over all
// channels. Built once per run; read-only afterwards, from any thread.
class DensityPattern {
public:
    DensityPattern(int32_t blockCustomers, int32_t blockProducts);
    ~DensityPattern();

    // One channel pattern per Channel leaf of the context's dimension model.
    void build(int32_t densityCode);

    // aggregate false: the stored pattern of channel (owned by this object).
    // aggregate true: a new aggregate for the block (owned by the caller;
    // release it with delete or wrap it in a std::unique_ptr).
    CellPattern* pattern(bool aggregate, int32_t channel, int32_t customerOrigin, int32_t productOrigin) const;
    std::unique_ptr<CellPattern> aggregatePattern(int32_t customerOrigin, int32_t productOrigin) const;

    int32_t getDensityCode() const { return densityCode; }
    int32_t channelCount() const { return static_cast<int32_t>(channelPatterns.size()); }

private:
    int32_t blockCustomers;
    int32_t blockProducts;
    int32_t densityCode = 0;
    std::vector<std::unique_ptr<CellPattern>> channelPatterns;
};
