#include "query/Driver.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "cli/Interrupts.h"
#include "dataset/DataSet.h"
#include "dataset/DataSetError.h"
#include "query/Answers.h"
#include "query/QueryFiles.h"
#include "query/Session.h"
#include "query/Sql.h"
#include "query/TextFiles.h"

namespace qemquery {

namespace {

using Clock = std::chrono::steady_clock;
using qemdata::DataSetError;

std::atomic<bool> interruptSeen{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag is set from a signal handler");

void onInterrupt(int) { interruptSeen.store(true); }

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Text on one line: the database's messages may run over several.
std::string oneLine(const std::string& text) {
    std::string line;
    bool space = false;
    for (const char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = !line.empty();
            continue;
        }
        if (space) line += ' ';
        space = false;
        line += c;
    }
    return line;
}

// A decimal number as a database or an answers file prints it, or nothing.
std::optional<long double> numberOf(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const long double v = strtold(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

// "" when the rows are the answer; else what differs.
std::string disagreement(const Query& q, const Session::Table& rows, const std::vector<std::string>& answer) {
    const std::vector<Column>& columns = answerColumns(q);
    if (rows.size() != 1) return "returned " + std::to_string(rows.size()) + " rows, not 1";
    if (rows[0].size() != columns.size())
        return "returned " + std::to_string(rows[0].size()) + " columns, not " + std::to_string(columns.size());
    std::string text;
    for (size_t c = 0; c < columns.size(); ++c) {
        const std::optional<std::string>& v = rows[0][c];
        if (valueAgrees(v, answer[c], columns[c].decimals)) continue;
        text += (text.empty() ? "" : ", ") + std::string(columns[c].name) + " " + (v ? *v : "NULL") +
                " (answers: " + answer[c] + ")";
    }
    return text;
}

// One query as it ran.
struct Ran {
    const Query* query;
    double start, seconds;  // from the run's start
    int64_t rows;
    bool failed;      // the database reported an error
    bool disagreed;   // its answer is not the answers file's
};

struct Problem {
    const Query* query;
    std::string text;
};

// One user's session: its connection, its queries, and what ran.
struct Worker {
    int32_t user = 0;
    std::unique_ptr<Session> session;
    std::vector<const Query*> queries;
    std::vector<std::string> statements;  // by queries' index: the comment and the SQL
    std::vector<Ran> ran;
    std::vector<Problem> errors, mismatches;
    Clock::time_point end;  // when it finished
    std::atomic<bool> finished{false};
};

class Run {
public:
    explicit Run(const RunOptions& o) : o(o) {}

    int start() {
        prepare();
        connect();
        qemcli::stopOnFirstInterrupt(onInterrupt);
        began = Clock::now();
        if (o.duration > 0) deadline = began + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.duration));
        std::vector<std::thread> threads;
        for (const auto& w : workers) threads.emplace_back([this, worker = w.get()] { work(*worker); });
        watch();
        for (std::thread& t : threads) t.join();
        for (const auto& w : workers) elapsed = std::max(elapsed, std::chrono::duration<double>(w->end - began).count());
        if (o.timings) writeTimings();
        return summary();
    }

private:
    // The data set's queries (every file's bytes checked against its
    // manifests), each session's share and its statements, and the answers
    // to check against.
    void prepare() {
        const bool sqlite = o.conninfo.rfind("sqlite:", 0) == 0;
        sql.dialect = sqlite ? Dialect::sqlite : Dialect::postgresql;
        sql.schema = o.schema;
        database = sqlite ? "SQLite" : "PostgreSQL";
        data = qemdata::DataSet::open(o.data, 0, "qemquery");
        queries = readQueries(*data);
        finishQueryFiles(*data);
        std::map<int32_t, std::vector<const Query*>> byUser;
        for (const Query& q : queries) byUser[q.user].push_back(&q);
        const int32_t users = o.users > 0 ? o.users : static_cast<int32_t>(byUser.size());
        for (int32_t u = 1; u <= users; ++u) {
            const auto at = byUser.find(u);
            if (at == byUser.end())
                throw DataSetError("--users " + std::to_string(users) + ": the data set has no query file of user " +
                                   std::to_string(u) + " (" + qem::queryFileName(u) + ")");
            auto w = std::make_unique<Worker>();
            w->user = u;
            w->queries = at->second;
            if (o.limit > 0 && static_cast<int64_t>(w->queries.size()) > o.limit) w->queries.resize(static_cast<size_t>(o.limit));
            for (const Query* q : w->queries) w->statements.push_back(queryComment(*q) + "\n" + querySql(*q, data->dims, sql));
            workers.push_back(std::move(w));
        }
        if (workers.empty()) throw DataSetError(o.data + " holds no query files");
        if (!o.check) return;
        answers = parseAnswers(readAll(*o.check), *o.check);
        const DataSetIdentity id = identityOf(*data);
        if (!(answers.id == id))
            throw DataSetError(*o.check + ": the answers of another data set (" + answers.id.text() + ") than " + o.data +
                               " (" + id.text() + ")");
        for (const auto& w : workers)
            for (const Query* q : w->queries) {
                const auto a = answers.answers.find({q->user, q->position});
                if (a == answers.answers.end())
                    throw DataSetError(*o.check + ": no answer of " + placeOf(*q));
                if (a->second.first != q->kind || a->second.second.size() != answerColumns(*q).size())
                    throw DataSetError(*o.check + ": the answer of user " + std::to_string(q->user) + " position " +
                                       std::to_string(q->position) + " is not one of a query of kind " +
                                       std::to_string(q->kind) + " (is it of this data set?)");
            }
    }

    // A session per user, and the database's tables checked through the
    // first: its query table holds the data set's queries.
    void connect() {
        const bool sqlite = sql.dialect == Dialect::sqlite;
        for (const auto& w : workers)
            w->session = sqlite ? openSqlite(o.conninfo.substr(7))
                                : openPostgres(o.conninfo, "qemquery user " + std::to_string(w->user));
        const std::string table = sqlite ? "query" : "\"" + o.schema + "\".query";
        Session::Table count;
        try {
            count = workers.front()->session->run("SELECT count(*) FROM " + table);
        } catch (const StatementError& e) {
            throw DataSetError("the database has no table " + table + " of a data set (" + oneLine(e.what()) + ")" +
                               (sqlite ? ": make the database from qemexport's files (docs/loading.md)"
                                       : ": load the data set with qemload, or name its schema with --schema"));
        }
        const std::string expected = std::to_string(queries.size());
        if (count.size() != 1 || count[0].size() != 1 || count[0][0] != expected)
            throw DataSetError("the database's table " + table + " holds " +
                               (count.size() == 1 && count[0].size() == 1 && count[0][0] ? *count[0][0] : "?") +
                               " queries, the data set's query files " + expected + ": is it this data set?");
    }

    bool stopping() const {
        return interruptSeen.load() || (o.duration > 0 && Clock::now() >= deadline);
    }

    // One session's work: its file in order, pass after pass (or until the
    // time is up), each query timed from sending it to its last row.
    void work(Worker& w) {
        const auto* expected = o.check ? &answers.answers : nullptr;
        for (int64_t pass = 0; o.duration > 0 || pass < o.passes; ++pass) {
            for (size_t i = 0; i < w.queries.size(); ++i) {
                const Query* q = w.queries[i];
                if (stopping()) return finish(w);
                Ran r{q, 0, 0, 0, false, false};
                Session::Table rows;
                std::string failure;
                const auto sent = Clock::now();
                try {
                    rows = w.session->run(w.statements[i]);
                } catch (const StatementError& e) {
                    failure = oneLine(e.what());
                }
                const auto last = Clock::now();
                // A statement stopped by an interrupt did not run.
                if (!failure.empty() && interruptSeen.load()) return finish(w);
                r.start = std::chrono::duration<double>(sent - began).count();
                r.seconds = std::chrono::duration<double>(last - sent).count();
                r.rows = static_cast<int64_t>(rows.size());
                if (!failure.empty()) {
                    r.failed = true;
                    w.errors.push_back({q, failure});
                    errorCount.fetch_add(1);
                } else if (expected) {
                    std::string differs = disagreement(*q, rows, expected->at({q->user, q->position}).second);
                    if (!differs.empty()) {
                        r.disagreed = true;
                        w.mismatches.push_back({q, std::move(differs)});
                    }
                }
                w.ran.push_back(r);
                doneCount.fetch_add(1);
                // A connection lost ends the session; the others go on.
                if (r.failed && w.session->lost()) return finish(w);
            }
            if (w.queries.empty()) break;
        }
        finish(w);
    }

    void finish(Worker& w) {
        w.end = Clock::now();
        w.finished.store(true);
    }

    // Until every session has finished: on an interrupt, stops the
    // statements in progress; on a terminal, a progress line.
    void watch() {
        const bool terminal = isatty(STDERR_FILENO);
        auto shown = Clock::now();
        bool any = false;
        for (;;) {
            bool all = true;
            for (const auto& w : workers) all = all && w->finished.load();
            if (all) break;
            if (interruptSeen.load())
                for (const auto& w : workers)
                    if (!w->finished.load()) w->session->cancel();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (terminal && Clock::now() - shown >= std::chrono::seconds(1)) {
                shown = Clock::now();
                const double seconds = secondsSince(began);
                fprintf(stderr, "\rqemquery: %llu queries, %.1f per second, %llu errors ",
                        static_cast<unsigned long long>(doneCount.load()), seconds > 0 ? doneCount.load() / seconds : 0.0,
                        static_cast<unsigned long long>(errorCount.load()));
                any = true;
            }
        }
        if (any) fputc('\n', stderr);
    }

    void writeTimings() {
        std::vector<const Ran*> all;
        for (const auto& w : workers)
            for (const Ran& r : w->ran) all.push_back(&r);
        std::stable_sort(all.begin(), all.end(), [](const Ran* a, const Ran* b) { return a->start < b->start; });
        std::string text = "user,position,kind,start,seconds,rows,ok\n";
        char line[160];
        for (const Ran* r : all) {
            snprintf(line, sizeof line, "%d,%lld,%d,%.6f,%.6f,%lld,%d\n", r->query->user,
                     static_cast<long long>(r->query->position), r->query->kind, r->start, r->seconds,
                     static_cast<long long>(r->rows), r->failed || r->disagreed ? 0 : 1);
            text += line;
        }
        writeWhole(*o.timings, text);
    }

    // The percentile p (0 to 1) of sorted times, by nearest rank.
    static double percentile(const std::vector<double>& sorted, double p) {
        if (sorted.empty()) return 0;
        const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
        return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
    }

    int summary() {
        std::map<int, std::vector<double>> times;  // by kind, of the queries that ran without error
        std::map<int, int64_t> count, failed;
        std::vector<double> every;
        int64_t ran = 0, errors = 0, mismatched = 0;
        std::vector<const Problem*> mismatches;
        std::map<std::string, std::pair<int64_t, const Query*>> byText;  // errors: how many, the first
        std::vector<std::string> textOrder;
        for (const auto& w : workers) {
            for (const Ran& r : w->ran) {
                ++ran;
                ++count[r.query->kind];
                if (r.failed) {
                    ++failed[r.query->kind];
                    ++errors;
                    continue;
                }
                times[r.query->kind].push_back(r.seconds);
                every.push_back(r.seconds);
            }
            for (const Problem& p : w->errors) {
                auto [at, added] = byText.try_emplace(p.text, 0, p.query);
                if (added) textOrder.push_back(p.text);
                ++at->second.first;
            }
            for (const Problem& p : w->mismatches) mismatches.push_back(&p);
            mismatched += static_cast<int64_t>(w->mismatches.size());
        }
        const bool interrupted = interruptSeen.load();
        printf("qemquery run: %s, %zu sessions, %s\n", database.c_str(), workers.size(),
               o.duration > 0 ? ("for " + std::to_string(static_cast<int64_t>(o.duration)) + " s").c_str()
                              : (std::to_string(o.passes) + (o.passes == 1 ? " pass" : " passes") +
                                 (o.limit > 0 ? " of the first " + std::to_string(o.limit) + " queries of each file" : ""))
                                    .c_str());
        if (interrupted) printf("interrupted after %.1f s: the figures are those of the queries that ran\n", elapsed);
        const int64_t good = ran - errors;
        printf("%lld queries in %.2f s: %.0f queries per hour, %lld errors\n", static_cast<long long>(ran), elapsed,
               elapsed > 0 ? static_cast<double>(good) * 3600.0 / elapsed : 0.0, static_cast<long long>(errors));
        printf("kind  queries  errors    p50 ms    p95 ms    p99 ms\n");
        const auto row = [](const char* kind, int64_t n, int64_t e, std::vector<double>& t) {
            std::sort(t.begin(), t.end());
            printf("%4s %8lld %7lld %9.2f %9.2f %9.2f\n", kind, static_cast<long long>(n), static_cast<long long>(e),
                   percentile(t, 0.50) * 1e3, percentile(t, 0.95) * 1e3, percentile(t, 0.99) * 1e3);
        };
        for (const auto& [kind, n] : count) row(std::to_string(kind).c_str(), n, failed[kind], times[kind]);
        row("all", ran, errors, every);
        for (const std::string& text : textOrder) {
            const auto& [n, first] = byText.at(text);
            printf("error of %lld %s (the first: %s): %s\n", static_cast<long long>(n), n == 1 ? "query" : "queries",
                   placeOf(*first).c_str(), text.c_str());
        }
        if (o.check) {
            std::sort(mismatches.begin(), mismatches.end(), [](const Problem* a, const Problem* b) {
                return std::make_pair(a->query->user, a->query->position) < std::make_pair(b->query->user, b->query->position);
            });
            if (mismatched == 0)
                printf("check: every answer of the %lld queries that ran agrees with %s\n", static_cast<long long>(good),
                       o.check->c_str());
            else
                printf("check: %lld answers of the %lld queries that ran disagree with %s:\n",
                       static_cast<long long>(mismatched), static_cast<long long>(good), o.check->c_str());
            for (const Problem* p : mismatches) printf("  %s: %s\n", placeOf(*p->query).c_str(), p->text.c_str());
        }
        fflush(stdout);
        return interrupted || errors > 0 || mismatched > 0 ? 1 : 0;
    }

    const RunOptions& o;
    std::unique_ptr<qemdata::DataSet> data;
    std::vector<Query> queries;
    ExpectedAnswers answers;
    SqlOptions sql;
    std::string database;
    std::vector<std::unique_ptr<Worker>> workers;
    Clock::time_point began, deadline;
    double elapsed = 0;
    std::atomic<uint64_t> doneCount{0}, errorCount{0};
};

}  // namespace

bool valueAgrees(const std::optional<std::string>& value, const std::string& answer, int decimals) {
    if (answer == "NULL" || !value) return answer == "NULL" && !value;
    const std::optional<long double> a = numberOf(*value), e = numberOf(answer);
    if (!a || !e) return false;
    const long double size = std::max(std::fabs(*a), std::fabs(*e));
    return std::fabs(*a - *e) <= 0.5L * std::pow(10.0L, -decimals) + 1e-9L * size;
}

int runWorkload(const RunOptions& options) { return Run(options).start(); }

}  // namespace qemquery
