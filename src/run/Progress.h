#pragma once
#include <chrono>
#include <cstdint>

#include "core/OutputFile.h"

namespace qem {

// Progress of a run on a terminal (standard error), shown only once
// enableProgress() has been called; the program calls it when standard error
// is a terminal. While off, nothing below writes anything or costs more than
// a test of one flag.
//
// While a file is written, a status line on standard error is redrawn in
// place four times a second (carriage return, text, clear to end of line):
// phase, file, share done, MB written, MB/s, time left. It reads the counts
// the output file keeps (atomic, counted once per block of text), so the
// writers take no lock and make no call for it. The line is cleared when the
// file ends, and a summary line follows: file, lines, bytes, seconds. Every
// diagnostic (reportError) first clears a status line shown.
void enableProgress();
bool progressEnabled();

// Ends the redraw thread, where one was started, and waits for it to end.
void stopProgress();

// Progress while it lives, where `on`; at its end, on the way out of a run
// that succeeded or failed alike, the redraw thread is ended (stopProgress),
// so that no thread outlives the run.
class ProgressScope {
public:
    explicit ProgressScope(bool on) {
        if (on) enableProgress();
    }
    ~ProgressScope() { stopProgress(); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;
};

// Before a phase writes its files: the bytes the phase will write and the
// space free in the current folder, with a warning where that is less.
void showPhaseStart(int32_t phase);

// The progress of one open file, from construction to destruction, which
// follows the file's close(). Destroyed while an exception unwinds (the file
// failed), it only clears the status line.
class FileProgress {
public:
    explicit FileProgress(const OutputFile& file);
    ~FileProgress();
    FileProgress(const FileProgress&) = delete;
    FileProgress& operator=(const FileProgress&) = delete;

private:
    const OutputFile* file = nullptr;  // null while progress is off
    int unwinding = 0;
    std::chrono::steady_clock::time_point started;
};

}  // namespace qem
