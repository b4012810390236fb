#pragma once
#include <string>
#include <vector>

#include "dataset/Dimensions.h"
#include "dataset/Tables.h"

namespace qemdata {

// The SQL of the tables of a data set, from the one set of table definitions
// (Tables.h, Dimensions.h): what qemload makes in PostgreSQL, and the
// portable schema.sql that qemexport writes beside its files. Both have the
// same tables, columns, keys and leaf checks; the portable one uses the
// standard types (VARCHAR, INTEGER, SMALLINT, DECIMAL) and no collation.
// For ClickHouse, which has neither foreign keys nor checks and needs an
// engine per table, the same tables and columns in its types, each table
// ordered by its primary key (schema-clickhouse.sql).
//
// `schema` names the schema the tables go into, as SQL ("qem", or a quoted
// name); "" leaves the tables unqualified.
enum class SqlDialect { postgres, portable, clickhouse };

// The SQL type (with NOT NULL where the column has no NULL) of a column.
const char* columnTypeSql(ColumnType type, SqlDialect dialect);

// The columns of a dimension's table, in the order of its rows (see
// memberRow): code, parent, level, leaf_code, then a column per level above
// the leaf (quoted: "group" is a reserved word of SQL).
std::vector<std::string> dimensionColumnsSql(const DimensionLayout& l);

// The dimension's table with its checks: leaf_code is the code of a leaf and
// NULL for any other member, and a leaf has every level column. With
// `withKeys` its keys (dimensionKeysSql) too.
std::string dimensionTableSql(const std::string& schema, const DimensionLayout& l, SqlDialect dialect, bool withKeys);
// Its keys: the primary key on code, leaf_code unique (the fact tables'
// foreign keys reference it, so that they admit leaves only), parent a
// foreign key to the same table.
std::vector<std::string> dimensionKeysSql(const std::string& schema, const DimensionLayout& l);
// The index of a level column: "CREATE INDEX product_class_idx ON ...".
std::string levelIndexSql(const std::string& schema, const DimensionLayout& l, size_t column);

// A fact, cost or query table, with its foreign keys when `withForeignKeys`
// and its primary key when `withPrimaryKey`.
std::string tableSql(const std::string& schema, const TableDef& def, SqlDialect dialect, bool withForeignKeys,
                     bool withPrimaryKey);
std::string primaryKeySql(const TableDef& def);  // "PRIMARY KEY (customer, product, ...)"
// The name of a table's foreign key on a member column, and its clause: to
// the dimension's leaf_code (leaves only) or code.
std::string foreignKeyName(const TableDef& def, const ForeignKey& fk);
std::string foreignKeySql(const std::string& schema, const TableDef& def, const ForeignKey& fk);
// The column names of a table, ", " between them.
std::string columnListSql(const TableDef& def);

// schema.sql: every table with its keys and checks, the dimensions first,
// then the indexes of the level columns.
std::string portableSchemaSql();
// schema-clickhouse.sql: the same tables for ClickHouse.
std::string clickhouseSchemaSql();

}  // namespace qemdata
