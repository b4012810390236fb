#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "load/CopyRows.h"
#include "load/Dimensions.h"

namespace qemload {

// The tables a data set loads into, the file each comes from and how one line
// of that file becomes rows.
struct LineContext {
    const Dimensions* dims = nullptr;
    int32_t user = 0;  // query files: the user number of the file
};

// A column's SQL type with its NOT NULL: as qemload makes it in PostgreSQL
// (codes in the "C" collation, so that they sort by their bytes), in the
// standard form that other databases take (schema.sql of qemexport), and in
// ClickHouse's types (schema-clickhouse.sql).
struct SqlType {
    const char* postgres;
    const char* portable;
    const char* clickhouse;
};

struct ColumnDef {
    const char* name;
    SqlType type;
};

// A member column's reference to its dimension table: to its code, or, when
// leafOnly, to its leaf_code, which only leaves have.
struct ForeignKey {
    const char* column;
    int dimension;
    bool leafOnly;
};

struct TableDef {
    const char* name;
    const char* file;  // nullptr: the query files, one per user
    int lineLength;
    int rowsPerLine;
    std::vector<ColumnDef> columns;  // in COPY order
    std::vector<const char*> primaryKey;
    std::vector<ForeignKey> foreignKeys;
    void (*binaryLine)(const LineContext&, const char* line, uint64_t lineNumber, BinaryRows& out);
    void (*csvLine)(const LineContext&, const char* line, uint64_t lineNumber, CsvRows& out);
    // binaryLine with the line's sort key (see KeyedRows).
    void (*keyedLine)(const LineContext&, const char* line, uint64_t lineNumber, KeyedRows& out);
    // The same rows as delimited text (qemexport).
    void (*textLine)(const LineContext&, const char* line, uint64_t lineNumber, TextRows& out);
};

// The fact, cost and query tables, the largest first.
const std::vector<TableDef>& factTables();

// Query file name of a user: "qry%3.3ld.qem".
std::string queryFileName(int32_t user);

// The month codes "199501" .. "199612" by month number 0 .. 23.
const std::vector<std::string>& monthCodes();

// Throws LoadError unless every month the fact files name is a Month leaf of
// the time tree.
void checkMonths(const Dimensions& dims);

}  // namespace qemload
