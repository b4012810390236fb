// qemexport as a process, against the loader's own load of the same data set
// (the loader tests' throwaway server and data sets) and against a second
// database, SQLite through its sqlite3 command line.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include "../integrity/ManifestVersions.h"
#include "LoadEnvironment.h"
#include "integrity/Crc32.h"
#include "export/TextRows.h"

namespace qemload {

using namespace qemdata;

namespace fs = std::filesystem;

namespace {

using scratch::readBytes;

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, separator)) fields.push_back(field);
    if (!line.empty() && line.back() == separator) fields.emplace_back();
    return fields;
}

// The rows of a CSV file of the export and the sum of one of its columns
// (none: "" ), as PostgreSQL prints sum() of it ("123.40" for a numeric(9,2)).
struct Column {
    long long rows = 0;
    std::string sum;
};

Column csvColumn(const std::string& path, const std::string& column) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> header = split(line, ',');
    const size_t at = static_cast<size_t>(std::find(header.begin(), header.end(), column) - header.begin());
    if (!column.empty()) {
        EXPECT_LT(at, header.size()) << column << " is not a column of " << path;
    }
    Column c;
    long long scaled = 0;
    size_t decimals = 0;
    while (std::getline(in, line)) {
        ++c.rows;
        if (column.empty()) continue;
        std::string value = split(line, ',').at(at);
        const size_t point = value.find('.');
        if (point != std::string::npos) {
            decimals = value.size() - point - 1;
            value.erase(point, 1);
        }
        scaled += std::stoll(value);
    }
    std::string digits = std::to_string(scaled);
    if (decimals > 0) {
        if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
        digits.insert(digits.size() - decimals, ".");
    }
    c.sum = digits;
    return c;
}

// The manifest's lines "NAME ROWS BYTES CRC32" by name.
std::map<std::string, std::vector<std::string>> manifestFiles(const std::string& folder) {
    std::map<std::string, std::vector<std::string>> files;
    std::ifstream in(folder + "/qemexport.manifest");
    std::string line;
    for (int header = 0; header < 4 && std::getline(in, line); ++header) {
    }
    while (std::getline(in, line)) {
        const std::vector<std::string> f = split(line, ' ');
        if (f.size() == 4) files[f[0]] = f;
    }
    return files;
}

// Each table with a numeric column whose sum must agree (dimensions: the
// rows only).
const std::vector<std::pair<std::string, std::string>> tableColumns = {
    {"product", ""},         {"customer", ""},        {"channel", ""},       {"time", ""},
    {"histsale", "dollar_sales"}, {"histinv", "inventory"}, {"budget", "units"}, {"currsale", "dollar_sales"},
    {"currinv", "inventory"}, {"prodcos", "prod_cost"}, {"custship", "ship_cost"}, {"query", "position"}};

class ExportTest : public LoadTest {
protected:
    static scratch::Outcome qemexport(std::vector<std::string> args) {
        args.insert(args.begin(), QEMEXPORT_PATH);
        return scratch::run(args);
    }
    // The temporary name a process of this host gives a file ("NAME.tmp-HOST-PID").
    static std::string temporaryOf(const std::string& name, pid_t pid) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        return name + ".tmp-" + host + "-" + std::to_string(pid);
    }
    // The whole-file data set exported as CSV once, for the tests that read
    // it: into a folder where an export killed earlier left its temporary
    // files (in the names of now and of before hosts were named), which
    // this one removes, saying so.
    const std::string& csvExport() {
        static std::unique_ptr<scratch::TempFolder> folder;
        if (!folder) {
            folder = std::make_unique<scratch::TempFolder>("qemexport-csv");
            const pid_t gone = fork();
            if (gone == 0) _exit(0);
            waitpid(gone, nullptr, 0);
            const std::string out = folder->path() + "/out";
            fs::create_directory(out);
            const std::string left[] = {temporaryOf("histsale.csv", gone), "budget.csv.tmp-" + std::to_string(gone)};
            for (const std::string& name : left) std::ofstream(out + "/" + name) << "half a file";
            // And one in the number of the export itself, which a process
            // that is gone had (the shell's number, kept by exec).
            const std::string own = temporaryOf("currsale.csv", 0);
            const std::string ownLead = own.substr(0, own.size() - 1);
            const scratch::Outcome o = scratch::run({"/bin/sh", "-c", "echo half > \"$0/" + ownLead + "$$\" && exec \"$@\"",
                                                     out, QEMEXPORT_PATH, "--jobs", "2", dataSet(), out});
            EXPECT_EQ(o.status, 0) << o.err;
            EXPECT_NE(o.err.find("qemexport: removed " + out + "/" + ownLead), std::string::npos) << o.err;
            for (const auto& entry : fs::directory_iterator(out))
                EXPECT_FALSE(entry.path().filename().string().starts_with(ownLead)) << entry.path();
            for (const std::string& name : left) {
                EXPECT_FALSE(fs::exists(out + "/" + name));
                EXPECT_NE(o.err.find("qemexport: removed " + out + "/" + name + ", left by a run that did not finish"),
                          std::string::npos)
                    << o.err;
            }
        }
        static const std::string path = folder->path() + "/out";
        return path;
    }
};

}  // namespace

