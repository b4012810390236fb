#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "density/DensityPattern.h"
#include "dims/DimensionModel.h"
#include "sizes/DataSetShape.h"

// The six persisted parameters, stored as 24 little-endian bytes.
struct GeneratorState {
    int32_t channelCount = 0;
    int32_t userCount = 0;
    int32_t densityCode = 0;
    int32_t validMark = 0;
    int32_t seed = 0;
    int32_t phase = 1;
};

// Largest channel count whose product table (1000 members per channel) still
// has positions that fit a signed 32-bit integer.
constexpr int64_t maxChannelCount = qem::DataSetShape::maxChannelCount;

// The blocks of customers by products that the density pattern, the fact
// writers and the query pickers walk.
constexpr int32_t customersPerBlock = qem::DataSetShape::customersPerBlock;
constexpr int32_t productsPerBlock = qem::DataSetShape::productsPerBlock;

// Process-wide data that every generator above the density pattern reads;
// read-only once initContext has finished.
struct Context {
    GeneratorState state;
    int32_t blockCustomers = 0;
    int32_t blockProducts = 0;
    std::unique_ptr<DimensionModel> dimensionModel;
    std::unique_ptr<DensityPattern> densityPattern;
};

extern Context context;

// Seeds the global stream, checks the state, builds the dimension model and
// the density pattern. Throws a text exception on a corrupt state.
void initContext();

// Builds only the density pattern for the state's answers (no model, no
// draws): enough for the sizes of every file.
void initDensityPattern();

// True when every field of the state is one a first phase can have written.
bool stateIsSound(const GeneratorState& state);

// Reports a state that the program cannot have written:
// "corrupt application internal state initializing context!\n".
void reportCorruptState();

// The sizes that follow from the answers in the state.
qem::DataSetShape dataSetShape();

// Why a data set of these answers cannot be written on this machine, or ""
// when it can: counts beyond what the program keeps exactly, or a dimension
// model and density pattern (plus bytesPerUser for every user, where a
// program keeps something per user) larger than the machine's memory.
std::string dataSetProblem(const GeneratorState& state, uint64_t bytesPerUser = 0);

// Ends of the data region, where the fact files stop.
int32_t customerEnd();
int32_t productEnd();

// Blocks of the data region that the fact writers walk: the customer blocks,
// and the product blocks of slice `slice` of `stride` slices (blocks slice,
// slice + stride, slice + 2 stride, ...).
int64_t customerBlocks();
int64_t sliceProductBlocks(int32_t slice, int32_t stride);
