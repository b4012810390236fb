#include "export/Exporter.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "dataset/DataSet.h"
#include "dataset/DataSetError.h"
#include "dataset/Lines.h"
#include "dataset/Pieces.h"
#include "dataset/TableLines.h"
#include "dataset/Tables.h"
#include "export/TextRows.h"
#include "integrity/Manifest.h"
#include "publish/Publication.h"
#include "schema/SchemaSql.h"
#ifdef QEM_HAVE_ZSTD
#include "compress/Zstd.h"
#endif

namespace qemexport {

using qemdata::DataSetError;

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


// A table's output file and the pieces of its rows.
struct TableOutput {
    const qemdata::TableFiles* files = nullptr;
    qem::PieceFile* out = nullptr;
    size_t pieces = 0;
    uint64_t bytesRead = 0;
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

TextRows::Format formatOf(const ExportOptions& o) { return o.format == ExportOptions::csv ? TextRows::csv : TextRows::tsv; }

std::string compressed(const std::string& text, int level) {
#ifdef QEM_HAVE_ZSTD
    std::string out;
    if (!qem::ZstdEncoder(level).frame(text.data(), text.size(), out)) throw DataSetError("compressing failed");
    return out;
#else
    (void)level;
    return text;
#endif
}

// One job: converts pieces of the tables' files into rows, each piece
// compressed on its own where asked.
class Job {
public:
    Job(const ExportOptions& o, const qemdata::DataSet& d, std::vector<TableOutput>& t, qemdata::PieceScheduler& s)
        : data(d), tables(t), scheduler(s), rows(formatOf(o)), window(static_cast<size_t>(o.jobs + 2)) {
#ifdef QEM_HAVE_ZSTD
        if (o.zstdLevel > 0) encoder = std::make_unique<qem::ZstdEncoder>(o.zstdLevel);
#endif
        markPlainDimensions(rows, data.dims);
    }

    void convert(const qemdata::PieceTask& task) {
        TableOutput& t = tables[task.table];
        const qemdata::TableDef& def = *t.files->def;
        const qemdata::Source& src = t.files->sources[task.source];
        const qemdata::LineContext ctx{&data.dims, src.user};
        const qemdata::LineParser<TextRows> parse = qemdata::lineParser<TextRows>(def);
        qemdata::DataFile::Reader reader(*src.file, task.begin, qemdata::compressedCheck(*data.content));
        const auto waiting = [&] {
            if (stopping()) throw qemdata::Stopped{};
        };
        size_t piece = task.firstPiece;
        if (task.begin == task.end) t.out->put(piece, "", 0, 0, window, waiting);
        qemdata::readPieces(reader, task, qemdata::lineStep(pieceBytes, src.stride(def)), input, [&](uint64_t at, const char* text, size_t n) {
            waiting();
            data.content->add(*src.file, at, text, n);
            rows.clear();
            qemdata::lines::forEach(*src.file, text, n, at, def.lineLength, src.lineEnd,
                                    [&](const char* line, uint64_t number) { parse(ctx, line, number, rows); });
            rows.finish();
            const char* out = rows.data();
            size_t size = rows.size();
#ifdef QEM_HAVE_ZSTD
            if (encoder && size > 0) {
                if (!encoder->frame(out, size, packed)) throw DataSetError("compressing " + t.out->path + " failed");
                out = packed.data();
                size = packed.size();
            }
#endif
            t.out->put(piece++, out, size, rows.rows(), window, waiting);
            bytesDone += n;
        });
    }

    std::atomic<uint64_t> bytesDone{0};

private:
    bool stopping() { return exportStopRequest() || scheduler.failed(); }