// Per table the rows and the sum of a numeric column of the export are those
// of qemload's load of the same data set, and the manifest gives every file's
// rows and CRC-32.
TEST_F(ExportTest, HasTheRowsAndValuesOfTheLoadAndAManifestOfThem) {
    const std::string schema = plainSchema();
    const std::string out = csvExport();
    const auto manifest = manifestFiles(out);
    for (const auto& [table, column] : tableColumns) {
        const std::string file = out + "/" + table + ".csv";
        const Column c = csvColumn(file, column);
        EXPECT_EQ(std::to_string(c.rows), db().queryValue("SELECT count(*) FROM " + schema + "." + table)) << table;
        if (!column.empty()) {
            EXPECT_EQ(c.sum, db().queryValue("SELECT sum(" + column + ") FROM " + schema + "." + table)) << table;
        }
        ASSERT_TRUE(manifest.count(table + ".csv")) << table;
        EXPECT_EQ(manifest.at(table + ".csv")[1], std::to_string(c.rows)) << table;
        qem::Crc32 crc;
        const std::string bytes = readBytes(file);
        crc.add(bytes.data(), bytes.size());
        char hex[16];
        snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(crc.value()));
        EXPECT_EQ(manifest.at(table + ".csv")[3], hex) << table;
    }
    EXPECT_TRUE(manifest.count("schema.sql"));
    // schema.sql builds the same tables in PostgreSQL too.
    db().exec("CREATE SCHEMA portable");
    db().exec("SET search_path = portable");
    db().exec(readBytes(out + "/schema.sql"));
    EXPECT_EQ(db().queryValue("SELECT count(*) FROM pg_tables WHERE schemaname = 'portable'"), "12");
    db().exec("RESET search_path");
    db().exec("DROP SCHEMA portable CASCADE");
}

// The data set in compressed parts, exported as compressed TSV by one job,
// holds the same rows in the same order as the same data set in plain parts
// exported as CSV by two (but for the inventory values, which qempart draws
// at random).
TEST_F(ExportTest, CompressedPartsAsCompressedTsvHoldTheSameRows) {
    scratch::TempFolder folder("qemexport-tsv");
    const std::string tsv = folder.path() + "/tsv", csv = folder.path() + "/csv";
    const scratch::Outcome o = qemexport({"--format", "tsv", "--compress", "zstd:3", "--jobs", "1", compressedSet(), tsv});
    ASSERT_EQ(o.status, 0) << o.err;
    const scratch::Outcome plain = qemexport({"--jobs", "2", partSet(), csv});
    ASSERT_EQ(plain.status, 0) << plain.err;
    for (const auto& [table, column] : tableColumns) {
        const scratch::Outcome text = scratch::run({"/usr/bin/zstd", "-dcq", tsv + "/" + table + ".tsv.zst"});
        ASSERT_EQ(text.status, 0) << text.err;
        std::string converted;
        for (size_t i = 0; i < text.out.size(); ++i) {
            if (text.out[i] == '\t')
                converted += ',';
            else if (text.out[i] == '\\' && i + 1 < text.out.size() && text.out[i + 1] == 'N')
                ++i;  // a NULL: an empty field in CSV
            else
                converted += text.out[i];
        }
        std::string expected = readBytes(csv + "/" + table + ".csv");
        if (column == "inventory")
            for (std::string* text : {&converted, &expected}) {
                std::string keys;
                for (const std::string& line : split(*text, '\n'))
                    if (!line.empty()) keys += line.substr(0, line.rfind(',')) + "\n";
                *text = keys;
            }
        EXPECT_TRUE(converted == expected) << table;
    }
}

