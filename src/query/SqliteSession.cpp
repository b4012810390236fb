#include <sqlite3.h>

#include <cstdio>

#include "dataset/DataSetError.h"
#include "query/Session.h"

namespace qemquery {

namespace {

class SqliteSession : public Session {
public:
    explicit SqliteSession(const std::string& path) {
        const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        if (rc != SQLITE_OK) {
            const std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
            sqlite3_close(db);
            db = nullptr;
            throw qemdata::DataSetError("cannot open the SQLite database " + path + ": " + reason);
        }
    }
    ~SqliteSession() override { sqlite3_close(db); }

    Table run(const std::string& sql) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK) {
            const std::string reason = sqlite3_errmsg(db);
            sqlite3_finalize(statement);
            throw StatementError(reason);
        }
        Table rows;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<std::optional<std::string>>& row = rows.emplace_back();
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                switch (sqlite3_column_type(statement, c)) {
                    case SQLITE_NULL: row.emplace_back(); break;
                    case SQLITE_INTEGER: row.emplace_back(std::to_string(sqlite3_column_int64(statement, c))); break;
                    case SQLITE_FLOAT: {
                        char text[40];
                        snprintf(text, sizeof text, "%.17g", sqlite3_column_double(statement, c));
                        row.emplace_back(text);
                        break;
                    }
                    default: {
                        const unsigned char* text = sqlite3_column_text(statement, c);
                        row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
                    }
                }
            }
        }
        if (rc != SQLITE_DONE) {
            const std::string reason = sqlite3_errmsg(db);
            sqlite3_finalize(statement);
            throw StatementError(reason);
        }
        sqlite3_finalize(statement);
        return rows;
    }
    void cancel() override { sqlite3_interrupt(db); }
    bool lost() const override { return false; }

private:
    sqlite3* db = nullptr;
};

}  // namespace

std::unique_ptr<Session> openSqlite(const std::string& path) { return std::make_unique<SqliteSession>(path); }

}  // namespace qemquery
