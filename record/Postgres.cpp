#include "record/Database.h"
#include "record/Record.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cctype>
#include <climits>
#include <cstring>  // program_invocation_short_name
#include <vector>

#include <poll.h>

namespace vendrill::record {

namespace {

using Clock = std::chrono::steady_clock;

// An unreachable server is reported after this long rather than waited for.
constexpr int kConnectTimeoutMs = 5000;
// Any constant will do: every station takes the same advisory lock.
constexpr const char* kClaimLock = "SELECT pg_advisory_xact_lock(5237441)";

// libpq's message on one line: its lines (a hint, a detail) joined by "; ".
std::string Trimmed(const char* message)
{
    std::string s;
    bool newLine = false;
    for (const char* c = message ? message : ""; *c; ++c) {
        if (*c == '\n' || *c == '\r') {
            newLine = true;
        } else if (newLine && (*c == ' ' || *c == '\t')) {
            continue;
        } else {
            if (newLine && !s.empty())
                s += "; ";
            newLine = false;
            s += *c;
        }
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct OptionsDeleter {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};
using ConnInfo = std::unique_ptr<PQconninfoOption, OptionsDeleter>;

std::string Option(const PQconninfoOption* options, const char* key)
{
    for (const PQconninfoOption* o = options; o && o->keyword; ++o)
        if (std::string(o->keyword) == key)
            return o->val ? o->val : "";
    return {};
}

// The password of a URL as written (user:PASSWORD@, to the URL's last '@')
// and its pieces between '@' and '/', which libpq reads as other parts of
// the URL and may quote; and password= values as written. Pieces shorter
// than three characters are left: hiding them would hide common words.
std::vector<std::string> WrittenSecrets(const std::string& url)
{
    std::vector<std::string> secrets;
    const std::size_t start = url.find("://");
    // The last '@' before the query, or, when there is none, the last one
    // of all (a '?' in the password).
    std::size_t at = url.rfind('@', url.find('?'));
    if (at == std::string::npos || at > url.find('?'))
        at = url.rfind('@');
    const std::size_t colon = start == std::string::npos ? std::string::npos : url.find(':', start + 3);
    if (start != std::string::npos && at != std::string::npos && colon < at) {
        const std::string written = url.substr(colon + 1, at - colon - 1);
        secrets.push_back(written);
        std::size_t from = 0;
        for (std::size_t cut = written.find_first_of("@/"); from < written.size();
             cut = written.find_first_of("@/", from)) {
            const std::size_t to = cut == std::string::npos ? written.size() : cut;
            if (to - from >= 3)
                secrets.push_back(written.substr(from, to - from));
            from = to + 1;
        }
    }
    // Query values: what follows "=" up to the next '&', for any key (a
    // percent-encoded "password" among them).
    for (std::size_t eq = url.find('=', url.find('?') == std::string::npos ? url.size() : url.find('?'));
         eq != std::string::npos; eq = url.find('=', eq + 1)) {
        const std::size_t amp = url.find('&', eq);
        const std::size_t keyStart = url.find_last_of("?&", eq) + 1;
        const std::string key = url.substr(keyStart, eq - keyStart);
        if (key.find('%') != std::string::npos || key == "password")
            secrets.push_back(url.substr(eq + 1, (amp == std::string::npos ? url.size() : amp) - eq - 1));
    }
    return secrets;
}

// A URL that libpq reads otherwise than its writer meant: an '@' or '/' in
// the user name or password cuts it short, and its rest becomes the host,
// port or database (and would be quoted in messages). Its reason, or "".
std::string MisreadUrl(const std::string& url, const PQconninfoOption* options)
{
    const std::size_t authority = url.find("://") + 3;
    const std::string written = url.substr(authority, url.find('/', authority) - authority);
    if (std::count(written.begin(), written.end(), '@') > 1)
        return "it holds more than one '@' in front of the host";
    for (const char* key : {"host", "hostaddr"})
        if (Option(options, key).find('@') != std::string::npos)
            return "its host holds an '@'";
    for (const char c : Option(options, "port"))
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != ',')
            return "its port is not a number";
    // A database name may hold an encoded '@' (%40), not one written as is.
    const std::size_t path = url.find('/', authority);
    if (path != std::string::npos && url.find('@', path) < url.find('?', path))
        return "its database name holds an '@'";
    return {};
}

// Where the record is, for messages: database and host, never a password.
std::string Describe(const std::string& db, const std::string& host)
{
    return "PostgreSQL database " + (db.empty() ? std::string("(default)") : db) + " on " +
           (host.empty() || host[0] == '/' ? "local socket" + (host.empty() ? "" : " " + host) : host);
}

enum class Ready { Yes, TimedOut, Cancelled };

// Waits until the socket is ready for `events`, the deadline passes or the
// cancel descriptor becomes readable.
Ready WaitSocket(int sock, short events, int cancelFd, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Ready::TimedOut;
        pollfd fds[2] = {{sock, events, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(fds, cancelFd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (n < 0 && errno != EINTR)
            return Ready::Cancelled;
        if (n > 0 && cancelFd >= 0 && (fds[1].revents & POLLIN))
            return Ready::Cancelled;
        if (n > 0)
            return Ready::Yes;
    }
}

class CPostgres final : public CDatabase {
public:
    CPostgres(std::string url, bool readOnly, int cancelFd)
        : m_url(std::move(url))
        , m_readOnly(readOnly)
        , m_cancelFd(cancelFd)
    {
        ConnInfo info(PQconninfoParse(m_url.c_str(), nullptr));
        m_secrets = WrittenSecrets(m_url);
        m_secrets.push_back(Option(info.get(), "password"));
        m_where = Describe(Option(info.get(), "dbname"), Option(info.get(), "host"));
    }
    ~CPostgres() override { Drop(); }

    // Connects; *badLocation tells a URL that libpq refuses from a server
    // that cannot be reached.
    bool Connect(std::string* error, bool* badLocation = nullptr)
    {
        Drop();
        // Keepalives notice a server that vanished from the network; the
        // server's own time-outs end what a lost client left behind.
        std::string options = "-c statement_timeout=" + std::to_string(kDefaultPatienceMs) +
                              " -c lock_timeout=" + std::to_string(kDefaultPatienceMs) +
                              " -c idle_in_transaction_session_timeout=60000";
        if (m_readOnly)
            options += " -c default_transaction_read_only=on";
        const std::string connectTimeout = std::to_string(kConnectTimeoutMs / 1000);
        // The URL comes last so that settings of its own win.
        const char* keys[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout", "application_name", "options", "dbname",
                              nullptr};
        const char* values[] = {connectTimeout.c_str(), "1", "10", "5", "3", "30000", program_invocation_short_name,
                                options.c_str(), m_url.c_str(), nullptr};
        m_conn = PQconnectStartParams(keys, values, 1);
        if (!m_conn) {
            *error = "out of memory for the database connection";
            return false;
        }
        if (PQstatus(m_conn) == CONNECTION_BAD) {
            // libpq checks the URL's values before it goes to the network.
            const std::string why = Trimmed(PQerrorMessage(m_conn));
            if (badLocation)
                *badLocation = why.rfind("invalid ", 0) == 0;
            *error = Clean("cannot reach the database: " + why);
            Drop();
            return false;
        }
        const int patience = std::min(kConnectTimeoutMs, m_patienceMs);
        const auto deadline = Clock::now() + std::chrono::milliseconds(patience);
        PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
        while (polling != PGRES_POLLING_OK) {
            if (polling == PGRES_POLLING_FAILED) {
                *error = Clean("cannot reach the database: " + Trimmed(PQerrorMessage(m_conn)));
                Drop();
                return false;
            }
            const Ready r = WaitSocket(PQsocket(m_conn), polling == PGRES_POLLING_READING ? POLLIN : POLLOUT,
                                       m_cancelFd, deadline);
            if (r != Ready::Yes) {
                *error = r == Ready::Cancelled ? "interrupted while connecting to the database"
                                               : "cannot reach the database: no answer within " +
                                                     std::to_string(patience) + " ms";
                Drop();
                return false;
            }
            polling = PQconnectPoll(m_conn);
        }
        // Warnings (NOTICE) would otherwise go to standard error.
        PQsetNoticeProcessor(m_conn, [](void*, const char*) {}, nullptr);
        // What a service file or the environment chose.
        m_where = Describe(PQdb(m_conn), PQhost(m_conn));
        return true;
    }

    bool Query(const std::string& sql, const std::vector<std::string>& params, Rows* rows,
               std::string* error) override
    {
        if (!Usable(error))
            return false;
        std::vector<const char*> values;
        for (const std::string& p : params)
            values.push_back(p.c_str());
        if (!PQsendQueryParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0))
            return Broken(error);
        return Collect(rows, error);
    }

    bool Script(const std::string& sql, std::string* error) override
    {
        if (!Usable(error))
            return false;
        if (!PQsendQuery(m_conn, sql.c_str()))
            return Broken(error);
        return Collect(nullptr, error);
    }

    // Every commit of PostgreSQL waits for its log to reach the disk
    // (unless the server is told otherwise).
    bool DurableQuery(const std::string& sql, const std::vector<std::string>& params, std::string* error) override
    {
        return Query(sql, params, nullptr, error);
    }

    // The transaction and the lock that every station takes, in one round
    // trip: a claim waits for the server as few times as it can.
    bool BeginWrite(std::string* error) override
    {
        if (Script(std::string("BEGIN; ") + kClaimLock, error))
            return true;
        Rollback();
        return false;
    }

    bool Reconnect(std::string* error) override
    {
        if (m_conn && PQstatus(m_conn) == CONNECTION_OK) {
            if (PQtransactionStatus(m_conn) != PQTRANS_IDLE)
                Rollback();
            return true;
        }
        return Connect(error) && (!m_listening || Listen(error));
    }

    void Limit(int cancelFd, int patienceMs) override
    {
        m_cancelFd = cancelFd;
        m_patienceMs = patienceMs;
    }

    bool Listen(std::string* error) override
    {
        m_listening = Script(std::string("LISTEN ") + kVisitChannel, error);
        return m_listening;
    }

    Change WaitChange(int timeoutMs, std::string* error) override
    {
        if (!Usable(error))
            return Change::Failed;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!PQconsumeInput(m_conn)) {
                Broken(error);
                Drop();
                return Change::Failed;
            }
            bool heard = false;
            while (PGnotify* n = PQnotifies(m_conn)) {
                heard = true;
                PQfreemem(n);
            }
            if (heard)
                return Change::Changed;
            if (WaitSocket(PQsocket(m_conn), POLLIN, m_cancelFd, deadline) != Ready::Yes)
                return Change::Quiet;
        }
    }

    Dialect Kind() const override { return Dialect::Postgres; }
    std::string Where() const override { return m_where; }
    bool StillThere(std::string*) const override { return true; }

private:
    bool Usable(std::string* error)
    {
        if (m_conn && PQstatus(m_conn) == CONNECTION_OK)
            return true;
        if (error)
            *error = "the connection to the database is lost";
        return false;
    }

    bool Broken(std::string* error)
    {
        if (error)
            *error = Clean(Trimmed(PQerrorMessage(m_conn)));
        return false;
    }

    // A connection whose answer is not awaited any longer cannot be used
    // again: it is closed, which also ends its transaction on the server.
    void Drop()
    {
        if (m_conn)
            PQfinish(m_conn);
        m_conn = nullptr;
    }

    // Reads every result of the statement sent, within the patience.
    bool Collect(Rows* rows, std::string* error)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_patienceMs);
        std::string failure;
        for (;;) {
            while (PQisBusy(m_conn)) {
                const Ready r = WaitSocket(PQsocket(m_conn), POLLIN, m_cancelFd, deadline);
                if (r != Ready::Yes) {
                    Drop();
                    if (error)
                        *error = r == Ready::Cancelled ? std::string("interrupted while waiting for the database")
                                                       : "the database did not answer within " +
                                                             std::to_string(m_patienceMs) + " ms";
                    return false;
                }
                if (!PQconsumeInput(m_conn))
                    return Broken(error);
            }
            Result r(PQgetResult(m_conn));
            if (!r)
                break;
            const ExecStatusType status = PQresultStatus(r.get());
            if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
                if (failure.empty())
                    failure = Trimmed(PQresultErrorMessage(r.get()));
                if (failure.empty())
                    failure = Trimmed(PQerrorMessage(m_conn));
                continue;
            }
            if (rows && status == PGRES_TUPLES_OK) {
                rows->clear();
                const int n = PQntuples(r.get()), columns = PQnfields(r.get());
                for (int k = 0; k < n; ++k) {
                    Row row;
                    for (int c = 0; c < columns; ++c)
                        row.emplace_back(PQgetvalue(r.get(), k, c),
                                         static_cast<std::size_t>(PQgetlength(r.get(), k, c)));
                    rows->push_back(std::move(row));
                }
            }
        }
        if (!failure.empty()) {
            if (error)
                *error = Clean(failure);
            return false;
        }
        return true;
    }

    // libpq's messages may quote the URL it was given.
    std::string Clean(const std::string& text) const { return Redacted(text, m_secrets); }

    std::string m_url;
    bool m_readOnly;
    int m_cancelFd;
    int m_patienceMs = kDefaultPatienceMs;
    std::vector<std::string> m_secrets;  // of the URL, as written and as libpq read it
    std::string m_where;
    PGconn* m_conn = nullptr;
    bool m_listening = false;
};

}  // namespace

std::unique_ptr<CDatabase> OpenPostgres(const std::string& url, bool readOnly, int cancelFd, std::string* error,
                                        bool* badLocation)
{
    char* parseError = nullptr;
    ConnInfo info(PQconninfoParse(url.c_str(), &parseError));
    if (!info) {
        *error = Redacted("not a usable PostgreSQL URL: " + Trimmed(parseError), WrittenSecrets(url));
        PQfreemem(parseError);
        *badLocation = true;
        return nullptr;
    }
    if (const std::string misread = MisreadUrl(url, info.get()); !misread.empty()) {
        *error = "not a usable PostgreSQL URL: " + misread +
                 " (an '@' or '/' in a user name or password is written %40 or %2F)";
        *badLocation = true;
        return nullptr;
    }
    auto database = std::make_unique<CPostgres>(url, readOnly, cancelFd);
    if (!database->Connect(error, badLocation))
        return nullptr;
    return database;
}

}  // namespace vendrill::record
