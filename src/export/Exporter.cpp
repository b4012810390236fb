#include "export/Exporter.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "integrity/Crc32.h"
#include "dataset/DataSet.h"
#include "dataset/DataSetError.h"
#include "dataset/Lines.h"
#include "schema/SchemaSql.h"
#include "dataset/TableLines.h"
#include "dataset/Tables.h"
#include "export/TextRows.h"
#ifdef QEM_HAVE_ZSTD
#include "compress/Zstd.h"
#endif

namespace qemexport {

using qemdata::DataSetError;
namespace fs = std::filesystem;

const char* const manifestName = "qemexport.manifest";

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double processorSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The text of the data set's files is converted in pieces of about this
// size: large enough that handing a piece over costs nothing, small enough
// that the jobs share a file evenly and hold little memory.
constexpr uint64_t pieceBytes = 2u << 20;

std::string systemText() { return strerror(errno); }

// Thrown inside a job when another job failed or the export was interrupted.
struct Stopped {};

// An output file under its temporary name: the pieces of its rows come from
// any job in any order and are written in their order. A piece that comes
// before its turn waits in memory; a job whose piece lies too far ahead
// waits, so that the memory stays bounded (the earliest piece not yet
// written is always in the hands of a job that does not wait, since pieces
// are handed out in order).
class OutputFile {
public:
    OutputFile(std::string finalPath, std::string tempPath) : path(std::move(finalPath)), temp(std::move(tempPath)) {}
    ~OutputFile() {
        if (fd >= 0) ::close(fd);
    }

    void create() {
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) throw DataSetError("cannot create " + temp + ": " + systemText());
        created = true;
    }

    // Writes bytes that come before every piece (the header line).
    void writeFirst(const std::string& bytes) {
        append(bytes.data(), bytes.size(), crcOf(bytes.data(), bytes.size()), 0);
    }

    // Piece `number` (0, 1, ... in file order) of the file: its bytes, their
    // CRC-32 and its rows. `stop` tells a waiting job to give up.
    template <typename Stop>
    void put(size_t number, const char* data, size_t size, uint32_t crc, uint64_t rows, size_t window, Stop stop) {
        std::unique_lock<std::mutex> lock(mutex);
        while (number >= next + window) {
            if (stop()) throw Stopped{};
            changed.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (number != next || writing) {
            // Into a buffer of an earlier piece, whose memory is in place already.
            std::string bytes;
            if (!spare.empty()) {
                bytes = std::move(spare.back());
                spare.pop_back();
            }
            bytes.assign(data, size);
            waiting.emplace(number, Piece{std::move(bytes), crc, rows});
            return;
        }
        writing = true;
        // The next piece written outside the lock, this job alone writing.
        auto appendNext = [&](const char* bytes, size_t length, uint32_t bytesCrc, uint64_t bytesRows) {
            lock.unlock();
            try {
                append(bytes, length, bytesCrc, bytesRows);
            } catch (...) {
                lock.lock();
                writing = false;
                throw;
            }
            lock.lock();
            ++next;
        };
        appendNext(data, size, crc, rows);
        // The pieces that waited for this one.
        for (auto it = waiting.find(next); it != waiting.end(); it = waiting.find(next)) {
            Piece piece = std::move(it->second);
            waiting.erase(it);
            appendNext(piece.bytes.data(), piece.bytes.size(), piece.crc, piece.rows);
            spare.push_back(std::move(piece.bytes));
        }
        if (next == pieces) std::vector<std::string>().swap(spare);  // the file is whole: its buffers go
        writing = false;
        changed.notify_all();
    }

    // Makes the file durable and closes it; every piece up to `pieces` must
    // have been written.
    void complete(size_t expected) {
        if (next != expected || !waiting.empty())
            throw DataSetError(temp + ": " + std::to_string(next) + " of " + std::to_string(expected) + " pieces written");
        if (fdatasync(fd) != 0) throw DataSetError("writing " + temp + ": " + systemText());
        if (::close(fd) != 0) {
            fd = -1;
            throw DataSetError("writing " + temp + ": " + systemText());
        }
        fd = -1;
    }

    // Removes the temporary file, if this export made it.
    void discard() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        if (created) ::unlink(temp.c_str());
        created = false;
    }

    void wake() { changed.notify_all(); }

    static uint32_t crcOf(const char* data, size_t size) {
        qem::Crc32 c;
        c.add(data, size);
        return c.value();
    }

