#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dataset/LineCounts.h"

namespace qemload {

// Loading a finished data set into a new schema of a PostgreSQL database. The
// data set's manifests, and the line counts of every file against what the
// data set implies, are checked before anything is loaded; every byte read
// is checked against the manifests before anything is published. The tables are filled under a temporary schema
// name, keyed and checked there, and renamed to the requested schema in one
// final transaction; any failure drops the temporary schema and leaves the
// database as it was. Only a schema qemload published, with nothing of other
// schemas depending on it, is replaced.
struct LoadOptions {
    std::string conninfo;
    std::string folder = ".";
    std::string schema = "qem";
    bool replace = false;
    int32_t users = 0;  // the query files that must be present; 0: the manifests' count, or those found
    int jobs = 2;
    // Largest file (MB) loaded in the order of its table's key; -1: no limit.
    long sortLimitMb = -1;
    // Memory (MB) each job sorts a table's rows in; 0: 512. A table whose
    // rows take more is sorted in runs through temporary files (in TMPDIR).
    long sortMemoryMb = 0;
    bool progress = false;  // a progress line on standard error
};

struct TableFigures {
    std::string name;
    uint64_t rows = 0, bytes = 0;
    double loadSeconds = 0;  // from the start of its first COPY to the end of its last
    double keySeconds = 0;   // building the primary key
    double checkSeconds = 0; // adding and validating the foreign keys (with the leaf checks), when after loading
};

struct LoadFigures {
    std::vector<TableFigures> tables;  // the dimensions first
    double checkSeconds = 0;           // reading and checking the dimension files, the line counts
    double loadSeconds = 0;            // from the first fact COPY to the last
    double keysAfterLoad = 0;          // from the last COPY to the last key
    double publishSeconds = 0;
    // The foreign keys were made with the empty tables, each row's members
    // checked by qemload alone (see docs/loading.md); otherwise added after
    // loading and validated by the server.
    bool foreignKeysBeforeLoading = false;
    int levelIndexes = 0;           // the indexes of the dimensions' level columns
    double levelIndexSeconds = 0;   // building them
    double totalSeconds = 0;
    bool replaced = false;
    qemdata::DataSetSize size;
    // The manifests' parts of each phase (0: the data set has no
    // manifests), whether they carry content sums, and the parts of files
    // whose bytes matched them.
    int32_t manifestParts = 0;
    bool contentSums = false;
    uint64_t partsChecked = 0;
    uint64_t compressedChecked = 0;  // compressed files checked by their compressed bytes and CRC-32
    double contentCheckSeconds = 0;  // processor time of those checks, over all jobs
};

// Throws DataSetError with the message for the user; nothing is published then.
LoadFigures loadDataSet(const LoadOptions& options);

// Per table the rows, MB read, seconds and rows/s, then the totals.
void printFigures(FILE* out, const LoadFigures& figures, const std::string& schema);

// "" when name may be a schema name (with --replace, when `replace`),
// otherwise why not.
std::string schemaNameProblem(const std::string& name, bool replace = false);

// Set (from a signal handler, say) to stop a load in progress; it then fails
// with "interrupted" and publishes nothing.
std::atomic<bool>& loadStopRequest();

}  // namespace qemload
