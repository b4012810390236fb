#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dataset/LineCounts.h"

namespace qemexport {

// Exporting a finished data set as delimited text for any database: one file
// per table of qemload's schema (the same tables, columns, rows and values;
// histinv in long form, a row per month), schema.sql with the tables, keys
// and leaf checks in portable SQL (schema-clickhouse.sql: the same tables
// for ClickHouse, which needs its own), and last a manifest of the export
// (qemexport.manifest: rows, bytes and CRC-32 of every file). The data set is
// read with every check qemload makes: a data set qemload would refuse is
// refused, and nothing is left in the output folder under a final name.
// Every file is written under a temporary name and renamed once all of them
// are complete and the data set has proven whole.
struct ExportOptions {
    std::string folder = ".";
    std::string outdir;
    enum Format { csv, tsv } format = csv;
    int zstdLevel = 0;  // 0: not compressed
    int jobs = 0;       // 0: one per processor
    bool progress = false;
};

struct FileFigures {
    std::string name;     // as written in the output folder
    uint64_t rows = 0;
    uint64_t bytesRead = 0;     // text of the data set's files read for it
    uint64_t bytesWritten = 0;  // of the file as stored
    uint32_t crc = 0;           // CRC-32 of the file as stored
};

struct ExportFigures {
    std::vector<FileFigures> files;  // the tables, the dimensions first, then the SQL
    qemdata::DataSetSize size;
    int jobs = 0;
    double checkSeconds = 0;  // the manifests, dimension files and line counts
    double seconds = 0;       // from the start to the manifest
    double processorSeconds = 0;
    bool manifests = false;   // the data set had manifests, every byte checked against them
};

// The name of the export's manifest.
extern const char* const manifestName;

// Throws qemdata::DataSetError with the message for the user; nothing is left
// under a final name then.
ExportFigures exportDataSet(const ExportOptions& options);

void printFigures(FILE* out, const ExportFigures& figures);

// Set (from a signal handler, say) to stop an export in progress; it then
// fails with "interrupted" and leaves nothing under a final name.
std::atomic<bool>& exportStopRequest();

}  // namespace qemexport
