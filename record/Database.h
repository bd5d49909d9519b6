#pragma once

// The little the record needs of a SQL database, so that the record's logic
// and its schema are written once for SQLite and PostgreSQL. Parameters are
// written $1, $2, ... and passed as text; every value comes back as text.
//
// No call waits without end: each gives up after the database's patience
// (Limit) or as soon as the cancel descriptor becomes readable, and then
// reports an error; the caller decides whether to try again.

#include "record/Record.h"

#include <memory>
#include <string>
#include <vector>

namespace vendrill::record {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

enum class Dialect { Sqlite, Postgres };

class CDatabase {
public:
    virtual ~CDatabase() = default;

    // One statement with parameters; rows (NULL read as "") into *rows when given.
    virtual bool Query(const std::string& sql, const std::vector<std::string>& params, Rows* rows,
                       std::string* error) = 0;
    // Several statements without parameters.
    virtual bool Script(const std::string& sql, std::string* error) = 0;
    // One statement outside a transaction, committed on its own so that it survives a power loss
    // when the call returns. Other commits may be lost with the power (never
    // with the program): a durable commit makes every earlier one durable too.
    virtual bool DurableQuery(const std::string& sql, const std::vector<std::string>& params, std::string* error) = 0;

    // Starts a transaction that holds the database's write lock, so that no
    // other station reads or claims numbers until Commit or Rollback.
    virtual bool BeginWrite(std::string* error) = 0;
    bool Commit(std::string* error) { return Query("COMMIT", {}, nullptr, error); }
    void Rollback() { std::string ignored; Query("ROLLBACK", {}, nullptr, &ignored); }

    // Makes a lost connection anew; true when the database can be used.
    virtual bool Reconnect(std::string* error) = 0;
    // How long one call may wait (for a lock, the server, the network) and a
    // descriptor (-1: none) whose readability ends every wait at once.
    virtual void Limit(int cancelFd, int patienceMs) = 0;

    // Hearing of other connections' commits (see CRecord::Watch).
    virtual bool Listen(std::string* error) = 0;
    virtual Change WaitChange(int timeoutMs, std::string* error) = 0;

    virtual Dialect Kind() const = 0;
    virtual std::string Where() const = 0;
    // See CRecord::HowRead.
    virtual std::string HowRead() const { return {}; }
    // False, with the reason, when the database is no longer the one that
    // was opened: a SQLite file removed or replaced (whatever is written
    // then is written nowhere anybody reads).
    virtual bool StillThere(std::string* error) const = 0;
};

// The channel on which PostgreSQL tells of every visit recorded.
inline constexpr const char* kVisitChannel = "vendrill_visits";

// How long a call waits unless told otherwise: far longer than any claim
// takes, short enough that a stuck database is reported, not waited for.
inline constexpr int kDefaultPatienceMs = 10000;

// Both return nullptr and set *error when the database cannot be used. A
// read-only database is opened so that nothing can be written through it,
// and nothing is made that is not there; a missing SQLite file is made only
// when `create` says so.
std::unique_ptr<CDatabase> OpenSqlite(const std::string& path, bool readOnly, int cancelFd, std::string* error,
                                      bool create = false);
// *badLocation is set when libpq refuses the URL itself (a typing error,
// not a server that cannot be reached).
std::unique_ptr<CDatabase> OpenPostgres(const std::string& url, bool readOnly, int cancelFd, std::string* error,
                                        bool* badLocation);

}  // namespace vendrill::record
