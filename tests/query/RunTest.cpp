// qemquery run as a process against the two databases it runs on: the
// loader tests' throwaway PostgreSQL server, with the data set loaded by
// qemload, and an SQLite database made from qemexport's files; every answer
// checked against qemquery answers, which computes them from the files.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "LoadEnvironment.h"
#include "dataset/DataSet.h"
#include "query/Answers.h"
#include "query/Driver.h"
#include "query/QueryFiles.h"
#include "query/Session.h"
#include "query/Sql.h"

namespace qemload {

namespace fs = std::filesystem;

namespace {

using scratch::readBytes;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// (user, position) of the lines "  user U position P kind K: ..." that list
// the answers a run found wrong.
std::set<std::pair<int, int>> mismatchesOf(const std::string& out) {
    std::set<std::pair<int, int>> found;
    for (const std::string& line : linesOf(out)) {
        int user = 0, position = 0;
        if (sscanf(line.c_str(), "  user %d position %d kind", &user, &position) == 2) found.insert({user, position});
    }
    return found;
}

class QueryRunTest : public LoadTest {
protected:
    static scratch::Outcome qemquery(std::vector<std::string> args) {
        args.insert(args.begin(), QEMQUERY_PATH);
        return scratch::run(args);
    }
    static scratch::Outcome sqlite(const std::string& database, const std::string& sql) {
        return scratch::run({"/usr/bin/sqlite3", "-bail", database, sql});
    }

    // The answers of the data set, computed from its files once.
    const std::string& answers() {
        static std::unique_ptr<scratch::TempFolder> folder;
        static std::string path;
        if (!folder) {
            folder = std::make_unique<scratch::TempFolder>("qemquery-answers");
            path = folder->path() + "/answers.txt";
            const scratch::Outcome o = qemquery({"answers", "--out", path, dataSet()});
            EXPECT_EQ(o.status, 0) << o.err;
        }
        return path;
    }

    // The data set in an SQLite database, made once from qemexport's files as
    // docs/loading.md does it.
    const std::string& sqliteDatabase() {
        static std::unique_ptr<scratch::TempFolder> folder;
        static std::string path;
        if (!folder) {
            folder = std::make_unique<scratch::TempFolder>("qemquery-sqlite");
            path = folder->path() + "/qem.db";
            const std::string out = folder->path() + "/export";
            const scratch::Outcome exported = scratch::run({QEMEXPORT_PATH, dataSet(), out});
            EXPECT_EQ(exported.status, 0) << exported.err;
            const scratch::Outcome loaded = scratch::importIntoSqlite(out, path);
            EXPECT_EQ(loaded.status, 0) << loaded.err;
            EXPECT_EQ(loaded.out, "") << "foreign keys that name no row";
            fs::remove_all(out);
        }
        return path;
    }

