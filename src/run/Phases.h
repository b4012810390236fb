#pragma once
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "context/Context.h"
#include "core/OutputFile.h"
#include "run/Progress.h"
#include "run/DataSetSize.h"
#include "run/StateFile.h"
#include "run/WorkerBatch.h"

// The program: locks the folder, then resumes the phase after the one in the
// state file, or starts a new data set with the dialogue. Returns the exit
// status (failures exit directly with 1 or 2).
int qemMain();

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

// Ends the run with status 1, before anything is written, when the answers in
// the state make a data set this program cannot write correctly (counts
// beyond its exact arithmetic, or a model larger than the memory):
// "cannot write this data set: <why>\n".
void refuseUnwritableDataSet();

void runFirstPhase();
void writeFirstPhaseFiles(const RunOptions& options = {});
// The first phase's eight hierarchy and tree files, in their order.
void writeDimensionFiles();
void runSecondPhase();
void writeSecondPhaseFiles(const RunOptions& options = {});
void runThirdPhase();
void writeQueryFiles();

// Records the sales files are to hold: the leaf cells (channels x customers x
// products) times the density, for the 17 historical months or the current one.
int64_t historicalCells();
int64_t currentCells();

// Produces one output file on the main thread: open, construct the writer
// with (file, capacity, extra...), run, close, destroy.
template <typename Writer, typename... Extra>
void writeFile(const char* name, int32_t capacity, const Extra&... extra) {
    OutputFile file(name);
    const FileProgress progress(file);
    const auto writer = newWriter(file, capacity, [&] { return std::make_unique<Writer>(file, capacity, extra...); });
    writer->run();
    file.close();
}
