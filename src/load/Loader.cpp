#include "load/Loader.h"

#include "load/CopyRows.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <queue>
#include <random>
#include <thread>

#include "dataset/ContentCheck.h"
#include "dataset/DataFile.h"
#include "dataset/DataSet.h"
#include "dataset/Dimensions.h"
#include "dataset/DataSetError.h"
#include "dataset/Lines.h"
#include "dataset/Manifests.h"
#include "dataset/Pieces.h"
#include "pg/PgSession.h"
#include "schema/SchemaSql.h"
#include "load/Schemas.h"
#include "load/SortRuns.h"
#include "dataset/TableLines.h"
#include "dataset/Tables.h"

namespace qemload {

using namespace qemdata;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Size of the pieces the fact files are loaded in: big enough that the
// per-COPY cost vanishes, small enough that the jobs share a file evenly.
constexpr uint64_t chunkBytes = 16u << 20;

// COPY data is handed to the connection in pieces of about this size.
constexpr size_t sendBytes = 1u << 20;
// The memory the server sorts a primary key's entries in
// (maintenance_work_mem): a fixed, modest amount. The rows come in key order
// (see loadSorted), which the sort finds at once; sorting them in memory
// would take more time, not less, in touching that much fresh memory
// (measured: docs/loading.md).
constexpr const char* keySortMemory = "64MB";

// A table whose file is no larger than this is loaded in the order of its
// primary key, so that building the key finds its rows sorted; a larger one
// is loaded in pieces as they come. Default: every table.
uint64_t sortedLoadLimit(long limitMb) {
    if (limitMb >= 0) return static_cast<uint64_t>(limitMb) << 20;
    return UINT64_MAX;
}

// The memory a job sorts a table's rows in; a table whose rows take more is
// sorted in runs through temporary files.
uint64_t sortMemoryBytes(long memoryMb) { return static_cast<uint64_t>(memoryMb > 0 ? memoryMb : 512) << 20; }

struct TableWork {
    const TableDef* def = nullptr;
    std::vector<Source> sources;
    TableFigures figures;
    size_t chunksLeft = 0;
    std::optional<Clock::time_point> firstStart;
    Clock::time_point lastEnd;
};

// The kinds of the jobs' tasks: a piece of a file, a whole file in its
// table's key order, a table's keys once all of its rows are in.
enum TaskKind { loadPiece, loadSorted, makeKeys };

// What the scheduler's tasks leave beside: when the loading began and
// ended, which table's keys are done; kept under the scheduler's lock.
struct Progress {
    explicit Progress(std::vector<TableWork>& t) : tables(t) {}
    std::vector<TableWork>& tables;
    size_t keysDone = 0;
    std::optional<Clock::time_point> firstLoad;
    Clock::time_point lastLoad, lastKey;
};

// Whether the load's sessions may leave out the server's own check of each
// row's foreign keys, and so build the keys before loading rather than scan
// every table once per key after it. Every member a row names was found in
// its dimension (a leaf where the key asks for one) by qemload as it parsed
// the line, and the dimension tables hold exactly those members before any
// other row is loaded: the server's check of each row, its foreign-key
// trigger, could only confirm it. Leaving the triggers out of a session
// (session_replication_role = replica) is for a superuser, or a role granted
// SET on that setting; any other role gets the keys added after loading and
// validated by the server. Either way the constraints are valid and hold for
// every later change by anyone.
bool foreignKeysBeforeLoading(PgSession& s) {
    try {
        s.exec("SET session_replication_role = replica");
        s.exec("RESET session_replication_role");
        return true;
    } catch (const SqlError& e) {
        if (e.sqlState == "42501") return false;  // insufficient privilege
        throw;
    }
}

// Seconds of the dimension's COPY, of its keys and of the indexes of its
// level columns.
struct DimensionSeconds {
    double copy = 0, keys = 0, levels = 0;
};

DimensionSeconds loadDimension(PgSession& s, const std::string& schema, const Dimension& dim) {
    const DimensionLayout& l = dim.layout;
    const std::string name = schema + "." + l.table;
    DimensionSeconds seconds;
    auto start = Clock::now();
    BinaryRows rows;
    rows.raw(BinaryRows::header());
    std::string columnNames;
    for (const std::string& c : dimensionColumnsSql(l)) columnNames += (columnNames.empty() ? "" : ", ") + c;
    for (size_t i = 0; i < dim.members.size(); ++i) memberRow(dim, i, rows);
    rows.raw(BinaryRows::trailer());
    s.beginCopy("COPY " + name + " (" + columnNames + ") FROM STDIN (FORMAT binary)");
    s.putCopy(rows.data(), rows.size());
    s.endCopy();
    seconds.copy = since(start);
    start = Clock::now();
    std::string keys;
    for (const std::string& key : dimensionKeysSql(schema, l)) keys += (keys.empty() ? " ADD " : ", ADD ") + key;
    s.exec("ALTER TABLE " + name + keys);
    seconds.keys = since(start);
    start = Clock::now();
    for (size_t c = 0; c < l.levelColumnCount(); ++c) s.exec(levelIndexSql(schema, l, c));
    seconds.levels = since(start);
    return seconds;
}

// Whether the table is loaded in key order: one file that fits the memory
// limit, and keys that fit 64 bits.
bool loadsSorted(const TableWork& t, const Dimensions& dims, uint64_t limit) {
    if (!t.def->file || t.sources.size() != 1 || t.sources[0].file->size() > limit) return false;
    unsigned __int128 keys = 2;  // a cost line's scenario
    for (const ForeignKey& fk : t.def->foreignKeys) keys *= dims[fk.dimension].members.size();
    return keys <= UINT64_MAX;
}

class Job {
public:
    // foreignKeysMade: the tables have their foreign keys already (see
    // foreignKeysBeforeLoading); the session's rows skip the server's
    // per-row check of them.
    Job(const LoadOptions& o, const std::string& schemaSql, const Dimensions& d,
        const std::vector<std::vector<uint32_t>>& r, PieceScheduler& s, Progress& p, ContentCheck& c,
        bool foreignKeysMade)
        : session(o.conninfo, schemas::applicationName()), schema(schemaSql), dims(d), ranks(r), scheduler(s),
          progress(p), content(c), foreignKeysBefore(foreignKeysMade), sortMemory(sortMemoryBytes(o.sortMemoryMb)) {
        // Chunk commits need not wait for the disk: the final publishing
        // commit does, and it comes after every one of them.
        session.exec("SET synchronous_commit = off");
        if (foreignKeysBefore) session.exec("SET session_replication_role = replica");
    }

