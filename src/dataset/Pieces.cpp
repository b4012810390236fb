#include "dataset/Pieces.h"

#include <algorithm>
#include <new>

#include "dataset/DataSet.h"

namespace qemdata {

std::vector<PieceTask> planPieces(const DataFile& file, size_t table, size_t source, uint64_t step, uint64_t align,
                                  size_t firstPiece) {
    std::vector<PieceTask> tasks;
    const uint64_t size = file.size();
    size_t piece = firstPiece;
    auto add = [&](uint64_t begin, uint64_t end) {
        PieceTask t;
        t.table = table;
        t.source = source;
        t.begin = begin;
        t.end = end;
        t.firstPiece = piece;
        t.pieces = end == begin ? 1 : static_cast<size_t>((end - begin + step - 1) / step);
        piece += t.pieces;
        tasks.push_back(t);
    };
    if (size == 0) {
        add(0, 0);
        return tasks;
    }
    // The first piece start at or after `at`.
    auto start = [&](uint64_t at) { return std::min(size, (at + align - 1) / align * align); };
        // Plain text runs on across plain stored files (`step` is a multiple of
    // `align`, so its pieces start on lines); each compressed stored file is
    // a run of its own.
    uint64_t plainFrom = 0;
    auto plainUpTo = [&](uint64_t to) {
        for (uint64_t b = plainFrom; b < to; b += step) add(b, std::min(to, b + step));
    };
    for (const DataFile::Part& part : file.parts()) {
        if (!part.compressed) continue;
        const uint64_t begin = start(part.offset), end = start(part.offset + part.size);
        plainUpTo(begin);
        if (begin < end) add(begin, end);
        plainFrom = end;
    }
    plainUpTo(size);
    return tasks;
}

void PieceScheduler::push(const PieceTask& task, bool urgent) { (urgent ? urgentTasks : tasks).push_back(task); }

void PieceScheduler::add(const PieceTask& task, bool urgent) {
    push(task, urgent);
    changed.notify_all();
}

bool PieceScheduler::next(PieceTask& task) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (stopped) return false;
        std::deque<PieceTask>& from = !urgentTasks.empty() ? urgentTasks : tasks;
        if (!from.empty()) {
            task = from.front();
            from.pop_front();
            ++running;
            return true;
        }
        if (running == 0) return false;
        changed.wait(lock);
    }
}

void PieceScheduler::done(const PieceTask& task) {
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    if (onDone) onDone(task);
    changed.notify_all();
}

void PieceScheduler::fail(const std::string& message, const PieceTask* task, bool reading) {
    std::lock_guard<std::mutex> lock(mutex);
    if (task) --running;
    if (!stopped) {
        stopped = true;
        failure = message;
        if (task) failedOne = *task;
        failedReading_ = task && reading;
    }
    changed.notify_all();
}

bool PieceScheduler::failed() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopped;
}

bool PieceScheduler::waitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout,
                            [&] { return stopped || (running == 0 && tasks.empty() && urgentTasks.empty()); });
}

void runJobs(PieceScheduler& scheduler, int jobs, const std::function<void(int, const PieceTask&)>& work,
             const std::function<std::string()>& tick, std::chrono::milliseconds period,
             const std::function<void()>& cancel) {
    std::vector<std::thread> threads;
    for (int j = 0; j < jobs; ++j)
        threads.emplace_back([&scheduler, &work, j] {
            PieceTask task;
            while (scheduler.next(task)) {
                try {
                    work(j, task);
                    scheduler.done(task);
                } catch (const Stopped&) {
                    scheduler.fail("stopped", &task);
                } catch (const ReadFault& e) {
                    scheduler.fail(e.what(), &task, true);
                } catch (const std::bad_alloc&) {
                    scheduler.fail("out of memory", &task);
                } catch (const std::exception& e) {
                    scheduler.fail(e.what(), &task);
                }
            }
        });
    while (!scheduler.waitFinished(period))
        if (tick)
            if (const std::string stop = tick(); !stop.empty()) scheduler.fail(stop, nullptr);
    if (cancel && scheduler.failed()) cancel();
    for (std::thread& t : threads) t.join();
    if (tick)
        if (const std::string stop = tick(); !stop.empty()) scheduler.fail(stop, nullptr);
}

namespace {

// What the reader cannot read is a fault of the file.
void readFrom(DataFile::Reader& reader, char* out, size_t length) {
    try {
        reader.read(out, length);
    } catch (const ReadFault&) {
        throw;
    } catch (const DataSetError& e) {
        throw ReadFault(e.what());
    }
}

}  // namespace

void readPieces(DataFile::Reader& reader, const PieceTask& task, uint64_t step, std::vector<char>& buffer,
                const std::function<void(uint64_t, const char*, size_t)>& each) {
    for (uint64_t at = task.begin; at < task.end;) {
        const size_t length = static_cast<size_t>(std::min(step, task.end - at));
        if (buffer.size() < length) buffer.resize(length);
        readFrom(reader, buffer.data(), length);
        each(at, buffer.data(), length);
        at += length;
    }
    // A compressed file that ends here (an empty one too) is read to its end
    // and checked.
    char none = 0;
    readFrom(reader, buffer.empty() ? &none : buffer.data(), 0);
}

std::string faultOfTask(const std::string& message, const Source& src, const TableDef& def, uint64_t begin,
                        ContentCheck& content) {
    std::optional<std::string> fault;
    if (src.file->anyCompressed()) fault = compressedFault(*src.file, content);
    if (!fault && begin > 0) fault = earlierBadLine(src, def, begin);
    return fault ? *fault : message;
}

std::string failureOf(const PieceScheduler& scheduler, bool interrupted, const SourceOfTask& sourceOf,
                      ContentCheck& content) {
    if (interrupted) return "interrupted";
    const std::optional<PieceTask>& task = scheduler.failedTask();
    if (!task || !scheduler.failedReading()) return scheduler.error();
    const auto [src, def] = sourceOf(*task);
    return faultOfTask(scheduler.error(), *src, *def, task->begin, content);
}

}  // namespace qemdata