    const qemdata::DataSet& data;
    std::vector<TableOutput>& tables;
    qemdata::PieceScheduler& scheduler;
    TextRows rows;
    size_t window;
    std::vector<char> input;
    std::string packed;
#ifdef QEM_HAVE_ZSTD
    std::unique_ptr<qem::ZstdEncoder> encoder;
#endif
};

std::string headerLine(const std::vector<std::string>& columns, char separator) {
    std::string line;
    for (const std::string& c : columns) {
        std::string name = c;
        name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
        line += (line.empty() ? "" : std::string(1, separator)) + name;
    }
    return line + "\n";
}

class Export {
public:
    Export(const ExportOptions& o, ExportFigures& f, Clock::time_point s)
        : o(o), figures(f), start(s), extension(std::string(o.format == ExportOptions::csv ? ".csv" : ".tsv") +
                                                (o.zstdLevel > 0 ? ".zst" : "")),
          files(o.outdir, "qemexport") {}

    void run() {
        data = qemdata::DataSet::open(o.folder, 0, "qemexport");
        figures.size = data->size;
        figures.manifests = !data->manifests().empty();
        figures.checkSeconds = since(start);
        files.prepare(outputNames(), o.folder);
        try {
            writeDimensions();
            writeTables();
            writeSchemas();
            for (size_t i = 0; i < figures.files.size(); ++i) {
                figures.files[i].rows = files.files()[i]->rows;
                figures.files[i].bytesWritten = files.files()[i]->bytes;
                figures.files[i].crc = files.files()[i]->crc;
            }
            files.publish();
            writeManifest();
            files.publish();
            files.keep();
        } catch (...) {
            files.discard();
            throw;
        }
    }

private:
    std::vector<std::string> outputNames() const {
        std::vector<std::string> names;
        for (const qemdata::DimensionLayout& l : qemdata::dimensionLayouts()) names.push_back(l.table + extension);
        for (const qemdata::TableDef& def : qemdata::factTables()) names.push_back(def.name + extension);
        for (const char* name : {"schema.sql", "schema-clickhouse.sql", manifestName}) names.push_back(name);
        return names;
    }

    std::string header(const std::vector<std::string>& columns) const {
        const std::string line = headerLine(columns, o.format == ExportOptions::csv ? ',' : '\t');
        return o.zstdLevel > 0 ? compressed(line, o.zstdLevel) : line;
    }