    // One task of the scheduler's; a failed allocation named with the table.
    void perform(const PieceTask& task) {
        TableWork& t = progress.tables[task.table];
        {
            std::lock_guard<std::mutex> lock(scheduler.mutex);
            if (!t.firstStart) t.firstStart = Clock::now();
            if (!progress.firstLoad && task.kind != makeKeys) progress.firstLoad = Clock::now();
        }
        try {
            if (task.kind == loadPiece)
                load(task);
            else if (task.kind == loadSorted)
                loadSortedTable(task);
            else
                keys(t);
        } catch (const std::bad_alloc&) {
            throw DataSetError("out of memory loading table " + std::string(t.def->name) +
                               " (a lower --sort-memory sorts large tables in smaller runs)");
        }
    }

    PgSession session;
    std::atomic<uint64_t> rowsLoaded{0};

private:
    // A range of a file, read (and, where compressed, decompressed) in
    // pieces of whole lines and sent as they come in one COPY.
    void load(const PieceTask& task) {
        TableWork& t = progress.tables[task.table];
        const Source& src = t.sources[task.source];
        const LineContext ctx{&dims, src.user};
        DataFile::Reader reader(*src.file, task.begin, compressedCheck(content));
        const LineParser<BinaryRows> parse = lineParser<BinaryRows>(*t.def);
        copy(t, false, [&](auto&& added) {
            readLines(reader, src, *t.def, task, [&](const char* line, uint64_t number) {
                parse(ctx, line, number, out);
                added(t.def->rowsPerLine);
            });
        });
    }

