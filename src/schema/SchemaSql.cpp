#include "schema/SchemaSql.h"

namespace qemdata {

namespace {

std::string qualified(const std::string& schema, const std::string& name) {
    return schema.empty() ? name : schema + "." + name;
}

std::string joined(const std::vector<std::string>& items, const char* between) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : between) + item;
    return text;
}

// A column's SQL type with its NOT NULL: as qemload makes it in PostgreSQL
// (codes in the "C" collation, so that they sort by their bytes), in the
// standard form that other databases take (schema.sql of qemexport), and in
// ClickHouse's types (schema-clickhouse.sql).
struct SqlType {
    const char* postgres;
    const char* portable;
    const char* clickhouse;
};

const char* typeOf(const SqlType& t, SqlDialect d) {
    return d == SqlDialect::postgres ? t.postgres : d == SqlDialect::portable ? t.portable : t.clickhouse;
}

const SqlType& sqlTypeOf(ColumnType type) {
    static const SqlType code{"varchar(12) COLLATE \"C\" NOT NULL", "VARCHAR(12) NOT NULL", "String"};
    static const SqlType nullableCode{"varchar(12) COLLATE \"C\"", "VARCHAR(12)", "Nullable(String)"};
    static const SqlType count{"integer NOT NULL", "INTEGER NOT NULL", "Int32"};
    static const SqlType kind{"smallint NOT NULL", "SMALLINT NOT NULL", "Int16"};
    static const SqlType scenario{"varchar(12) NOT NULL", "VARCHAR(12) NOT NULL", "String"};
    static const SqlType name{"varchar(24)", "VARCHAR(24)", "Nullable(String)"};
    static const SqlType amount{"numeric(9,2) NOT NULL", "DECIMAL(9,2) NOT NULL", "Decimal(9, 2)"};
    static const SqlType cost{"numeric(9,3) NOT NULL", "DECIMAL(9,3) NOT NULL", "Decimal(9, 3)"};
    switch (type) {
        case ColumnType::code: return code;
        case ColumnType::nullableCode: return nullableCode;
        case ColumnType::count: return count;
        case ColumnType::kind: return kind;
        case ColumnType::scenario: return scenario;
        case ColumnType::name: return name;
        case ColumnType::amount: return amount;
        case ColumnType::cost: return cost;
    }
    return code;
}

// The body of a CREATE TABLE: on one line for the loader's statements, a
// line per column and constraint in schema.sql, to be read.
std::string body(const std::vector<std::string>& parts, SqlDialect d) {
    if (d == SqlDialect::postgres) return " (" + joined(parts, ", ") + ")";
    return " (\n    " + joined(parts, ",\n    ") + "\n)";
}

// The types of a dimension table's columns: codes, and the level name.
constexpr SqlType codeColumn{"varchar(12) COLLATE \"C\" NOT NULL", "VARCHAR(12) NOT NULL", "String"};
constexpr SqlType nullableCodeColumn{"varchar(12) COLLATE \"C\"", "VARCHAR(12)", "Nullable(String)"};
constexpr SqlType levelColumn{"varchar(12) NOT NULL", "VARCHAR(12) NOT NULL", "String"};

}  // namespace

const char* columnTypeSql(ColumnType type, SqlDialect dialect) { return typeOf(sqlTypeOf(type), dialect); }

std::vector<std::string> dimensionColumnsSql(const DimensionLayout& l) {
    std::vector<std::string> columns{"code", "parent", "level", "leaf_code"};
    for (size_t c = 0; c < l.levelColumnCount(); ++c) columns.push_back("\"" + l.levelColumn(c) + "\"");
    return columns;
}

std::string dimensionTableSql(const std::string& schema, const DimensionLayout& l, SqlDialect d, bool withKeys) {
    const std::vector<std::string> columns = dimensionColumnsSql(l);
    std::vector<std::string> parts;
    for (size_t i = 0; i < columns.size(); ++i) {
        const SqlType& type = i == 0 ? codeColumn : i == 2 ? levelColumn : nullableCodeColumn;
        parts.push_back(columns[i] + " " + typeOf(type, d));
    }
    if (d == SqlDialect::clickhouse)
        return "CREATE TABLE " + qualified(schema, l.table) + body(parts, d) + " ENGINE = MergeTree ORDER BY (code)";
    if (withKeys)
        for (const std::string& key : dimensionKeysSql(schema, l)) parts.push_back(key);
    parts.push_back("CHECK (leaf_code = code)");
    parts.push_back("CHECK ((leaf_code IS NOT NULL) = (level = '" + std::string(l.levels[0]) + "'))");
    std::vector<std::string> leafHasAll;
    for (size_t i = 4; i < columns.size(); ++i) leafHasAll.push_back(columns[i] + " IS NOT NULL");
    if (!leafHasAll.empty()) parts.push_back("CHECK (leaf_code IS NULL OR (" + joined(leafHasAll, " AND ") + "))");
    return "CREATE TABLE " + qualified(schema, l.table) + body(parts, d);
}