    const std::string path, temp;
    size_t pieces = 0;  // of the whole file, when known
    uint64_t rows = 0, bytes = 0;
    uint32_t crc = 0;
    bool created = false;

private:
    struct Piece {
        std::string bytes;
        uint32_t crc;
        uint64_t rows;
    };

    // Only the holder of `writing` (or the caller before any job runs) appends.
    void append(const char* data, size_t size, uint32_t pieceCrc, uint64_t pieceRows) {
        for (size_t done = 0; done < size;) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw DataSetError("writing " + temp + ": " + systemText());
            done += static_cast<size_t>(n);
        }
        crc = qem::Crc32::combine(crc, pieceCrc, size);
        bytes += size;
        rows += pieceRows;
    }

    int fd = -1;
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    bool writing = false;
    std::map<size_t, Piece> waiting;
    std::vector<std::string> spare;  // buffers of pieces written, kept for the next ones
};

// A run of lines of one file of a table, converted in pieces: one piece for
// a range of plain text, several in order for a compressed file (which is
// read from its start).
struct Task {
    size_t table = 0, source = 0;
    uint64_t begin = 0, end = 0;
    size_t firstPiece = 0;
};

struct TableOutput {
    const qemdata::TableFiles* files = nullptr;
    OutputFile* out = nullptr;
    size_t pieces = 0;
    uint64_t bytesRead = 0;
};

// Hands out the tasks in order and holds the first failure.
class Scheduler {
public:
    bool next(Task& task) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failed || tasks.empty()) return false;
        task = tasks.front();
        tasks.pop_front();
        return true;
    }
    void fail(const std::string& message, const Task* task) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failed) return;
        failed = true;
        error = message;
        if (task) failedTask = *task;
    }
    bool hasFailed() {
        std::lock_guard<std::mutex> lock(mutex);
        return failed;
    }

    std::mutex mutex;
    std::deque<Task> tasks;
    std::atomic<int> running{0};
    bool failed = false;
    std::string error;
    std::optional<Task> failedTask;
};

// Tells the rows which dimensions' codes all go out as they are, so that
// member codes are copied without a look at each.
void markPlainDimensions(TextRows& rows, const qemdata::Dimensions& dims) {
    for (size_t d = 0; d < dims.all.size(); ++d) {
        bool plain = true;
        for (const qemdata::Member& m : dims.all[d].members) plain = plain && rows.needsNoQuoting(m.code);
        rows.plainMembers(static_cast<int>(d), plain);
    }
}

uint64_t strideOf(const qemdata::TableDef& def, const qemdata::Source& src) {
    return static_cast<uint64_t>(def.lineLength + src.lineEnd);
}

// The pieces of [begin, end): whole lines of about pieceBytes.
uint64_t stepOf(uint64_t stride) { return std::max<uint64_t>(1, pieceBytes / stride) * stride; }

class Job {
public:
    Job(const ExportOptions& o, const qemdata::DataSet& d, std::vector<TableOutput>& t, Scheduler& s)
        : data(d), tables(t), scheduler(s),
          rows(o.format == ExportOptions::csv ? TextRows::csv : TextRows::tsv),
          zstdLevel(o.zstdLevel), window(static_cast<size_t>(o.jobs + 2)) {
#ifdef QEM_HAVE_ZSTD
        if (zstdLevel > 0) encoder = std::make_unique<qem::ZstdEncoder>(zstdLevel);
#endif
        markPlainDimensions(rows, data.dims);
    }

    void run() {
        struct Done {
            std::atomic<int>& running;
            ~Done() { --running; }
        } done{scheduler.running};
        Task task;
        while (scheduler.next(task)) {
            try {
                convert(task);
            } catch (const Stopped&) {
                scheduler.fail(exportStopRequest() ? "interrupted" : "stopped", &task);
            } catch (const std::bad_alloc&) {
                scheduler.fail("out of memory", &task);
            } catch (const std::exception& e) {
                scheduler.fail(e.what(), &task);
            }
        }
    }

    std::atomic<uint64_t> bytesDone{0};

private:
    bool stopping() { return exportStopRequest() || scheduler.hasFailed(); }

