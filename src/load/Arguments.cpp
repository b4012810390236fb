#include "load/Arguments.h"

#include <cstdint>

#include "cli/CommandLine.h"
#include "cli/Numbers.h"

namespace qemload {

const char* const usageText =
    "usage: qemload [--schema NAME] [--replace] [--users U] [--jobs N] [--sort-memory MB] [--sort-limit MB]\n"
    "               CONNINFO [FOLDER]\n"
    "       qemload --help | --version\n"
    "Loads the finished data set in FOLDER (default: the current folder) into schema NAME\n"
    "(default qem) of the PostgreSQL database that CONNINFO names (a connection string\n"
    "or URI; the PG* environment variables apply), with every key and check in place.\n"
    "Every file must have the lines the data set implies, and match the manifests its\n"
    "writer left (phaseN.manifest, or phaseN.manifest.partKKKK for a data set in parts):\n"
    "lines, bytes, CRC-32 and content sum of every file or part. A data set in parts\n"
    "needs them; one of whole files without any loads with a warning. Any file or part\n"
    "may be compressed (NAME.qem.zst, NAME.qem.partKKKK.zst, as qempart --compress\n"
    "writes them; the manifests needed): it is decompressed as it is read, its text\n"
    "checked the same way, and its compressed bytes and CRC-32 where the manifests\n"
    "give them. The dimension tables have a column per level above the leaf (class,\n"
    "\"group\", family, line, division; retailer; quarter, year). Keep a password\n"
    "out of CONNINFO (other users can see a program's arguments): use ~/.pgpass,\n"
    "PGPASSFILE or PGPASSWORD.\n"
    "  --schema NAME  schema to create\n"
    "  --replace      replace the schema if it exists (otherwise an existing one is refused);\n"
    "                 only a schema qemload published, never public, information_schema or\n"
    "                 pg_*, and never one that objects of other schemas (views, foreign\n"
    "                 keys, ...) depend on: those are listed and the load is refused\n"
    "  --users U      exactly U query files (qry001.qem ..) must be present; the manifests\n"
    "                 give the user count, and U must agree with it; without either the\n"
    "                 query files found are loaded and the user count is not checked\n"
    "  --jobs N       connections loading in parallel (default 2)\n"
    "  --sort-memory MB  memory each job sorts a table's rows in (default 512): every\n"
    "                 table is loaded in the order of its key, which makes the key much\n"
    "                 quicker to build; rows that take more are sorted in runs through\n"
    "                 temporary files in TMPDIR (default /tmp), about their size\n"
    "  --sort-limit MB  largest file loaded in key order; larger ones are loaded in pieces\n"
    "                 as they come (default: no limit; 0: every file in pieces)\n"
    "A load that fails drops its temporary schema; one whose connection was lost cannot,\n"
    "and names it with the statement that drops it: the next qemload on this host drops\n"
    "it when it starts.\n"
    "Exit status: 0 loaded; 1 refused or failed, nothing published; 2 bad command line.\n";

Arguments parseArguments(const std::vector<std::string>& args) {
    Arguments a;
    const qemcli::CommandLine line = qemcli::readCommandLine(
        args, {{"schema", true}, {"replace"}, {"users", true}, {"jobs", true}, {"sort-memory", true}, {"sort-limit", true}});
    a.help = line.help;
    a.version = line.version;
    a.error = line.error;
    if (a.help || a.version || !a.error.empty()) return a;
    for (const auto& [name, text] : line.options) {
        if (name == "replace") {
            a.options.replace = true;
        } else if (name == "schema") {
            a.options.schema = text;
        } else if (name == "users") {
            long users = 0;
            if (!qemcli::parseCount(text, 10, INT32_MAX, users)) a.error = "--users needs a number from 10 to 2147483647";
            a.options.users = static_cast<int32_t>(users);
        } else if (name == "jobs") {
            long jobs = 0;
            if (!qemcli::parseCount(text, 1, 64, jobs)) a.error = "--jobs needs a number from 1 to 64";
            a.options.jobs = static_cast<int>(jobs);
        } else if (name == "sort-memory") {
            if (!qemcli::parseCount(text, 16, 1 << 30, a.options.sortMemoryMb))
                a.error = "--sort-memory needs a number of MB, at least 16";
        } else if (name == "sort-limit") {
            if (!qemcli::parseCount(text, 0, 1 << 30, a.options.sortLimitMb)) a.error = "--sort-limit needs a number of MB";
        }
        if (!a.error.empty()) return a;
    }
    const std::vector<std::string>& positional = line.arguments;
    if (positional.empty()) a.error = "CONNINFO is missing";
    if (positional.size() > 2) a.error = "too many arguments";
    if (!a.error.empty()) return a;
    a.options.conninfo = positional[0];
    if (positional.size() == 2) a.options.folder = positional[1];
    if (const std::string problem = schemaNameProblem(a.options.schema, a.options.replace); !problem.empty())
        a.error = "schema name '" + a.options.schema + "' " + problem;
    return a;
}

}  // namespace qemload
