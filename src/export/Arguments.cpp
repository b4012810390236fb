#include "export/Arguments.h"

#include "cli/CommandLine.h"
#include "cli/Numbers.h"
#include "compress/Zstd.h"

namespace qemexport {

const char* const usageText =
    "usage: qemexport [--format csv|tsv] [--compress zstd[:LEVEL]] [--jobs N] FOLDER OUTDIR\n"
    "       qemexport --help | --version\n"
    "Exports the finished data set in FOLDER as delimited text for any database. Into\n"
    "OUTDIR (made if missing) go: one file per table of qemload's schema, with a\n"
    "header line (the same tables, columns, rows and values: product, customer,\n"
    "channel, time, histsale, histinv (a row per month), budget, currsale, currinv,\n"
    "prodcos, custship, query); schema.sql, the tables with their primary and\n"
    "foreign keys and checks in portable SQL (PostgreSQL, DuckDB, SQLite,\n"
    "MySQL/MariaDB); schema-clickhouse.sql, the same tables for ClickHouse; and last\n"
    "qemexport.manifest, with the rows, bytes and CRC-32 of every file. The data set\n"
    "is checked as qemload checks it (its manifests, every line and field, every\n"
    "member a row names): one that qemload would refuse is refused, and nothing is\n"
    "left in OUTDIR under a final name. Every file is written under a temporary name\n"
    "and renamed once all are complete; none of the export's files may be in OUTDIR\n"
    "already.\n"
    "  --format csv|tsv   CSV as RFC 4180 has it (the default; a NULL is an empty\n"
    "                     field), or tab-separated text with backslash escapes (a NULL\n"
    "                     is \\N)\n"
    "  --compress zstd[:LEVEL]  each table's file compressed, NAME.csv.zst (level 1 to\n"
    "                     19, default 1); the SQL and the manifest stay plain\n"
    "  --jobs N           threads converting in parallel (default: one per processor)\n"
    "Exit status: 0 exported; 1 refused or failed, nothing left under a final name;\n"
    "2 bad command line.\n";

Arguments parseArguments(const std::vector<std::string>& args) {
    Arguments a;
    const qemcli::CommandLine line = qemcli::readCommandLine(args, {{"format", true}, {"compress", true}, {"jobs", true}});
    a.help = line.help;
    a.version = line.version;
    a.error = line.error;
    if (a.help || a.version || !a.error.empty()) return a;
    for (const auto& [name, value] : line.options) {
        if (name == "format") {
            if (value == "csv")
                a.options.format = ExportOptions::csv;
            else if (value == "tsv")
                a.options.format = ExportOptions::tsv;
            else
                a.error = "--format " + value + ": not csv or tsv";
        } else if (name == "compress") {
            a.options.zstdLevel = qem::zstdLevelOf(value);
            if (a.options.zstdLevel == 0) a.error = "--compress " + value + ": not zstd or zstd:LEVEL with a level from 1 to 19";
        } else if (name == "jobs") {
            long jobs = 0;
            if (!qemcli::parseCount(value, 1, 64, jobs)) a.error = "--jobs " + value + ": not a number from 1 to 64";
            a.options.jobs = static_cast<int>(jobs);
        }
        if (!a.error.empty()) return a;
    }
    if (line.arguments.size() != 2) {
        a.error = line.arguments.size() < 2 ? "FOLDER and OUTDIR are needed" : "too many arguments";
        return a;
    }
    a.options.folder = line.arguments[0];
    a.options.outdir = line.arguments[1];
    return a;
}

}  // namespace qemexport
