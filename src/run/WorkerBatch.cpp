#include "run/WorkerBatch.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <semaphore>

#include "core/RecordWriter.h"
#include "facts/BudgetWriter.h"
#include "facts/InventoryWriters.h"
#include "facts/SalesWriters.h"
#include "run/Context.h"

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

constexpr double cellsPerBatch = 4000000000.0;
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

template <typename Writer>
void runSales(const char* name, double cells, bool inOrder) {
    FILE* f = openOutputFile(name);
    try {
        double q = cells / cellsPerBatch;
        if (q - std::trunc(q) != 0.0) q += 1.0;
        const int64_t batchCount = static_cast<int64_t>(q);
        double remaining = cells;
        const int32_t stride = static_cast<int32_t>(batchCount * 4);
        for (int64_t b = 0; b < batchCount; ++b) {
            double chunk = cellsPerBatch;
            if (chunk > remaining) chunk = remaining;
            remaining -= chunk;
            const int32_t quota = static_cast<int32_t>(chunk / 4.0);
            std::array<std::unique_ptr<Writer>, 4> owned;
            for (int t = 0; t < 4; ++t) {
                owned[t] = std::make_unique<Writer>(f, name, 16333, quota);
                owned[t]->setStride(stride);
                owned[t]->setSliceIndex(static_cast<int32_t>(b * 4 + t));
            }
            runBatch({owned[0].get(), owned[1].get(), owned[2].get(), owned[3].get()}, inOrder);
            for (int t = 3; t >= 0; --t) owned[t].reset();
        }
    } catch (...) {
        fclose(f);
        throw;
    }
    closeOutputFile(f, name);
}

template <typename Writer, typename... Extra>
void runAggregateFile(const char* name, int32_t capacity, bool inOrder, Extra... extra) {
    FILE* f = openOutputFile(name);
    std::array<std::unique_ptr<Writer>, 4> owned;
    try {
        for (int t = 0; t < 4; ++t) {
            owned[t] = std::make_unique<Writer>(f, name, capacity, 0, extra...);
            owned[t]->setStride(4);
            owned[t]->setSliceIndex(t);
        }
        runBatch({owned[0].get(), owned[1].get(), owned[2].get(), owned[3].get()}, inOrder);
    } catch (...) {
        fclose(f);
        throw;
    }
    closeOutputFile(f, name);
    for (int t = 3; t >= 0; --t) owned[t].reset();
}

}  // namespace

size_t lastBatchStackUse() { return measuredStackUse; }

unsigned workerMain(RecordWriter* writer) {
    try {
        writer->run();
        return 1;
    } catch (const char* text) {
        fprintf(stderr, "%s\n", text);
        return 0;
    } catch (...) {
        const int err = errno;
        fprintf(stderr, "mysterious exception caught\n%s\n", strerror(err));
        return 0;
    }
}

void runBatch(const std::array<RecordWriter*, 4>& writers, bool inOrder) {
    std::array<Worker, 4> workers;
    int created = 0;
    for (int t = 0; t < 4; ++t) {
        Worker& w = workers[t];
        w.writer = writers[t];
        w.stackSize = workerStackSize;
        w.stack.reset(new unsigned char[w.stackSize + 64]);
        // pthread stacks want 16-byte alignment.
        w.stackBase = w.stack.get() + (16 - reinterpret_cast<uintptr_t>(w.stack.get()) % 16) % 16;
        memset(w.stackBase, stackPaint, w.stackSize);
        pthread_attr_t attributes;
        int rc = pthread_attr_init(&attributes);
        if (rc == 0) rc = pthread_attr_setstack(&attributes, w.stackBase, w.stackSize);
        if (rc == 0) rc = pthread_create(&w.thread, &attributes, threadProcedure, &w);
        pthread_attr_destroy(&attributes);
        if (rc != 0) {
            fprintf(stderr, "error creating thread\n%s\n", strerror(rc));
            fflush(stdout);
            // The threads already created end without running their writers.
            for (int k = 0; k < created; ++k) {
                workers[k].cancelled = true;
                workers[k].start.release();
                pthread_join(workers[k].thread, nullptr);
            }
            throw "unrecoverable";
        }
        ++created;
    }
    for (int t = 0; t < 4; ++t) {
        workers[t].start.release();
        if (inOrder) pthread_join(workers[t].thread, nullptr);
    }
    if (!inOrder)
        for (int t = 0; t < 4; ++t) pthread_join(workers[t].thread, nullptr);
    measuredStackUse = 0;
    for (const Worker& w : workers) measuredStackUse = std::max(measuredStackUse, stackUse(w));
    for (int t = 0; t < 4; ++t) {
        if (workers[t].exitCode == 0) {
            fprintf(stderr, "exiting...\n");
            fflush(stdout);
            exit(2);
        }
    }
}

void runHistoricalSales(double cells, const RunOptions& options) {
    runSales<HistoricalSalesWriter>("histsale.qem", cells, options.writersInOrder);
}

void runCurrentSales(double cells, const RunOptions& options) {
    runSales<CurrentSalesWriter>("currsale.qem", cells, options.writersInOrder);
}

void runHistoricalInventory(const RunOptions& options) {
    runAggregateFile<HistoricalInventoryWriter>("histinv.qem", 8333, options.writersInOrder, options.inventorySeed);
}

void runBudget(const RunOptions& options) { runAggregateFile<BudgetWriter>("budget.qem", 16333, options.writersInOrder); }
