#pragma once
#include <string>

#include "dataset/Dimensions.h"
#include "query/Reading.h"

namespace qemquery {

// The SQL of a query: one statement over the tables that qemload and
// qemexport make, computing reading 1 of it (Reading.h) and returning one
// row with the kind's answer columns, named as answerColumns() names them.
// A member of a dimension's leaf level is compared with the fact table's
// own column, a member of a higher level with the level column of the
// dimension's table (one join per named dimension); a member of the top
// level, which is above every level column, takes the whole dimension.
//
// PostgreSQL qualifies the tables with the schema; SQLite (a database made
// from qemexport's files) leaves them unqualified. The statements keep to
// what both read alike: no integer division (SQLite divides integers as
// integers), sums of DECIMAL columns that SQLite may hold as INTEGER or
// REAL, "group" quoted.
enum class Dialect { postgresql, sqlite };

struct SqlOptions {
    Dialect dialect = Dialect::postgresql;
    std::string schema = "qem";  // PostgreSQL's; letters, digits and underscores
};

// The statement of one query, ending in ";", without a comment.
std::string querySql(const Query& q, const qemdata::Dimensions& dims, const SqlOptions& options);

// "-- user 1, position 17, kind 2" (kind 10 with its scenario and measure).
std::string queryComment(const Query& q);

}  // namespace qemquery