    // The two databases: PostgreSQL's (the schema qemload made) and SQLite's.
    struct Database {
        const char* name;
        std::string conninfo;
        std::vector<std::string> options;
    };
    std::vector<Database> databases() {
        return {{"PostgreSQL", conninfo(), {"--schema", plainSchema()}}, {"SQLite", "sqlite:" + sqliteDatabase(), {}}};
    }
};

// On both databases the first 100 queries of every file (queries of every
// kind) return the answers that qemquery answers computes from the files:
// the run says so, exits with 0 and writes a timing of each query.
TEST_F(QueryRunTest, EveryAnswerAgreesOnPostgresqlAndSqlite) {
    if (!fs::exists("/usr/bin/sqlite3")) FAIL() << "sqlite3 is missing (scripts/ensure-tools test installs it)";
    for (const Database& db : databases()) {
        SCOPED_TRACE(db.name);
        scratch::TempFolder folder("qemquery-run");
        const std::string timings = folder.path() + "/timings.csv";
        std::vector<std::string> args = {"run", "--limit", "100", "--check", answers(), "--timings", timings};
        args.insert(args.end(), db.options.begin(), db.options.end());
        args.insert(args.end(), {db.conninfo, dataSet()});
        const scratch::Outcome o = qemquery(args);
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        EXPECT_TRUE(contains(o.out, "1000 queries in ")) << o.out;
        EXPECT_TRUE(contains(o.out, "check: every answer of the 1000 queries that ran agrees with")) << o.out;
        const std::vector<std::string> rows = linesOf(readBytes(timings));
        ASSERT_EQ(rows.size(), 1001u);
        EXPECT_EQ(rows[0], "user,position,kind,start,seconds,rows,ok");
        std::set<int> kinds;
        for (size_t i = 1; i < rows.size(); ++i) {
            int user = 0, position = 0, kind = 0, count = 0, ok = 0;
            double start = 0, seconds = 0;
            ASSERT_EQ(sscanf(rows[i].c_str(), "%d,%d,%d,%lf,%lf,%d,%d", &user, &position, &kind, &start, &seconds,
                             &count, &ok), 7)
                << rows[i];
            EXPECT_TRUE(count == 1 && ok == 1 && position <= 100) << rows[i];
            kinds.insert(kind);
        }
        EXPECT_EQ(kinds, (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    }
}

// Kind 10's statement of every scenario and measure (the 26 templates, all
// of them in every file) returns the answer on both databases.
TEST_F(QueryRunTest, KindTenOfEveryScenarioAndMeasureAgrees) {
    const std::unique_ptr<DataSet> data = DataSet::open(dataSet(), 0, "test");
    const std::vector<qemquery::Query> queries = qemquery::readQueries(*data);
    const qemquery::ExpectedAnswers expected = qemquery::parseAnswers(readBytes(answers()), answers());
    for (const Database& db : databases()) {
        SCOPED_TRACE(db.name);
        const bool lite = db.conninfo.rfind("sqlite:", 0) == 0;
        const std::unique_ptr<qemquery::Session> session =
            lite ? qemquery::openSqlite(db.conninfo.substr(7)) : qemquery::openPostgres(db.conninfo, "test");
        qemquery::SqlOptions options;
        options.dialect = lite ? qemquery::Dialect::sqlite : qemquery::Dialect::postgresql;
        options.schema = lite ? "" : db.options.back();
        std::set<std::pair<int, int>> templates;
        for (const qemquery::Query& q : queries) {
            if (q.kind != 10) continue;
            templates.insert({static_cast<int>(q.scenario), static_cast<int>(q.measure)});
            const std::string sql = qemquery::querySql(q, data->dims, options);
            const qemquery::Session::Table rows = session->run(sql);
            const std::string answer = expected.answers.at({q.user, q.position}).second.at(0);
            ASSERT_EQ(rows.size(), 1u) << sql;
            EXPECT_TRUE(qemquery::valueAgrees(rows[0].at(0), answer, qemquery::answerColumns(q)[0].decimals))
                << qemquery::queryComment(q) << ": " << rows[0][0].value_or("NULL") << ", answers " << answer << "\n"
                << sql;
        }
        EXPECT_EQ(templates.size(), 26u);
    }
}

// A database whose one sales row has other units than the data set: the
// check lists exactly the queries whose cells hold that row (found here from
// the query table and the dimension tables alone), and the run exits with 1.
TEST_F(QueryRunTest, ACheckFindsExactlyTheQueriesOfAChangedRow) {
    scratch::TempFolder folder("qemquery-changed");
    const std::string db = folder.path() + "/changed.db";
    fs::copy_file(sqliteDatabase(), db);
    // A row in the cell of a query of user 1 that names a product and a
    // customer; one with sales, so that every ratio of a cell that holds it
    // changes with its units (a cell without sales has a NULL MarginPct and
    // an AvgSellingPrice of 0 whatever its units).
    const scratch::Outcome row = sqlite(
        db,
        "SELECT s.customer || ' ' || s.product || ' ' || s.channel || ' ' || s.month FROM histsale s"
        " JOIN product p ON p.leaf_code = s.product JOIN customer c ON c.leaf_code = s.customer"
        " JOIN (SELECT product, customer FROM query WHERE user_number = 1 AND position <= 100 AND kind IN (8, 9)"
        "       ORDER BY position LIMIT 1) q"
        "   ON q.product IN (p.code, p.class, p.\"group\", p.family, p.line, p.division)"
        "  AND q.customer IN (c.code, c.retailer) WHERE s.dollar_sales > 0 ORDER BY 1 LIMIT 1");
    ASSERT_EQ(row.status, 0) << row.err;
    std::istringstream fields(row.out);
    std::string customer, product, channel, month;
    ASSERT_TRUE(fields >> customer >> product >> channel >> month) << row.out;
    const std::string key = "customer = '" + customer + "' AND product = '" + product + "' AND channel = '" +
                            channel + "' AND month = '" + month + "'";
    ASSERT_EQ(sqlite(db, "UPDATE histsale SET units = units + 1000 WHERE " + key).status, 0);
    // The queries that sum that row's units (or its cost): every member
    // they name is the row's member or one above it.
    const auto atOrAbove = [](const std::string& table, const std::string& code, std::vector<std::string> levels) {
        std::string sql = "SELECT code FROM " + table + " WHERE code = '" + code + "'";
        for (const std::string& level : levels) sql += " UNION SELECT " + level + " FROM " + table + " WHERE code = '" + code + "'";
        return sql;
    };
    const scratch::Outcome cells = sqlite(
        db, "SELECT user_number || ' ' || position FROM query WHERE user_number <= 3 AND position <= 100"
            " AND (kind <= 9 OR (scenario = 'Actual' AND measure IN ('Units', 'DollarCost', 'Margin', 'MarginPct',"
            " 'AvgSellingPrice')))"
            " AND (product IS NULL OR product IN (" +
                atOrAbove("product", product, {"class", "\"group\"", "family", "line", "division"}) + "))" +
            " AND (customer IS NULL OR customer IN (" + atOrAbove("customer", customer, {"retailer"}) + "))" +
            " AND (channel IS NULL OR channel = '" + channel + "')" +
            " AND (time IS NULL OR time IN (" + atOrAbove("time", month, {"quarter", "year"}) + "))");
    ASSERT_EQ(cells.status, 0) << cells.err;
    std::set<std::pair<int, int>> expected;
    for (const std::string& line : linesOf(cells.out)) {
        int user = 0, position = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%d %d", &user, &position), 2) << line;
        expected.insert({user, position});
    }
    ASSERT_FALSE(expected.empty());
    const scratch::Outcome o =
        qemquery({"run", "--users", "3", "--limit", "100", "--check", answers(), "sqlite:" + db, dataSet()});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_TRUE(contains(o.out, std::to_string(expected.size()) + " answers of the 300 queries that ran disagree"))
        << o.out;
    EXPECT_EQ(mismatchesOf(o.out), expected) << o.out;
}

// What keeps a run from starting is one clear message, exit status 1,
// before any query runs: a query file with an unknown kind or member, a
// schema without the query table, a wrong password, no server.
TEST_F(QueryRunTest, BadInputIsOneClearError) {
    const std::string secret = "Sekr3tWord";
    // A role that needs a password: the server's first rule for it.
    const std::string hba = env.server->folder() + "/data/pg_hba.conf";
    const std::string rules = readBytes(hba);
    if (!contains(rules, "qemquery_reader")) {
        std::ofstream(hba, std::ios::trunc) << "local all qemquery_reader scram-sha-256\n" << rules;
        db().exec("CREATE ROLE qemquery_reader LOGIN PASSWORD 'right'");
        db().queryValue("SELECT pg_reload_conf()");
    }
    db().exec("CREATE SCHEMA IF NOT EXISTS empty_schema");
    const std::string socket = env.server->folder();
    // The first query whose second field is a product (kinds 5 and 10 may
    // name a customer or the word Product there).
    const std::string queries = readBytes(dataSet() + "/qry001.qem");
    size_t line = 1;
    while (line * 169 <= queries.size() && (queries.substr((line - 1) * 169 + 22, 2) == " 5" ||
                                             queries.substr((line - 1) * 169 + 22, 2) == "10"))
        ++line;
    const std::string query = queries.substr((line - 1) * 169, 168);
    const std::string kind = query.substr(0, 24), product = query.substr(24, 12);
    const std::string where = "qry001.qem line " + std::to_string(line) + ": ";
    // A copy of the data set with one query file's line changed; without
    // manifests, so that the line itself is read and refused.
    scratch::TempFolder copies("qemquery-bad");
    const auto changed = [&](const std::string& name, const std::string& from, const std::string& to) {
        const std::string copy = copies.path() + "/" + name;
        fs::create_directory(copy);
        for (const auto& entry : fs::directory_iterator(dataSet()))
            if (!entry.path().filename().string().starts_with("phase") && entry.path().filename() != "qry001.qem")
                fs::create_symlink(entry.path(), copy / entry.path().filename());
        std::string text = readBytes(dataSet() + "/qry001.qem");
        const size_t start = (line - 1) * 169;
        const size_t at = text.find(from, start);
        EXPECT_LT(at, start + 169) << name;
        if (at < start + 169) text.replace(at, from.size(), to);
        std::ofstream(copy + "/qry001.qem", std::ios::binary) << text;
        return copy;
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"an unknown kind", {conninfo(), changed("kind", kind, std::string(22, ' ') + "11")},
         where + "columns 1-24 (kind) '" + std::string(22, ' ') + "11' is not a query kind 1 to 10"},
        {"an unknown member", {conninfo(), changed("member", product, "ZZZZZZZZZZZZ")},
         where + "product 'ZZZZZZZZZZZZ' is not in prodtree.qem"},
        {"a schema without the query table", {"--schema", "empty_schema", conninfo(), dataSet()},
         "the database has no table \"empty_schema\".query of a data set"},
        {"a wrong password",
         {"host=" + socket + " user=qemquery_reader password=" + secret + " dbname=postgres", dataSet()},
         "password authentication failed for user \"qemquery_reader\""},
        {"no server", {"host=" + copies.path() + " user=qem dbname=postgres", dataSet()}, "cannot connect: "},
        {"no SQLite database", {"sqlite:" + copies.path() + "/none.db", dataSet()}, "cannot open the SQLite database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"run"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const scratch::Outcome o = qemquery(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "");
        // The message is the last (and, but for the warning of a data set
        // without manifests, the only) line.
        const std::vector<std::string> lines = linesOf(o.err);
        ASSERT_FALSE(lines.empty());
        const size_t first = lines[0].rfind("qemquery: warning: ", 0) == 0 ? 1 : 0;
        EXPECT_TRUE(lines.size() > first && lines[first].rfind("qemquery: ", 0) == 0 && contains(o.err, c.message))
            << o.err;
        EXPECT_FALSE(contains(o.err, secret)) << o.err;
    }
}

// A session whose connection is lost counts an error with the server's text
// and stops; the others go on to the end of the run.
TEST_F(QueryRunTest, ALostConnectionEndsOnlyItsSession) {
    scratch::TempFolder folder("qemquery-lost");
    const std::string timings = folder.path() + "/timings.csv";
    scratch::Outcome o;
    std::thread run([&] {
        o = qemquery({"run", "--users", "3", "--duration", "4", "--timings", timings, "--schema", plainSchema(),
                      conninfo(), dataSet()});
    });
    std::string ended;
    for (int tries = 0; tries < 300 && ended != "t"; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ended = db().queryValue(
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'qemquery user 2'");
    }
    run.join();
    ASSERT_EQ(ended, "t") << "no session of user 2 was seen";
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_TRUE(contains(o.out, "error of 1 query (the first: user 2 ")) << o.out;
    EXPECT_TRUE(contains(o.out, "terminating connection") || contains(o.out, "server closed the connection")) << o.out;
    // User 2's queries end before the others' do.
    double last[4] = {0, 0, 0, 0};
    for (const std::string& row : linesOf(readBytes(timings))) {
        int user = 0;
        double start = 0;
        if (sscanf(row.c_str(), "%d,%*d,%*d,%lf", &user, &start) == 2 && user >= 1 && user <= 3)
            last[user] = std::max(last[user], start);
    }
    EXPECT_GT(last[1], last[2] + 1) << o.out;
    EXPECT_GT(last[3], last[2] + 1) << o.out;
}

}  // namespace

}  // namespace qemload
