#include "pg/PgSession.h"
#include "query/Session.h"

namespace qemquery {

namespace {

class PostgresSession : public Session {
public:
    PostgresSession(const std::string& conninfo, const std::string& name) : pg(conninfo, name) {}

    Table run(const std::string& sql) override {
        try {
            return pg.queryTable(sql);
        } catch (const qempg::SqlError& e) {
            throw StatementError(e.what());
        }
    }
    void cancel() override { pg.cancel(); }
    bool lost() const override { return !pg.connected(); }

private:
    qempg::PgSession pg;
};

}  // namespace

std::unique_ptr<Session> openPostgres(const std::string& conninfo, const std::string& name) {
    qempg::rememberSecrets(conninfo);
    return std::make_unique<PostgresSession>(conninfo, name);
}

}  // namespace qemquery
