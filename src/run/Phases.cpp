#include "run/Phases.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "core/Report.h"
#include "dims/DimensionWriters.h"
#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "queries/QueryWriter.h"
#include "run/DataSetSize.h"
#include "run/Dialogue.h"
#include "run/FileCapacities.h"
#include "run/FolderLock.h"
#include "run/WorkerBatch.h"

void refuseUnwritableDataSet() {
    if (const std::string problem = dataSetProblem(context.state); !problem.empty()) {
        reportError("cannot write this data set: %s\n", problem.c_str());
        exit(1);
    }
}

int64_t historicalCells() { return dataSetShape().historicalCells(); }

int64_t currentCells() { return dataSetShape().currentCells(); }

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
    for (int64_t u = 1; u <= context.state.userCount; ++u)
        writeFile<QueryWriter>(queryFileName(u).c_str(), capacity::queryFiles);
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
    refuseUnwritableDataSet();
    guardedPhase([] {
        initContext();
        showPhaseStart(1);
        writeFirstPhaseFiles();
    });
    saveState();
}

void runSecondPhase() {
    context.state.phase = 2;
    guardedPhase([] {
        showPhaseStart(2);
        writeSecondPhaseFiles();
    });
    saveState();
}

void runThirdPhase() {
    context.state.phase = 3;
    guardedPhase([] {
        showPhaseStart(3);
        writeQueryFiles();
    });
    removeState();
}

int qemMain() {
    // Progress lines only for a person watching: never into a file or a pipe.
    if (isatty(STDERR_FILENO)) enableProgress();
    lockFolder();
    GeneratorState stored;
    if (readState(stored)) {
        context.state = stored;
        // The program stores only phases 1 and 2; any other is a state it never wrote.
        if (stored.phase != 1 && stored.phase != 2) {
            reportCorruptState();
            exit(1);
        }
        if (stateIsSound(stored)) refuseUnwritableDataSet();
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
        printf("starting phase %d\n", stored.phase + 1);
        fflush(stdout);
        if (stored.phase == 1)
            runSecondPhase();
        else
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
