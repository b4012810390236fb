// Loading speed: generates a data set (default 10 channels, 1 %), starts a
// throwaway server, loads the data set with every key and check, and then
// loads the same rows, written out as CSV files, with one plain COPY per table
// (no keys, no checks) in the same server, for comparison.
//
//   loadbench [channels] [density-percent] [jobs] [folder]   (defaults 10, 1, 2, /tmp)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ScratchServer.h"
#include "load/DataFile.h"
#include "load/Dimensions.h"
#include "load/Lines.h"
#include "load/Loader.h"
#include "load/PgSession.h"
#include "load/Tables.h"

namespace fs = std::filesystem;

namespace qemload {
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

// Writes the rows of one table's files as CSV, through the loader's own line
// parsers; returns the number of rows.
uint64_t writeCsv(const TableDef& def, const std::vector<std::pair<DataFile, int32_t>>& sources, const Dimensions& dims,
                  const std::string& path) {
    FILE* out = fopen(path.c_str(), "wb");
    uint64_t rows = 0;
    for (const auto& [file, user] : sources) {
        const LineContext ctx{&dims, user};
        const int lineEnd = lines::lineEndOf(file, def.lineLength);
        const uint64_t stride = static_cast<uint64_t>(def.lineLength + lineEnd);
        const uint64_t step = (64u << 20) / stride * stride;
        std::vector<char> data;
        CsvRows csv;
        for (uint64_t offset = 0; offset < file.size(); offset += step) {
            data.resize(static_cast<size_t>(std::min(step, file.size() - offset)));
            file.read(offset, data.data(), data.size());
            lines::forEach(file, data.data(), data.size(), offset, def.lineLength, lineEnd,
                           [&](const char* line, uint64_t number) {
                               def.csvLine(ctx, line, number, csv);
                               rows += static_cast<uint64_t>(def.rowsPerLine);
                           });
            csv.finish();
            fwrite(csv.data(), 1, csv.size(), out);
            csv.clear();
        }
    }
    fclose(out);
    chmod(path.c_str(), 0644);
    return rows;
}

}  // namespace
}  // namespace qemload

using namespace qemload;

int main(int argc, char** argv) {
    const int channels = argc > 1 ? atoi(argv[1]) : 10;
    const std::string density = argc > 2 ? argv[2] : "1";
    const int jobs = argc > 3 ? atoi(argv[3]) : 2;
    const std::string parent = argc > 4 ? argv[4] : "/tmp";
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
        printf("data set: %d channels, %s %%, 10 users, generated in %.1f s\n", channels, density.c_str(), seconds(t0));

        scratch::ScratchServer server;
        printf("server: PostgreSQL with default settings, Unix socket only; load average before: %s\n\n",
               loadAverage().c_str());

        LoadOptions options;
        options.conninfo = server.conninfo();
        options.folder = dataFolder;
        options.jobs = jobs;
        const LoadFigures figures = loadDataSet(options);
        printFigures(stdout, figures, options.schema);
        uint64_t loaded = 0;
        for (const auto& t : figures.tables) loaded += t.rows;
        printf("load average after the load: %s\n\n", loadAverage().c_str());

        // The same rows as CSV, then one plain COPY per table from its file.
        const Dimensions dims = readDimensions(dataFolder);
        const std::string csvFolder = server.readableFolder();
        PgSession s(server.conninfo());
        s.exec("CREATE SCHEMA base");
        uint64_t copied = 0;
        double copySeconds = 0;
        std::vector<std::pair<std::string, uint64_t>> csvFiles;
        for (const Dimension& dim : dims.all) {
            const std::string path = csvFolder + "/" + dim.layout.table + ".csv";
            std::ofstream out(path);
            for (const Member& m : dim.members)
                out << m.code << ',' << (m.parent < 0 ? "" : dim.members[m.parent].code) << ','
                    << dim.layout.levels[m.level] << ',' << (m.level == 0 ? m.code : "") << '\n';
            out.close();
            chmod(path.c_str(), 0644);
            s.exec(std::string("CREATE TABLE base.") + dim.layout.table +
                   " (code varchar(12) COLLATE \"C\", parent varchar(12) COLLATE \"C\", level varchar(12), leaf_code varchar(12) COLLATE \"C\")");
            csvFiles.emplace_back(dim.layout.table, dim.members.size());
        }
        for (const TableDef& def : factTables()) {
            std::vector<std::pair<DataFile, int32_t>> sources;
            if (def.file) {
                sources.emplace_back(DataFile::find(dataFolder, def.file), 0);
            } else {
                for (int32_t u = 1; DataFile::exists(dataFolder, queryFileName(u)); ++u)
                    sources.emplace_back(DataFile::find(dataFolder, queryFileName(u)), u);
            }
            const uint64_t rows = writeCsv(def, sources, dims, csvFolder + "/" + def.name + ".csv");
            std::string columns;
            for (const ColumnDef& c : def.columns) columns += (columns.empty() ? "" : ", ") + std::string(c.name) + " " + c.type;
            s.exec(std::string("CREATE TABLE base.") + def.name + " (" + columns + ")");
            csvFiles.emplace_back(def.name, rows);
        }
        printf("%-10s %12s %9s %12s\n", "plain COPY", "rows", "seconds", "rows/s");
        for (const auto& [table, rows] : csvFiles) {
            const auto start = Clock::now();
            s.exec("COPY base." + table + " FROM '" + csvFolder + "/" + table + ".csv' (FORMAT csv)");
            const double t = seconds(start);
            copySeconds += t;
            copied += rows;
            printf("%-10s %12llu %9.2f %12.0f\n", table.c_str(), static_cast<unsigned long long>(rows), t,
                   t > 0 ? static_cast<double>(rows) / t : 0.0);
        }
        printf("%-10s %12llu %9.2f %12.0f\n\n", "total", static_cast<unsigned long long>(copied), copySeconds,
               static_cast<double>(copied) / copySeconds);
        printf("qemload, %d jobs, with keys and checks: %.0f rows/s (%llu rows in %.1f s)\n", jobs,
               static_cast<double>(loaded) / figures.totalSeconds, static_cast<unsigned long long>(loaded),
               figures.totalSeconds);
        printf("of which the %d indexes of the dimensions' level columns: %.2f s\n", figures.levelIndexes,
               figures.levelIndexSeconds);
        printf("plain CSV COPY, one connection, no keys: %.0f rows/s (%llu rows in %.1f s)\n",
               static_cast<double>(copied) / copySeconds, static_cast<unsigned long long>(copied), copySeconds);
        printf("load average at the end: %s\n", loadAverage().c_str());
        return 0;
    } catch (const std::exception& e) {
        fprintf(stderr, "loadbench: %s\n", e.what());
        return 1;
    }
}
