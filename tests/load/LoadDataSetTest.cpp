// qemload against a real server: a whole load with its row counts, sums and
// constraints; reloading with and without --replace; damaged data sets, with
// and without manifests.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "LoadEnvironment.h"
#include "integrity/Crc32.h"
#include "integrity/Manifest.h"
#include "dataset/Tables.h"

namespace qemload {

using namespace qemdata;

namespace fs = std::filesystem;

namespace {

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void writeLines(const std::string& path, const std::vector<std::string>& lines) {
    fs::remove(path);
    std::ofstream out(path, std::ios::binary);
    for (const auto& l : lines) out << l << '\n';
}

// Sum of a fixed-width decimal column over a file, in units of its last digit.
long long columnSum(const std::string& path, size_t column, size_t width) {
    long long sum = 0;
    for (const std::string& line : readLines(path)) {
        std::string field = line.substr(column - 1, width);
        field.erase(std::remove(field.begin(), field.end(), '.'), field.end());
        sum += std::stoll(field);
    }
    return sum;
}

std::string withDecimals(long long scaled, int decimals) {
    std::string digits = std::to_string(scaled);
    if (digits.size() <= static_cast<size_t>(decimals)) digits = std::string(decimals + 1 - digits.size(), '0') + digits;
    const size_t point = digits.size() - static_cast<size_t>(decimals);
    return digits.substr(0, point) + "." + digits.substr(point);
}

using scratch::readBytes;

// A copy of a data set (the files linked, not copied) in which files may be
// rewritten. (Every file must keep the lines the data set implies, so a copy
// is whole but for its damage.) Without the manifests unless asked for: a
// data set without them has only the checks of its files' own lines.
struct DataSetCopy {
    explicit DataSetCopy(const std::string& from, bool manifests = false) {
        for (const auto& entry : fs::directory_iterator(from))
            if (manifests || entry.path().filename().string().find(".manifest") == std::string::npos)
                fs::create_symlink(entry.path(), fs::path(folder.path()) / entry.path().filename());
    }
    std::string path(const std::string& name) const { return folder.path() + "/" + name; }
    void rewrite(const std::string& name, const std::function<void(std::vector<std::string>&)>& change) {
        std::vector<std::string> lines = readLines(path(name));
        change(lines);
        writeLines(path(name), lines);
    }
    // The file's bytes changed (never through the link into the original).
    void edit(const std::string& name, const std::function<void(std::string&)>& change) {
        std::string bytes = readBytes(path(name));
        change(bytes);
        fs::remove(path(name));
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    scratch::TempFolder folder{"qemload-copy"};
};

const std::map<std::string, std::string> tableFiles = {
    {"histsale", "histsale.qem"}, {"budget", "budget.qem"},     {"currsale", "currsale.qem"},
    {"currinv", "currinv.qem"},   {"prodcos", "prodcos.qem"},   {"custship", "custship.qem"},
    {"product", "prodtree.qem"},  {"customer", "custtree.qem"}, {"channel", "chantree.qem"},
    {"time", "timetree.qem"}};

class LoadDataSetTest : public LoadTest {
protected:
    long long count(const std::string& table) { return std::stoll(db().queryValue("SELECT count(*) FROM " + table)); }
    std::string leftoverSchemas(const std::string& name) {
        return db().queryValue("SELECT string_agg(nspname, ' ') FROM pg_namespace WHERE nspname = $1"
                               " OR nspname LIKE 'qemload\\_%'",
                               {name});
    }
    void expectLoaded(const std::string& schema, const std::string& folder) {
        for (const auto& [table, file] : tableFiles)
            EXPECT_EQ(count(schema + "." + table), static_cast<long long>(readLines(folder + "/" + file).size())) << table;
        EXPECT_EQ(count(schema + ".histinv"), 17 * static_cast<long long>(readLines(folder + "/histinv.qem").size()));
        long long queries = 0;
        for (int u = 1; u <= 10; ++u) queries += static_cast<long long>(readLines(folder + "/" + qem::queryFileName(u)).size());
        EXPECT_EQ(count(schema + ".query"), queries);
    }
};

TEST_F(LoadDataSetTest, LoadsEveryRowWithKeysAndChecksAndReloadsOnlyWithReplace) {
    const scratch::Outcome o = qemload({conninfo(), dataSet()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("data set: 10 channels, density code 2, 10 users; every file has the lines these imply\n"
                         "every file matches its phase's manifests (1 part a phase, 25 file parts): lines, bytes, "
                         "CRC-32 and content sum; checked as read in "),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find(" s of processor time\nschema qem created with every key and check in place"), std::string::npos)
        << o.out;
    expectLoaded("qem", dataSet());

    // Sums computed from the files.
    const std::string d = dataSet() + "/";
    EXPECT_EQ(db().queryValue("SELECT sum(units) FROM qem.histsale"), std::to_string(columnSum(d + "histsale.qem", 43, 10)));
    EXPECT_EQ(db().queryValue("SELECT sum(dollar_sales) FROM qem.histsale"),
              withDecimals(columnSum(d + "histsale.qem", 53, 10), 2));
    EXPECT_EQ(db().queryValue("SELECT sum(dollar_sales) FROM qem.budget"), withDecimals(columnSum(d + "budget.qem", 41, 10), 2));
    EXPECT_EQ(db().queryValue("SELECT sum(prod_cost) FROM qem.prodcos"), withDecimals(columnSum(d + "prodcos.qem", 31, 10), 3));
    long long inventory = 0;
    for (size_t m = 0; m < 17; ++m) inventory += columnSum(d + "histinv.qem", 25 + 10 * m, 10);
    EXPECT_EQ(db().queryValue("SELECT sum(inventory) FROM qem.histinv"), std::to_string(inventory));
    EXPECT_EQ(db().queryValue("SELECT count(*) FROM qem.query WHERE kind = 10 AND channel IS NULL AND scenario <> 'Actual'"),
              db().queryValue("SELECT count(*) FROM qem.query WHERE kind = 10 AND scenario <> 'Actual'"));

    // Every table has its primary key; 4 + 25 foreign keys; all validated.
    EXPECT_EQ(db().queryValue("SELECT count(*) FILTER (WHERE contype = 'p') || ' ' || count(*) FILTER (WHERE contype = 'f')"
                              " || ' ' || bool_and(convalidated) FROM pg_constraint WHERE connamespace = 'qem'::regnamespace"),
              "12 29 true");
    // The keys hold: a retailer (no leaf) or an unknown code is refused in a fact row.
    const std::string row = "SELECT %s, product, channel, '199606', 1, 1 FROM qem.currsale LIMIT 1";
    for (const char* customer : {"(SELECT code FROM qem.customer WHERE level = 'Retailer' LIMIT 1)", "'ZZZZZZZZZZZZ'"}) {
        char sql[256];
        snprintf(sql, sizeof sql, row.c_str(), customer);
        try {
            db().exec(std::string("INSERT INTO qem.currsale (customer, product, channel, month, units, dollar_sales) ") + sql);
            ADD_FAILURE() << "accepted " << customer;
        } catch (const SqlError& e) {
            EXPECT_EQ(e.sqlState, "23503") << e.what();
        }
    }

    // A second load without --replace is refused and changes nothing.
    db().exec("CREATE TABLE qem.marker (x integer)");
    const scratch::Outcome refused = qemload({conninfo(), dataSet()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("schema qem already exists (give --replace to replace it)"), std::string::npos) << refused.err;
    EXPECT_EQ(count("qem.marker"), 0);

    // With --replace it replaces the schema; this copy is the data set in
    // 3 parts, with histsale.qem's parts joined into the whole file, loaded
    // in pieces that cross the parts' bounds.
    DataSetCopy copy(partSet(), true);
    std::string joined;
    for (int p = 1; p <= 3; ++p) {
        joined += readBytes(copy.path("histsale.qem.part000" + std::to_string(p)));
        fs::remove(copy.path("histsale.qem.part000" + std::to_string(p)));
    }
    std::ofstream(copy.path("histsale.qem"), std::ios::binary) << joined;
    const scratch::Outcome replaced = qemload(
        {"--replace", "--users", "10", "--jobs", "3", "--sort-limit", "0", conninfo(), copy.folder.path()});
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_NE(replaced.out.find("every file matches its phase's manifests (3 parts a phase, 75 file parts)"),
              std::string::npos)
        << replaced.out;
    EXPECT_NE(replaced.out.find("schema qem replaced"), std::string::npos) << replaced.out;
    EXPECT_EQ(replaced.out.find("not checked"), std::string::npos) << replaced.out;
    EXPECT_EQ(db().queryValue("SELECT to_regclass('qem.marker')::text"), "");
    expectLoaded("qem", dataSet());  // the same lines as the whole files
    EXPECT_EQ(leftoverSchemas("none"), "");
}

// The superuser's load (above) makes the foreign keys with the empty tables
// and leaves the server's per-row check of them out; a role that may not do
// so gets them added after loading and validated by the server. Either way
// they are valid and refuse a row naming a non-leaf or an unknown member.
TEST_F(LoadDataSetTest, ARoleThatMayNotSkipTheRowChecksGetsTheForeignKeysValidatedByTheServer) {
    db().exec("DROP ROLE IF EXISTS qemload_plain");
    db().exec("CREATE ROLE qemload_plain LOGIN");
    db().exec("GRANT CREATE ON DATABASE postgres TO qemload_plain");
    std::string asPlain = conninfo();
    asPlain.replace(asPlain.find("user=qem"), 8, "user=qemload_plain");
    const scratch::Outcome o = qemload({"--schema", "plain_role", asPlain, dataSet()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("foreign keys: added after loading and validated by the server"), std::string::npos) << o.out;
    const scratch::Outcome superuser = qemload({"--schema", "superuser_role", conninfo(), dataSet()});
    ASSERT_EQ(superuser.status, 0) << superuser.err;
    EXPECT_NE(superuser.out.find("foreign keys: made with the empty tables"), std::string::npos) << superuser.out;
    for (const std::string schema : {"plain_role", "superuser_role"}) {
        EXPECT_EQ(db().queryValue("SELECT count(*) || ' ' || bool_and(convalidated) FROM pg_constraint WHERE contype = 'f'"
                                  " AND connamespace = '" + schema + "'::regnamespace"),
                  "29 true")
            << schema;
        for (const char* customer : {"(SELECT code FROM %s.customer WHERE level = 'Retailer' LIMIT 1)", "'ZZZZZZZZZZZZ'"}) {
            char named[128];
            snprintf(named, sizeof named, customer, schema.c_str());
            try {
                db().exec("INSERT INTO " + schema + ".budget SELECT " + named + ", product, month, 1, 1 FROM " + schema +
                          ".budget LIMIT 1");
                ADD_FAILURE() << schema << " accepted " << named;
            } catch (const SqlError& e) {
                EXPECT_EQ(e.sqlState, "23503") << e.what();
            }
        }
        db().exec("DROP SCHEMA " + schema + " CASCADE");
    }
    db().exec("DROP OWNED BY qemload_plain");
    db().exec("DROP ROLE qemload_plain");
}

// A data set of whole files written before manifests loads, with a warning
// that its completeness is not proven and its user count not checked.
TEST_F(LoadDataSetTest, WholeFilesWithoutManifestsLoadWithAWarning) {
    DataSetCopy copy(dataSet());
    const scratch::Outcome o = qemload({"--schema", "unproven", conninfo(), copy.folder.path()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("qemload: warning: " + copy.folder.path() +
                         " holds no manifests (phaseN.manifest), as data sets written before them: only the files' "
                         "lines are checked, the data set's completeness is not proven\n"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.out.find("no manifests: the data set's completeness is not proven\nthe user count was not checked"),
              std::string::npos)
        << o.out;
    expectLoaded("unproven", dataSet());
}

// The level columns roll a fact up as the parent links do: per dimension,
// the sums of a fact table by one level through its level column and
// through a recursive walk up the parent links.
TEST_F(LoadDataSetTest, LevelColumnsRollUpAsTheParentLinksDo) {
    const std::string s = plainSchema();
    struct RollUp {
        const char* dimension;
        const char* fact;      // table and its member column
        const char* column;
        const char* measure;
        const char* level;
        const char* levelColumn;
    };
    const RollUp rollUps[] = {{"product", "histsale", "product", "dollar_sales", "Division", "division"},
                              {"time", "histsale", "month", "dollar_sales", "Quarter", "quarter"},
                              {"customer", "budget", "customer", "dollar_sales", "Retailer", "retailer"},
                              {"product", "budget", "product", "units", "Group", "\"group\""}};
    for (const RollUp& r : rollUps) {
        const std::string dim = s + "." + r.dimension, fact = s + "." + r.fact;
        const std::string byColumn = "SELECT d." + std::string(r.levelColumn) + " AS member, sum(f." + r.measure +
                                     ") AS total FROM " + fact + " f JOIN " + dim + " d ON d.leaf_code = f." + r.column +
                                     " GROUP BY 1";
        const std::string byLinks =
            "WITH RECURSIVE up (leaf, member) AS (SELECT code, code FROM " + dim +
            " WHERE leaf_code IS NOT NULL UNION ALL SELECT up.leaf, d.parent FROM up JOIN " + dim +
            " d ON d.code = up.member WHERE d.parent IS NOT NULL) SELECT up.member, sum(f." + r.measure + ") AS total FROM " +
            fact + " f JOIN up ON up.leaf = f." + r.column + " JOIN " + dim + " d ON d.code = up.member AND d.level = '" +
            r.level + "' GROUP BY 1";
        auto listed = [&](const std::string& sums) {
            return db().queryValue("SELECT count(*) || ': ' || string_agg(member || ' ' || total, ', ' ORDER BY member) FROM (" +
                                   sums + ") s");
        };
        const std::string expected = listed(byLinks);
        EXPECT_EQ(listed(byColumn), expected) << r.dimension << " " << r.level;
        EXPECT_GT(std::stoi(expected), 1) << r.dimension << " " << r.level;
    }
}

// The data set in compressed parts loads the same rows as the whole files:
// per table the row count and the sum of a hash of every row (the inventory
// values, random in every writer, left out).
TEST_F(LoadDataSetTest, CompressedPartsLoadTheSameRows) {
    const std::string plain = plainSchema();
    const scratch::Outcome o = qemload({"--schema", "compressed", conninfo(), compressedSet()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("(3 parts a phase, 75 file parts): lines, bytes, CRC-32 and content sum; 75 compressed files "
                         "also by their compressed bytes and CRC-32"),
              std::string::npos)
        << o.out;
    std::vector<std::string> tables;
    for (const auto& [table, file] : tableFiles) tables.push_back(table);
    tables.insert(tables.end(), {"histinv", "query"});
    for (const std::string& table : tables) {
        auto rows = [&](const std::string& schema) {
            const std::string row = table.ends_with("inv") ? "(t.customer, t.product, t.month)" : "t";
            return db().queryValue("SELECT count(*) || ' ' || sum(hashtext(" + row + "::text)::numeric) FROM " + schema +
                                   "." + table + " t");
        };
        EXPECT_EQ(rows("compressed"), rows(plain)) << table;
    }
}

// Rows beyond --sort-memory are sorted in runs through temporary files in
// TMPDIR and merged as they are sent: the same rows as the load sorted in
// memory, stored in key order, no run file left behind; a key repeated in
// another run is still refused.
TEST_F(LoadDataSetTest, TablesSortedInRunsLoadTheSameRowsInKeyOrder) {
    const std::string plain = plainSchema();
    scratch::TempFolder runs("qemload-runs");
    const char* before = getenv("TMPDIR");
    const std::string saved = before ? before : "";
    setenv("TMPDIR", runs.path().c_str(), 1);
    const scratch::Outcome o = qemload({"--schema", "in_runs", "--sort-memory", "16", conninfo(), dataSet()});
    DataSetCopy copy(dataSet());
    std::string repeated;
    copy.rewrite("histsale.qem", [&](auto& l) {
        repeated = l[5].substr(0, 12);
        l[1100000] = l[5];
    });
    const scratch::Outcome refused = qemload({"--schema", "in_runs_refused", "--sort-memory", "16", conninfo(), copy.folder.path()});
    if (before)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::is_empty(runs.path()));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("table histsale: duplicate key: Key (customer, product, channel, month)=(" + repeated),
              std::string::npos)
        << refused.err;
    const std::map<std::string, std::string> keys = {{"histsale", "customer, product, channel, month"},
                                                     {"histinv", "customer, product, month"},
                                                     {"budget", "customer, product, month"},
                                                     {"prodcos", "product, scenario, month"}};
    for (const auto& [table, key] : keys) {
        auto rows = [&](const std::string& schema) {
            return db().queryValue("SELECT count(*) || ' ' || sum(hashtext((" + key + ")::text)::numeric) FROM " + schema +
                                   "." + table);
        };
        EXPECT_EQ(rows("in_runs"), rows(plain)) << table;
        // The key's columns have fixed widths: their text joined sorts as the key.
        std::string joined = key;
        for (size_t at; (at = joined.find(", ")) != std::string::npos;) joined.replace(at, 2, " || ");
        joined = "(" + joined + ") COLLATE \"C\"";
        EXPECT_EQ(db().queryValue("SELECT count(*) FROM (SELECT " + joined + " < lag(" + joined +
                                  ") OVER (ORDER BY ctid) AS back FROM in_runs." + table + ") r WHERE back"),
                  "0")
            << table << " is not stored in key order";
    }
    db().exec("DROP SCHEMA in_runs CASCADE");
}

// Each damages a copy of the data set and returns (part of) the message
// that must refuse it.
struct Damage {
    const char* name;
    std::function<std::string(DataSetCopy&)> apply;
    bool inPieces = false;  // the fact files loaded in pieces as they come
};

const Damage damages[] = {
    {"TruncatedLine",
     [](DataSetCopy& c) {
         c.rewrite("currsale.qem", [](auto& l) { l[99].resize(40); });
         return "currsale.qem line 100: has 40 characters, expected 56";
     }},
    {"TreeLineRemoved",
     [](DataSetCopy& c) {
         std::string store;
         c.rewrite("custtree.qem", [&](auto& l) {
             const auto at = std::find_if(l.begin(), l.end(), [](auto& s) { return s.substr(24, 5) == "Store"; });
             store = at->substr(0, 12);
             l.erase(at);
         });
         return "customer '" + store + "' is not in custtree.qem";
     }},
    {"UnknownCustomer",
     [](DataSetCopy& c) {
         c.rewrite("budget.qem", [](auto& l) { l[4].replace(0, 12, "ZZZZZZZZZZZZ"); });
         return "budget.qem line 5: customer 'ZZZZZZZZZZZZ' is not in custtree.qem";
     }},
    // Loaded in pieces on two connections, the pieces after the short line
    // start in the middle of lines: the first fault is still the one named.
    {"ShortLineInPieces",
     [](DataSetCopy& c) {
         c.rewrite("histsale.qem", [](auto& l) { l[99].resize(61); });
         return "histsale.qem line 100: has 61 characters, expected 62";
     },
     true},
    // In the third 16 MB piece: no earlier line is named instead.
    {"UnknownCustomerLateInPieces",
     [](DataSetCopy& c) {
         c.rewrite("histsale.qem", [](auto& l) { l[799999].replace(0, 12, "ZZZZZZZZZZZZ"); });
         return "histsale.qem line 800000: customer 'ZZZZZZZZZZZZ' is not in custtree.qem";
     },
     true},
    {"BadNumber",
     [](DataSetCopy& c) {
         c.rewrite("histsale.qem", [](auto& l) { l[6].replace(42, 10, "       1x2"); });
         return "histsale.qem line 7: columns 43-52 (units) '       1x2' is not a right-justified whole number";
     }},
    {"DuplicateTreeCode",
     [](DataSetCopy& c) {
         std::string code;
         c.rewrite("chantree.qem", [&](auto& l) {
             code = l[0].substr(0, 12);
             l.push_back(l[0]);
         });
         return "chantree.qem line 11: duplicate key: channel '" + code + "' is already on line 1";
     }},
    // Line 3 names another division than its tree's: the hierarchy file no
    // longer follows the tree file.
    {"HierarchyAncestorDiffers",
     [](DataSetCopy& c) {
         std::string listed, tree;
         c.rewrite("prodhier.qem", [&](auto& l) {
             tree = l[2].substr(60, 12);
             const size_t other = std::find_if(l.begin(), l.end(), [&](auto& s) { return s.substr(60, 12) != tree; }) - l.begin();
             listed = l[other].substr(60, 12);
             l[2].replace(60, 12, listed);
         });
         return "prodhier.qem line 3: columns 61-72 (ancestor code) '" + listed +
                "' differs from prodtree.qem, where the ancestor is '" + tree + "'";
     }},
    {"DuplicateFactRow",
     [](DataSetCopy& c) {
         c.rewrite("histsale.qem", [](auto& l) { l[1] = l[0]; });
         return "table histsale: duplicate key: Key (customer, product, channel, month)=(";
     }},
    {"MissingFile",
     [](DataSetCopy& c) {
         fs::remove(c.path("currinv.qem"));
         return "currinv.qem: file is missing";
     }},
    {"Unfinished",
     [](DataSetCopy& c) {
         const int32_t state[6] = {10, 10, 2, 1, 0, 2};  // after the second phase
         std::ofstream(c.path("qem1r2genstate"), std::ios::binary).write(reinterpret_cast<const char*>(state), 24);
         return "qem1r2genstate is present: the data set is not finished (phases done: 2 of 3)";
     }},
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class DamagedDataSetTest : public LoadDataSetTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedDataSetTest, IsRefusedWithItsMessageAndNothingPublished) {
    const Damage& d = GetParam();
    DataSetCopy copy(dataSet());
    const std::string expected = d.apply(copy);
    const scratch::Outcome o = qemload({"--schema", "damaged", "--sort-limit", d.inPieces ? "0" : "4096", conninfo(),
                                        copy.folder.path()});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(expected), std::string::npos) << "expected: " << expected << "\ngot: " << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(leftoverSchemas("damaged"), "");
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedDataSetTest, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

// A file with fewer lines than the data set implies, cut at a line end so
// that every line left is sound: refused before anything is loaded.
struct Cut {
    const char* name;
    std::function<void(DataSetCopy&)> apply;
    const char* message;
    std::vector<std::string> options;
};

void keepLines(DataSetCopy& c, const std::string& name, size_t lines) {
    c.rewrite(name, [&](auto& l) { l.resize(lines); });
}

const Cut cuts[] = {
    {"HistoricalSales", [](DataSetCopy& c) { keepLines(c, "histsale.qem", 1000000); },
     "histsale.qem: 1000000 lines; the data set's currsale.qem (72900 lines, density code 2) implies 1239300", {}},
    {"Budget", [](DataSetCopy& c) { keepLines(c, "budget.qem", 800000); },
     "budget.qem: 800000 lines; the data set's histinv.qem (76050 lines) implies 912600", {}},
    {"CurrentInventory", [](DataSetCopy& c) { keepLines(c, "currinv.qem", 76049); },
     "currinv.qem: 76049 lines; the data set's histinv.qem (76050 lines) implies 76050", {}},
    {"ProductCosts", [](DataSetCopy& c) { keepLines(c, "prodcos.qem", 200000); },
     "prodcos.qem: 200000 lines; the data set's chantree.qem (10 lines) implies 270000", {}},
    {"QueryFile", [](DataSetCopy& c) { keepLines(c, "qry004.qem", 1000); },
     "qry004.qem: 1000 lines; the data set's chantree.qem (10 lines) implies 2500", {}},
    {"CurrentSalesEmptied", [](DataSetCopy& c) { keepLines(c, "currsale.qem", 0); },
     "currsale.qem: 0 lines; no density code of a data set of 10 channels (the lines of chantree.qem) implies that "
     "many: the least, density code 2 implies 72900", {}},
    {"LastQueryFileDeleted", [](DataSetCopy& c) { fs::remove(c.path("qry010.qem")); },
     "qry010.qem: file is missing; --users 10 asks for qry001.qem .. qry010.qem and no more, and 9 query files are "
     "present",
     {"--users", "10"}},
};

void PrintTo(const Cut& c, std::ostream* os) { *os << c.name; }

class CutDataSetTest : public LoadDataSetTest, public ::testing::WithParamInterface<Cut> {};

TEST_P(CutDataSetTest, IsRefusedWithTheLinesFoundAndExpected) {
    const Cut& cut = GetParam();
    DataSetCopy copy(dataSet());
    cut.apply(copy);
    std::vector<std::string> args = cut.options;
    for (const std::string& a : {std::string("--schema"), std::string("cut"), conninfo(), copy.folder.path()})
        args.push_back(a);
    const scratch::Outcome o = qemload(args);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(cut.message), std::string::npos) << "expected: " << cut.message << "\ngot: " << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(leftoverSchemas("cut"), "");
}

INSTANTIATE_TEST_SUITE_P(Cuts, CutDataSetTest, ::testing::ValuesIn(cuts),
                         [](const auto& info) { return std::string(info.param.name); });

// A data set whose manifests are missing, disagree, or do not match its
// files: each case damages a copy of the data set in 3 parts (or, where it
// says so, of the whole files) and gives the message that must refuse it.
struct ManifestFault {
    const char* name;
    std::function<std::string(DataSetCopy&)> apply;
    bool parts = true;
    std::vector<std::string> options = {};
    bool compressed = false;  // a copy of the data set in compressed parts
};

// Line 1001 of histsale.qem.part0002 with one digit of its units changed:
// every line still reads as sound.
void changeOneDigit(DataSetCopy& c) {
    c.edit("histsale.qem.part0002", [](std::string& bytes) {
        char& digit = bytes[1000 * 63 + 51];
        digit = digit == '1' ? '2' : '1';
    });
}

const ManifestFault manifestFaults[] = {
    {"LastPartMissing",
     [](DataSetCopy& c) {
         for (const auto& entry : fs::directory_iterator(c.folder.path()))
             if (entry.path().string().ends_with(".part0003")) fs::remove(entry.path());
         return "phase1.manifest.part0003, phase2.manifest.part0003, phase3.manifest.part0003 are missing: each phase "
                "of the data set has 3 parts (phase1.manifest.part0001)";
     }},
    {"LastPartFileMissing",
     [](DataSetCopy& c) {
         fs::remove(c.path("histsale.qem.part0003"));
         return "histsale.qem.part0003: file is missing (phase1.manifest.part0003 describes it)";
     }},
    {"PartCutShort",
     [](DataSetCopy& c) {
         c.rewrite("currsale.qem.part0001", [](auto& l) { l.pop_back(); });
         return "currsale.qem.part0001: " + std::to_string(fs::file_size(c.path("currsale.qem.part0001"))) +
                " bytes, where phase2.manifest.part0001 says " +
                std::to_string(fs::file_size(c.path("currsale.qem.part0001")) + 57);
     }},
    {"ChangedByte",
     [](DataSetCopy& c) {
         changeOneDigit(c);
         return "histsale.qem.part0002: CRC-32 ";
     }},
    // The manifest made to agree with the damaged part's CRC-32: its content
    // sum still tells.
    {"ChangedByteWithItsCrc",
     [](DataSetCopy& c) {
         const std::string before = readBytes(c.path("histsale.qem.part0002"));
         changeOneDigit(c);
         const std::string after = readBytes(c.path("histsale.qem.part0002"));
         auto crcOf = [](const std::string& bytes) {
             qem::Crc32 crc;
             crc.add(bytes.data(), bytes.size());
             return qem::hex(crc.value(), 8);
         };
         c.edit("phase1.manifest.part0002",
                [&](std::string& text) { text.replace(text.find(crcOf(before)), 8, crcOf(after)); });
         return "histsale.qem.part0002: content sum ";
     }},
    {"OtherSeed",
     [](DataSetCopy& c) {
         std::string seed;
         c.edit("phase2.manifest.part0002", [&](std::string& text) {
             const size_t at = text.find("\nseed ") + 6;
             seed = text.substr(at, text.find('\n', at) - at);
             text.replace(at, seed.size(), "12345");
         });
         return "phase2.manifest.part0002 says seed 12345, where phase1.manifest.part0001 says seed " + seed +
                ": manifests of different data sets";
     }},
    {"UsersDiffer", [](DataSetCopy&) { return "--users 11: the data set has 10 users (phase1.manifest.part0001)"; },
     true, {"--users", "11"}},
    // A flipped byte in the middle of a compressed part: its frame is
    // refused, not the garbled lines it gives before its checksum.
    {"CorruptFrame",
     [](DataSetCopy& c) {
         c.edit("histsale.qem.part0002.zst", [](std::string& bytes) { bytes[bytes.size() / 2] ^= 0x10; });
         return "histsale.qem.part0002.zst: corrupt compressed data";
     },
     true, {}, true},
    {"PartCompressedAndNot",
     [](DataSetCopy& c) {
         std::ofstream(c.path("budget.qem.part0002"), std::ios::binary) << "";
         return "budget.qem.part0002 and budget.qem.part0002.zst are both present: the same part compressed and not";
     },
     true, {}, true},
    // Parts cut by hand, without manifests, whatever their lines.
    {"PartsWithoutManifests",
     [](DataSetCopy& c) {
         const std::vector<std::string> lines = readLines(c.path("histsale.qem"));
         fs::remove(c.path("histsale.qem"));
         for (size_t p = 0; p < 2; ++p)
             writeLines(c.path("histsale.qem.part000" + std::to_string(p)),
                        std::vector<std::string>(lines.begin() + 400000 * p, lines.begin() + 400000 * (p + 1)));
         return "histsale.qem.part0000: a part file, and the folder holds no manifests: a data set in parts is "
                "read only with the manifests its parts were written with (phaseN.manifest.partKKKK)";
     },
     false},
};

void PrintTo(const ManifestFault& f, std::ostream* os) { *os << f.name; }

class ManifestFaultTest : public LoadDataSetTest, public ::testing::WithParamInterface<ManifestFault> {};

TEST_P(ManifestFaultTest, IsRefusedNamingFileAndPartAndTheDatabaseStaysAsItWas) {
    const ManifestFault& fault = GetParam();
    DataSetCopy copy(fault.compressed ? compressedSet() : fault.parts ? partSet() : dataSet(), fault.parts);
    const std::string expected = fault.apply(copy);
    const std::string schemasSql = "SELECT string_agg(nspname, ' ' ORDER BY nspname) FROM pg_namespace";
    const std::string before = db().queryValue(schemasSql);
    std::vector<std::string> args = fault.options;
    // In pieces: a part's CRC-32 is combined from the pieces' CRCs.
    for (const std::string& a : {std::string("--schema"), std::string("refused"), std::string("--sort-limit"),
                                 std::string("0"), conninfo(), copy.folder.path()})
        args.push_back(a);
    const scratch::Outcome o = qemload(args);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(expected), std::string::npos) << "expected: " << expected << "\ngot: " << o.err;
    EXPECT_NE(o.err.find("nothing was published"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(db().queryValue(schemasSql), before);
}

INSTANTIATE_TEST_SUITE_P(ManifestFaults, ManifestFaultTest, ::testing::ValuesIn(manifestFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

}  // namespace qemload
