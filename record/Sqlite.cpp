#include "record/Database.h"

#include <sqlite3.h>

#include <cstdio>

#include <sys/stat.h>

namespace vendrill::record {

namespace {

// Long enough for another station's claim to finish, short enough that a
// stuck lock is reported instead of hanging the line.
constexpr int kBusyTimeoutMs = 5000;

class CSqlite final : public CDatabase {
public:
    CSqlite(sqlite3* db, std::string path)
        : m_db(db)
        , m_path(std::move(path))
    {
    }
    ~CSqlite() override { sqlite3_close_v2(m_db); }

    bool Query(const std::string& sql, const std::vector<std::string>& params, Rows* rows,
               std::string* error) override
    {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK)
            return Fail(error);
        for (std::size_t k = 0; k < params.size(); ++k) {
            char name[24];
            std::snprintf(name, sizeof name, "$%zu", k + 1);
            const int index = sqlite3_bind_parameter_index(stmt, name);
            if (index > 0 && sqlite3_bind_text(stmt, index, params[k].c_str(), static_cast<int>(params[k].size()),
                                               SQLITE_TRANSIENT) != SQLITE_OK) {
                sqlite3_finalize(stmt);
                return Fail(error);
            }
        }
        if (rows)
            rows->clear();
        for (;;) {
            const int step = sqlite3_step(stmt);
            if (step == SQLITE_DONE)
                break;
            if (step != SQLITE_ROW) {
                sqlite3_finalize(stmt);
                return Fail(error);
            }
            if (!rows)
                continue;
            Row row;
            const int columns = sqlite3_column_count(stmt);
            for (int c = 0; c < columns; ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                row.emplace_back(text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)))
                                      : std::string());
            }
            rows->push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        return true;
    }

    bool Script(const std::string& sql, std::string* error) override
    {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        if (error)
            *error = message ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        return false;
    }

    bool BeginWrite(std::string* error) override { return Script("BEGIN IMMEDIATE", error); }
    const char* IdColumn() const override { return "INTEGER PRIMARY KEY"; }
    std::string Where() const override { return m_path; }

private:
    bool Fail(std::string* error) const
    {
        if (error)
            *error = sqlite3_errmsg(m_db);
        return false;
    }

    sqlite3* m_db;
    std::string m_path;
};

}  // namespace

std::unique_ptr<CDatabase> OpenSqlite(const std::string& path, std::string* error)
{
    // A file without any write permission is meant to be kept as it is,
    // even by root, whom the file system would let write.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        *error = path + " is read-only";
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        *error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    if (sqlite3_db_readonly(db, "main") == 1) {
        *error = path + " is read-only";
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    auto database = std::make_unique<CSqlite>(db, path);
    // WAL lets stations read the record while one of them claims; NORMAL
    // sync is durable across a crash of the program in that mode.
    std::string why;
    Rows mode;
    if (!database->Query("PRAGMA journal_mode=WAL", {}, &mode, &why) || mode.empty() || mode[0].empty() ||
        mode[0][0] != "wal" || !database->Script("PRAGMA synchronous=NORMAL", &why)) {
        *error = "cannot use " + path + ": " + (why.empty() ? "the file does not take a write-ahead log" : why);
        return nullptr;
    }
    return database;
}

}  // namespace vendrill::record
