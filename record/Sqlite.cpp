#include "record/Database.h"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

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

sqlite3* OpenFile(const std::string& name, int flags, std::string* error)
{
    sqlite3* db = nullptr;
    // One thread at a time uses a record (its owner's rule): SQLite need
    // not lock each call of the connection.
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK)
        return db;
    *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return nullptr;
}

// What tells that a file changed: its identity, size, time and, for a
// write-ahead log, its header (which a restarted log rewrites).
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    std::array<char, 32> head{};
    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path)
{
    FileStamp s;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        return s;
    }
    s = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, {}};
    if (::pread(fd, s.head.data(), s.head.size(), 0) < 0)
        s.head.fill(0);
    ::close(fd);
    return s;
}

bool CopyFile(const std::string& from, const std::string& to, std::string* error)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        *error = "cannot read " + from + ": " + std::strerror(errno);
        return false;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = out >= 0;
    char buffer[1 << 16];
    while (ok) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            break;
        ok = n > 0;
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            ok = w > 0;
            done += w;
        }
    }
    if (!ok)
        *error = "cannot copy " + from + " to " + to + ": " + std::strerror(errno);
    ::close(in);
    if (out >= 0 && ::close(out) != 0 && ok) {
        *error = "cannot copy " + from + " to " + to + ": " + std::strerror(errno);
        ok = false;
    }
    return ok;
}

// A record that no reader here can follow in place: a folder where SQLite's
// shared-memory file cannot be made (then no station can be writing: it
// would have made one), or a record closed cleanly, beside which a reader
// would leave files. It is read from a copy of the file and its write-ahead
// log in a private folder, taken anew when they change; a copy taken while
// a station wrote is taken again.
class CPrivateCopy {
public:
    ~CPrivateCopy()
    {
        if (!m_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_dir, ignored);
        }
    }

    bool Make(const std::string& path, std::string* error)
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/vendrill-record-XXXXXX";
        if (!::mkdtemp(dir.data())) {
            *error = "cannot make a folder for a private copy of the record: " + std::string(std::strerror(errno));
            return false;
        }
        m_dir = dir;
        m_source = path;
        m_copy = m_dir + "/record.sqlite";
        return true;
    }

    // Takes the copy anew; *walOnly when the file itself was the same.
    bool Take(int cancelFd, bool* walOnly, std::string* error)
    {
        constexpr int kAttempts = 50;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const FileStamp main = StampOf(m_source), wal = StampOf(m_source + "-wal");
            if (!main.exists) {
                *error = "cannot read " + m_source + ": " + std::strerror(errno);
                return false;
            }
            *walOnly = m_taken && main == m_main;
            std::error_code ignored;
            std::filesystem::remove(m_copy + "-shm", ignored);
            std::filesystem::remove(m_copy + "-wal", ignored);
            if ((!*walOnly && !CopyFile(m_source, m_copy, error)) ||
                (wal.exists && !CopyFile(m_source + "-wal", m_copy + "-wal", error)))
                return false;
            if (StampOf(m_source) == main && StampOf(m_source + "-wal") == wal) {
                m_main = main;
                m_wal = wal;
                m_taken = true;
                return true;
            }
            m_taken = false;  // a station wrote meanwhile: all of it again
            if (Readable(cancelFd, 5)) {
                *error = "interrupted while copying the record";
                return false;
            }
        }
        *error = "the record " + m_source + " changed during every copy of it";
        return false;
    }

    bool Changed() const { return StampOf(m_source) != m_main || StampOf(m_source + "-wal") != m_wal; }
    const std::string& File() const { return m_copy; }

private:
    std::string m_dir, m_source, m_copy;
    FileStamp m_main, m_wal;
    bool m_taken = false;
};

class CSqlite final : public CDatabase {
public:
    CSqlite(sqlite3* db, std::string path, int cancelFd, std::unique_ptr<CPrivateCopy> copy = {})
        : m_db(db)
        , m_path(std::move(path))
        , m_cancelFd(cancelFd)
        , m_copy(std::move(copy))
        , m_file(FileId())
    {
        Prepare();
    }
    ~CSqlite() override { Close(); }

