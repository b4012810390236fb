#include "density/DensityPattern.h"

#include <new>

#include "core/RandomGenerator.h"
#include "core/Report.h"

namespace qem {

namespace {
constexpr int32_t channelSeedBase = 1739106247;
}

DensityPattern::DensityPattern(int32_t customers, int32_t products)
    : blockCustomers(customers), blockProducts(products) {}

DensityPattern::~DensityPattern() = default;

void DensityPattern::build(int32_t channelLeafCount, int32_t code) {
    densityCode = code;
    const int32_t n = channelLeafCount;
    channelPatterns.clear();
    const int32_t blockSize[2] = {blockCustomers, blockProducts};
    try {
        channelPatterns.resize(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) {
            // Private stream per channel: the global stream is neither read nor advanced.
            RandomGenerator generator(static_cast<int32_t>(static_cast<uint32_t>(i) + uint32_t{channelSeedBase}));
            channelPatterns[static_cast<size_t>(i)] = std::make_unique<CellPattern>();
            channelPatterns[static_cast<size_t>(i)]->fill(blockSize, generator);
        }
    } catch (const std::bad_alloc&) {
        channelPatterns.clear();
        const uint64_t perChannel = sizeof(std::unique_ptr<CellPattern>) + sizeof(CellPattern) +
                                    uint64_t{1} * blockCustomers * blockProducts * sizeof(PatternCell);
        failOutOfMemory("the density pattern: %d channels, %llu bytes", static_cast<int>(n),
                        static_cast<unsigned long long>(perChannel * static_cast<uint64_t>(n)));
    } catch (...) {
        for (auto& p : channelPatterns) p.reset();
        throw;
    }
}

const CellPattern* DensityPattern::channelPattern(int32_t channel) const {
    if (channel < 0 || channel >= channelCount()) return nullptr;
    return channelPatterns[static_cast<size_t>(channel)].get();
}

std::unique_ptr<CellPattern> DensityPattern::aggregate(int32_t customerOrigin, int32_t productOrigin) const {
    auto result = std::make_unique<CellPattern>();
    const int32_t blockSize[2] = {blockCustomers, blockProducts};
    result->setBlockSize(blockSize);
    for (const auto& channel : channelPatterns)
        result->addShiftedCells(*channel, densityCode, customerOrigin, productOrigin);
    result->finalize();
    return result;
}

}  // namespace qem