// schema.sql and the CSV files load into SQLite as docs/loading.md says, with
// every row, key and check.
TEST_F(ExportTest, LoadsIntoSqlite) {
    if (!fs::exists("/usr/bin/sqlite3")) FAIL() << "sqlite3 is missing (scripts/ensure-tools test installs it)";
    const std::string out = csvExport();
    scratch::TempFolder folder("qemexport-sqlite");
    const scratch::Outcome loaded = scratch::importIntoSqlite(out, folder.path() + "/qem.db");
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.out, "") << "foreign keys that name no row";
    const auto manifest = manifestFiles(out);
    for (const auto& [table, column] : tableColumns) {
        const scratch::Outcome n =
            scratch::run({"/usr/bin/sqlite3", folder.path() + "/qem.db", "SELECT count(*) FROM " + table});
        EXPECT_EQ(n.out, manifest.at(table + ".csv")[1] + "\n") << table << n.err;
    }
    // NULLs are NULLs: a root has no parent, only leaves have a leaf_code.
    const scratch::Outcome nulls = scratch::run(
        {"/usr/bin/sqlite3", folder.path() + "/qem.db",
         "SELECT count(*) FROM product WHERE parent IS NULL; SELECT count(*) FROM time WHERE leaf_code IS NOT NULL"});
    EXPECT_EQ(nulls.out, "1\n24\n");
}

// A damaged data set is refused with its file named, and nothing is left in
// the output folder under a final name: whether the fault is found before
// anything is read, while the files are converted, or only when the manifests
// are checked at the end; and the files of an earlier export are kept.
TEST_F(ExportTest, RefusesADamagedDataSetAndLeavesNothingUnderAFinalName) {
    struct Fault {
        const char* name;
        std::function<void(const std::string& copy)> apply;
        const char* message;
    };
    auto rewrite = [](const std::string& path, const std::function<void(std::string&)>& change) {
        std::string bytes = readBytes(path);
        change(bytes);
        fs::remove(path);
        std::ofstream(path, std::ios::binary) << bytes;
    };
    const Fault faults[] = {
        {"a line short", [&](const std::string& c) { rewrite(c + "/currinv.qem", [](std::string& b) { b.pop_back(); }); },
         "currinv.qem"},
        {"an unknown customer",
         [&](const std::string& c) {
             rewrite(c + "/histsale.qem", [](std::string& b) { b.replace(63 * 150000, 12, "ZZZZZZZZZZZZ"); });
         },
         "histsale.qem line 150001: customer 'ZZZZZZZZZZZZ' is not in custtree.qem"},
        {"a changed digit",
         [&](const std::string& c) {
             rewrite(c + "/budget.qem", [](std::string& b) {
                 char& digit = b[51 * 700000 + 39];  // the last digit of units
                 digit = digit == '1' ? '2' : '1';
             });
         },
         "budget.qem"},
        {"an earlier export", [](const std::string&) {}, "histsale.csv: exists"},
        {"an export still running", [](const std::string&) {}, "which may still run"},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        scratch::TempFolder copy("qemexport-damaged");
        for (const auto& entry : fs::directory_iterator(dataSet()))
            fs::create_symlink(entry.path(), fs::path(copy.path()) / entry.path().filename());
        f.apply(copy.path());
        scratch::TempFolder folder("qemexport-refused");
        const std::string out = folder.path() + "/out";
        const bool earlier = std::string(f.name) == "an earlier export", running = std::string(f.name) == "an export still running";
        const std::string kept = earlier ? "histsale.csv" : running ? temporaryOf("histsale.csv", getpid()) : "";
        if (!kept.empty()) {
            fs::create_directory(out);
            std::ofstream(out + "/" + kept) << "mine\n";
        }
        const scratch::Outcome o = qemexport({copy.path(), out});
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find(f.message), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
        std::vector<std::string> left;
        if (fs::exists(out))
            for (const auto& entry : fs::directory_iterator(out)) left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, kept.empty() ? std::vector<std::string>{} : std::vector<std::string>{kept});
        if (!kept.empty()) {
            EXPECT_EQ(readBytes(out + "/" + kept), "mine\n");
        }
    }
}

