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
#include "integrity/Manifest.h"
#include "phase/PhaseFiles.h"
#include "phase/PhaseRun.h"
#include "run/Progress.h"
#include "run/StateFile.h"
#include "phase/WorkerBatch.h"

namespace qem {

// The program: locks the folder, then resumes the phase after the one in the
// state file, or starts a new data set with the dialogue. Returns the exit
// status 0; a failure is reported and thrown as a ReportedFailure (status 1,
// or 2 when a writer thread failed), with every thread ended, for main to
// return its status.
int qemMain();

// Fails the run with status 1, before anything is written, when the answers in
// the state make a data set this program cannot write correctly (counts
// beyond its exact arithmetic, or a model larger than the memory):
// "cannot write this data set: <why>\n".
void refuseUnwritableDataSet();

void runFirstPhase();
void runSecondPhase();
// Where the state file cannot be deleted after the phase's files and its
// manifest, the manifest is removed again before the failure goes on: a
// third phase that fails leaves no phase3.manifest.
void runThirdPhase();

// Writes one file of a phase whole: opens it, runs its writers
// (runFileWriters), closes it. A failed writer of a batch fails the run with
// status 2 ("exiting...\n"). Returns what a manifest says of it.
ManifestFile writePhaseFile(const PhaseFile& file, const RunOptions& options = {});

// The phase's files whole, after removing the manifests it makes stale, then
// its manifest ("phaseN.manifest").
void writePhase(int32_t phase, const RunOptions& options = {});

// The files of a phase, in order (the first phase's eight dimension files on
// their own: its first eight).
void writeFirstPhaseFiles(const RunOptions& options = {});
void writeDimensionFiles();
void writeSecondPhaseFiles(const RunOptions& options = {});
void writeQueryFiles();

// Single files of a phase (tests and benchmarks); the sales files of `cells`
// records.
void runHistoricalSales(int64_t cells, const RunOptions& options = {});
void runCurrentSales(int64_t cells, const RunOptions& options = {});
void runHistoricalInventory(const RunOptions& options = {});
void runBudget(const RunOptions& options = {});

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

}  // namespace qem
