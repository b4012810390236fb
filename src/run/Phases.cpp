#include "run/Phases.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "core/Failure.h"
#include "core/Report.h"
#include "core/StableStorage.h"
#include "integrity/Manifest.h"
#include "phase/FileWriters.h"
#include "phase/PhaseFiles.h"
#include "run/Dialogue.h"
#include "run/FolderLock.h"

namespace qem {

void refuseUnwritableDataSet() {
    if (const std::string problem = dataSetProblem(context.state); !problem.empty()) {
        reportError("cannot write this data set: %s\n", problem.c_str());
        throw ReportedFailure(1);
    }
}

int64_t historicalCells() { return dataSetShape().historicalCells(); }

int64_t currentCells() { return dataSetShape().currentCells(); }

ManifestFile writePhaseFile(const PhaseFile& f, const RunOptions& options) {
    OutputFile file(f.name.c_str());
    const FileProgress progress(file);
    if (!runFileWriters(f, file, options)) {
        // A writer of a batch failed (reported, and its thread ended): the
        // run ends without the file.
        reportError("exiting...\n");
        throw ReportedFailure(2);
    }
    file.close();
    ManifestFile figures;
    figures.name = f.name;
    figures.lines = figures.fileLines = static_cast<int64_t>(file.linesWritten());
    figures.bytes = figures.fileBytes = static_cast<int64_t>(file.bytesWritten());
    figures.crc = file.crc32();
    figures.sum = figures.fileSum = file.contentSum();
    return figures;
}

namespace {

// Writes the phase's files from `first` to before `end`, in order; returns
// what the manifest says of them.
std::vector<ManifestFile> writePhaseFiles(int32_t phase, int64_t first, int64_t end, const RunOptions& options) {
    std::vector<ManifestFile> written;
    if (phase == 3) {
        for (int64_t i = first; i < end; ++i) written.push_back(writePhaseFile(phaseFile(3, i), options));
        return written;
    }
    const std::vector<PhaseFile> files = phaseFiles(phase, options.inventorySeed);
    for (int64_t i = first; i < end; ++i) written.push_back(writePhaseFile(files[static_cast<size_t>(i)], options));
    return written;
}

// The manifests that a phase makes stale, removed before it writes its first
// file, so that a manifest present always describes complete files: its own,
// and in the first phase those of the later phases too (they belong to an
// earlier data set).
void removeStaleManifests(int32_t phase) {
    for (int32_t p = phase; p <= (phase == 1 ? 3 : phase); ++p) {
        const std::string name = manifestName(p);
        const int error = stableStorage().removeFile(name.c_str());
        if (error != 0 && error != ENOENT) failFile("error writing '%s'\n%s\n", name.c_str(), error);
    }
    syncFolderOrFail();
}

// Files 0 .. 7 of the first phase are the dimension files.
constexpr int64_t dimensionFileCount = 8;

PhaseFile fileNamed(int32_t phase, const char* name, const RunOptions& options) {
    for (PhaseFile& f : phaseFiles(phase, options.inventorySeed))
        if (f.name == name) return std::move(f);
    throw TextException("Assert 005 failed");
}

// After a phase's manifest was stored, the phase could not be recorded: where
// the state file is still there (it still holds the phase before), the
// manifest would call the phase complete all the same, so it goes too. A crash
// before this leaves both; a reader takes a state file present for a data set
// not yet finished, and the next run repeats the phase, removing the manifest
// first.
void withdrawManifestOfUnrecordedPhase(int32_t phase) {
    struct stat status;
    if (lstat(stateFileName, &status) != 0 && errno == ENOENT) return;
    const std::string name = manifestName(phase);
    const int error = stableStorage().removeFile(name.c_str());
    if (error != 0 && error != ENOENT)
        reportError("error writing '%s'\n%s\n", name.c_str(), strerror(error));
    else
        (void)syncFolder();  // the failure is being reported already; the state decides
}

}  // namespace

void writePhase(int32_t phase, const RunOptions& options) {
    removeStaleManifests(phase);
    Manifest manifest;
    manifest.program = "qemgen";
    manifest.channels = context.state.channelCount;
    manifest.densityCode = context.state.densityCode;
    manifest.users = context.state.userCount;
    manifest.seed = context.state.seed;
    manifest.phase = phase;
    manifest.files = writePhaseFiles(phase, 0, phaseFileCount(phase), options);
    const std::string text = manifest.text(), name = manifestName(phase), side = name + sideFileEnding;
    replaceFile(name.c_str(), side.c_str(), text.data(), text.size(), "error writing '%s'\n%s\n");
}

void writeDimensionFiles() { writePhaseFiles(1, 0, dimensionFileCount, {}); }

void writeFirstPhaseFiles(const RunOptions& options) { writePhaseFiles(1, 0, phaseFileCount(1), options); }

void writeSecondPhaseFiles(const RunOptions& options) { writePhaseFiles(2, 0, phaseFileCount(2), options); }

void writeQueryFiles() { writePhaseFiles(3, 0, phaseFileCount(3), {}); }

void runHistoricalSales(int64_t cells, const RunOptions& options) { writePhaseFile(historicalSalesFile(cells), options); }

void runCurrentSales(int64_t cells, const RunOptions& options) { writePhaseFile(currentSalesFile(cells), options); }

void runHistoricalInventory(const RunOptions& options) { writePhaseFile(fileNamed(1, "histinv.qem", options), options); }

void runBudget(const RunOptions& options) { writePhaseFile(fileNamed(2, "budget.qem", options), options); }

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
        writePhase(1);
    });
    saveState();
}

void runSecondPhase() {
    context.state.phase = 2;
    guardedPhase([] {
        showPhaseStart(2);
        writePhase(2);
    });
    saveState();
}

void runThirdPhase() {
    context.state.phase = 3;
    guardedPhase([] {
        showPhaseStart(3);
        writePhase(3);
    });
    try {
        removeState();
    } catch (const ReportedFailure&) {
        withdrawManifestOfUnrecordedPhase(3);
        throw;
    }
}

int qemMain() {
    // Progress lines only for a person watching: never into a file or a pipe.
    const ProgressScope progress(isatty(STDERR_FILENO) != 0);
    lockFolder();
    GeneratorState stored;
    if (readState(stored)) {
        context.state = stored;
        // The program stores only phases 1 and 2; any other is a state it never wrote.
        if (stored.phase != 1 && stored.phase != 2) {
            reportCorruptState();
            throw ReportedFailure(1);
        }
        if (stateIsSound(stored)) refuseUnwritableDataSet();
        guardedPhase(initContext);
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

}  // namespace qem