std::vector<std::string> dimensionKeysSql(const std::string& schema, const DimensionLayout& l) {
    return {"PRIMARY KEY (code)", "UNIQUE (leaf_code)",
            "FOREIGN KEY (parent) REFERENCES " + qualified(schema, l.table) + " (code)"};
}

std::string levelIndexSql(const std::string& schema, const DimensionLayout& l, size_t column) {
    return "CREATE INDEX " + std::string(l.table) + "_" + l.levelColumn(column) + "_idx ON " +
           qualified(schema, l.table) + " (" + dimensionColumnsSql(l)[4 + column] + ")";
}

std::string primaryKeySql(const TableDef& def) {
    return "PRIMARY KEY (" + joined(std::vector<std::string>(def.primaryKey.begin(), def.primaryKey.end()), ", ") + ")";
}

std::string foreignKeyName(const TableDef& def, const ForeignKey& fk) {
    return std::string(def.name) + "_" + fk.column + "_fkey";
}

std::string foreignKeySql(const std::string& schema, const TableDef& def, const ForeignKey& fk) {
    return "CONSTRAINT " + foreignKeyName(def, fk) + " FOREIGN KEY (" + fk.column + ") REFERENCES " +
           qualified(schema, dimensionLayouts()[fk.dimension].table) + (fk.leafOnly ? " (leaf_code)" : " (code)");
}

std::string columnListSql(const TableDef& def) {
    std::vector<std::string> names;
    for (const ColumnDef& c : def.columns) names.emplace_back(c.name);
    return joined(names, ", ");
}

std::string tableSql(const std::string& schema, const TableDef& def, SqlDialect d, bool withForeignKeys,
                     bool withPrimaryKey) {
    std::vector<std::string> parts;
    for (const ColumnDef& c : def.columns) parts.push_back(std::string(c.name) + " " + typeOf(sqlTypeOf(c.type), d));
    if (d == SqlDialect::clickhouse)
        return "CREATE TABLE " + qualified(schema, def.name) + body(parts, d) + " ENGINE = MergeTree ORDER BY (" +
               joined(std::vector<std::string>(def.primaryKey.begin(), def.primaryKey.end()), ", ") + ")";
    if (withPrimaryKey) parts.push_back(primaryKeySql(def));
    if (withForeignKeys)
        for (const ForeignKey& fk : def.foreignKeys) parts.push_back(foreignKeySql(schema, def, fk));
    return "CREATE TABLE " + qualified(schema, def.name) + body(parts, d);
}

std::string portableSchemaSql() {
    std::string sql =
        "-- The tables of a QEM data set, as qemexport writes them beside this file\n"
        "-- (one file per table, named after it). Standard SQL: PostgreSQL, DuckDB,\n"
        "-- SQLite and MySQL/MariaDB take it as it is. The column \"group\" is quoted,\n"
        "-- as SQL quotes names; MySQL reads that quoting in its ANSI_QUOTES mode,\n"
        "-- which the next line sets there (the others read it as a comment).\n"
        "/*!40101 SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'ANSI_QUOTES') */;\n"
        "\n"
        "-- The dimensions: a row per member; leaf_code is the code of a leaf (the\n"
        "-- lowest level) and NULL for any other member, and the fact tables'\n"
        "-- foreign keys reference it, so that a fact row names leaves only.\n";
    for (const DimensionLayout& l : dimensionLayouts())
        sql += dimensionTableSql("", l, SqlDialect::portable, true) + ";\n\n";
    sql += "-- The fact, cost and query tables.\n";
    for (const TableDef& def : factTables()) sql += tableSql("", def, SqlDialect::portable, true, true) + ";\n\n";
    sql += "-- The level columns of the dimensions.\n";
    for (const DimensionLayout& l : dimensionLayouts())
        for (size_t c = 0; c < l.levelColumnCount(); ++c) sql += levelIndexSql("", l, c) + ";\n";
    return sql;
}

std::string clickhouseSchemaSql() {
    std::string sql =
        "-- The tables of a QEM data set for ClickHouse, as qemexport writes them\n"
        "-- beside this file: the columns, types and rows of schema.sql, each table\n"
        "-- ordered by its primary key; ClickHouse keeps no foreign keys or checks\n"
        "-- (qemexport checked every row before writing it).\n\n";
    for (const DimensionLayout& l : dimensionLayouts())
        sql += dimensionTableSql("", l, SqlDialect::clickhouse, false) + ";\n\n";
    for (const TableDef& def : factTables()) sql += tableSql("", def, SqlDialect::clickhouse, false, false) + ";\n\n";
    sql.pop_back();
    return sql;
}

}  // namespace qemdata
