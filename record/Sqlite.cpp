#include "record/Database.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <thread>

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
    // WAL lets stations read the record while one of them claims; NORMAL
    // sync is durable across a crash of the program in that mode. Switching
    // a new file to WAL needs it to itself, and SQLite does not wait for
    // that, so a station starting along with another one tries again.
    std::string mode, why;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        char* message = nullptr;
        const int rc = sqlite3_exec(
            db, "PRAGMA journal_mode=WAL",
            [](void* out, int columns, char** values, char**) {
                if (columns > 0 && values[0])
                    *static_cast<std::string*>(out) = values[0];
                return 0;
            },
            &mode, &message);
        why = message ? message : "";
        sqlite3_free(message);
        if (rc == SQLITE_OK)
            break;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || std::chrono::steady_clock::now() >= deadline) {
            mode.clear();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (mode != "wal" || sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = "cannot use " + path + ": " + (why.empty() ? "the file does not take a write-ahead log" : why);
        sqlite3_close_v2(db);
        return nullptr;
    }
    return std::make_unique<CSqlite>(db, path);
}

}  // namespace vendrill::record