    // Calls each(line, number) for the lines of the task's text, read in
    // pieces of whole lines, each piece's bytes shown to the manifest checks.
    template <typename Each>
    void readLines(DataFile::Reader& reader, const Source& src, const TableDef& def, const PieceTask& task, Each each) {
        readPieces(reader, task, lineStep(chunkBytes, src.stride(def)), input, [&](uint64_t at, const char* text, size_t n) {
            content.add(*src.file, at, text, n);
            lines::forEach(*src.file, text, n, at, def.lineLength, src.lineEnd, each);
        });
    }

    // The whole file in the order of its table's key, in one COPY: every line
    // checked and turned into rows with its key as it is read. Rows up to the
    // sort memory are sorted in memory; beyond it each full run of rows
    // goes to a temporary file in key order, and the runs are merged as
    // they are sent.
    void loadSortedTable(const PieceTask& task) {
        TableWork& t = progress.tables[task.table];
        const TableDef& def = *t.def;
        const Source& src = t.sources[task.source];
        const LineContext ctx{&dims, src.user};
        const std::string what = "table " + std::string(def.name);
        DataFile::Reader reader(*src.file, 0, compressedCheck(content));
        KeyedRows rows(ranks);
        const LineParser<KeyedRows> parse = lineParser<KeyedRows>(def);
        // The rows never move to grow: at most the sort memory and the rows
        // of the lines read before the next look at its size.
        rows.reserve(static_cast<size_t>(std::min<uint64_t>(sortMemory, src.file->size() * 8) + (64u << 20)));
        std::vector<RunEntry> entries;
        std::vector<std::unique_ptr<RunFile>> runs;
        auto spill = [&] {
            sortEntries(entries);
            runs.push_back(std::make_unique<RunFile>(runFolder(), what));
            runs.back()->write(entries, rows.data());
            rows.clear();
            entries.clear();
        };
        readLines(reader, src, def, task, [&](const char* line, uint64_t number) {
            const size_t begin = rows.size();
            rows.startLine();
            parse(ctx, line, number, rows);
            RunEntry e;
            e.key = rows.lineKey();
            e.offset = begin;
            e.size = rows.size() - begin;
            entries.push_back(e);
            if ((entries.size() & 0xFFFF) == 0) {
                if (loadStopRequest() || scheduler.failed()) throw Stopped{};
                if (rows.size() + entries.capacity() * sizeof(RunEntry) >= sortMemory) spill();
            }
        });
        const int perLine = def.rowsPerLine;
        if (runs.empty()) {
            sortEntries(entries);
            copy(t, true, [&](auto&& added) {
                // The lines lie all over the rows: each is fetched ahead.
                constexpr size_t ahead = 16;
                for (size_t i = 0; i < entries.size(); ++i) {
                    if (i + ahead < entries.size()) __builtin_prefetch(rows.data() + entries[i + ahead].offset);
                    out.raw(std::string_view(rows.data() + entries[i].offset, entries[i].size));
                    added(perLine);
                }
            });
            return;
        }
        if (!entries.empty()) spill();
        std::vector<RunEntry>().swap(entries);
        rows.release();
        // Each run read through its share of the sort memory.
        const size_t buffer = std::clamp<size_t>(sortMemory / runs.size(), 64u << 10, 8u << 20);
        struct Head {
            uint64_t key;
            size_t run;
            const char* rows;
            size_t size;
            bool operator>(const Head& o) const { return key > o.key; }
        };
        std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
        for (size_t r = 0; r < runs.size(); ++r) {
            runs[r]->startReading(buffer);
            Head h{0, r, nullptr, 0};
            if (runs[r]->next(h.key, h.rows, h.size)) heads.push(h);
        }
        copy(t, true, [&](auto&& added) {
            while (!heads.empty()) {
                Head h = heads.top();
                heads.pop();
                out.raw(std::string_view(h.rows, h.size));
                added(perLine);
                if (runs[h.run]->next(h.key, h.rows, h.size)) heads.push(h);
            }
        });
    }

