// qemload replaces only a schema it published and nothing outside it, and
// drops what an unfinished load left behind once that load is gone.
#include <chrono>
#include <future>
#include <thread>

#include "LoadEnvironment.h"

namespace qemload {

using namespace qemdata;

namespace {

class SchemaSafetyTest : public LoadTest {
protected:
    // A schema with the mark of one qemload published, and two of its tables.
    void makePublished(const std::string& name) {
        db().exec("CREATE SCHEMA " + name);
        db().exec("COMMENT ON SCHEMA " + name + " IS 'qemload data set: 10 channels, density code 2, 10 users'");
        db().exec("CREATE TABLE " + name + ".product (code varchar(12) PRIMARY KEY)");
        db().exec("CREATE TABLE " + name + ".histsale (product varchar(12))");
    }
    bool exists(const std::string& relation) { return !db().queryValue("SELECT to_regclass($1)::text", {relation}).empty(); }
    std::string leftovers() {
        return db().queryValue("SELECT string_agg(nspname, ' ') FROM pg_namespace WHERE nspname LIKE 'qemload\\_%'");
    }
    void TearDown() override {
        if (!session) return;
        for (const char* schema : {"kept", "outside", "plain", "lost", "qemload_1_0000abcd"})
            db().exec(std::string("DROP SCHEMA IF EXISTS ") + schema + " CASCADE");
        db().exec("DROP TABLE IF EXISTS public.keep");
    }
};

// Every right that publishing needs is checked before a byte of the data
// set is read: the folder here does not even exist.
TEST_F(SchemaSafetyTest, ARoleThatCouldNotPublishIsRefusedBeforeReading) {
    makePublished("kept");
    db().exec("DROP ROLE IF EXISTS qemload_other");
    db().exec("CREATE ROLE qemload_other LOGIN");
    std::string asOther = conninfo();
    asOther.replace(asOther.find("user=qem"), 8, "user=qemload_other");
    const struct {
        const char* grant;
        const char* message;
    } cases[] = {
        {"REVOKE CREATE ON DATABASE postgres FROM qemload_other",
         "role qemload_other may not create schemas in database postgres"},
        {"GRANT CREATE ON DATABASE postgres TO qemload_other",
         "schema kept belongs to role qem, and role qemload_other may not drop it to replace it"},
    };
    for (const auto& c : cases) {
        db().exec(c.grant);
        const scratch::Outcome o = qemload({"--replace", "--schema", "kept", asOther, "/nonexistent/data/set"});
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
    EXPECT_TRUE(exists("kept.product"));
    db().exec("REVOKE CREATE ON DATABASE postgres FROM qemload_other");
    db().exec("DROP ROLE qemload_other");
}

TEST_F(SchemaSafetyTest, ReplaceLeavesWhatIsNotItsOwn) {
    // Objects of another schema that depend on the schema to replace.
    makePublished("kept");
    db().exec("CREATE SCHEMA outside");
    db().exec("CREATE VIEW outside.sales AS SELECT * FROM kept.histsale");
    db().exec("CREATE TABLE outside.orders (product varchar(12) REFERENCES kept.product)");
    const scratch::Outcome dependents = qemload({"--replace", "--schema", "kept", conninfo(), dataSet()});
    EXPECT_EQ(dependents.status, 1);
    for (const char* named : {"schema kept is not replaced: objects of other schemas depend on it",
                              "\n  constraint orders_product_fkey on table outside.orders\n  view outside.sales\n"})
        EXPECT_NE(dependents.err.find(named), std::string::npos) << dependents.err;
    EXPECT_TRUE(exists("outside.sales"));
    EXPECT_EQ(db().queryValue("SELECT count(*) FROM pg_constraint WHERE conrelid = 'outside.orders'::regclass"
                              " AND contype = 'f'"),
              "1");

    // The database's own schemas and a schema qemload did not publish.
    db().exec("CREATE SCHEMA plain");
    db().exec("CREATE TABLE plain.keep (x integer)");
    db().exec("CREATE TABLE public.keep (x integer)");
    const struct {
        std::vector<std::string> options;
        int status;
        const char* message;
    } refusals[] = {
        {{"--replace", "--schema", "information_schema"}, 2,
         "schema name 'information_schema' is the database's own information schema"},
        {{"--schema", "information_schema"}, 2, "schema name 'information_schema' is the database's own information schema"},
        {{"--replace", "--schema", "public"}, 2,
         "schema name 'public' is one of the database's own schemas, which --replace never replaces"},
        {{"--replace", "--schema", "plain"}, 1, "schema plain was not published by qemload (it carries no qemload mark)"},
    };
    for (const auto& r : refusals) {
        std::vector<std::string> args = r.options;
        args.push_back(conninfo());
        args.push_back(dataSet());
        const scratch::Outcome o = qemload(args);
        EXPECT_EQ(o.status, r.status) << r.message;
        EXPECT_NE(o.err.find(r.message), std::string::npos) << o.err;
    }
    EXPECT_TRUE(exists("plain.keep"));
    EXPECT_TRUE(exists("public.keep"));
    EXPECT_TRUE(exists("information_schema.tables"));
    EXPECT_EQ(leftovers(), "");
}

TEST_F(SchemaSafetyTest, LeftoverOfALoadWhoseConnectionWentAwayIsDroppedAtTheNextStart) {
    // The load replaces `lost`; a lock on one of its tables holds the load at
    // publishing, with every table of its own loaded.
    makePublished("lost");
    PgSession holder(conninfo());
    holder.exec("BEGIN");
    holder.exec("LOCK TABLE lost.histsale IN ACCESS SHARE MODE");
    auto load = std::async(std::launch::async,
                           [&] { return qemload({"--replace", "--schema", "lost", conninfo(), dataSet()}); });
    std::string application;
    while (application.empty() && load.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        application = db().queryValue(
            "SELECT application_name FROM pg_stat_activity WHERE application_name LIKE 'qemload-%'"
            " AND wait_event_type = 'Lock'");
    // Its connections go away.
    if (!application.empty())
        db().queryValue("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE application_name = $1",
                        {application});
    const scratch::Outcome lost = load.get();
    holder.exec("ROLLBACK");
    ASSERT_FALSE(application.empty()) << lost.err;
    EXPECT_EQ(lost.status, 1);
    const std::string left = leftovers();
    ASSERT_NE(left, "") << lost.err;
    EXPECT_NE(lost.err.find("the unfinished schema " + left + " is left in the database"), std::string::npos)
        << lost.err;
    EXPECT_NE(lost.err.find("drop it with: DROP SCHEMA \"" + left + "\" CASCADE;"), std::string::npos) << lost.err;
    EXPECT_TRUE(exists("lost.histsale"));

    // The next start drops it, and leaves the unfinished schema of a load on
    // another host, saying how to drop it.
    db().exec("CREATE SCHEMA qemload_1_0000abcd");
    db().exec("COMMENT ON SCHEMA qemload_1_0000abcd IS"
              " 'qemload unfinished load: host elsewhere.example, process 1, started 2024-01-01 00:00:00 UTC'");
    const scratch::Outcome next = qemload({"--schema", "lost", conninfo(), dataSet()});
    EXPECT_EQ(next.status, 1);
    for (const std::string& said :
         {"qemload: dropped schema " + left + ", left by an unfinished load",
          std::string("qemload: left alone: schema qemload_1_0000abcd"),
          std::string("drop it with: DROP SCHEMA \"qemload_1_0000abcd\" CASCADE;"),
          std::string("schema lost already exists (give --replace to replace it)")})
        EXPECT_NE(next.err.find(said), std::string::npos) << said << "\n" << next.err;
    EXPECT_EQ(leftovers(), "qemload_1_0000abcd");
}

}  // namespace

}  // namespace qemload
