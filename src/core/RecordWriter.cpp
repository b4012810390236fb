#include "core/RecordWriter.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "core/OrderByKey.h"
#include "core/RandomGenerator.h"

WriterMutex historicalSalesLock;
WriterMutex budgetLock;
WriterMutex historicalInventoryLock;

RecordWriter::RecordWriter(FILE* f, const char* name, int32_t cap, int32_t limit)
    : file(f), fileName(name), capacity(cap), recordLimit(limit) {
    if (capacity < 1) throw "Assert 001 failed";
    records.reset(new WriterRecord[capacity]());
    order.reset(new WriterRecord*[capacity]);
    shuffle(recordsEnd());
}

RecordWriter::~RecordWriter() = default;

RecordWriter& RecordWriter::setStride(int32_t n) {
    stride = n;
    return *this;
}

RecordWriter& RecordWriter::setSliceIndex(int32_t i) {
    sliceIndex = i;
    return *this;
}

void RecordWriter::shuffle(WriterRecord* end) {
    WriterRecord* const base = records.get();
    if (end < base || end - base > capacity) throw "Assert 001 failed";
    const std::ptrdiff_t k = end - base;
    for (std::ptrdiff_t i = 0; i < k; ++i) {
        order[i] = base + i;
        base[i].shuffleKey = randomInt();
    }
    orderByKey(order.get(), order.get() + k, [](const WriterRecord* r) { return r->shuffleKey; });
}

void RecordWriter::flushRecords(WriterRecord* end, WriterMutex* lock) {
    const bool full = end == recordsEnd();
    if (!full) shuffle(end);
    const std::ptrdiff_t k = end - records.get();
    std::optional<WriterMutexLock> guard;
    if (lock) guard.emplace(*lock);
    for (std::ptrdiff_t i = 0; i < k; ++i) writeRecord(*order[i]);
    endOfBuffer();
}

void RecordWriter::reportWriteError() const {
    const int err = errno;
    fprintf(stderr, "error writing '%s'\n%s\n", fileName, strerror(err));
    fflush(stdout);
}

void RecordWriter::writeText(const char* text, size_t length) {
    if (length == 0) return;
    if (fwrite(text, 1, length, file) != length) {
        reportWriteError();
        throw "Oops";
    }
}

void RecordWriter::writeLine(const char* line) { writeText(line, strlen(line)); }