    // The dimensions, each member after its parent (the top level first),
    // so that a database checking the parent key row by row accepts them.
    void writeDimensions() {
        for (const qemdata::Dimension& dim : data->dims.all) {
            qem::PieceFile& out = files.add(dim.layout.table + extension);
            out.create();
            out.writeFirst(header(qemdata::dimensionColumnsSql(dim.layout)));
            std::vector<size_t> order(dim.members.size());
            for (size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::stable_sort(order.begin(), order.end(),
                             [&](size_t a, size_t b) { return dim.members[a].level > dim.members[b].level; });
            TextRows rows(formatOf(o));
            markPlainDimensions(rows, data->dims);
            for (const size_t i : order) qemdata::memberRow(dim, i, rows);
            rows.finish();
            std::string bytes(rows.data(), rows.size());
            if (o.zstdLevel > 0 && !bytes.empty()) bytes = compressed(bytes, o.zstdLevel);
            out.putWhole(bytes, rows.rows());
            FileFigures f;
            f.name = dim.layout.table + extension;
            f.bytesRead = data->dimensionFiles.at(dim.layout.treeFile)->size() +
                          data->dimensionFiles.at(dim.layout.hierFile)->size();
            figures.files.push_back(f);
        }
    }

    // The other tables by the jobs, each file's pieces written in order.
    void writeTables() {
        qemdata::PieceScheduler scheduler;
        std::vector<TableOutput> tables;
        for (const qemdata::TableFiles& t : data->tables) {
            TableOutput out;
            out.files = &t;
            std::vector<std::string> columns;
            for (const qemdata::ColumnDef& c : t.def->columns) columns.emplace_back(c.name);
            out.out = &files.add(t.def->name + extension);
            out.out->create();
            out.out->writeFirst(header(columns));
            tables.push_back(out);
        }
        uint64_t total = 0;
        for (size_t i = 0; i < tables.size(); ++i) {
            const qemdata::TableFiles& t = *tables[i].files;
            for (size_t s = 0; s < t.sources.size(); ++s) {
                const qemdata::Source& src = t.sources[s];
                for (const qemdata::PieceTask& task : qemdata::planPieces(
                         *src.file, i, s, qemdata::lineStep(pieceBytes, src.stride(*t.def)), src.stride(*t.def), tables[i].pieces)) {
                    scheduler.add(task);
                    tables[i].pieces = task.firstPiece + task.pieces;
                }
                tables[i].bytesRead += src.file->size();
            }
            tables[i].out->pieces = tables[i].pieces;
            total += tables[i].bytesRead;
        }
        ExportOptions options = o;
        options.jobs = figures.jobs;
        std::vector<std::unique_ptr<Job>> jobs;
        for (int j = 0; j < figures.jobs; ++j) jobs.push_back(std::make_unique<Job>(options, *data, tables, scheduler));
        qemdata::runJobs(
            scheduler, figures.jobs, [&](int job, const qemdata::PieceTask& task) { jobs[job]->convert(task); },
            [&]() -> std::string {
                if (o.progress) {
                    uint64_t done = 0;
                    for (auto& job : jobs) done += job->bytesDone;
                    fprintf(stderr, "\rqemexport: %.1f of %.1f MB converted (%.0f %%), %.0f s   ",
                            static_cast<double>(done) / 1e6, static_cast<double>(total) / 1e6,
                            total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0,
                            since(start));
                    fflush(stderr);
                }
                return exportStopRequest() ? "interrupted" : "";
            },
            std::chrono::milliseconds(50));
        if (o.progress) fprintf(stderr, "\r%100s\r", "");
        if (scheduler.failed())
            throw DataSetError(qemdata::failureOf(
                scheduler, exportStopRequest(),
                [&](const qemdata::PieceTask& task) {
                    return std::pair{&tables[task.table].files->sources[task.source], tables[task.table].files->def};
                },
                *data->content));
        // Every part of every file was read and matched its manifest.
        data->content->finish();
        for (TableOutput& t : tables) {
            t.out->complete(t.pieces);
            FileFigures f;
            f.name = t.files->def->name + extension;
            f.bytesRead = t.bytesRead;
            figures.files.push_back(f);
        }
    }

    // The SQL of the tables, plain text whatever the tables are.
    void writeSchemas() {
        for (const auto& [name, sql] : {std::pair<std::string, std::string>{"schema.sql", qemdata::portableSchemaSql()},
                                        {"schema-clickhouse.sql", qemdata::clickhouseSchemaSql()}}) {
            qem::PieceFile& out = files.add(name);
            out.create();
            out.putWhole(sql);
            FileFigures f;
            f.name = name;
            figures.files.push_back(f);
        }
    }

    // The manifest last: its presence says that the export is whole.
    void writeManifest() {
        std::string manifest = "qemexport manifest 1\n";
        manifest += "data set: " + std::to_string(figures.size.channels) + " channels, density code " +
                    std::to_string(figures.size.densityCode) + ", " + std::to_string(figures.size.users) + " users\n";
        manifest += std::string("format: ") + (o.format == ExportOptions::csv ? "csv" : "tsv") +
                    (o.zstdLevel > 0 ? ", zstd" : "") + "\n";
        manifest += "file rows bytes crc32\n";
        for (const FileFigures& f : figures.files)
            manifest += f.name + " " + std::to_string(f.rows) + " " + std::to_string(f.bytesWritten) + " " +
                        qem::hex(f.crc, 8) + "\n";
        qem::PieceFile& out = files.add(manifestName);
        out.create();
        out.putWhole(manifest);
    }

    const ExportOptions& o;
    ExportFigures& figures;
    const Clock::time_point start;
    const std::string extension;
    std::unique_ptr<qemdata::DataSet> data;
    qem::Publication files;
};

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
    Export(o, figures, start).run();
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
