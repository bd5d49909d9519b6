#include "record/Database.h"

#include <libpq-fe.h>

namespace vendrill::record {

namespace {

// An unreachable server is reported after this long rather than hanging.
constexpr const char* kConnectTimeoutS = "5";
// Any constant will do: every station takes the same advisory lock.
constexpr const char* kClaimLock = "SELECT pg_advisory_xact_lock(5237441)";

std::string Trimmed(const char* message)
{
    std::string s = message ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class CPostgres final : public CDatabase {
public:
    explicit CPostgres(PGconn* conn)
        : m_conn(conn)
    {
    }
    ~CPostgres() override { PQfinish(m_conn); }

    bool Query(const std::string& sql, const std::vector<std::string>& params, Rows* rows,
               std::string* error) override
    {
        std::vector<const char*> values;
        for (const std::string& p : params)
            values.push_back(p.c_str());
        Result r(PQexecParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                              nullptr, 0));
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            return Fail(r.get(), error);
        if (rows) {
            rows->clear();
            const int n = PQntuples(r.get()), columns = PQnfields(r.get());
            for (int k = 0; k < n; ++k) {
                Row row;
                for (int c = 0; c < columns; ++c)
                    row.emplace_back(PQgetvalue(r.get(), k, c), static_cast<std::size_t>(PQgetlength(r.get(), k, c)));
                rows->push_back(std::move(row));
            }
        }
        return true;
    }

    bool Script(const std::string& sql, std::string* error) override
    {
        Result r(PQexec(m_conn, sql.c_str()));
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            return Fail(r.get(), error);
        return true;
    }

    bool BeginWrite(std::string* error) override
    {
        if (!Script("BEGIN", error))
            return false;
        if (Query(kClaimLock, {}, nullptr, error))
            return true;
        Rollback();
        return false;
    }

    const char* IdColumn() const override { return "BIGSERIAL PRIMARY KEY"; }

    std::string Where() const override
    {
        const char* host = PQhost(m_conn);
        return std::string("PostgreSQL database ") + PQdb(m_conn) + " on " + (host && *host ? host : "local socket");
    }

private:
    bool Fail(const PGresult* r, std::string* error) const
    {
        if (error) {
            const std::string own = r ? Trimmed(PQresultErrorMessage(r)) : std::string();
            *error = own.empty() ? Trimmed(PQerrorMessage(m_conn)) : own;
        }
        return false;
    }

    PGconn* m_conn;
};

}  // namespace

std::unique_ptr<CDatabase> OpenPostgres(const std::string& url, std::string* error)
{
    // The URL comes last so that a connect_timeout of its own wins.
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {kConnectTimeoutS, url.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (!conn) {
        *error = "out of memory for the database connection";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        *error = "cannot reach the database: " + Trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    auto database = std::make_unique<CPostgres>(conn);
    // Warnings (NOTICE) would otherwise go to standard error.
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    return database;
}

}  // namespace vendrill::record