    // One COPY into the table: fill(added) appends rows to `out`, calling
    // added(n) after each line's n rows, in the order the rows are to be
    // stored. A table filled by one COPY (whole) gets its rows frozen:
    // emptied in the same transaction, its pages come out all-visible, and
    // building its keys neither checks nor marks every row's visibility
    // (and, on a server with wal_level = minimal, its rows and keys are
    // written without the write-ahead log).
    template <typename Fill>
    void copy(TableWork& t, bool whole, Fill fill) {
        const TableDef& def = *t.def;
        const std::string table = schema + "." + def.name;
        if (whole) {
            session.exec("BEGIN");
            session.exec("TRUNCATE " + table);
        }
        session.beginCopy("COPY " + table + " (" + columnListSql(def) + ") FROM STDIN (FORMAT binary" +
                          (whole ? ", FREEZE)" : ")"));
        uint64_t rows = 0, pending = 0;
        try {
            out.clear();
            out.raw(BinaryRows::header());
            fill([&](int n) {
                pending += static_cast<uint64_t>(n);
                if (out.size() >= sendBytes) send(rows, pending);
            });
            out.raw(BinaryRows::trailer());
            send(rows, pending);
            session.endCopy();
            if (whole) session.exec("COMMIT");
        } catch (...) {
            session.abortCopy();
            if (whole) session.rollback();
            throw;
        }
        std::lock_guard<std::mutex> lock(scheduler.mutex);
        t.figures.rows += rows;
    }

    void send(uint64_t& rows, uint64_t& pending) {
        if (loadStopRequest() || scheduler.failed()) throw Stopped{};
        session.putCopy(out.data(), out.size());
        out.clear();
        rows += pending;
        rowsLoaded += pending;
        pending = 0;
    }

    // The primary key, then each foreign key added unchecked and validated:
    // validation locks the referenced dimension table only for sharing, so
    // both jobs validate at once.
    void keys(TableWork& t) {
        const TableDef& def = *t.def;
        const std::string table = schema + "." + def.name;
        auto start = Clock::now();
        session.exec(std::string("SET maintenance_work_mem = '") + keySortMemory + "'");
        try {
            session.exec("ALTER TABLE " + table + " ADD CONSTRAINT " + def.name + "_pkey " + primaryKeySql(def));
        } catch (const SqlError& e) {
            if (e.sqlState == "23505") throw DataSetError("table " + std::string(def.name) + ": duplicate key: " + e.detail);
            throw DataSetError("table " + std::string(def.name) + ": primary key: " + e.what());
        }
        const double keySeconds = since(start);
        start = Clock::now();
        for (const ForeignKey& fk : foreignKeysBefore ? std::vector<ForeignKey>{} : def.foreignKeys) {
            const std::string dim = dimensionLayouts()[fk.dimension].table;
            const std::string name = foreignKeyName(def, fk);
            session.exec("ALTER TABLE " + table + " ADD " + foreignKeySql(schema, def, fk) + " NOT VALID");
            try {
                session.exec("ALTER TABLE " + table + " VALIDATE CONSTRAINT " + name);
            } catch (const SqlError& e) {
                if (e.sqlState != "23503") throw DataSetError("table " + std::string(def.name) + ": " + e.what());
                const std::string match = (fk.leafOnly ? "d.leaf_code = f." : "d.code = f.") + std::string(fk.column);
                const auto rows = session.queryRows("SELECT f.* FROM " + table + " f WHERE f." + fk.column +
                                                    " IS NOT NULL AND NOT EXISTS (SELECT 1 FROM " + schema + "." +
                                                    dim + " d WHERE " + match + ") LIMIT 1");
                throw DataSetError("table " + std::string(def.name) + ": " + fk.column + " names no " +
                                (fk.leafOnly ? "leaf of " : "member of ") + dim + ", for example in the row (" +
                                (rows.empty() ? e.detail : rows.front()) + ")");
            }
        }
        std::lock_guard<std::mutex> lock(scheduler.mutex);
        t.figures.keySeconds = keySeconds;
        t.figures.checkSeconds = since(start);
    }

