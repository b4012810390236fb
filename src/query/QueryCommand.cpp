#include "query/QueryCommand.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Interrupts.h"
#include "cli/Numbers.h"
#include "dataset/DataSet.h"
#include "dataset/DataSetError.h"
#include "query/Answers.h"
#include "query/Driver.h"
#include "query/Evaluator.h"
#include "query/QueryFiles.h"
#include "query/Sql.h"
#include "query/TextFiles.h"

namespace qemquery {

namespace {

const char* const usage =
    "usage: qemquery sql [--user N] [--dialect postgresql|sqlite] [--schema NAME] DATA\n"
    "       qemquery answers [--share K/S] [--out FILE] [--jobs N] DATA\n"
    "       qemquery answers --add [--out FILE] PARTIAL...\n"
    "       qemquery run [--schema NAME] [--users U] [--passes P | --duration SECONDS] [--limit N]\n"
    "                    [--check ANSWERS] [--timings FILE.csv] CONNINFO DATA\n"
    "       qemquery --help | --version\n"
    "The benchmark's workload: every query of the query files of the data set in DATA.\n"
    "  sql      prints every query (of user N only with --user) as one SQL statement over the\n"
    "           tables qemload and qemexport make, after a comment naming its user, position\n"
    "           and kind; PostgreSQL's tables in schema NAME (default qem), SQLite's unqualified\n"
    "  answers  computes every query's answer from the data set's files alone (each file\n"
    "           checked as qemload checks it), as docs/queries.md reads the queries: a line\n"
    "           per query, then a digest; into FILE with --out (replaced once whole), else\n"
    "           standard output\n"
    "    --share K/S  only share K of S of the fact and cost files (a run of whole parts of\n"
    "                 each): their partial sums, to be added with --add\n"
    "    --add        adds the partial sums of the shares 1 to S of one data set into its answers\n"
    "    --jobs N     threads reading the files (default: one per processor)\n"
    "  run      runs the workload against a database: CONNINFO is a PostgreSQL connection\n"
    "           string, or sqlite:PATH for an SQLite database made from qemexport's files;\n"
    "           a session per query file (the first U with --users), each through its file in\n"
    "           order, every query timed from sending it to its last row; the summary (queries\n"
    "           per hour, per kind the 50th, 95th and 99th percentile and the errors) on\n"
    "           standard output\n"
    "    --passes P        through each file P times (default 1)\n"
    "    --duration S      through the files again and again until S seconds have passed\n"
    "    --limit N         only the first N queries of each file\n"
    "    --check ANSWERS   compares every answer with qemquery answers' file; lists every one\n"
    "                      that disagrees (exit status 1)\n"
    "    --timings FILE    a CSV row per query: user,position,kind,start,seconds,rows,ok\n"
    "Exit status: 0 done; 1 refused or failed; 2 bad command line.\n";

using Clock = std::chrono::steady_clock;

// A fault of the command line found past its reading (status 2).
class BadCommandLine : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

double processorSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The text into FILE (under a temporary name until whole, then in its
// place) or onto standard output.
void deliver(const std::string& text, const std::optional<std::string>& out) {
    if (!out) {
        fwrite(text.data(), 1, text.size(), stdout);
        if (fflush(stdout) != 0) throw std::runtime_error("writing the answers to standard output failed");
        return;
    }
    writeWhole(*out, text);
}

std::vector<Answered> answered(const std::vector<Query>& queries) {
    std::vector<Answered> list;
    for (const Query& q : queries) list.push_back({q.user, q.position, Shape::of(q)});
    return list;
}

// A count of an option, from 1 to `most`, or `fallback` when it is not given.
long countOption(const qemcli::CommandLine& line, const char* name, long most, long fallback) {
    const std::optional<std::string> text = line.value(name);
    if (!text) return fallback;
    long n = 0;
    if (!qemcli::parseCount(*text, 1, most, n))
        throw BadCommandLine(std::string("--") + name + " " + *text + ": not a number from 1 to " + std::to_string(most));
    return n;
}

// --schema: PostgreSQL's schema, named as qemload takes it.
std::string schemaOption(const qemcli::CommandLine& line) {
    const std::string schema = line.value("schema").value_or("qem");
    bool valid = !schema.empty() && schema.size() <= 63 && (isalpha(static_cast<unsigned char>(schema[0])) || schema[0] == '_');
    for (const char c : schema) valid = valid && (isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!valid) throw BadCommandLine("--schema " + schema + ": letters, digits and underscores, not starting with a digit");
    return schema;
}

int sql(const qemcli::CommandLine& line) {
    if (line.arguments.size() != 1) throw BadCommandLine(line.arguments.empty() ? "DATA is needed" : "too many arguments");
    SqlOptions options;
    const std::string dialect = line.value("dialect").value_or("postgresql");
    if (dialect == "sqlite") {
        options.dialect = Dialect::sqlite;
        if (line.has("schema")) throw BadCommandLine("--schema is PostgreSQL's: SQLite's tables are unqualified");
    } else if (dialect != "postgresql") {
        throw BadCommandLine("--dialect " + dialect + ": postgresql or sqlite");
    }
    options.schema = schemaOption(line);
    const int32_t user = static_cast<int32_t>(countOption(line, "user", INT32_MAX, 0));
    const std::unique_ptr<qemdata::DataSet> data = qemdata::DataSet::open(line.arguments[0], 0, "qemquery");
    const std::vector<Query> queries = readQueries(*data, user);
    if (user > 0 && queries.empty())
        throw qemdata::DataSetError(line.arguments[0] + " has no query file of user " + std::to_string(user) + " (" +
                                    qem::queryFileName(user) + ")");
    // The statements come from bytes that match the manifests.
    finishQueryFiles(*data, user);
    std::string text;
    for (const Query& q : queries) {
        text += queryComment(q) + "\n" + querySql(q, data->dims, options) + "\n\n";
        if (text.size() >= (1u << 20)) {
            fwrite(text.data(), 1, text.size(), stdout);
            text.clear();
        }
    }
    fwrite(text.data(), 1, text.size(), stdout);
    if (fflush(stdout) != 0 || ferror(stdout)) throw std::runtime_error("writing the statements to standard output failed");
    return 0;
}

int run(const qemcli::CommandLine& line) {
    if (line.arguments.size() != 2)
        throw BadCommandLine(line.arguments.size() < 2 ? "CONNINFO and DATA are needed" : "too many arguments");
    RunOptions o;
    o.conninfo = line.arguments[0];
    o.data = line.arguments[1];
    if (o.conninfo.rfind("sqlite:", 0) == 0) {
        if (o.conninfo.size() == 7) throw BadCommandLine("sqlite: names no database file (sqlite:PATH)");
        if (line.has("schema")) throw BadCommandLine("--schema is PostgreSQL's: SQLite's tables are unqualified");
    }
    o.schema = schemaOption(line);
    o.users = static_cast<int32_t>(countOption(line, "users", 1000000, 0));
    o.passes = countOption(line, "passes", 1000000, 1);
    if (const auto text = line.value("duration")) {
        if (line.has("passes")) throw BadCommandLine("--passes and --duration: one or the other");
        long seconds = 0;
        if (!qemcli::parseCount(*text, 1, 100000000, seconds))
            throw BadCommandLine("--duration " + *text + ": not a number of seconds from 1 to 100000000");
        o.duration = static_cast<double>(seconds);
    }
    o.limit = countOption(line, "limit", 1000000000, 0);
    o.check = line.value("check");
    o.timings = line.value("timings");
#ifdef QEM_HAVE_RUN
    return runWorkload(o);
#else
    throw std::runtime_error("run is not built here: it needs libpq and libsqlite3 (Debian: libpq-dev, libsqlite3-dev)");
#endif
}

int answers(const qemcli::CommandLine& line) {
    std::optional<std::string> out = line.value("out");
    if (line.has("add")) {
        if (line.has("share") || line.has("jobs")) throw BadCommandLine("--add takes no --share or --jobs");
        if (line.arguments.empty()) throw BadCommandLine("PARTIAL files are needed");
        // The shares 1 to S of one data set, each once, added up.
        std::vector<Partial> partials;
        for (const std::string& path : line.arguments) partials.push_back(parsePartial(readAll(path), path));
        const Partial& first = partials.front();
        std::set<int32_t> shares;
        for (size_t i = 0; i < partials.size(); ++i) {
            const Partial& p = partials[i];
            const std::string& name = line.arguments[i];
            if (!(p.id == first.id) || p.shares != first.shares || p.queries.size() != first.queries.size())
                throw qemdata::DataSetError(name + ": partial answers of another data set or of other shares than " +
                                            line.arguments.front() + " (data set: " + p.id.text() + ", " +
                                            std::to_string(p.shares) + " shares)");
            if (!shares.insert(p.share).second)
                throw qemdata::DataSetError(name + ": share " + std::to_string(p.share) + " of " +
                                            std::to_string(p.shares) + " is given twice");
            for (size_t q = 0; q < p.queries.size(); ++q)
                if (p.queries[q].user != first.queries[q].user || p.queries[q].position != first.queries[q].position ||
                    p.queries[q].shape.kind != first.queries[q].shape.kind)
                    throw qemdata::DataSetError(name + ": its queries are not those of " + line.arguments.front());
        }
        if (static_cast<int32_t>(shares.size()) != first.shares) {
            std::string missing;
            for (int32_t k = 1; k <= first.shares; ++k)
                if (!shares.count(k)) missing += (missing.empty() ? "" : ", ") + std::to_string(k);
            throw qemdata::DataSetError("shares " + missing + " of " + std::to_string(first.shares) + " are missing");
        }
        std::vector<Answered> queries;
        std::vector<Sums> sums(first.queries.size());
        for (const Partial::Entry& e : first.queries) queries.push_back({e.user, e.position, e.shape});
        for (const Partial& p : partials)
            for (size_t q = 0; q < p.queries.size(); ++q) sums[q] += p.queries[q].sums;
        deliver(answersText(first.id, queries, sums), out);
        return 0;
    }
    if (line.arguments.size() != 1) throw BadCommandLine(line.arguments.empty() ? "DATA is needed" : "too many arguments");
    Share share;
    if (const auto text = line.value("share")) {
        const size_t slash = text->find('/');
        long k = 0, s = 0;
        if (slash == std::string::npos || !qemcli::parseCount(text->substr(0, slash), 1, 9999, k) ||
            !qemcli::parseCount(text->substr(slash + 1), 1, 9999, s) || k > s)
            throw BadCommandLine("--share " + *text + ": not K/S with 1 <= K <= S <= 9999");
        share = {static_cast<int32_t>(k), static_cast<int32_t>(s)};
    }
    long jobs = std::max(1u, std::thread::hardware_concurrency());
    if (const auto text = line.value("jobs"))
        if (!qemcli::parseCount(*text, 1, 64, jobs)) throw BadCommandLine("--jobs " + *text + ": not a number from 1 to 64");

    const auto started = Clock::now();
    const double processor = processorSeconds();
    const std::unique_ptr<qemdata::DataSet> data = qemdata::DataSet::open(line.arguments[0], 0, "qemquery");
    if (share.of > 1) {
        const int32_t parts = data->manifests().empty() ? 1 : data->manifests().settings().parts;
        if (share.of > parts)
            throw qemdata::DataSetError("--share " + std::to_string(share.k) + "/" + std::to_string(share.of) +
                                        ": the data set has " + std::to_string(parts) +
                                        (parts == 1 ? " part" : " parts") +
                                        "; a share is a run of whole parts, so there are at most as many shares");
    }
    const std::vector<Query> queries = readQueries(*data);
    std::atomic<uint64_t> bytesRead{0};
    const std::vector<Sums> sums = computeSums(*data, queries, share, static_cast<int>(jobs), bytesRead);
    const DataSetIdentity id = identityOf(*data);
    deliver(share.of > 1 ? partialText(id, share.k, share.of, answered(queries), sums)
                         : answersText(id, answered(queries), sums),
            out);
    if (isatty(STDERR_FILENO)) {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        fprintf(stderr, "qemquery: %zu queries of %lld users over %.2f GB of facts in %.2f s (%.0f MB/s), processor %.2f s\n",
                queries.size(), static_cast<long long>(id.users), static_cast<double>(bytesRead) / 1e9, seconds,
                seconds > 0 ? static_cast<double>(bytesRead) / seconds / 1e6 : 0.0, processorSeconds() - processor);
    }
    return 0;
}

}  // namespace

int queryMain(int argc, const char* const argv[]) {
    const std::vector<qemcli::Command> commands = {
        {"sql", {{"user", true}, {"dialect", true}, {"schema", true}}},
        {"answers", {{"share", true}, {"out", true}, {"jobs", true}, {"add"}}},
        {"run",
         {{"schema", true}, {"users", true}, {"passes", true}, {"duration", true}, {"limit", true}, {"check", true},
          {"timings", true}}},
    };
    const qemcli::CommandLine line = qemcli::readCommandLine(qemcli::argumentsOf(argc, argv), commands);
    if (const std::optional<int> status = qemcli::answerCommandLine("qemquery", usage, line.help, line.version, line.error))
        return *status;
    try {
        if (line.command == "sql") return sql(line);
        if (line.command == "answers") return answers(line);
        if (line.command == "run") return run(line);
        return 2;
    } catch (const BadCommandLine& e) {
        qemcli::answerCommandLine("qemquery", usage, false, false, e.what());
        return 2;
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "qemquery: %s\n", e.what());
        return 1;
    }
}

}  // namespace qemquery
