#include "load/Schemas.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace qemload {

using namespace qemdata;

namespace schemas {

namespace {

const char* const publishedLead = "qemload data set";
const char* const unfinishedLead = "qemload unfinished load";
// application_name holds at most 63 bytes.
constexpr size_t applicationNameBytes = 63;

// The namespace of a catalog object (its class and oid as SQL expressions):
// for rules, triggers, defaults and policies, that of their table.
std::string namespaceOf(const std::string& cls, const std::string& obj) {
    auto via = [&](const char* catalog, const char* relation) {
        return " WHEN '" + std::string(catalog) + "'::regclass THEN (SELECT c.relnamespace FROM " + catalog +
               " x JOIN pg_class c ON c.oid = x." + relation + " WHERE x.oid = " + obj + ")";
    };
    auto own = [&](const char* catalog, const char* column) {
        return " WHEN '" + std::string(catalog) + "'::regclass THEN (SELECT " + column + " FROM " + catalog +
               " WHERE oid = " + obj + ")";
    };
    return "CASE " + cls + " WHEN 'pg_namespace'::regclass THEN " + obj + own("pg_class", "relnamespace") +
           own("pg_type", "typnamespace") + own("pg_proc", "pronamespace") + own("pg_constraint", "connamespace") +
           via("pg_rewrite", "ev_class") + via("pg_trigger", "tgrelid") + via("pg_attrdef", "adrelid") +
           via("pg_policy", "polrelid") +
           " ELSE (SELECT n.oid FROM pg_namespace n WHERE n.nspname = (pg_identify_object(" + cls + ", " + obj +
           ", 0)).schema) END";
}

std::string comment(PgSession& s, const std::string& name) {
    return s.queryValue("SELECT coalesce(obj_description(oid, 'pg_namespace'), '') FROM pg_namespace WHERE nspname = $1",
                        {name});
}

bool startsWith(const std::string& text, const std::string& lead) { return text.compare(0, lead.size(), lead) == 0; }

std::string list(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += "\n  " + item;
    return text;
}

void checkMarkAndDependents(PgSession& s, const std::string& name) {
    if (!startsWith(comment(s, name), publishedLead))
        throw DataSetError("schema " + name + " was not published by qemload (it carries no qemload mark); --replace " +
                        "replaces only a schema qemload published: drop it yourself or choose another --schema");
    const std::vector<std::string> outside = outsideDependents(s, name);
    if (!outside.empty())
        throw DataSetError("schema " + name + " is not replaced: objects of other schemas depend on it, and replacing it " +
                        "would drop them too:" + list(outside) +
                        "\ndrop them yourself, or load into another schema with --schema");
}

// Whether process `pid` of this host runs (another process than this one).
bool processRuns(long pid) {
    if (pid == static_cast<long>(getpid())) return false;  // this process reuses the number of one that is gone
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

const std::string& hostName() {
    static const std::string host = [] {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) != 0 || !*name) return std::string("unknown");
        std::string h = name;
        // Kept to what a mark and an application name carry unchanged.
        for (char& c : h)
            if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
        return h.substr(0, applicationNameBytes - std::string("qemload--9999999").size());
    }();
    return host;
}

std::string applicationName() { return "qemload-" + hostName() + "-" + std::to_string(getpid()); }

std::string publishedMark(const DataSetSize& size) {
    return std::string(publishedLead) + ": " + std::to_string(size.channels) + " channels, density code " +
           std::to_string(size.densityCode) + ", " + std::to_string(size.users) + " users";
}

std::string unfinishedMark() {
    char started[32];
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return std::string(unfinishedLead) + ": host " + hostName() + ", process " + std::to_string(getpid()) +
           ", started " + started;
}

std::string replaceNameProblem(const std::string& name) {
    if (name == "public" || name == "information_schema" || name.compare(0, 3, "pg_") == 0)
        return "is one of the database's own schemas, which --replace never replaces";
    return "";
}

std::vector<std::string> outsideDependents(PgSession& s, const std::string& name) {
    // Normal and automatic dependencies are those a drop follows on its own
    // (internal ones tie an object to its owner: a row type to its table).
    const std::string depending = namespaceOf("d.classid", "d.objid"),
                      referenced = namespaceOf("d.refclassid", "d.refobjid");
    return s.queryRows(
        "SELECT DISTINCT CASE WHEN d.classid = 'pg_rewrite'::regclass"
        " THEN (SELECT pg_describe_object('pg_class'::regclass, r.ev_class, 0) FROM pg_rewrite r WHERE r.oid = d.objid)"
        " ELSE pg_describe_object(d.classid, d.objid, 0) END AS what"
        " FROM pg_depend d, (SELECT oid FROM pg_namespace WHERE nspname = $1) s"
        " WHERE d.deptype IN ('n', 'a') AND (" + referenced + ") = s.oid AND (" + depending +
            ") IS DISTINCT FROM s.oid ORDER BY 1",
        {name});
}

void checkReplaceable(PgSession& s, const std::string& name) { checkMarkAndDependents(s, name); }

void checkPublishRights(PgSession& s, const std::string& name) {
    const std::string role = s.queryValue("SELECT current_user");
    if (s.queryValue("SELECT has_database_privilege(current_database(), 'CREATE')") != "t")
        throw DataSetError("role " + role + " may not create schemas in database " +
                           s.queryValue("SELECT current_database()") +
                           " (a load needs the CREATE privilege on the database: GRANT CREATE ON DATABASE ... TO " +
                           role + ")");
    const std::string owner = s.queryValue(
        "SELECT pg_get_userbyid(nspowner) FROM pg_namespace WHERE nspname = $1 AND NOT pg_has_role(nspowner, 'USAGE')",
        {name});
    if (!owner.empty())
        throw DataSetError("schema " + name + " belongs to role " + owner + ", and role " + role +
                           " may not drop it to replace it (only its owner, a member of the owning role or a "
                           "superuser may)");
}

void replaceDrop(PgSession& s, const std::string& name) {
    // Nothing can come to depend on a table or view of the schema while it
    // is locked: a view or foreign key that would has to wait for the lock.
    const std::vector<std::string> relations = s.queryRows(
        "SELECT c.oid::regclass::text FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
        " WHERE n.nspname = $1 AND c.relkind IN ('r', 'p', 'v', 'f') ORDER BY 1",
        {name});
    std::string lock;
    for (const std::string& r : relations) lock += (lock.empty() ? "" : ", ") + r;
    if (!lock.empty()) s.exec("LOCK TABLE " + lock + " IN ACCESS EXCLUSIVE MODE");
    checkMarkAndDependents(s, name);
    s.exec("DROP SCHEMA " + s.quoteIdentifier(name) + " CASCADE");
}

std::string dropStatement(PgSession& s, const std::string& name) {
    return "DROP SCHEMA " + s.quoteIdentifier(name) + " CASCADE;";
}

namespace {

// The host, process and start of an unfinished schema's mark, "<lead>: host
// H, process P, started S" (H without spaces, P of 1 to 9 digits), or false.
bool readMark(const std::string& text, std::string& host, std::string& pid, std::string& started) {
    const std::string lead = std::string(unfinishedLead) + ": host ";
    if (text.rfind(lead, 0) != 0) return false;
    const size_t hostEnd = text.find(", process ", lead.size());
    if (hostEnd == std::string::npos) return false;
    const size_t pidStart = hostEnd + 10;
    const size_t pidEnd = text.find(", started ", pidStart);
    if (pidEnd == std::string::npos) return false;
    host = text.substr(lead.size(), hostEnd - lead.size());
    pid = text.substr(pidStart, pidEnd - pidStart);
    started = text.substr(pidEnd + 10);
    if (host.empty() || host.find_first_of(" \t\n") != std::string::npos) return false;
    return !pid.empty() && pid.size() <= 9 && pid.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

void dropLeftovers(PgSession& s, FILE* report) {
    const std::vector<std::string> found = s.queryRows(
        "SELECT nspname || ' ' || coalesce(obj_description(oid, 'pg_namespace'), '') FROM pg_namespace"
        " WHERE nspname ~ '^qemload_[0-9]+_[0-9a-f]{8}$' ORDER BY 1");
    for (const std::string& row : found) {
        const std::string name = row.substr(0, row.find(' ')), text = row.substr(row.find(' ') + 1);
        const std::string pidOfName = name.substr(8, name.find('_', 8) - 8);
        auto leave = [&](const std::string& why) {
            fprintf(report,
                    "qemload: left alone: schema %s, an unfinished load (%s); once no load runs for it, drop it with: "
                    "%s\n",
                    name.c_str(), why.c_str(), dropStatement(s, name).c_str());
        };
        std::string host, pid, started;
        if (!readMark(text, host, pid, started) || pid != pidOfName) {
            leave("it carries no mark of its host and process: whether its loader still runs is unknown");
            continue;
        }
        const std::string application = ("qemload-" + host + "-" + pid).substr(0, applicationNameBytes);
        if (s.queryValue("SELECT count(*) FROM pg_stat_activity WHERE application_name = $1 AND pid <> pg_backend_pid()",
                         {application}) != "0")
            continue;  // its loader is connected: a load in progress
        if (host != hostName()) {
            leave("process " + pid + " on host " + host + ", started " + started +
                  ", which has no connection open; whether it still runs cannot be seen from this host");
            continue;
        }
        if (processRuns(std::stol(pid))) {
            leave("process " + pid + " of this host, started " + started + ", still runs but has no connection open");
            continue;
        }
        try {
            s.exec("BEGIN");
            s.exec("SET LOCAL lock_timeout = '10s'");
            const std::vector<std::string> outside = outsideDependents(s, name);
            if (!outside.empty()) {
                s.rollback();
                leave("objects of other schemas depend on it:" + list(outside));
                continue;
            }
            s.exec("DROP SCHEMA IF EXISTS " + s.quoteIdentifier(name) + " CASCADE");
            s.exec("COMMIT");
            fprintf(report, "qemload: dropped schema %s, left by an unfinished load (process %s of this host, started %s)\n",
                    name.c_str(), pid.c_str(), started.c_str());
        } catch (const SqlError& e) {
            s.rollback();
            leave(std::string("dropping it failed: ") + e.what());
        }
    }
}

}  // namespace schemas

}  // namespace qemload
