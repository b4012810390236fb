// The loader's pieces: numeric values in binary COPY, the command line and
// passwords in messages.
#include <cstring>
#include <fstream>
#include <tuple>

#include "LoadEnvironment.h"
#include "export/TextRows.h"
#include "load/CopyRows.h"

namespace qemload {

using namespace qemdata;

namespace {

class PiecesOnServerTest : public LoadTest {};

// The binary form of numeric, read back by the server, equals the CSV text
// of the same values.
TEST_F(PiecesOnServerTest, DecimalsArriveExactly) {
    const std::pair<long long, int> values[] = {{0, 2},        {69900, 2},        {-5, 2},       {123456789, 2},
                                                {1, 3},        {99999999999, 3}, {100000000, 2}, {10000, 2},
                                                {-100000, 3},  {5000, 3}};
    BinaryRows binary;
    binary.raw(BinaryRows::header());
    qemexport::TextRows csv(qemexport::TextRows::csv);
    for (const auto& [scaled, scale] : values) {
        binary.begin(1);
        binary.decimal(scaled, scale);
        csv.begin(1);
        csv.decimal(scaled, scale);
    }
    binary.raw(BinaryRows::trailer());
    csv.finish();
    db().exec("CREATE TEMPORARY TABLE decimals (n serial, v numeric)");
    db().beginCopy("COPY decimals (v) FROM STDIN (FORMAT binary)");
    db().putCopy(binary.data(), binary.size());
    db().endCopy();
    std::string loaded;
    for (const std::string& row : db().queryRows("SELECT v FROM decimals ORDER BY n")) loaded += row + "\n";
    EXPECT_EQ(loaded, std::string(csv.data(), csv.size()));
}

TEST_F(PiecesOnServerTest, CommandLineErrorsAndPasswordsStayOutOfMessages) {
    const std::string secret = "Sekr3tWord";
    const std::string socket = env.server->folder();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{}, 2, "CONNINFO is missing"},
        {{"--jobs", "0", "x"}, 2, "--jobs needs a number from 1 to 64"},
        {{"--schema", "a;b", "x"}, 2, "schema name 'a;b' may hold only letters, digits and underscores"},
        {{"--frobnicate", "x"}, 2, "unknown option '--frobnicate'"},
        {{"host=" + socket + " user=qem password=" + secret + " dbname=nosuch", dataSet()}, 1, "\"nosuch\" does not exist"},
        {{"postgresql://qem:" + secret + "@/nosuch?host=" + socket, dataSet()}, 1, "\"nosuch\" does not exist"},
        {{"host=" + socket + " password=" + secret + " junk", dataSet()}, 1, "CONNINFO is neither"},
    };
    for (const Case& c : cases) {
        const scratch::Outcome o = qemload(c.args);
        EXPECT_EQ(o.status, c.status) << c.message;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find(secret), std::string::npos) << o.err;
    }
}

}  // namespace

}  // namespace qemload
