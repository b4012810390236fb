// make load's server (localpg) as a process: started in a folder of its own,
// reused while it runs, loaded into by qemload, stopped, and started again
// with its data; folders it must not take are refused and left as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ScratchServer.h"
#include "pg/PgSession.h"

// The loader's code and test support, wherever their namespace lies.
namespace qemload {}
using namespace qemload;
using namespace qempg;
namespace fs = std::filesystem;
using scratch::Outcome;

namespace {

Outcome localpg(const std::string& command, const std::string& folder) {
    return scratch::run({LOCALPG_PATH, command, folder});
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(LocalServer, StartsReusesLoadsStopsAndStartsAgainWithItsData) {
    scratch::TempFolder data("localpg-data");
    scratch::makeDataSet(data.path(), 10, "0.1", 10);
    scratch::TempFolder folder("localpg");  // empty: the server's folder
    const std::string conninfo = "host=" + folder.path() + " user=qem dbname=postgres";

    const Outcome first = localpg("start", folder.path());
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, conninfo + "\n");
    EXPECT_TRUE(contains(first.err, "started the server in " + folder.path())) << first.err;
    {
        PgSession db(conninfo);
        EXPECT_EQ(db.queryValue("SHOW listen_addresses"), "");  // no TCP port
    }

    const Outcome again = localpg("start", folder.path());
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, conninfo + "\n");
    EXPECT_TRUE(contains(again.err, "reusing")) << again.err;

    const Outcome load = scratch::run({QEMLOAD_PATH, "--replace", conninfo, data.path()});
    ASSERT_EQ(load.status, 0) << load.err;

    EXPECT_EQ(localpg("status", folder.path()).status, 0);
    const Outcome stop = localpg("stop", folder.path());
    EXPECT_EQ(stop.status, 0) << stop.err;
    const Outcome stopped = localpg("status", folder.path());
    EXPECT_EQ(stopped.status, 3);
    EXPECT_EQ(stopped.out, "not running\n");
    const Outcome stopAgain = localpg("stop", folder.path());
    EXPECT_EQ(stopAgain.status, 0);
    EXPECT_TRUE(contains(stopAgain.err, "no server was running")) << stopAgain.err;

    const Outcome restart = localpg("start", folder.path());
    ASSERT_EQ(restart.status, 0) << restart.err;
    EXPECT_TRUE(contains(restart.err, "started")) << restart.err;
    {
        PgSession db(conninfo);
        EXPECT_EQ(db.queryValue("SELECT count(*) FROM qem.query"), "25000");
    }
    EXPECT_EQ(localpg("stop", folder.path()).status, 0);
}

TEST(LocalServer, RefusesFoldersItMustNotTakeAndLeavesThemAsTheyWere) {
    scratch::TempFolder parent("localpg-refused");
    // A folder with files of someone else's.
    const std::string used = parent.path() + "/used";
    fs::create_directory(used);
    std::ofstream(used + "/notes.txt") << "mine\n";
    Outcome o = localpg("start", used);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(contains(o.err, "neither empty nor the folder of a server")) << o.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(used), fs::directory_iterator()), 1);

    // A folder without a server has none to stop or ask about.
    o = localpg("stop", parent.path());
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(contains(o.err, "holds no server made here")) << o.err;
    EXPECT_EQ(localpg("status", parent.path()).status, 1);
    EXPECT_EQ(scratch::run({LOCALPG_PATH, "begin", parent.path()}).status, 2);

    // As root the server runs as 'nobody', which cannot enter a folder closed
    // to other users (the temporary folder is 0700, as /root is): the server's
    // folder goes under /var/tmp, and the folder asked for links to it.
    if (geteuid() == 0) {
        const std::string closed = parent.path() + "/pgdata";
        o = localpg("start", closed);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(contains(o.err, closed + " is closed to the server's user 'nobody'")) << o.err;
        ASSERT_TRUE(fs::is_symlink(closed));
        const std::string place = fs::read_symlink(closed).string();
        EXPECT_EQ(place.rfind("/var/tmp/qem-pgdata-", 0), 0u) << place;
        EXPECT_EQ(localpg("status", closed).status, 0);
        EXPECT_EQ(localpg("stop", closed).status, 0);
        fs::remove_all(place);
    }
}
