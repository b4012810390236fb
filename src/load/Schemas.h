#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "load/LineCounts.h"
#include "load/PgSession.h"

// The schemas qemload makes and the marks it leaves on them, so that it
// replaces only what is its own.
//
// A published schema carries the comment "qemload data set: N channels,
// density code D, U users"; only a schema with that mark is replaced.
namespace schemas {

std::string publishedMark(const DataSetSize& size);

// Why NAME may not be replaced whatever it holds ("" when it may): the
// database's own schemas.
std::string replaceNameProblem(const std::string& name);

// Throws LoadError unless the existing schema NAME carries the published mark
// and no object outside it depends on an object in it (a view or foreign
// key of another schema, say, which dropping it would drop too).
void checkReplaceable(PgSession& session, const std::string& name);

// Locks the tables and views of NAME (in the transaction in progress), checks
// as checkReplaceable does, and drops it with its own objects only.
void replaceDrop(PgSession& session, const std::string& name);

// The objects outside schema NAME that depend on objects in it, described
// ("view other.v", "constraint t_fkey on table other.t").
std::vector<std::string> outsideDependents(PgSession& session, const std::string& name);

}  // namespace schemas
