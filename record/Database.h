#pragma once

// The little the record needs of a SQL database, so that the record's logic
// and its schema are written once for SQLite and PostgreSQL. Parameters are
// written $1, $2, ... and passed as text; every value comes back as text.

#include <memory>
#include <string>
#include <vector>

namespace vendrill::record {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

class CDatabase {
public:
    virtual ~CDatabase() = default;

    // One statement with parameters; rows (NULL read as "") into *rows when given.
    virtual bool Query(const std::string& sql, const std::vector<std::string>& params, Rows* rows,
                       std::string* error) = 0;
    // Several statements without parameters.
    virtual bool Script(const std::string& sql, std::string* error) = 0;

    // Starts a transaction that holds the database's write lock, so that no
    // other station reads or claims numbers until Commit or Rollback.
    virtual bool BeginWrite(std::string* error) = 0;
    bool Commit(std::string* error) { return Script("COMMIT", error); }
    void Rollback() { std::string ignored; Script("ROLLBACK", &ignored); }

    // Column type of a generated row id.
    virtual const char* IdColumn() const = 0;
    virtual std::string Where() const = 0;
};

// Both return nullptr and set *error when the database cannot be used.
std::unique_ptr<CDatabase> OpenSqlite(const std::string& path, std::string* error);
std::unique_ptr<CDatabase> OpenPostgres(const std::string& url, std::string* error);

}  // namespace vendrill::record
