// qemload against a real server: a whole load with its row counts, sums and
// constraints; reloading with and without --replace; damaged data sets.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "LoadEnvironment.h"
#include "load/Tables.h"

namespace qemload {

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

// A copy of the data set (the files linked, not copied) in which one file may
// be rewritten. (Every file must keep the lines the data set implies, so a
// copy is whole but for its damage.)
struct DataSetCopy {
    explicit DataSetCopy(const std::string& from) {
        for (const auto& entry : fs::directory_iterator(from))
            fs::create_symlink(entry.path(), fs::path(folder.path()) / entry.path().filename());
    }
    std::string path(const std::string& name) const { return folder.path() + "/" + name; }
    void rewrite(const std::string& name, const std::function<void(std::vector<std::string>&)>& change) {
        std::vector<std::string> lines = readLines(path(name));
        change(lines);
        writeLines(path(name), lines);
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
        for (int u = 1; u <= 10; ++u) queries += static_cast<long long>(readLines(folder + "/" + queryFileName(u)).size());
        EXPECT_EQ(count(schema + ".query"), queries);
    }
};

TEST_F(LoadDataSetTest, LoadsEveryRowWithKeysAndChecksAndReloadsOnlyWithReplace) {
    const scratch::Outcome o = qemload({conninfo(), dataSet()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("schema qem created with every key and check in place"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("data set: 10 channels, density code 2, 10 users; every file has the lines these imply\n"
                         "the user count was not checked"),
              std::string::npos)
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

    // With --replace it replaces the schema; this copy gives histsale.qem in
    // parts cut in the middle of lines.
    DataSetCopy copy(dataSet());
    const std::string whole = [&] {
        std::ifstream in(copy.path("histsale.qem"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    fs::remove(copy.path("histsale.qem"));
    const size_t cuts[] = {0, 1000, whole.size() / 2 + 7, whole.size()};
    for (int p = 0; p < 3; ++p)
        std::ofstream(copy.path("histsale.qem.part000" + std::to_string(p)), std::ios::binary)
            << whole.substr(cuts[p], cuts[p + 1] - cuts[p]);
    const scratch::Outcome replaced =
        qemload({"--replace", "--users", "10", "--jobs", "3", conninfo(), copy.folder.path()});
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_NE(replaced.out.find("schema qem replaced"), std::string::npos) << replaced.out;
    EXPECT_EQ(replaced.out.find("not checked"), std::string::npos) << replaced.out;
    EXPECT_EQ(db().queryValue("SELECT to_regclass('qem.marker')::text"), "");
    const std::string wholeAgain = copy.path("histsale.qem");
    std::ofstream(wholeAgain, std::ios::binary) << whole;  // for the line counts
    expectLoaded("qem", copy.folder.path());
    EXPECT_EQ(leftoverSchemas("none"), "");
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
    {"LastPartDeleted",
     [](DataSetCopy& c) {
         // Parts of 400,000 lines each; the third, the rest, is missing.
         const std::vector<std::string> lines = readLines(c.path("histsale.qem"));
         fs::remove(c.path("histsale.qem"));
         for (size_t p = 0; p < 2; ++p)
             writeLines(c.path("histsale.qem.part000" + std::to_string(p)),
                        std::vector<std::string>(lines.begin() + 400000 * p, lines.begin() + 400000 * (p + 1)));
     },
     "histsale.qem: 800000 lines; the data set's currsale.qem (72900 lines, density code 2) implies 1239300", {}},
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

}  // namespace

}  // namespace qemload
