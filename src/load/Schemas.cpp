#include "load/Schemas.h"

namespace schemas {

namespace {

const char* const publishedLead = "qemload data set";

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
        throw LoadError("schema " + name + " was not published by qemload (it carries no qemload mark); --replace " +
                        "replaces only a schema qemload published: drop it yourself or choose another --schema");
    const std::vector<std::string> outside = outsideDependents(s, name);
    if (!outside.empty())
        throw LoadError("schema " + name + " is not replaced: objects of other schemas depend on it, and replacing it " +
                        "would drop them too:" + list(outside) +
                        "\ndrop them yourself, or load into another schema with --schema");
}

}  // namespace

std::string publishedMark(const DataSetSize& size) {
    return std::string(publishedLead) + ": " + std::to_string(size.channels) + " channels, density code " +
           std::to_string(size.densityCode) + ", " + std::to_string(size.users) + " users";
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

}  // namespace schemas
