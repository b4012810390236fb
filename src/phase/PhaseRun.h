#pragma once
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/Failure.h"
#include "core/OutputFile.h"
#include "core/Report.h"

namespace qem {

// How the writers of a phase are made and run, and how a failure ends a
// phase: the same in qemgen and qempart.

class RecordWriter;

// Writers of a file that four threads write in qemgen: a batch.
constexpr int workerCount = 4;

// Constructs a writer of file with make(). A failed allocation of its buffers
// is reported ("not enough memory for a writer of '%s': buffers of %d
// records") and thrown as "out of memory".
template <typename Make>
auto newWriter(const OutputFile& file, int32_t capacity, Make make) -> decltype(make()) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        failOutOfMemory("a writer of '%s': buffers of %d records", file.name(), static_cast<int>(capacity));
    }
}

// Runs a writer of a worker batch as its thread does: 1 when the writer's
// run() returned, 0 when it threw (reported on standard error: the failure's
// text and a line end, or "mysterious exception caught\n<system text>\n").
unsigned workerMain(RecordWriter* writer);

// The failure handler that encloses a phase body, so that the phase fails
// before the state file is written: a failure that has not been reported is
// reported, "exception '<text>' caught, exiting" (no line end) or
// "mysterious exception caught, exiting\n<system text>\n", and thrown on as
// a ReportedFailure of status 1; a ReportedFailure goes on as it is. The
// program's main ends with its status.
template <typename Body>
void guardedPhase(Body body) {
    try {
        body();
    } catch (const ReportedFailure&) {
        fflush(stdout);
        throw;
    } catch (...) {
        const int err = errno;
        if (const char* text = currentFailureText())
            fprintf(stderr, "exception '%s' caught, exiting", text);
        else
            fprintf(stderr, "mysterious exception caught, exiting\n%s\n", strerror(err));
        fflush(stderr);
        throw ReportedFailure(1);
    }
}

}  // namespace qem