    void convert(const Task& task) {
        TableOutput& t = tables[task.table];
        const qemdata::TableDef& def = *t.files->def;
        const qemdata::Source& src = t.files->sources[task.source];
        const qemdata::LineContext ctx{&data.dims, src.user};
        const uint64_t stride = strideOf(def, src), step = stepOf(stride);
        const qemdata::LineParser<TextRows> parse = qemdata::lineParser<TextRows>(def);
        qemdata::DataFile::Reader reader(*src.file, task.begin, qemdata::compressedCheck(*data.content));
        size_t piece = task.firstPiece;
        if (task.begin == task.end) {
            // An empty file: a compressed one is read to its end and checked.
            char none = 0;
            reader.read(&none, 0);
            t.out->put(piece, "", 0, 0, 0, window, [&] { return stopping(); });
            return;
        }
        for (uint64_t at = task.begin; at < task.end;) {
            if (stopping()) throw Stopped{};
            const size_t length = static_cast<size_t>(std::min(step, task.end - at));
            if (length > inputCapacity) {
                input.reset(new char[length]);  // never cleared: every byte is read into
                inputCapacity = length;
            }
            reader.read(input.get(), length);
            data.content->add(*src.file, at, input.get(), length);
            rows.clear();
            qemdata::lines::forEach(*src.file, input.get(), length, at, def.lineLength, src.lineEnd,
                                    [&](const char* line, uint64_t number) { parse(ctx, line, number, rows); });
            rows.finish();
            if (task.end == at + length) reader.read(input.get(), 0);  // a compressed file that ends here: checked
            const char* bytes = rows.data();
            size_t size = rows.size();
#ifdef QEM_HAVE_ZSTD
            if (encoder && size > 0) {
                packed.clear();
                const qem::ByteSink sink = [&](const char* b, size_t n) {
                    packed.append(b, n);
                    return 0;
                };
                if (encoder->encode(bytes, size, sink) != 0 || encoder->finish(sink) != 0)
                    throw DataSetError("compressing " + t.out->path + " failed");
                bytes = packed.data();
                size = packed.size();
            }
#endif
            t.out->put(piece++, bytes, size, OutputFile::crcOf(bytes, size), rows.rows(), window,
                       [&] { return stopping(); });
            bytesDone += length;
            at += length;
        }
    }

    const qemdata::DataSet& data;
    std::vector<TableOutput>& tables;
    Scheduler& scheduler;
    TextRows rows;
    int zstdLevel;
    size_t window;
    std::unique_ptr<char[]> input;
    size_t inputCapacity = 0;
    std::string packed;
#ifdef QEM_HAVE_ZSTD
    std::unique_ptr<qem::ZstdEncoder> encoder;
#endif
};

// The tasks of a table's files, its pieces numbered in file order: a plain
// file in pieces, a compressed file (or part) read whole from its start by
// one task, as qemload reads them.
void planTasks(size_t table, TableOutput& t, Scheduler& scheduler) {
    const qemdata::TableDef& def = *t.files->def;
    for (size_t s = 0; s < t.files->sources.size(); ++s) {
        const qemdata::Source& src = t.files->sources[s];
        const uint64_t stride = strideOf(def, src), step = stepOf(stride);
        const uint64_t size = src.file->size();
        t.bytesRead += size;
        auto add = [&](uint64_t begin, uint64_t end, size_t pieces) {
            scheduler.tasks.push_back(Task{table, s, begin, end, t.pieces});
            t.pieces += pieces;
        };
        if (size == 0) {
            add(0, 0, 1);
        } else if (!src.file->anyCompressed()) {
            for (uint64_t b = 0; b < size; b += step) add(b, std::min(size, b + step), 1);
        } else {
            auto lineStart = [&](uint64_t at) { return std::min(size, (at + stride - 1) / stride * stride); };
            for (const qemdata::DataFile::Part& part : src.file->parts()) {
                const uint64_t begin = lineStart(part.offset), end = lineStart(part.offset + part.size);
                if (part.compressed) {
                    if (begin < end) add(begin, end, static_cast<size_t>((end - begin + step - 1) / step));
                } else {
                    for (uint64_t b = begin; b < end; b += step) add(b, std::min(end, b + step), 1);
                }
            }
        }
    }
}

std::string headerLine(const std::vector<std::string>& columns, char separator) {
    std::string line;
    for (const std::string& c : columns) {
        std::string name = c;
        name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
        line += (line.empty() ? "" : std::string(1, separator)) + name;
    }
    return line + "\n";
}

std::string compressed(const std::string& text, int level) {
#ifdef QEM_HAVE_ZSTD
    std::string out;
    qem::ZstdEncoder encoder(level);
    const qem::ByteSink sink = [&](const char* b, size_t n) {
        out.append(b, n);
        return 0;
    };
    if (encoder.encode(text.data(), text.size(), sink) != 0 || encoder.finish(sink) != 0)
        throw DataSetError("compressing failed");
    return out;
#else
    (void)level;
    return text;
#endif
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw DataSetError("cannot open folder " + folder + ": " + systemText());
    const int status = fsync(fd);
    ::close(fd);
    if (status != 0) throw DataSetError("cannot sync folder " + folder + ": " + systemText());
}