    std::string schema;
    const Dimensions& dims;
    const std::vector<std::vector<uint32_t>>& ranks;
    PieceScheduler& scheduler;
    Progress& progress;
    ContentCheck& content;
    bool foreignKeysBefore;
    uint64_t sortMemory;
    std::vector<char> input;
    BinaryRows out;
};

// The schema the tables are built in, under a name of its own
// (qemload_<pid>_<hex>) and with the mark of its host and process; dropped
// unless published.
class TemporarySchema {
public:
    TemporarySchema(PgSession& s) : session(s) {
        std::random_device random;
        char suffix[16];
        snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        name = "qemload_" + std::to_string(getpid()) + "_" + suffix;
        sql = session.quoteIdentifier(name);
    }
    ~TemporarySchema() {
        if (const std::string left = discard(); !left.empty()) fprintf(stderr, "qemload: %s\n", left.c_str());
    }

    // In the transaction in progress.
    void create() {
        session.exec("CREATE SCHEMA " + sql);
        session.exec("COMMENT ON SCHEMA " + sql + " IS " + session.quoteLiteral(schemas::unfinishedMark()));
        created = true;
    }

    // Drops the schema unless it was published; "" when it is gone, else
    // what is left and how to remove it.
    std::string discard() {
        if (!created || published) return "";
        created = false;
        session.rollback();
        try {
            session.exec("DROP SCHEMA IF EXISTS " + sql + " CASCADE");
            return "";
        } catch (const std::exception& e) {
            return "the unfinished schema " + name + " is left in the database (dropping it failed: " + e.what() +
                   "); the next qemload started on this host drops it, or drop it with: DROP SCHEMA " + sql +
                   " CASCADE;";
        }
    }

    PgSession& session;
    std::string name, sql;
    bool created = false, published = false;
};

// Fills the temporary schema and, once every key and check is in place,
// publishes it under the requested name: the steps of a load after the data
// set's checks before reading.
class Load {
public:
    Load(const LoadOptions& o, PgSession& control, TemporarySchema& temp, const DataSet& data,
         std::vector<TableWork>& work, LoadFigures& figures, Clock::time_point start)
        : o(o), control(control), temp(temp), data(data), work(work), figures(figures), start(start),
          progress(work) {}

    void run() {
        createTables();
        planLoads();
        loadRows();
        publish();
    }

private:
    // The dimension tables, loaded and keyed first; then the other tables,
    // with their foreign keys where the role may skip the server's check of
    // each row (see foreignKeysBeforeLoading).
    void createTables() {
        const Dimensions& dims = data.dims;
        try {
            control.exec("BEGIN");
            temp.create();
            for (const Dimension& dim : dims.all)
                control.exec(dimensionTableSql(temp.sql, dim.layout, SqlDialect::postgres, false));
            control.exec("COMMIT");
            for (const Dimension& dim : dims.all) {
                const DimensionSeconds seconds = loadDimension(control, temp.sql, dim);
                TableFigures f;
                f.name = dim.layout.table;
                f.rows = dim.members.size();
                f.bytes = data.dimensionFiles.at(dim.layout.treeFile)->size() +
                          data.dimensionFiles.at(dim.layout.hierFile)->size();
                f.loadSeconds = seconds.copy;
                f.keySeconds = seconds.keys + seconds.levels;
                figures.levelIndexSeconds += seconds.levels;
                figures.levelIndexes += static_cast<int>(dim.layout.levelColumnCount());
                figures.tables.push_back(f);
            }
            figures.foreignKeysBeforeLoading = foreignKeysBeforeLoading(control);
            control.exec("BEGIN");
            for (const TableWork& t : work)
                control.exec(tableSql(temp.sql, *t.def, SqlDialect::postgres, figures.foreignKeysBeforeLoading, false));
            control.exec("COMMIT");
        } catch (const SqlError& e) {
            throw DataSetError(std::string("creating the tables: ") + e.what());
        }
    }

