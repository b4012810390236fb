#include "phase/WorkerBatch.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <semaphore>

#include "core/Failure.h"
#include "core/RecordWriter.h"
#include "core/Report.h"
#include "phase/PhaseRun.h"

namespace qem {

// A writer's run() formats with the C library (whose floating-point
// conversions alone take several kilobytes of stack), throws and unwinds on
// failure, and under the sanitizers every frame grows several times; 256 KiB
// leaves a wide margin over the deepest use measured by lastBatchStackUse()
// (under 9 KiB in an optimised build). The sanitizers' runtimes reserve part
// of a thread's stack for themselves and need several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const size_t workerStackSize = 8 * 1024 * 1024;
#else
const size_t workerStackSize = 256 * 1024;
#endif

namespace {

constexpr unsigned char stackPaint = 0xA5;

size_t measuredStackUse = 0;

// One worker thread: created before any work starts, blocked on its own start
// signal until the main thread releases it.
struct Worker {
    RecordWriter* writer = nullptr;
    std::binary_semaphore start{0};
    bool cancelled = false;
    unsigned exitCode = 0;
    pthread_t thread{};
    std::unique_ptr<unsigned char[]> stack;
    unsigned char* stackBase = nullptr;
    size_t stackSize = 0;
};

void* threadProcedure(void* argument) {
    Worker* w = static_cast<Worker*>(argument);
    w->start.acquire();
    if (!w->cancelled) w->exitCode = workerMain(w->writer);
    return nullptr;
}

// Deepest use of a painted stack: stacks grow downward, so the untouched
// paint lies at the low end.
size_t stackUse(const Worker& w) {
    size_t untouched = 0;
    while (untouched < w.stackSize && w.stackBase[untouched] == stackPaint) ++untouched;
    return w.stackSize - untouched;
}

}  // namespace

size_t lastBatchStackUse() { return measuredStackUse; }

bool runBatchWriters(const Batch& writers, bool inOrder) {
    std::array<Worker, workerCount> workers;
    // All four stacks are allocated before the first thread exists.
    for (Worker& w : workers) {
        w.stackSize = workerStackSize;
        try {
            w.stack.reset(new unsigned char[w.stackSize + 64]);
        } catch (const std::bad_alloc&) {
            failOutOfMemory("the stack of a worker thread: %zu bytes", w.stackSize + 64);
        }
    }
    int created = 0;
    for (int t = 0; t < workerCount; ++t) {
        Worker& w = workers[t];
        w.writer = writers[t];
        // pthread stacks want 16-byte alignment.
        w.stackBase = w.stack.get() + (16 - reinterpret_cast<uintptr_t>(w.stack.get()) % 16) % 16;
        memset(w.stackBase, stackPaint, w.stackSize);
        pthread_attr_t attributes;
        int rc = pthread_attr_init(&attributes);
        if (rc == 0) rc = pthread_attr_setstack(&attributes, w.stackBase, w.stackSize);
        if (rc == 0) rc = pthread_create(&w.thread, &attributes, threadProcedure, &w);
        pthread_attr_destroy(&attributes);
        if (rc != 0) {
            reportError("error creating thread\n%s\n", strerror(rc));
            // The threads already created end without running their writers.
            for (int k = 0; k < created; ++k) {
                workers[k].cancelled = true;
                workers[k].start.release();
                pthread_join(workers[k].thread, nullptr);
            }
            throw TextException("unrecoverable");
        }
        ++created;
    }
    for (Worker& w : workers) {
        w.start.release();
        if (inOrder) pthread_join(w.thread, nullptr);
    }
    if (!inOrder)
        for (Worker& w : workers) pthread_join(w.thread, nullptr);
    measuredStackUse = 0;
    for (const Worker& w : workers) measuredStackUse = std::max(measuredStackUse, stackUse(w));
    for (const Worker& w : workers)
        if (w.exitCode == 0) return false;
    return true;
}

void runBatch(const Batch& writers, bool inOrder) {
    if (!runBatchWriters(writers, inOrder)) {
        reportError("exiting...\n");
        throw ReportedFailure(2);
    }
}

}  // namespace qem