// Renames without replacing: a file that appeared under the final name in
// the meantime is kept and the rename refused.
void renameNew(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno == EEXIST) throw DataSetError(to + " appeared while the export ran; it is left as it is");
    if (errno != EINVAL && errno != ENOSYS)
        throw DataSetError("cannot rename " + from + " to " + to + ": " + systemText());
    // A file system without the flag: link and unlink refuse the same way.
    if (link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) throw DataSetError(to + " appeared while the export ran; it is left as it is");
        throw DataSetError("cannot rename " + from + " to " + to + ": " + systemText());
    }
    ::unlink(from.c_str());
}

// Every file of the export, kept so that a failure removes what it made.
class Files {
public:
    explicit Files(std::string folder) : outdir(std::move(folder)) {}
    ~Files() { discard(); }

    OutputFile& add(const std::string& name) {
        const std::string path = (fs::path(outdir) / name).string();
        const std::string temp = (fs::path(outdir) / (name + ".tmp-" + std::to_string(getpid()))).string();
        files.push_back(std::make_unique<OutputFile>(path, temp));
        return *files.back();
    }

    // Every file not yet published under its final name, in order; until
    // keep(), a failure removes them again.
    void publish() {
        for (auto& f : files) {
            if (!f->created) continue;
            renameNew(f->temp, f->path);
            f->created = false;
            published.push_back(f->path);
        }
        syncFolder(outdir);
    }
    void keep() {
        published.clear();
        createdFolder = false;
    }

    void discard() {
        for (auto& f : files) f->discard();
        for (const std::string& p : published) ::unlink(p.c_str());
        published.clear();
        if (createdFolder) {
            std::error_code ec;
            fs::remove(outdir, ec);  // only when empty
            createdFolder = false;
        }
    }

    std::vector<std::unique_ptr<OutputFile>> files;
    std::vector<std::string> published;
    std::string outdir;
    bool createdFolder = false;
};

std::string extensionOf(const ExportOptions& o) {
    return std::string(o.format == ExportOptions::csv ? ".csv" : ".tsv") + (o.zstdLevel > 0 ? ".zst" : "");
}

// The output folder, made if missing; none of the export's files may be in
// it already.
void prepareFolder(const ExportOptions& o, const std::vector<std::string>& names, Files& files) {
    std::error_code ec;
    const fs::file_status status = fs::status(o.outdir, ec);
    if (fs::exists(status)) {
        if (!fs::is_directory(status)) throw DataSetError(o.outdir + ": exists and is not a folder");
    } else {
        if (!fs::create_directory(o.outdir, ec) && ec)
            throw DataSetError("cannot create folder " + o.outdir + ": " + ec.message());
        files.createdFolder = true;
    }
    if (fs::equivalent(o.outdir, o.folder, ec))
        throw DataSetError(o.outdir + ": is the data set's own folder; the export goes into a folder of its own");
    for (const std::string& name : names) {
        const fs::path path = fs::path(o.outdir) / name;
        if (fs::symlink_status(path, ec).type() != fs::file_type::not_found)
            throw DataSetError(path.string() + ": exists; qemexport writes only files that are not there yet (remove "
                            "the old export, or choose another output folder)");
    }
    if (access(o.outdir.c_str(), W_OK) != 0)
        throw DataSetError("cannot write into folder " + o.outdir + ": " + systemText());
}

std::string hex8(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "%08x", static_cast<unsigned>(v));
    return text;
}

}  // namespace

std::atomic<bool>& exportStopRequest() {
    static std::atomic<bool> stop{false};
    return stop;
}