    // Every file of a table in key order where it fits the limits, else in
    // pieces; a table's keys as soon as all of its rows are in (they run
    // beside the loading of other tables).
    void planLoads() {
        for (size_t i = 0; i < work.size(); ++i) {
            const TableDef& def = *work[i].def;
            for (size_t s = 0; s < work[i].sources.size(); ++s) {
                const Source& src = work[i].sources[s];
                expectedRows += src.file->size() / src.stride(def) * static_cast<uint64_t>(def.rowsPerLine);
                if (loadsSorted(work[i], data.dims, sortedLoadLimit(o.sortLimitMb))) {
                    PieceTask whole;
                    whole.table = i;
                    whole.source = s;
                    whole.end = src.file->size();
                    whole.kind = loadSorted;
                    scheduler.add(whole);
                    ++work[i].chunksLeft;
                    continue;
                }
                for (const PieceTask& task :
                     planPieces(*src.file, i, s, lineStep(chunkBytes, src.stride(def)), src.stride(def))) {
                    scheduler.add(task);
                    ++work[i].chunksLeft;
                }
            }
        }
        scheduler.onDone = [this](const PieceTask& task) {
            TableWork& t = work[task.table];
            if (task.kind != makeKeys) {
                t.lastEnd = progress.lastLoad = Clock::now();
                if (--t.chunksLeft == 0) {
                    PieceTask keys;
                    keys.table = task.table;
                    keys.kind = makeKeys;
                    scheduler.add(keys, true);
                }
            } else {
                progress.lastKey = Clock::now();
                ++progress.keysDone;
            }
        };
    }

    void loadRows() {
        std::vector<std::unique_ptr<Job>> jobs;
        const auto ranks = codeRanks(data.dims);
        for (int j = 0; j < o.jobs; ++j)
            jobs.push_back(std::make_unique<Job>(o, temp.sql, data.dims, ranks, scheduler, progress, *data.content,
                                                 figures.foreignKeysBeforeLoading));
        runJobs(
            scheduler, o.jobs, [&](int job, const PieceTask& task) { jobs[static_cast<size_t>(job)]->perform(task); },
            [&]() -> std::string {
                if (o.progress) {
                    uint64_t rows = 0;
                    for (auto& job : jobs) rows += job->rowsLoaded;
                    std::lock_guard<std::mutex> lock(scheduler.mutex);
                    fprintf(stderr, "\rqemload: %.1f of %.1f M rows loaded (%.0f %%), keys of %zu of %zu tables, %.0f s   ",
                            static_cast<double>(rows) / 1e6, static_cast<double>(expectedRows) / 1e6,
                            expectedRows ? 100.0 * static_cast<double>(rows) / static_cast<double>(expectedRows) : 100.0,
                            progress.keysDone, work.size(), since(start));
                    fflush(stderr);
                }
                return loadStopRequest() ? "interrupted" : "";
            },
            std::chrono::milliseconds(250),
            // A statement still running in another job (a key being built, say) stops now.
            [&] {
                for (auto& job : jobs) job->session.cancel();
            });
        if (o.progress) fprintf(stderr, "\r%100s\r", "");
        if (scheduler.failed())
            throw DataSetError(failureOf(
                scheduler, loadStopRequest(),
                [&](const PieceTask& task) { return std::pair{&work[task.table].sources[task.source], work[task.table].def}; },
                *data.content));
        if (progress.firstLoad) {
            figures.loadSeconds = std::chrono::duration<double>(progress.lastLoad - *progress.firstLoad).count();
            figures.keysAfterLoad =
                std::max(0.0, std::chrono::duration<double>(progress.lastKey - progress.lastLoad).count());
        }
        for (TableWork& t : work) {
            if (t.firstStart) t.figures.loadSeconds = std::chrono::duration<double>(t.lastEnd - *t.firstStart).count();
            figures.tables.push_back(t.figures);
        }
    }

