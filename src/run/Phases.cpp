#include "run/Phases.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "dims/DimensionWriters.h"
#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "core/Report.h"
#include "queries/QueryWriter.h"
#include "run/Dialogue.h"
#include "run/FileCapacities.h"
#include "run/WorkerBatch.h"

const char* const stateFileName = "qem1r2genstate";

namespace {

// The failure handler that encloses a phase body: reports the text and ends
// the process before the state file is written.
template <typename Body>
void guardedPhase(Body body) {
    try {
        body();
    } catch (const char* text) {
        fprintf(stderr, "exception '%s' caught, exiting", text);
        fflush(stderr);
        exit(1);
    } catch (...) {
        const int err = errno;
        fprintf(stderr, "mysterious exception caught, exiting\n%s\n", strerror(err));
        fflush(stderr);
        exit(1);
    }
}

void encodeState(const GeneratorState& s, unsigned char out[24]) {
    const int32_t fields[6] = {s.channelCount, s.userCount, s.densityCode, s.validMark, s.seed, s.phase};
    for (int f = 0; f < 6; ++f) {
        const uint32_t v = static_cast<uint32_t>(fields[f]);
        for (int b = 0; b < 4; ++b) out[4 * f + b] = static_cast<unsigned char>(v >> (8 * b));
    }
}

GeneratorState decodeState(const unsigned char in[24]) {
    int32_t fields[6];
    for (int f = 0; f < 6; ++f) {
        uint32_t v = 0;
        for (int b = 0; b < 4; ++b) v |= static_cast<uint32_t>(in[4 * f + b]) << (8 * b);
        fields[f] = static_cast<int32_t>(v);
    }
    return GeneratorState{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
}


double leafCells() {
    const DimensionModel& m = *context.dimensionModel;
    return static_cast<double>(m.channels().leafCount) * static_cast<double>(m.customers().leafCount) *
           static_cast<double>(m.products().leafCount);
}

}  // namespace

double historicalCells() { return leafCells() * historicalMonthCount * context.state.densityCode / 2000; }

double currentCells() { return leafCells() * context.state.densityCode / 2000; }

void saveState() {
    // The new state goes to a side file first and replaces the old one only
    // when it is complete, so a failed write never leaves a damaged state.
    const std::string temporary = std::string(stateFileName) + ".new";
    FILE* f = fopen(temporary.c_str(), "wb");
    if (!f) {
        const int err = errno;
        reportError("error opening '%s'\n%s\n", stateFileName, strerror(err));
        exit(1);
    }
    unsigned char bytes[24];
    encodeState(context.state, bytes);
    const bool written = fwrite(bytes, 1, sizeof bytes, f) == sizeof bytes;
    int err = errno;
    const bool closed = fclose(f) == 0;
    if (!closed) err = errno;
    if (!written || !closed || rename(temporary.c_str(), stateFileName) != 0) {
        if (written && closed) err = errno;
        remove(temporary.c_str());
        reportError("error writing to '%s'\n%s\n", stateFileName, strerror(err ? err : EIO));
        exit(1);
    }
}

void writeDimensionFiles() {
    const DimensionModel& model = *context.dimensionModel;
    writeFile<ProductHierarchyWriter>("prodhier.qem", capacity::productFiles, model);
    writeFile<ProductTreeWriter>("prodtree.qem", capacity::productFiles, model);
    writeFile<CustomerHierarchyWriter>("custhier.qem", capacity::customerFiles, model);
    writeFile<CustomerTreeWriter>("custtree.qem", capacity::customerFiles, model);
    writeFile<ChannelHierarchyWriter>("chanhier.qem", capacity::channelFiles, model);
    writeFile<ChannelTreeWriter>("chantree.qem", capacity::channelFiles, model);
    writeFile<TimeHierarchyWriter>("timehier.qem", capacity::timeHierarchy, model);
    writeFile<TimeTreeWriter>("timetree.qem", capacity::timeTree, model);
}

void writeFirstPhaseFiles(const RunOptions& options) {
    writeDimensionFiles();
    runHistoricalSales(historicalCells(), options);
    runHistoricalInventory(options);
    writeFile<ShippingCostWriter>("custship.qem", capacity::costFiles);
    writeFile<ProductCostWriter>("prodcos.qem", capacity::costFiles);
}

void writeSecondPhaseFiles(const RunOptions& options) {
    runBudget(options);
    runCurrentSales(currentCells(), options);
    writeFile<CurrentInventoryWriter>("currinv.qem", capacity::currentInventory, options.inventorySeed);
}

void writeQueryFiles() {
    for (int64_t u = 1; u <= context.state.userCount; ++u) {
        char name[32];
        snprintf(name, sizeof name, "qry%3.3ld.qem", static_cast<long>(u));
        writeFile<QueryWriter>(name, capacity::queryFiles);
    }
}

void runFirstPhase() {
    const int32_t channels = askChannelCount();
    const double percentage = askDensityPercentage();
    const int32_t users = askUserCount();
    context.state.channelCount = channels;
    context.state.userCount = users;
    context.state.validMark = 1;
    context.state.densityCode = densityCodeOf(percentage);
    context.state.seed = static_cast<int32_t>(static_cast<uint32_t>(::time(nullptr)));
    guardedPhase([] {
        initContext();
        writeFirstPhaseFiles();
    });
    saveState();
}

void runSecondPhase() {
    context.state.phase = 2;
    guardedPhase([] { writeSecondPhaseFiles(); });
    saveState();
}

void runThirdPhase() {
    context.state.phase = 3;
    guardedPhase(writeQueryFiles);
    remove(stateFileName);
}

int qemMain() {
    FILE* stateFile = fopen(stateFileName, "rb");
    if (stateFile) {
        unsigned char bytes[24];
        const size_t got = fread(bytes, 1, sizeof bytes, stateFile);
        fclose(stateFile);
        if (got != sizeof bytes) {
            reportError("error reading QEM-1 generator status from disk!");
            exit(1);
        }
        context.state = decodeState(bytes);
        try {
            initContext();
        } catch (const char* text) {
            // A corrupt state has been reported already; anything else is reported here.
            if (strcmp(text, "!?") != 0) fprintf(stderr, "exception '%s' caught, exiting", text);
            exit(1);
        } catch (...) {
            const int err = errno;
            fprintf(stderr, "mysterious exception caught, exiting\n%s\n", strerror(err));
            exit(1);
        }
        printf("starting phase %lld\n", static_cast<long long>(context.state.phase) + 1);
        fflush(stdout);
        if (context.state.phase == 1)
            runSecondPhase();
        else if (context.state.phase == 2)
            runThirdPhase();
    } else {
        printBanner();
        printf("starting phase %d\n", context.state.phase);
        fflush(stdout);
        runFirstPhase();
    }
    fputs("Done\n", stdout);
    fflush(stdout);
    return 0;
}
