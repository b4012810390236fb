#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "dataset/LineCounts.h"
#include "pg/PgSession.h"

namespace qemload {

// The loader's sessions are the PostgreSQL client layer's.
using qempg::PgSession;
using qempg::redact;
using qempg::rememberSecrets;
using qempg::SqlError;

// The schemas qemload makes and the marks it leaves on them, so that it
// replaces or drops only what is its own.
//
// A published schema carries the comment "qemload data set: N channels,
// density code D, U users"; only a schema with that mark is replaced. A
// schema under construction is named qemload_<pid>_<8 hex digits> and carries
// "qemload unfinished load: host H, process P, started T"; the loader's
// connections carry the application name qemload-<host>-<pid>, so that a
// running load can be told from one that is gone.
namespace schemas {

// This loader's host (as it appears in its marks) and application name.
const std::string& hostName();
std::string applicationName();

std::string publishedMark(const qemdata::DataSetSize& size);
std::string unfinishedMark();

// Why NAME may not be replaced whatever it holds ("" when it may): the
// database's own schemas.
std::string replaceNameProblem(const std::string& name);

// Throws DataSetError unless the existing schema NAME carries the published mark
// and no object outside it depends on an object in it (a view or foreign
// key of another schema, say, which dropping it would drop too).
void checkReplaceable(PgSession& session, const std::string& name);

// Throws DataSetError unless the session's role may make the schemas of a
// load in this database (the CREATE privilege on it) and, where schema NAME
// exists, drop it to replace it (it owns it, or is a member of the role that
// does): what publishing needs, checked before a load begins.
void checkPublishRights(PgSession& session, const std::string& name);

// Locks the tables and views of NAME (in the transaction in progress), checks
// as checkReplaceable does, and drops it with its own objects only.
void replaceDrop(PgSession& session, const std::string& name);

// The objects outside schema NAME that depend on objects in it, described
// ("view other.v", "constraint t_fkey on table other.t").
std::vector<std::string> outsideDependents(PgSession& session, const std::string& name);

// Drops the unfinished schemas of loads that are certainly gone (made on this
// host by a process that no longer runs and has no connection open) and
// says so on `report`; names each one it cannot decide on with the statement
// that drops it.
void dropLeftovers(PgSession& session, FILE* report);

// The statement that drops an unfinished schema by hand.
std::string dropStatement(PgSession& session, const std::string& name);

}  // namespace schemas

}  // namespace qemload
