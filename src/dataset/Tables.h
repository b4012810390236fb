#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/Dimensions.h"
#include "integrity/Manifest.h"

namespace qemdata {

// The tables of a data set: the file each comes from, its columns and keys.
// How one line of a file becomes rows is in TableLines.h, a template over
// the rows' writer, so that every reader (the loader's COPY rows, the
// export's delimited text, the query answers' sums) takes the same values
// from the same checks.

// The kind of value a column holds; the SQL of each dialect names its type.
enum class ColumnType {
    code,          // a member code, never NULL
    nullableCode,  // a member code or NULL (a query's open or unnamed dimension)
    count,         // a 32-bit whole number ("%10d")
    kind,          // a query kind, 1 to 10
    scenario,      // a cost line's scenario name
    name,          // a query's scenario or measure name, or NULL
    amount,        // "%10.2lf": at most 7 + 2 digits
    cost,          // "%10.3lf": at most 6 + 3 digits
};

struct ColumnDef {
    const char* name;
    ColumnType type;
};

// A member column's reference to its dimension table: to its code, or, when
// leafOnly, to its leaf_code, which only leaves have.
struct ForeignKey {
    const char* column;
    int dimension;
    bool leafOnly;
};

enum class TableId { histsale, histinv, budget, currsale, currinv, prodcos, custship, query };

struct TableDef {
    const char* name;
    const char* file;  // nullptr: the query files, one per user
    int lineLength;
    int rowsPerLine;
    std::vector<ColumnDef> columns;  // in the rows' order
    std::vector<const char*> primaryKey;
    std::vector<ForeignKey> foreignKeys;
    TableId id;
};

// A member column's value: its code, with the member's dimension and position.
struct MemberRef {
    std::string_view code;
    int dimension;
    int32_t position;
};

// What a line's rows are made with beside the line: the dimensions, and for
// a query file the user number of the file.
struct LineContext {
    const Dimensions* dims = nullptr;
    int32_t user = 0;
};

// The fact, cost and query tables, the largest first.
const std::vector<TableDef>& factTables();

// The month codes "199501" .. "199612" by month number 0 .. 23.
const std::vector<std::string>& monthCodes();

// Throws DataSetError unless every month the fact files name is a Month leaf
// of the time tree.
void checkMonths(const Dimensions& dims);

}  // namespace qemdata