    // Every part of every file was read and matched its manifest; nothing
    // is published otherwise.
    void publish() {
        if (loadStopRequest()) throw DataSetError("interrupted");
        data.content->finish();
        figures.partsChecked = data.content->partsChecked();
        figures.compressedChecked = data.content->compressedChecked();
        figures.contentCheckSeconds = data.content->processorSeconds();
        const auto publishStart = Clock::now();
        try {
            control.exec("BEGIN");
            if (control.queryValue("SELECT count(*) FROM pg_namespace WHERE nspname = $1", {o.schema}) != "0") {
                if (!o.replace) throw DataSetError("schema " + o.schema + " already exists (give --replace to replace it)");
                schemas::replaceDrop(control, o.schema);
                figures.replaced = true;
            }
            control.exec("COMMENT ON SCHEMA " + temp.sql + " IS " +
                         control.quoteLiteral(schemas::publishedMark(figures.size)));
            control.exec("ALTER SCHEMA " + temp.sql + " RENAME TO " + control.quoteIdentifier(o.schema));
            control.exec("COMMIT");
            temp.published = true;
        } catch (const SqlError& e) {
            throw DataSetError(std::string("publishing schema ") + o.schema + ": " + e.what());
        }
        figures.publishSeconds = since(publishStart);
        figures.totalSeconds = since(start);
    }

    const LoadOptions& o;
    PgSession& control;
    TemporarySchema& temp;
    const DataSet& data;
    std::vector<TableWork>& work;
    LoadFigures& figures;
    const Clock::time_point start;
    PieceScheduler scheduler;
    Progress progress;
    uint64_t expectedRows = 0;
};

}  // namespace

std::atomic<bool>& loadStopRequest() {
    static std::atomic<bool> stop{false};
    return stop;
}