ExportFigures exportDataSet(const ExportOptions& o) {
    const auto start = Clock::now();
    const double processorStart = processorSeconds();
    ExportFigures figures;
    if (o.outdir.empty()) throw DataSetError("no output folder given");
    figures.jobs = o.jobs > 0 ? o.jobs : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    if (o.zstdLevel > 0 && !qemdata::DataFile::canDecompress())
        throw DataSetError("--compress: this qemexport was built without Zstandard (install libzstd-dev and build again)");

    const std::string extension = extensionOf(o);
    std::vector<std::string> names;
    for (const qemdata::DimensionLayout& l : qemdata::dimensionLayouts()) names.push_back(l.table + extension);
    for (const qemdata::TableDef& def : qemdata::factTables()) names.push_back(def.name + extension);
    names.push_back("schema.sql");
    names.push_back("schema-clickhouse.sql");
    names.push_back(manifestName);

    // Everything that can be checked before anything is read or written.
    const std::unique_ptr<qemdata::DataSet> data = qemdata::DataSet::open(o.folder, 0, "qemexport");
    figures.size = data->size;
    figures.manifests = !data->manifests().empty();
    figures.checkSeconds = since(start);

    Files files(o.outdir);
    prepareFolder(o, names, files);
    try {
        ExportOptions options = o;
        options.jobs = figures.jobs;
        const char separator = o.format == ExportOptions::csv ? ',' : '\t';
        auto headerOf = [&](const std::vector<std::string>& columns) {
            const std::string line = headerLine(columns, separator);
            return o.zstdLevel > 0 ? compressed(line, o.zstdLevel) : line;
        };

        // The dimensions, each member after its parent (the top level first),
        // so that a database checking the parent key row by row accepts them.
        for (const qemdata::Dimension& dim : data->dims.all) {
            OutputFile& out = files.add(dim.layout.table + extension);
            out.create();
            out.writeFirst(headerOf(qemdata::dimensionColumnsSql(dim.layout)));
            std::vector<size_t> order(dim.members.size());
            for (size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::stable_sort(order.begin(), order.end(),
                             [&](size_t a, size_t b) { return dim.members[a].level > dim.members[b].level; });
            TextRows rows(o.format == ExportOptions::csv ? TextRows::csv : TextRows::tsv);
            markPlainDimensions(rows, data->dims);
            for (const size_t i : order) qemdata::memberRow(dim, i, rows);
            rows.finish();
            std::string bytes(rows.data(), rows.size());
            if (o.zstdLevel > 0 && !bytes.empty()) bytes = compressed(bytes, o.zstdLevel);
            out.put(0, bytes.data(), bytes.size(), OutputFile::crcOf(bytes.data(), bytes.size()), rows.rows(), 1,
                    [] { return false; });
            out.complete(1);
            FileFigures f;
            f.name = dim.layout.table + extension;
            f.bytesRead = data->dimensionFiles.at(dim.layout.treeFile)->size() +
                          data->dimensionFiles.at(dim.layout.hierFile)->size();
            figures.files.push_back(f);
        }

        // The other tables by the jobs.
        Scheduler scheduler;
        std::vector<TableOutput> tables;
        for (const qemdata::TableFiles& t : data->tables) {
            TableOutput out;
            out.files = &t;
            std::vector<std::string> columns;
            for (const qemdata::ColumnDef& c : t.def->columns) columns.emplace_back(c.name);
            out.out = &files.add(t.def->name + extension);
            out.out->create();
            out.out->writeFirst(headerOf(columns));
            tables.push_back(out);
        }
        for (size_t i = 0; i < tables.size(); ++i) {
            planTasks(i, tables[i], scheduler);
            tables[i].out->pieces = tables[i].pieces;
        }

        uint64_t total = 0;
        for (const TableOutput& t : tables) total += t.bytesRead;
        std::vector<std::unique_ptr<Job>> jobs;
        for (int j = 0; j < figures.jobs; ++j) jobs.push_back(std::make_unique<Job>(options, *data, tables, scheduler));
        scheduler.running = figures.jobs;
        std::vector<std::thread> threads;
        for (auto& job : jobs) threads.emplace_back([&job] { job->run(); });
        while (scheduler.running > 0) {
            if (exportStopRequest() && !scheduler.hasFailed()) scheduler.fail("interrupted", nullptr);
            if (o.progress) {
                uint64_t done = 0;
                for (auto& job : jobs) done += job->bytesDone;
                fprintf(stderr, "\rqemexport: %.1f of %.1f MB converted (%.0f %%), %.0f s   ",
                        static_cast<double>(done) / 1e6, static_cast<double>(total) / 1e6,
                        total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0, since(start));
                fflush(stderr);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        for (auto& t : threads) t.join();
        if (o.progress) fprintf(stderr, "\r%100s\r", "");
        if (exportStopRequest() && !scheduler.failed) scheduler.fail("interrupted", nullptr);
        if (scheduler.failed) {
            std::string message = scheduler.error;
            if (scheduler.failedTask && !exportStopRequest()) {
                const Task& failed = *scheduler.failedTask;
                const qemdata::Source& src = tables[failed.table].files->sources[failed.source];
                std::optional<std::string> fault;
                // A damaged compressed file gives damaged text before its
                // frame checksum tells: its own fault comes first; and a line
                // of the wrong length before the piece shifts every line after it.
                if (src.file->anyCompressed()) fault = qemdata::compressedFault(*src.file, *data->content);
                if (!fault && failed.begin > 0)
                    fault = qemdata::earlierBadLine(src, *tables[failed.table].files->def, failed.begin);
                if (fault) message = *fault;
            }
            throw DataSetError(message);
        }
        // Every part of every file was read and matched its manifest.
        data->content->finish();
        for (size_t i = 0; i < tables.size(); ++i) {
            tables[i].out->complete(tables[i].pieces);
            FileFigures f;
            f.name = tables[i].files->def->name + extension;
            f.bytesRead = tables[i].bytesRead;
            figures.files.push_back(f);
        }

        // The SQL of the tables, plain text whatever the tables are.
        for (const auto& [name, sql] : {std::pair<std::string, std::string>{"schema.sql", qemdata::portableSchemaSql()},
                                        {"schema-clickhouse.sql", qemdata::clickhouseSchemaSql()}}) {
            OutputFile& out = files.add(name);
            out.create();
            out.put(0, sql.data(), sql.size(), OutputFile::crcOf(sql.data(), sql.size()), 0, 1, [] { return false; });
            out.complete(1);
            FileFigures f;
            f.name = name;
            figures.files.push_back(f);
        }
        for (size_t i = 0; i < figures.files.size(); ++i) {
            figures.files[i].rows = files.files[i]->rows;
            figures.files[i].bytesWritten = files.files[i]->bytes;
            figures.files[i].crc = files.files[i]->crc;
        }
        files.publish();

        // The manifest last: its presence says that the export is whole.
        std::string manifest = "qemexport manifest 1\n";
        manifest += "data set: " + std::to_string(figures.size.channels) + " channels, density code " +
                    std::to_string(figures.size.densityCode) + ", " + std::to_string(figures.size.users) + " users\n";
        manifest += std::string("format: ") + (o.format == ExportOptions::csv ? "csv" : "tsv") +
                    (o.zstdLevel > 0 ? ", zstd" : "") + "\n";
        manifest += "file rows bytes crc32\n";
        for (const FileFigures& f : figures.files)
            manifest += f.name + " " + std::to_string(f.rows) + " " + std::to_string(f.bytesWritten) + " " +
                        hex8(f.crc) + "\n";
        OutputFile& out = files.add(manifestName);
        out.create();
        out.put(0, manifest.data(), manifest.size(), OutputFile::crcOf(manifest.data(), manifest.size()), 0, 1,
                [] { return false; });
        out.complete(1);
        files.publish();
        files.keep();
    } catch (...) {
        files.discard();
        throw;
    }
    figures.seconds = since(start);
    figures.processorSeconds = processorSeconds() - processorStart;
    return figures;
}

void printFigures(FILE* out, const ExportFigures& f) {
    fprintf(out, "%-22s %12s %10s %12s  %s\n", "file", "rows", "MB read", "MB written", "CRC-32");
    uint64_t read = 0, written = 0;
    for (const FileFigures& file : f.files) {
        read += file.bytesRead;
        written += file.bytesWritten;
        fprintf(out, "%-22s %12llu %10.1f %12.1f  %08x\n", file.name.c_str(), static_cast<unsigned long long>(file.rows),
                static_cast<double>(file.bytesRead) / 1e6, static_cast<double>(file.bytesWritten) / 1e6,
                static_cast<unsigned>(file.crc));
    }
    fprintf(out, "%-22s %12s %10.1f %12.1f\n", "total", "", static_cast<double>(read) / 1e6,
            static_cast<double>(written) / 1e6);
    fprintf(out, "%.2f s (checks before reading %.2f s), %.0f MB/s read; processor %.2f s over %d jobs\n", f.seconds,
            f.checkSeconds, f.seconds > 0 ? static_cast<double>(read) / 1e6 / f.seconds : 0.0, f.processorSeconds,
            f.jobs);
    fprintf(out, "data set: %lld channels, density code %lld, %lld users; %s\n",
            static_cast<long long>(f.size.channels), static_cast<long long>(f.size.densityCode),
            static_cast<long long>(f.size.users),
            f.manifests ? "every file matches its manifests"
                        : "no manifests: only the lines were checked, the data set's completeness is not proven");
    fprintf(out, "%s written last\n", manifestName);
}

}  // namespace qemexport
