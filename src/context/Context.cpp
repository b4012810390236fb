#include "context/Context.h"

#include "core/RandomGenerator.h"
#include "core/Report.h"

Context context;

bool stateIsSound(const GeneratorState& s) {
    return s.validMark == 1 && s.channelCount >= 10 && s.channelCount <= maxChannelCount && s.userCount >= 10 &&
           s.densityCode >= 2 && s.densityCode <= 800 && s.densityCode % 2 == 0;
}

void reportCorruptState() { reportError("corrupt application internal state initializing context!\n"); }

void initContext() {
    seedRandom(context.state.seed);
    if (!stateIsSound(context.state)) {
        reportCorruptState();
        throw "!?";
    }
    context.blockCustomers = customersPerBlock;
    context.blockProducts = productsPerBlock;
    context.densityPattern.reset();
    context.dimensionModel = std::make_unique<DimensionModel>();
    try {
        context.dimensionModel->build(context.state.channelCount);
        context.densityPattern = std::make_unique<DensityPattern>(context.blockCustomers, context.blockProducts);
        context.densityPattern->build(context.dimensionModel->channels().leafCount, context.state.densityCode);
    } catch (...) {
        context.densityPattern.reset();
        context.dimensionModel.reset();
        throw;
    }
}

int32_t customerEnd() {
    return static_cast<int32_t>(int64_t{context.dimensionModel->customers().leafCount} * dataRegionPercent / 100);
}

int32_t productEnd() {
    return static_cast<int32_t>(int64_t{context.dimensionModel->products().leafCount} * dataRegionPercent / 100);
}

int64_t customerBlocks() { return (int64_t{customerEnd()} + context.blockCustomers - 1) / context.blockCustomers; }

int64_t sliceProductBlocks(int32_t slice, int32_t stride) {
    const int64_t blocks = (int64_t{productEnd()} + context.blockProducts - 1) / context.blockProducts;
    return slice < blocks ? (blocks - 1 - slice) / stride + 1 : 0;
}