std::string schemaNameProblem(const std::string& name, bool replace) {
    if (name.empty() || name.size() > 63) return "must have 1 to 63 characters";
    if (!(isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        return "must start with a letter or an underscore";
    for (const char c : name)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return "may hold only letters, digits and underscores";
    if (name.compare(0, 3, "pg_") == 0) return "must not start with pg_ (reserved for the system)";
    if (name == "information_schema") return "is the database's own information schema";
    if (replace) return schemas::replaceNameProblem(name);
    return "";
}

LoadFigures loadDataSet(const LoadOptions& o) {
    const auto start = Clock::now();
    LoadFigures figures;
    rememberSecrets(o.conninfo);
    if (const std::string problem = schemaNameProblem(o.schema, o.replace); !problem.empty())
        throw DataSetError("schema name '" + o.schema + "' " + problem);
    if (o.jobs < 1) throw DataSetError("--jobs must be at least 1");

    // Every right that publishing needs, before a byte of the data set is
    // read: a load that could not be published is refused now, not hours on.
    PgSession control(o.conninfo, schemas::applicationName());
    schemas::dropLeftovers(control, stderr);
    if (control.queryValue("SELECT count(*) FROM pg_namespace WHERE nspname = $1", {o.schema}) != "0") {
        if (!o.replace) throw DataSetError("schema " + o.schema + " already exists (give --replace to replace it)");
        schemas::checkReplaceable(control, o.schema);
    }
    schemas::checkPublishRights(control, o.schema);

    const std::unique_ptr<DataSet> data = DataSet::open(o.folder, o.users, "qemload");
    std::vector<TableWork> work;
    for (const TableFiles& t : data->tables) {
        TableWork w;
        w.def = t.def;
        w.sources = t.sources;
        w.figures.name = t.def->name;
        for (const Source& s : t.sources) w.figures.bytes += s.file->size();
        work.push_back(std::move(w));
    }
    figures.size = data->size;
    if (!data->manifests().empty()) {
        figures.manifestParts = data->manifests().settings().parts;
        figures.contentSums = data->manifests().carriesSums();
    }
    figures.checkSeconds = since(start);

    TemporarySchema temp(control);
    try {
        Load(o, control, temp, *data, work, figures, start).run();
    } catch (const std::exception& e) {
        // What could not be dropped goes with the failure.
        const std::string left = temp.discard();
        if (left.empty()) throw;
        throw DataSetError(std::string(e.what()) + "\n" + left);
    }
    return figures;
}

void printFigures(FILE* out, const LoadFigures& f, const std::string& schema) {
    fprintf(out, "%-10s %12s %10s %9s %12s %9s %9s\n", "table", "rows", "MB read", "seconds", "rows/s", "key s",
            "checks s");
    uint64_t rows = 0, bytes = 0;
    for (const TableFigures& t : f.tables) {
        rows += t.rows;
        bytes += t.bytes;
        fprintf(out, "%-10s %12llu %10.1f %9.2f %12.0f %9.2f %9.2f\n", t.name.c_str(),
                static_cast<unsigned long long>(t.rows), static_cast<double>(t.bytes) / 1e6, t.loadSeconds,
                t.loadSeconds > 0 ? static_cast<double>(t.rows) / t.loadSeconds : 0.0, t.keySeconds, t.checkSeconds);
    }
    fprintf(out, "%-10s %12llu %10.1f %9.2f %12.0f\n", "total", static_cast<unsigned long long>(rows),
            static_cast<double>(bytes) / 1e6, f.totalSeconds,
            f.totalSeconds > 0 ? static_cast<double>(rows) / f.totalSeconds : 0.0);
    fprintf(out,
            "checking the manifests, dimension files and line counts %.2f s, loading %.2f s, keys after the last load %.2f s, "
            "publishing %.2f s\n",
            f.checkSeconds, f.loadSeconds, f.keysAfterLoad, f.publishSeconds);
    fprintf(out, "level columns of the dimensions: %d indexes built in %.2f s (within the dimension tables' \"key s\")\n",
            f.levelIndexes, f.levelIndexSeconds);
    fprintf(out, "%s\n",
            f.foreignKeysBeforeLoading
                ? "foreign keys: made with the empty tables; every member of every row checked by qemload as it was "
                  "read, the server's per-row check of them left out (session_replication_role = replica)"
                : "foreign keys: added after loading and validated by the server (checks s)");
    const DataSetSize& d = f.size;
    fprintf(out, "data set: %lld channels, density code %lld, %lld users; every file has the lines these imply\n",
            static_cast<long long>(d.channels), static_cast<long long>(d.densityCode), static_cast<long long>(d.users));
    if (f.manifestParts > 0)
        fprintf(out,
                "every file matches its phase's manifests (%d %s a phase, %llu file parts): lines, bytes, CRC-32%s%s; "
                "checked as read in %.2f s of processor time\n",
                static_cast<int>(f.manifestParts), f.manifestParts == 1 ? "part" : "parts",
                static_cast<unsigned long long>(f.partsChecked),
                f.contentSums ? " and content sum" : " (manifests of version 1 carry no content sums)",
                f.compressedChecked == 0
                    ? ""
                    : ("; " + std::to_string(f.compressedChecked) + " compressed " +
                       (f.compressedChecked == 1 ? "file" : "files") + " also by their compressed bytes and CRC-32")
                          .c_str(),
                f.contentCheckSeconds);
    else
        fprintf(out, "no manifests: the data set's completeness is not proven\n");
    if (!d.usersChecked)
        fprintf(out,
                "the user count was not checked: the %lld query files found were loaded (--users U checks that "
                "exactly U are present)\n",
                static_cast<long long>(d.users));
    fprintf(out, "schema %s %s with every key and check in place\n", schema.c_str(),
            f.replaced ? "replaced" : "created");
}

}  // namespace qemload
