#include "run/Context.h"

#include <cerrno>
#include <cstring>

#include "core/RandomGenerator.h"

Context context;

bool stateIsSound(const GeneratorState& s) {
    return s.validMark == 1 && s.channelCount >= 10 && s.channelCount <= maxChannelCount && s.userCount >= 10 &&
           s.densityCode >= 2 && s.densityCode <= 800 && s.densityCode % 2 == 0;
}

void initContext() {
    seedRandom(context.state.seed);
    if (!stateIsSound(context.state)) {
        fprintf(stderr, "corrupt application internal state initializing context!\n");
        fflush(stdout);
        throw "!?";
    }
    context.blockCustomers = 10;
    context.blockProducts = 100;
    context.densityPattern.reset();
    context.dimensionModel = std::make_unique<DimensionModel>();
    try {
        context.dimensionModel->build(context.state.channelCount);
        context.densityPattern = std::make_unique<DensityPattern>(context.blockCustomers, context.blockProducts);
        context.densityPattern->build(context.state.densityCode);
    } catch (...) {
        context.densityPattern.reset();
        context.dimensionModel.reset();
        throw;
    }
}

FILE* openOutputFile(const char* name) {
    FILE* f = fopen(name, "w");
    if (!f) {
        const int err = errno;
        fprintf(stderr, "error opening '%s'\n%s\n", name, strerror(err));
        fflush(stdout);
        throw "cannot continue";
    }
    return f;
}

void closeOutputFile(FILE* file, const char* name) {
    const bool failed = ferror(file) != 0;
    errno = 0;
    if (fclose(file) != 0 || failed) {
        const int err = errno ? errno : EIO;
        fprintf(stderr, "error writing '%s'\n%s\n", name, strerror(err));
        fflush(stdout);
        throw "Oops";
    }
}

int32_t customerEnd() {
    return static_cast<int32_t>(int64_t{context.dimensionModel->customers().leafCount} * 72 / 100);
}

int32_t productEnd() {
    return static_cast<int32_t>(int64_t{context.dimensionModel->products().leafCount} * 72 / 100);
}
