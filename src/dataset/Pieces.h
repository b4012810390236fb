#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dataset/DataFile.h"
#include "dataset/DataSet.h"

namespace qemdata {

// Reading a data set's files on several threads at once, as every reader
// does: each file's text is cut into tasks, the jobs take them in order,
// and the first failure stops them all.

// A run of one file's text that one job reads in order, [begin, end), in
// `pieces` pieces of the caller's step (the last shorter).
struct PieceTask {
    size_t table = 0, source = 0;  // the caller's numbers of the file
    uint64_t begin = 0, end = 0;
    size_t firstPiece = 0;  // the number of its first piece among the file's
    size_t pieces = 1;
    int kind = 0;  // the caller's kind of task
};

// A step of whole lines of `stride` bytes, about `about` bytes long (one
// line at least): the pieces a reader reads a file's lines in.
inline uint64_t lineStep(uint64_t about, uint64_t stride) { return std::max<uint64_t>(1, about / stride) * stride; }

// The tasks of a file's text: plain stored text in pieces of `step` bytes,
// each its own task; a compressed stored file one task of several pieces
// (its text can only be read from its start). Pieces start on multiples of
// `align` (the line stride, where the caller reads whole lines; 1 for any
// byte): a compressed file's task runs from the first line start in it to
// the next file's. An empty file is one empty task. The pieces are numbered
// in file order from `firstPiece`.
std::vector<PieceTask> planPieces(const DataFile& file, size_t table, size_t source, uint64_t step, uint64_t align,
                                  size_t firstPiece = 0);

// Thrown inside a job when another job failed or the work was interrupted.
struct Stopped {};

// Hands the tasks to the jobs, those added with `urgent` before the others,
// and holds the first failure: after it no task is handed out.
class PieceScheduler {
public:
    void add(const PieceTask& task, bool urgent = false);
    // The next task; waits while no task is left but some still run (a
    // task done may add more: onDone). False when all are done, or after a
    // failure.
    bool next(PieceTask& task);
    // A task is done: onDone (if set) is called under the scheduler's lock.
    void done(const PieceTask& task);
    // The first failure wins; `task` is the task that failed, if any;
    // `reading`: it failed reading its file (a ReadFault).
    void fail(const std::string& message, const PieceTask* task, bool reading = false);
    bool failed();
    // Waits until every task is done or one failed, at most `timeout`.
    bool waitFinished(std::chrono::milliseconds timeout);
    // The first failure's text and task, once all jobs have stopped.
    const std::string& error() const { return failure; }
    const std::optional<PieceTask>& failedTask() const { return failedOne; }
    bool failedReading() const { return failedReading_; }

    // Called with each task done, under `mutex` (which the caller may take
    // for what it keeps beside, e.g. figures); it may add() more tasks.
    std::function<void(const PieceTask&)> onDone;
    std::mutex mutex;

private:
    void push(const PieceTask& task, bool urgent);

    std::condition_variable changed;
    std::deque<PieceTask> tasks, urgentTasks;
    int running = 0;
    bool stopped = false;
    std::string failure;
    std::optional<PieceTask> failedOne;
    bool failedReading_ = false;
};

// Runs `jobs` threads that take the scheduler's tasks until none is left:
// work(job, task) does one (job: 0 .. jobs - 1), and whatever it throws fails
// the scheduler with its text ("out of memory" for a failed allocation,
// "stopped" for Stopped; a ReadFault as a task that failed reading its
// file). The calling thread calls tick() every `period` until all are done (for a progress line
// or a stop request); tick returns a failure text to stop everything, or "".
// After a failure, cancel() (when given) is called before the jobs are
// waited for, to cut short what they are in the middle of.
void runJobs(PieceScheduler& scheduler, int jobs, const std::function<void(int job, const PieceTask&)>& work,
             const std::function<std::string()>& tick = nullptr,
             std::chrono::milliseconds period = std::chrono::milliseconds(250),
             const std::function<void()>& cancel = nullptr);

// Reads a task's text in pieces of at most `step` bytes through `reader`
// (placed at task.begin) into `buffer`, calling each(offset, bytes, length)
// with every piece; a compressed file that ends where the task ends is read
// to its end and checked.
void readPieces(DataFile::Reader& reader, const PieceTask& task, uint64_t step, std::vector<char>& buffer,
                const std::function<void(uint64_t offset, const char* bytes, size_t length)>& each);

// The fault to report after a task of a table's source failed with
// `message` while its lines were read: a damaged compressed file gives
// damaged text before its frame's checksum tells, so its own fault comes
// first; and a line of the wrong length before the task's first byte shifts
// every line after it, so that line is the fault.
std::string faultOfTask(const std::string& message, const Source& src, const TableDef& def, uint64_t begin,
                        ContentCheck& content);

// The text to end a failed run with: "interrupted" when it was; for a task
// that failed reading its file, faultOfTask's (sourceOf gives the task's
// source and table); else the first failure's.
using SourceOfTask = std::function<std::pair<const Source*, const TableDef*>(const PieceTask&)>;
std::string failureOf(const PieceScheduler& scheduler, bool interrupted, const SourceOfTask& sourceOf,
                      ContentCheck& content);

}  // namespace qemdata