// Manifests of version 2 are read with their own line hash: the data set
// exports; a version-2 first line over version-3 sums is refused.
TEST_F(ExportTest, ReadsManifestsOfVersionTwo) {
    for (const bool sumsOfVersionTwo : {true, false}) {
        SCOPED_TRACE(sumsOfVersionTwo ? "version-2 sums" : "version-3 sums");
        scratch::TempFolder copy("qemexport-version2");
        for (const auto& entry : fs::directory_iterator(dataSet())) {
            const fs::path target = fs::path(copy.path()) / entry.path().filename();
            if (!entry.path().filename().string().starts_with("phase")) {
                fs::create_symlink(entry.path(), target);
                continue;
            }
            std::string text = readBytes(entry.path());
            text = sumsOfVersionTwo ? qemtest::asVersionTwo(text, dataSet(), false) : text.replace(13, 1, "2");
            std::ofstream(target, std::ios::binary) << text;
        }
        scratch::TempFolder folder("qemexport-version2-out");
        const scratch::Outcome o = qemexport({copy.path(), folder.path() + "/out"});
        EXPECT_EQ(o.status, sumsOfVersionTwo ? 0 : 1) << o.err;
        if (!sumsOfVersionTwo) {
            EXPECT_NE(o.err.find("content sum"), std::string::npos) << o.err;
        }
    }
}

}  // namespace qemload

namespace qemexport {

// The rows' text: quoted (CSV) or escaped (TSV) only where a value needs it,
// NULL told from an empty value, amounts with their decimals.
TEST(TextRowsTest, QuotesAndEscapesOnlyWhereNeeded) {
    struct Case {
        TextRows::Format format;
        std::vector<std::string> values;  // "\x01" stands for NULL
        std::string text;
    };
    const Case cases[] = {
        {TextRows::csv, {"ABC123", "\x01", "", "x"}, "ABC123,,\"\",x\n"},
        {TextRows::csv, {"a,b", "say \"hi\"", "two\nlines", "back\\slash"},
         "\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",back\\slash\n"},
        {TextRows::tsv, {"ABC123", "\x01", "", "a,b"}, "ABC123\t\\N\t\ta,b\n"},
        {TextRows::tsv, {"tab\there", "back\\slash", "two\nlines", "say \"hi\""},
         "tab\\there\tback\\\\slash\ttwo\\nlines\tsay \"hi\"\n"},
    };
    for (const Case& c : cases) {
        TextRows rows(c.format);
        rows.begin(static_cast<int>(c.values.size()));
        for (const std::string& v : c.values) {
            if (v == "\x01")
                rows.null();
            else
                rows.text(v);
        }
        rows.finish();
        EXPECT_EQ(std::string(rows.data(), rows.size()), c.text);
    }
    TextRows amounts(TextRows::csv);
    const std::pair<int64_t, int> numbers[] = {{0, 2}, {5, 2}, {-5, 2}, {123456, 2}, {-1234567, 3}, {42, 0}};
    for (const auto& [scaled, scale] : numbers) {
        amounts.begin(1);
        amounts.decimal(scaled, scale);
    }
    amounts.finish();
    EXPECT_EQ(std::string(amounts.data(), amounts.size()), "0.00\n0.05\n-0.05\n1234.56\n-1234.567\n42\n");
}

}  // namespace qemexport
