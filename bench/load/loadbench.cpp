// Loading speed: generates a data set (default 10 channels, 1 %), starts a
// throwaway server, loads the data set with qemload (every key and check),
// and then the same rows, written out beforehand in the binary COPY format,
// with plain COPYs on as many connections and no keys or checks: the fastest
// plain load of those rows. Prints qemload's figures per table, the plain
// loads', and the ratio of qemload's rows/s to the faster plain load's, with
// the processor seconds of the server and of the loading program in each.
//
//   loadbench [channels] [density-percent] [jobs] [folder] [server]
//
// Defaults 10, 1, 2, /tmp, "minimal". The data set is written in folder, the
// binary rows in a folder of their own under TMPDIR (/tmp without it); each
// load's schema is dropped once it is measured, so that the disk holds one
// at a time. server: "minimal" runs the server with
// wal_level = minimal and max_wal_senders = 0, the settings docs/loading.md
// recommends for loading; "default" with the server's defaults.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScratchServer.h"
#include "dataset/DataFile.h"
#include "dataset/DataSet.h"
#include "dataset/Dimensions.h"
#include "dataset/Lines.h"
#include "load/Loader.h"
#include "pg/PgSession.h"
#include "dataset/TableLines.h"
#include "dataset/Tables.h"
#include "load/CopyRows.h"
#include "schema/SchemaSql.h"

namespace fs = std::filesystem;

namespace qemload {

using namespace qemdata;
using namespace qempg;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::string loadAverage() {
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    char text[64];
    snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

// Processor seconds of this process (all its threads).
double ownSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Processor seconds of the server: the postmaster with the sessions it has
// reaped, and the processes it runs now.
double serverSeconds(const std::string& folder) {
    std::ifstream pidFile(folder + "/data/postmaster.pid");
    long postmaster = 0;
    pidFile >> postmaster;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    auto fields = [](long pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::vector<std::string> f;
        const size_t close = text.rfind(')');
        if (close == std::string::npos) return f;
        f = {"pid", "comm"};
        std::string field;
        for (size_t i = close + 2; i <= text.size(); ++i) {
            if (i == text.size() || text[i] == ' ') {
                f.push_back(field);
                field.clear();
            } else {
                field += text[i];
            }
        }
        return f;  // f[k] is field k + 1 of proc(5)
    };
    double ticks = 0;
    const auto own = fields(postmaster);
    if (own.size() > 16) ticks += std::stod(own[13]) + std::stod(own[14]) + std::stod(own[15]) + std::stod(own[16]);
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto f = fields(std::stol(name));
        if (f.size() > 14 && f[3] == std::to_string(postmaster)) ticks += std::stod(f[13]) + std::stod(f[14]);
    }
    return ticks / tick;
}

// A table's rows in the binary COPY format in a file of their own, with the
// offsets where pieces of about 16 MB of the data set's text begin.
struct BinaryTable {
    std::string name, path;
    uint64_t rows = 0, bytes = 0;
    std::vector<uint64_t> pieces;  // offsets of the rows that start a piece; bytes ends the last
};

BinaryTable writeBinary(const TableDef& def, const std::vector<Source>& sources, const Dimensions& dims,
                        const std::string& path) {
    BinaryTable t;
    t.name = def.name;
    t.path = path;
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) throw std::runtime_error("cannot write " + path);
    BinaryRows rows;
    for (const Source& src : sources) {
        const DataFile& file = *src.file;
        const LineContext ctx{&dims, src.user};
        const int lineEnd = lines::lineEndOf(file, def.lineLength);
        const uint64_t stride = static_cast<uint64_t>(def.lineLength + lineEnd);
        const uint64_t step = std::max<uint64_t>(1, (16u << 20) / stride) * stride;
        std::vector<char> data;
        for (uint64_t offset = 0; offset < file.size() || offset == 0; offset += step) {
            t.pieces.push_back(t.bytes);
            data.resize(static_cast<size_t>(std::min(step, file.size() - offset)));
            file.read(offset, data.data(), data.size());
            lines::forEach(file, data.data(), data.size(), offset, def.lineLength, lineEnd,
                           [&](const char* line, uint64_t number) {
                               lineParser<BinaryRows>(def)(ctx, line, number, rows);
                               t.rows += static_cast<uint64_t>(def.rowsPerLine);
                           });
            fwrite(rows.data(), 1, rows.size(), out);
            t.bytes += rows.size();
            rows.clear();
            if (file.size() == 0) break;
        }
    }
    fclose(out);
    return t;
}

