#include "record/Database.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include <poll.h>
#include <sys/stat.h>

namespace vendrill::record {

namespace {

using Clock = std::chrono::steady_clock;

bool Readable(int fd, int ms)
{
    if (fd < 0) {
        if (ms > 0)
            ::poll(nullptr, 0, ms);
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

// "file:" URI of a path, for the open flags only a URI can carry.
std::string FileUri(const std::string& path, const char* query)
{
    std::string uri = "file:";
    for (const unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c <= ' ' || c >= 0x7F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?" + query;
}

class CSqlite final : public CDatabase {
public:
    CSqlite(sqlite3* db, std::string path, int cancelFd)
        : m_db(db)
        , m_path(std::move(path))
        , m_cancelFd(cancelFd)
        , m_file(FileId())
    {
        // Waits for another station's lock in short steps, so that a
        // signal or the patience ends the wait (SQLITE_BUSY) in time.
        sqlite3_busy_handler(m_db, &CSqlite::OnBusy, this);
    }
    ~CSqlite() override
    {
        for (auto& [sql, stmt] : m_statements)
            sqlite3_finalize(stmt);
        sqlite3_close_v2(m_db);
    }

    bool Query(const std::string& sql, const std::vector<std::string>& params, Rows* rows,
               std::string* error) override
    {
        // A station runs the same few statements for every printer: each is
        // compiled once.
        sqlite3_stmt*& stmt = m_statements[sql];
        if (!stmt && sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                        &stmt, nullptr) != SQLITE_OK) {
            m_statements.erase(sql);
            return Fail(error);
        }
        // Unbound parameters are NULL, not what the last use bound.
        struct Done {
            sqlite3_stmt* stmt;
            ~Done()
            {
                sqlite3_reset(stmt);
                sqlite3_clear_bindings(stmt);
            }
        } done{stmt};
        for (std::size_t k = 0; k < params.size(); ++k) {
            char name[24];
            std::snprintf(name, sizeof name, "$%zu", k + 1);
            const int index = sqlite3_bind_parameter_index(stmt, name);
            if (index > 0 && sqlite3_bind_text(stmt, index, params[k].c_str(), static_cast<int>(params[k].size()),
                                               SQLITE_TRANSIENT) != SQLITE_OK)
                return Fail(error);
        }
        if (rows)
            rows->clear();
        for (;;) {
            const int step = sqlite3_step(stmt);
            if (step == SQLITE_DONE)
                break;
            if (step != SQLITE_ROW)
                return Fail(error);
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

    bool DurableQuery(const std::string& sql, const std::vector<std::string>& params, std::string* error) override
    {
        // FULL makes this commit wait for the log to reach the disk; the
        // log is written in order, so everything before it is on the disk too.
        if (!Query("PRAGMA synchronous=FULL", {}, nullptr, error))
            return false;
        const bool ok = Query(sql, params, nullptr, error);
        std::string ignored;
        Query("PRAGMA synchronous=NORMAL", {}, nullptr, &ignored);
        return ok;
    }

    bool BeginWrite(std::string* error) override { return Query("BEGIN IMMEDIATE", {}, nullptr, error); }
    // A file has no connection to lose; a failed transaction is rolled back.
    bool Reconnect(std::string*) override
    {
        if (!sqlite3_get_autocommit(m_db))
            Rollback();
        return true;
    }
    void Limit(int cancelFd, int patienceMs) override
    {
        m_cancelFd = cancelFd;
        m_patienceMs = patienceMs;
    }
    // Another connection's commit changes the data version. A file that
    // was removed or replaced is a record gone: this connection would go on
    // reading the old one.
    bool Listen(std::string* error) override
    {
        const std::optional<std::int64_t> version = DataVersion(error);
        if (!version)
            return false;
        m_version = *version;
        return true;
    }
    Change WaitChange(int timeoutMs, std::string* error) override
    {
        constexpr int kLookMs = 100;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::optional<std::int64_t> version = DataVersion(error);
            if (!version)
                return Change::Failed;
            if (*version != m_version) {
                m_version = *version;
                return Change::Changed;
            }
            if (!StillThere(error))
                return Change::Failed;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || Readable(m_cancelFd, static_cast<int>(std::min<long long>(left, kLookMs))))
                return Change::Quiet;
        }
    }
    Dialect Kind() const override { return Dialect::Sqlite; }
    std::string Where() const override { return m_path; }
    // The file at the path is the one this connection has open (device and
    // inode): moved away, deleted or copied over, it is not.
    bool StillThere(std::string* error) const override
    {
        if (FileId() == m_file)
            return true;
        if (error)
            *error = "the record file " + m_path + " was removed or replaced";
        return false;
    }

private:
    std::optional<std::int64_t> DataVersion(std::string* error)
    {
        Rows rows;
        if (!Query("PRAGMA data_version", {}, &rows, error) || rows.empty())
            return std::nullopt;
        return std::strtoll(rows[0][0].c_str(), nullptr, 10);
    }
    std::pair<dev_t, ino_t> FileId() const
    {
        struct stat st {};
        if (::stat(m_path.c_str(), &st) != 0)
            return {0, 0};
        return {st.st_dev, st.st_ino};
    }

    static int OnBusy(void* self, int count)
    {
        auto* db = static_cast<CSqlite*>(self);
        if (count == 0)
            db->m_busySince = Clock::now();
        if (Clock::now() - db->m_busySince >= std::chrono::milliseconds(db->m_patienceMs))
            return 0;
        return Readable(db->m_cancelFd, 5) ? 0 : 1;
    }

    bool Fail(std::string* error) const
    {
        if (error)
            *error = sqlite3_errmsg(m_db);
        return false;
    }

    sqlite3* m_db;
    std::string m_path;
    std::map<std::string, sqlite3_stmt*> m_statements;
    int m_cancelFd;
    int m_patienceMs = kDefaultPatienceMs;
    Clock::time_point m_busySince;
    std::int64_t m_version = 0;
    std::pair<dev_t, ino_t> m_file;
};

sqlite3* OpenFile(const std::string& name, int flags, std::string* error)
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    if (rc == SQLITE_OK)
        return db;
    *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return nullptr;
}

std::unique_ptr<CDatabase> OpenReadOnly(const std::string& path, int cancelFd, std::string* error)
{
    std::string why;
    sqlite3* db = OpenFile(path, SQLITE_OPEN_READONLY, &why);
    if (db && sqlite3_exec(db, "SELECT COUNT(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
        // A record in a folder this user may not write to, closed cleanly
        // by its last station, has no shared-memory file, and none can be
        // made: read the file as it lies. No station writes to it then,
        // or that file would be there.
        why = sqlite3_errmsg(db);
        sqlite3_close_v2(db);
        db = OpenFile(FileUri(path, "immutable=1"), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, &why);
        if (db && sqlite3_exec(db, "SELECT COUNT(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
            why = sqlite3_errmsg(db);
            sqlite3_close_v2(db);
            db = nullptr;
        }
    }
    if (!db) {
        *error = "cannot read " + path + ": " + why;
        return nullptr;
    }
    return std::make_unique<CSqlite>(db, path, cancelFd);
}

}  // namespace

std::unique_ptr<CDatabase> OpenSqlite(const std::string& path, bool readOnly, int cancelFd, std::string* error,
                                      bool create)
{
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (readOnly) {
        if (!exists) {
            *error = "no record at " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        return OpenReadOnly(path, cancelFd, error);
    }
    // A file without any write permission is meant to be kept as it is,
    // even by root, whom the file system would let write.
    if (exists && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        *error = path + " is read-only";
        return nullptr;
    }
    std::string why;
    sqlite3* db = OpenFile(path, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), &why);
    if (!db) {
        *error = "cannot open " + path + ": " + why;
        return nullptr;
    }
    if (sqlite3_db_readonly(db, "main") == 1) {
        *error = path + " is read-only";
        sqlite3_close_v2(db);
        return nullptr;
    }
    auto database = std::make_unique<CSqlite>(db, path, cancelFd);
    // WAL lets stations read the record while one of them claims. NORMAL
    // sync keeps every commit across a crash of the program; the commits
    // that must also outlast a power loss ask for it (DurableQuery). Switching a new
    // file to WAL needs it to itself, and SQLite does not wait for that, so
    // a station starting along with another one tries again.
    std::string mode;
    int rc = SQLITE_OK;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDefaultPatienceMs);
    for (;;) {
        char* message = nullptr;
        rc = sqlite3_exec(
            db, "PRAGMA journal_mode=WAL",
            [](void* out, int columns, char** values, char**) {
                if (columns > 0 && values[0])
                    *static_cast<std::string*>(out) = values[0];
                return 0;
            },
            &mode, &message);
        why = message ? message : "";
        sqlite3_free(message);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || Clock::now() >= deadline || Readable(cancelFd, 10))
            break;
    }
    if (rc != SQLITE_OK || mode != "wal" ||
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = "cannot use " + path + ": " + (why.empty() ? "the file does not take a write-ahead log" : why);
        return nullptr;
    }
    return database;
}

}  // namespace vendrill::record
