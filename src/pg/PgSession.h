#pragma once
#include <libpq-fe.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dataset/DataSetError.h"

namespace qempg {

// A failed statement: the server's message and detail (what()), with its
// SQLSTATE and the detail on their own.
class SqlError : public qemdata::DataSetError {
public:
    SqlError(const std::string& message, std::string state, std::string detailText)
        : qemdata::DataSetError(message), sqlState(std::move(state)), detail(std::move(detailText)) {}
    std::string sqlState, detail;
};

// One connection to the server. Statements run one at a time and throw
// SqlError on failure; cancel() may be called from another thread to stop the
// statement in progress.
class PgSession {
public:
    // applicationName, when given, is the connection's application_name
    // whatever conninfo says.
    explicit PgSession(const std::string& conninfo, const std::string& applicationName = "");
    ~PgSession();
    PgSession(const PgSession&) = delete;
    PgSession& operator=(const PgSession&) = delete;

    void exec(const std::string& sql);
    // First column of the first row, or "" when there is none; params are
    // passed as text parameters $1, $2, ...
    std::string queryValue(const std::string& sql, const std::vector<std::string>& params = {});
    // All rows as text, columns separated by ", " (NULL as "NULL").
    std::vector<std::string> queryRows(const std::string& sql, const std::vector<std::string>& params = {});
    // A statement sent as it is written (PQexec, as psql sends one), and
    // every row it returns: each value as text, or nothing for NULL.
    using Table = std::vector<std::vector<std::optional<std::string>>>;
    Table queryTable(const std::string& sql);
    // Whether the connection still stands (false once the server has closed it).
    bool connected() const;

    void beginCopy(const std::string& sql);
    void putCopy(const char* data, size_t size);
    // Ends the COPY; its error, if any, is thrown.
    void endCopy();
    // Ends the COPY with an error: the server discards its rows.
    void abortCopy();
    // Ends the transaction in progress, if any, without a word.
    void rollback();

    void cancel();
    // Identifier quoted for SQL ("name" with doubled quotes).
    std::string quoteIdentifier(const std::string& name) const;
    // Text quoted as an SQL literal.
    std::string quoteLiteral(const std::string& text) const;

private:
    [[noreturn]] void fail(PGresult* result);
    void check(PGresult* result, ExecStatusType expected);

    PGconn* conn = nullptr;
    PGcancel* canceller = nullptr;
    std::mutex cancelMutex;
};

// The password of a connection string (and PGPASSWORD), so that no message
// ever shows it: redact() replaces every occurrence.
void rememberSecrets(const std::string& conninfo);
std::string redact(std::string text);

}  // namespace qempg
