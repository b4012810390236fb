#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace qemquery {

// What `qemquery run` is asked to do (docs/queries.md).
struct RunOptions {
    std::string conninfo;  // libpq's connection string, or "sqlite:PATH"
    std::string data;      // the data set's folder
    std::string schema = "qem";  // PostgreSQL's schema of the tables
    int32_t users = 0;     // sessions, one per query file from the first; 0: every file
    int64_t passes = 1;    // times through each file
    double duration = 0;   // seconds to go on for (cycling through the files); 0: by passes
    int64_t limit = 0;     // the first N queries of each file only; 0: all
    std::optional<std::string> check;    // an answers file to compare every answer with
    std::optional<std::string> timings;  // a CSV file of every query's timing
};

// Whether a value that a database returned (text, or nothing for NULL)
// agrees with an answer as qemquery answers prints it, with `decimals`
// decimals: both NULL, or apart by at most half a unit of the answer's last
// decimal (a database may give a ratio unrounded) plus a billionth of the
// value (SQLite sums REAL values to about 15 digits).
bool valueAgrees(const std::optional<std::string>& value, const std::string& answer, int decimals);

// Runs the workload: a session (a thread with a connection of its own) per
// query file, each working through its file in order, every query timed
// from sending it to its last row. The summary goes to standard output, a
// progress line to standard error where that is a terminal. Returns the
// exit status: 0 when every query ran (and agreed with the answers), 1
// otherwise. Throws an exception with the reason when the run cannot start
// (the data set, the answers, the connection, the database's tables).
int runWorkload(const RunOptions& options);

}  // namespace qemquery
