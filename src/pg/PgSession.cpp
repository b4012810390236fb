#include "pg/PgSession.h"

#include <cstdlib>
#include <cstring>

namespace qempg {

using namespace qemdata;

namespace {

std::vector<std::string>& secrets() {
    static std::vector<std::string> s;
    return s;
}

std::string trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

void rememberSecrets(const std::string& conninfo) {
    if (const char* env = getenv("PGPASSWORD"); env && *env) secrets().emplace_back(env);
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (error) PQfreemem(error);
    if (!options) return;
    for (PQconninfoOption* o = options; o->keyword; ++o)
        if (strcmp(o->keyword, "password") == 0 && o->val && *o->val) secrets().emplace_back(o->val);
    PQconninfoFree(options);
}

std::string redact(std::string text) {
    for (const std::string& secret : secrets())
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
            text.replace(at, secret.size(), "***");
    return text;
}

PgSession::PgSession(const std::string& conninfo, const std::string& applicationName) {
    char* parseError = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(conninfo.c_str(), &parseError);
    if (!parsed) {
        // The parser's message quotes pieces of the string, which may hold the
        // password: it is not passed on.
        if (parseError) PQfreemem(parseError);
        throw DataSetError("CONNINFO is neither a valid connection string (key=value ...) nor a postgresql:// URI");
    }
    PQconninfoFree(parsed);
    // Key words later in the list override those of the connection string.
    const char* keywords[] = {"dbname", applicationName.empty() ? nullptr : "application_name", nullptr};
    const char* values[] = {conninfo.c_str(), applicationName.c_str(), nullptr};
    conn = PQconnectdbParams(keywords, values, 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        const std::string message = conn ? trimmed(PQerrorMessage(conn)) : "out of memory";
        if (conn) PQfinish(conn);
        conn = nullptr;
        throw DataSetError("cannot connect: " + redact(message));
    }
    canceller = PQgetCancel(conn);
    // Notices (such as those of DROP ... CASCADE) are not the loader's output.
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
}

PgSession::~PgSession() {
    {
        std::lock_guard<std::mutex> lock(cancelMutex);
        if (canceller) PQfreeCancel(canceller);
        canceller = nullptr;
    }
    if (conn) PQfinish(conn);
}

void PgSession::cancel() {
    std::lock_guard<std::mutex> lock(cancelMutex);
    char error[256];
    if (canceller) PQcancel(canceller, error, sizeof error);
}

void PgSession::fail(PGresult* result) {
    std::string message = trimmed(result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr);
    if (message.empty()) message = trimmed(PQerrorMessage(conn));
    std::string state = result ? trimmed(PQresultErrorField(result, PG_DIAG_SQLSTATE)) : "";
    std::string detail = result ? trimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) : "";
    if (result) PQclear(result);
    std::string text = message;
    if (!detail.empty()) text += " (" + detail + ")";
    throw SqlError(redact(text), state, redact(detail));
}

void PgSession::check(PGresult* result, ExecStatusType expected) {
    if (!result || PQresultStatus(result) != expected) fail(result);
}

void PgSession::exec(const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    check(r, PGRES_COMMAND_OK);
    PQclear(r);
}

std::string PgSession::queryValue(const std::string& sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    PGresult* r = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0);
    check(r, PGRES_TUPLES_OK);
    std::string value = PQntuples(r) > 0 && PQnfields(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return value;
}

std::vector<std::string> PgSession::queryRows(const std::string& sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    PGresult* r = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0);
    check(r, PGRES_TUPLES_OK);
    std::vector<std::string> rows;
    for (int i = 0; i < PQntuples(r); ++i) {
        std::string row;
        for (int j = 0; j < PQnfields(r); ++j) {
            if (j > 0) row += ", ";
            row += PQgetisnull(r, i, j) ? "NULL" : PQgetvalue(r, i, j);
        }
        rows.push_back(row);
    }
    PQclear(r);
    return rows;
}

PgSession::Table PgSession::queryTable(const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    check(r, PGRES_TUPLES_OK);
    Table rows(static_cast<size_t>(PQntuples(r)));
    for (int i = 0; i < PQntuples(r); ++i)
        for (int j = 0; j < PQnfields(r); ++j)
            rows[static_cast<size_t>(i)].push_back(PQgetisnull(r, i, j) ? std::nullopt
                                                                       : std::optional<std::string>(PQgetvalue(r, i, j)));
    PQclear(r);
    return rows;
}

bool PgSession::connected() const { return conn && PQstatus(conn) == CONNECTION_OK; }

void PgSession::beginCopy(const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    check(r, PGRES_COPY_IN);
    PQclear(r);
}

void PgSession::putCopy(const char* data, size_t size) {
    while (size > 0) {
        const int piece = static_cast<int>(size < (1u << 30) ? size : (1u << 30));
        if (PQputCopyData(conn, data, piece) != 1) fail(PQgetResult(conn));
        data += piece;
        size -= static_cast<size_t>(piece);
    }
}

void PgSession::abortCopy() {
    PQputCopyEnd(conn, "load stopped");
    while (PGresult* r = PQgetResult(conn)) PQclear(r);
}

void PgSession::rollback() {
    if (PGresult* r = PQexec(conn, "ROLLBACK")) PQclear(r);
}

void PgSession::endCopy() {
    if (PQputCopyEnd(conn, nullptr) != 1) fail(nullptr);
    PGresult* r = PQgetResult(conn);
    check(r, PGRES_COMMAND_OK);
    PQclear(r);
    while ((r = PQgetResult(conn)) != nullptr) PQclear(r);
}

std::string PgSession::quoteIdentifier(const std::string& name) const {
    char* quoted = PQescapeIdentifier(conn, name.c_str(), name.size());
    if (!quoted) throw DataSetError("cannot quote identifier");
    std::string result = quoted;
    PQfreemem(quoted);
    return result;
}

std::string PgSession::quoteLiteral(const std::string& text) const {
    char* quoted = PQescapeLiteral(conn, text.c_str(), text.size());
    if (!quoted) throw DataSetError("cannot quote literal");
    std::string result = quoted;
    PQfreemem(quoted);
    return result;
}

}  // namespace qempg