// Sends the rows of a table from `begin` to `end` in one COPY.
void copyRange(PgSession& s, const std::string& table, const BinaryTable& t, uint64_t begin, uint64_t end, bool freeze) {
    FILE* in = fopen(t.path.c_str(), "rb");
    if (!in) throw std::runtime_error("cannot read " + t.path);
    fseeko(in, static_cast<off_t>(begin), SEEK_SET);
    s.beginCopy("COPY " + table + " FROM STDIN (FORMAT binary" + (freeze ? ", FREEZE)" : ")"));
    const std::string header = BinaryRows::header(), trailer = BinaryRows::trailer();
    s.putCopy(header.data(), header.size());
    std::vector<char> buffer(1u << 20);
    for (uint64_t at = begin; at < end;) {
        const size_t n = fread(buffer.data(), 1, static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - at)), in);
        if (n == 0) throw std::runtime_error("short read of " + t.path);
        s.putCopy(buffer.data(), n);
        at += n;
    }
    fclose(in);
    s.putCopy(trailer.data(), trailer.size());
    s.endCopy();
}

struct PlainResult {
    double seconds = 0, serverCpu = 0;
    std::vector<std::pair<std::string, double>> tables;  // seconds per table (whole tables only)
};

// The tables' rows on `jobs` connections, no keys: either every table in
// pieces of about 16 MB of text, one COPY each, into tables made beforehand,
// the connections taking the pieces in turn; or each table whole in one COPY
// with FREEZE in the transaction that makes it, the connections taking the
// tables largest first. The schema `dropFirst`, measured before, is dropped
// first, and each table once copied (in the seconds measured: a few
// milliseconds).
PlainResult plainLoad(const scratch::ScratchServer& server, const std::vector<BinaryTable>& tables,
                      const std::vector<std::string>& createSql, int jobs, bool whole, const std::string& schema,
                      const std::string& dropFirst) {
    struct Work {
        size_t table;
        uint64_t begin, end;
    };
    std::vector<Work> work;
    for (size_t i = 0; i < tables.size(); ++i) {
        const BinaryTable& t = tables[i];
        if (whole) {
            work.push_back({i, 0, t.bytes});
            continue;
        }
        for (size_t p = 0; p < t.pieces.size(); ++p)
            work.push_back({i, t.pieces[p], p + 1 < t.pieces.size() ? t.pieces[p + 1] : t.bytes});
    }
    if (whole)
        std::stable_sort(work.begin(), work.end(), [&](const Work& a, const Work& b) { return a.end > b.end; });
    PgSession control(server.conninfo());
    control.exec("DROP SCHEMA IF EXISTS " + dropFirst + " CASCADE");
    control.exec("CHECKPOINT");
    control.exec("CREATE SCHEMA " + schema);
    if (!whole)
        for (const std::string& sql : createSql) control.exec(sql);
    PlainResult result;
    result.tables.resize(tables.size());
    std::vector<size_t> piecesLeft(tables.size());
    for (const Work& w : work) ++piecesLeft[w.table];
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::string error;
    const double cpu = serverSeconds(server.folder());
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int j = 0; j < jobs; ++j)
        threads.emplace_back([&] {
            try {
                PgSession s(server.conninfo());
                s.exec("SET synchronous_commit = off");
                for (size_t w; (w = next++) < work.size();) {
                    const BinaryTable& t = tables[work[w].table];
                    const auto began = Clock::now();
                    if (whole) {
                        s.exec("BEGIN");
                        s.exec(createSql[work[w].table]);
                    }
                    copyRange(s, schema + "." + t.name, t, work[w].begin, work[w].end, whole);
                    if (whole) s.exec("COMMIT");
                    bool last = false;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        result.tables[work[w].table] = {t.name, seconds(began)};
                        last = --piecesLeft[work[w].table] == 0;
                    }
                    // A table is dropped once all of it is in: the disk holds
                    // only the tables being copied (and the rows to copy).
                    if (last) s.exec("DROP TABLE " + schema + "." + t.name);
                }
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(mutex);
                error = e.what();
            }
        });
    for (auto& t : threads) t.join();
    if (!error.empty()) throw std::runtime_error("plain load: " + error);
    result.seconds = seconds(start);
    result.serverCpu = serverSeconds(server.folder()) - cpu;
    return result;
}

}  // namespace
}  // namespace qemload

