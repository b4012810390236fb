#include "context/Context.h"

#include <unistd.h>

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
        initDensityPattern();
    } catch (...) {
        context.densityPattern.reset();
        context.dimensionModel.reset();
        throw;
    }
}

void initDensityPattern() {
    context.blockCustomers = customersPerBlock;
    context.blockProducts = productsPerBlock;
    context.densityPattern = std::make_unique<DensityPattern>(context.blockCustomers, context.blockProducts);
    context.densityPattern->build(static_cast<int32_t>(dataSetShape().channelLeaves()), context.state.densityCode);
}

qem::DataSetShape dataSetShape() { return qem::DataSetShape(context.state.channelCount, context.state.densityCode); }

std::string dataSetProblem(const GeneratorState& state, uint64_t bytesPerUser) {
    const qem::DataSetShape shape(state.channelCount, state.densityCode);
    if (std::string problem = shape.problem(); !problem.empty()) return problem;
    // The model's members with their packed codes, and a channel pattern of
    // every cell of a block for each channel leaf.
    const uint64_t members = static_cast<uint64_t>(shape.channelMembers() + shape.customerMembers() +
                                                   shape.productMembers() + qem::DataSetShape::timeMembers);
    const uint64_t perChannel = sizeof(std::unique_ptr<CellPattern>) + sizeof(CellPattern) +
                                uint64_t{customersPerBlock} * productsPerBlock * sizeof(PatternCell);
    const uint64_t needed = members * (sizeof(Member) + 12) + static_cast<uint64_t>(shape.channelLeaves()) * perChannel +
                            static_cast<uint64_t>(state.userCount) * bytesPerUser;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const uint64_t memory = pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
    if (memory > 0 && needed > memory)
        return "the model of " + std::to_string(state.channelCount) + " channels" +
               (bytesPerUser ? " and " + std::to_string(state.userCount) + " users" : std::string()) + " needs " +
               std::to_string(needed) + " bytes of memory; this machine has " + std::to_string(memory);
    return "";
}

int32_t customerEnd() { return static_cast<int32_t>(dataSetShape().customerEnd()); }

int32_t productEnd() { return static_cast<int32_t>(dataSetShape().productEnd()); }

int64_t customerBlocks() { return dataSetShape().customerBlocks(); }

int64_t sliceProductBlocks(int32_t slice, int32_t stride) { return dataSetShape().sliceProductBlocks(slice, stride); }