    bool Query(const std::string& sql, const std::vector<std::string>& params, Rows* rows,
               std::string* error) override
    {
        // A copy is brought up to date between transactions, never within one.
        if (m_copy && sqlite3_get_autocommit(m_db) && m_copy->Changed() && !Refresh(error))
            return false;
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
            if (m_copy) {
                if (m_copy->Changed())
                    return Change::Changed;  // the next read takes the copy anew
            } else {
                const std::optional<std::int64_t> version = DataVersion(error);
                if (!version)
                    return Change::Failed;
                if (*version != m_version) {
                    m_version = *version;
                    return Change::Changed;
                }
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
    std::string HowRead() const override
    {
        return m_copy ? "read through a private copy, taken anew whenever the file changes (no shared-memory file "
                        "can be made beside it, or it was closed cleanly and is left as it is)"
                      : std::string();
    }
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
    void Prepare()
    {
        // Waits for another station's lock in short steps, so that a
        // signal or the patience ends the wait (SQLITE_BUSY) in time.
        sqlite3_busy_handler(m_db, &CSqlite::OnBusy, this);
        if (m_copy) {
            // The copy's file stays as the record's was, so that a later
            // copy of the log alone fits it.
            sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            sqlite3_exec(m_db, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
        }
    }
    void Close()
    {
        for (auto& [sql, stmt] : m_statements)
            sqlite3_finalize(stmt);
        m_statements.clear();
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    // Takes the copy anew and reads it.
    bool Refresh(std::string* error)
    {
        Close();
        bool walOnly = false;
        std::string why;
        if (m_copy->Take(m_cancelFd, &walOnly, &why))
            m_db = OpenFile(m_copy->File(), SQLITE_OPEN_READWRITE, &why);
        if (!m_db) {
            // Closed, the object stays usable: the next call tries again.
            m_db = OpenFile(":memory:", SQLITE_OPEN_READWRITE, &why);
            if (error)
                *error = "cannot read a copy of " + m_path + ": " + why;
            return false;
        }
        Prepare();
        return true;
    }

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
    std::unique_ptr<CPrivateCopy> m_copy;  // set when the record is read from a copy
    int m_patienceMs = kDefaultPatienceMs;
    Clock::time_point m_busySince;
    std::int64_t m_version = 0;
    std::pair<dev_t, ino_t> m_file;
};

bool Opens(sqlite3* db, std::string* why)
{
    if (sqlite3_exec(db, "SELECT COUNT(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    *why = sqlite3_errmsg(db);
    return false;
}

std::unique_ptr<CDatabase> OpenReadOnly(const std::string& path, int cancelFd, std::string* error)
{
    std::string why;
    struct stat st {};
    // In place only beside a station's files: opening a record closed
    // cleanly would leave its -wal and -shm behind.
    if (::stat((path + "-wal").c_str(), &st) == 0 || ::stat((path + "-shm").c_str(), &st) == 0) {
        sqlite3* db = OpenFile(path, SQLITE_OPEN_READONLY, &why);
        if (db && Opens(db, &why))
            return std::make_unique<CSqlite>(db, path, cancelFd);
        sqlite3_close_v2(db);
    }
    auto copy = std::make_unique<CPrivateCopy>();
    bool walOnly = false;
    sqlite3* db = nullptr;
    if (copy->Make(path, &why) && copy->Take(cancelFd, &walOnly, &why)) {
        db = OpenFile(copy->File(), SQLITE_OPEN_READWRITE, &why);
        if (db && !Opens(db, &why)) {
            sqlite3_close_v2(db);
            db = nullptr;
        }
    }
    if (!db) {
        *error = "cannot read " + path + ": " + why;
        return nullptr;
    }
    return std::make_unique<CSqlite>(db, path, cancelFd, std::move(copy));
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