using namespace qemload;
using namespace qemdata;

int main(int argc, char** argv) {
    const int channels = argc > 1 ? atoi(argv[1]) : 10;
    const std::string density = argc > 2 ? argv[2] : "1";
    const int jobs = argc > 3 ? atoi(argv[3]) : 2;
    const std::string parent = argc > 4 ? argv[4] : "/tmp";
    const std::string serverKind = argc > 5 ? argv[5] : "minimal";
    if (serverKind != "minimal" && serverKind != "default") {
        fprintf(stderr, "loadbench: server settings are 'minimal' or 'default'\n");
        return 2;
    }
    try {
        const std::string dataFolder = parent + "/qemload-bench-data";
        fs::remove_all(dataFolder);
        fs::create_directories(dataFolder);
        struct Cleanup {
            std::string path;
            ~Cleanup() {
                std::error_code ec;
                fs::remove_all(path, ec);
            }
        } cleanup{dataFolder};
        auto t0 = Clock::now();
        scratch::makeDataSet(dataFolder, channels, density, 10);
        printf("data set: %d channels, %s %%, 10 users, generated in %.1f s; %u processors\n", channels, density.c_str(),
               seconds(t0), std::thread::hardware_concurrency());

        std::vector<std::string> settings;
        if (serverKind == "minimal") settings = {"wal_level=minimal", "max_wal_senders=0"};
        scratch::ScratchServer server(settings);
        printf("server: PostgreSQL, Unix socket only, %s; load average before: %s\n\n",
               serverKind == "minimal" ? "wal_level = minimal and max_wal_senders = 0, otherwise its defaults"
                                       : "its default settings (wal_level = replica)",
               loadAverage().c_str());

        LoadOptions options;
        options.conninfo = server.conninfo();
        options.folder = dataFolder;
        options.jobs = jobs;
        const double serverBefore = serverSeconds(server.folder()), ownBefore = ownSeconds();
        const LoadFigures figures = loadDataSet(options);
        const double qemloadServer = serverSeconds(server.folder()) - serverBefore, qemloadOwn = ownSeconds() - ownBefore;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        printFigures(stdout, figures, options.schema);
        uint64_t loaded = 0;
        for (const auto& t : figures.tables) loaded += t.rows;
        printf("load average after the load: %s\n\n", loadAverage().c_str());

        // The same rows in the binary COPY format, written beforehand.
        const std::unique_ptr<DataSet> data = DataSet::open(dataFolder, 0, "loadbench");
        const Dimensions& dims = data->dims;
        std::string binPattern = (fs::temp_directory_path() / "qemload-bench-binary.XXXXXX").string();
        if (!mkdtemp(binPattern.data())) throw std::runtime_error("cannot make a folder for the binary rows");
        const std::string binFolder = binPattern;
        Cleanup binCleanup{binFolder};
        std::vector<BinaryTable> tables;
        std::vector<std::string> createSql;
        auto created = [&](const std::string& schema, const std::string& name, const std::string& columns) {
            return "CREATE TABLE " + schema + "." + name + " (" + columns + ")";
        };
        std::vector<std::pair<std::string, std::string>> columns;
        for (const Dimension& dim : dims.all) {
            BinaryTable t;
            t.name = dim.layout.table;
            t.path = binFolder + "/" + dim.layout.table + ".bin";
            BinaryRows rows;
            std::string list = "code varchar(12) COLLATE \"C\", parent varchar(12) COLLATE \"C\", level varchar(12), "
                               "leaf_code varchar(12) COLLATE \"C\"";
            const size_t levels = dim.layout.levelColumnCount();
            for (size_t c = 0; c < levels; ++c) list += ", \"" + dim.layout.levelColumn(c) + "\" varchar(12) COLLATE \"C\"";
            for (size_t i = 0; i < dim.members.size(); ++i) {
                const Member& m = dim.members[i];
                rows.begin(4 + static_cast<int>(levels));
                rows.text(m.code);
                if (m.parent < 0) rows.null(); else rows.text(dim.members[m.parent].code);
                rows.text(dim.layout.levels[m.level]);
                if (m.level == 0) rows.text(m.code); else rows.null();
                for (size_t c = 0; c < levels; ++c) {
                    const int32_t at = dim.ancestor(static_cast<int32_t>(i), c);
                    if (at < 0) rows.null(); else rows.text(dim.members[at].code);
                }
            }
            std::ofstream(t.path, std::ios::binary).write(rows.data(), static_cast<std::streamsize>(rows.size()));
            t.rows = dim.members.size();
            t.bytes = rows.size();
            t.pieces = {0};
            tables.push_back(t);
            columns.emplace_back(t.name, list);
        }
        for (const TableFiles& files : data->tables) {
            const TableDef& def = *files.def;
            tables.push_back(writeBinary(def, files.sources, dims, binFolder + "/" + def.name + ".bin"));
            std::string list;
            for (const ColumnDef& c : def.columns) list += (list.empty() ? "" : ", ") + std::string(c.name) + " " + columnTypeSql(c.type, SqlDialect::postgres);
            columns.emplace_back(def.name, list);
        }
        uint64_t plainRows = 0, plainBytes = 0;
        for (const BinaryTable& t : tables) plainRows += t.rows, plainBytes += t.bytes;

        const std::string pieceSchema = "plain_pieces", wholeSchema = "plain_whole";
        std::vector<std::string> pieceSql, wholeSql;
        for (const auto& [name, list] : columns) {
            pieceSql.push_back(created(pieceSchema, name, list));
            wholeSql.push_back(created(wholeSchema, name, list));
        }
        const PlainResult pieces = plainLoad(server, tables, pieceSql, jobs, false, pieceSchema, options.schema);
        const PlainResult whole = plainLoad(server, tables, wholeSql, jobs, true, wholeSchema, pieceSchema);

        printf("plain binary COPY of the same rows (%.1f MB), %d connections, no keys or checks:\n",
               static_cast<double>(plainBytes) / 1e6, jobs);
        printf("%-10s %12s %9s\n", "table", "rows", "seconds");
        for (size_t i = 0; i < tables.size(); ++i)
            printf("%-10s %12llu %9.2f\n", tables[i].name.c_str(), static_cast<unsigned long long>(tables[i].rows),
                   whole.tables[i].second);
        printf("(seconds of each table's COPY, whole tables frozen)\n\n");

        const double qemloadRate = static_cast<double>(loaded) / figures.totalSeconds;
        auto rate = [&](const PlainResult& r) { return static_cast<double>(plainRows) / r.seconds; };
        const PlainResult& fastest = rate(whole) >= rate(pieces) ? whole : pieces;
        printf("qemload, %d jobs, every key and check:         %9.0f rows/s (%llu rows in %.1f s; processor: server %.1f s, qemload %.1f s; largest resident memory %ld MB)\n",
               jobs, qemloadRate, static_cast<unsigned long long>(loaded), figures.totalSeconds, qemloadServer,
               qemloadOwn, usage.ru_maxrss / 1024);
        printf("plain COPY, tables in 16 MB pieces:            %9.0f rows/s (%llu rows in %.1f s; server processor %.1f s)\n",
               rate(pieces), static_cast<unsigned long long>(plainRows), pieces.seconds, pieces.serverCpu);
        printf("plain COPY, whole tables frozen:               %9.0f rows/s (%llu rows in %.1f s; server processor %.1f s)\n",
               rate(whole), static_cast<unsigned long long>(plainRows), whole.seconds, whole.serverCpu);
        printf("ratio, qemload to the fastest plain load (%s): %.2f\n", &fastest == &whole ? "whole tables" : "pieces",
               qemloadRate / rate(fastest));
        printf("load average at the end: %s\n", loadAverage().c_str());
        return 0;
    } catch (const std::exception& e) {
        fprintf(stderr, "loadbench: %s\n", e.what());
        return 1;
    }
}
