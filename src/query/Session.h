#pragma once
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qemquery {

// A statement that failed: the database's own text.
class StatementError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One connection to the database the workload runs against, used by one
// thread; only cancel() may be called from another.
class Session {
public:
    virtual ~Session() = default;
    // Every row of a statement run with the database's own interface (the
    // statement sent as written, its rows read to the last): each value as
    // text, or nothing for NULL. Throws StatementError.
    using Table = std::vector<std::vector<std::optional<std::string>>>;
    virtual Table run(const std::string& sql) = 0;
    // Stops the statement in progress, if any (from any thread).
    virtual void cancel() = 0;
    // Whether the connection is gone (after a failed statement): the
    // session can run nothing more.
    virtual bool lost() const = 0;
};

// A session on a PostgreSQL server (CONNINFO as libpq reads it), named
// `name` there (application_name). Throws qemdata::DataSetError when it
// cannot connect, with libpq's reason and no password.
std::unique_ptr<Session> openPostgres(const std::string& conninfo, const std::string& name);

// A session on an SQLite database file, read only. Throws
// qemdata::DataSetError when it cannot be opened.
std::unique_ptr<Session> openSqlite(const std::string& path);

}  // namespace qemquery
