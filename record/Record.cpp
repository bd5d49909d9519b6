#include "record/Record.h"

#include "record/Database.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <sys/stat.h>

namespace vendrill::record {

namespace {

// Schema steps in order; step k (from 1) brings the schema to version k.
// {ID} is the database's generated-id column type.
const char* const kMigrations[] = {
    "CREATE TABLE records ("
    " id {ID},"
    " address TEXT NOT NULL,"
    " name TEXT NOT NULL DEFAULT '',"
    " number BIGINT NOT NULL,"
    " prefix TEXT NOT NULL,"
    " station TEXT NOT NULL,"
    " started TEXT NOT NULL,"
    " ended TEXT NOT NULL DEFAULT '',"
    " result TEXT NOT NULL,"
    " reason TEXT NOT NULL DEFAULT '');"
    // The database itself refuses a number held twice.
    "CREATE UNIQUE INDEX records_live_number ON records (prefix, number)"
    " WHERE result IN ('claimed', 'named', 'unconfirmed');"
    "CREATE INDEX records_address ON records (address, result);"
    "CREATE INDEX records_started ON records (started);"
    "CREATE INDEX records_open ON records (started) WHERE result = 'claimed';",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

// Far longer than any printer takes (a few requests of at most 2 s each).
constexpr auto kAbandonedAfter = std::chrono::minutes(10);

constexpr const char* kColumns = "id, address, name, number, prefix, station, started, ended, result, reason";
constexpr const char* kLive = "('claimed', 'named', 'unconfirmed')";

std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

std::int64_t ToInt(const std::string& text)
{
    return text.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 10);
}

Entry ToEntry(const Row& row)
{
    Entry e;
    e.id = ToInt(row.at(0));
    e.address = row.at(1);
    e.name = row.at(2);
    e.number = ToInt(row.at(3));
    e.prefix = row.at(4);
    e.station = row.at(5);
    e.started = row.at(6);
    e.ended = row.at(7);
    e.result = row.at(8);
    e.reason = row.at(9);
    return e;
}

class CSqlRecord final : public CRecord {
public:
    explicit CSqlRecord(std::unique_ptr<CDatabase> db)
        : m_db(std::move(db))
    {
    }

    bool Migrate(std::string* error)
    {
        if (!m_db->BeginWrite(error))
            return false;
        Rows rows;
        if (!m_db->Script("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", error) ||
            !m_db->Query("SELECT MAX(version) FROM schema_version", {}, &rows, error)) {
            m_db->Rollback();
            return false;
        }
        const int current = rows.empty() ? 0 : static_cast<int>(ToInt(rows[0][0]));
        if (current > kSchemaVersion) {
            m_db->Rollback();
            *error = "the record was written by a newer version of this program (schema " + std::to_string(current) +
                     ")";
            return false;
        }
        for (int v = current + 1; v <= kSchemaVersion; ++v) {
            if (!m_db->Script(Replace(kMigrations[v - 1], "{ID}", m_db->IdColumn()), error) ||
                !m_db->Query("INSERT INTO schema_version (version) VALUES ($1)", {std::to_string(v)}, nullptr,
                             error)) {
                m_db->Rollback();
                return false;
            }
        }
        return m_db->Commit(error);
    }

    std::optional<Claim> ClaimNext(const std::string& prefix, std::int64_t first, const std::string& address,
                                   const std::string& station, std::string* error) override
    {
        if (!m_db->BeginWrite(error))
            return std::nullopt;
        const std::string firstText = std::to_string(first);
        Rows rows;
        // A claim this old belongs to a station that stopped mid-printer
        // (killed, power lost): its number is given back.
        bool ok = m_db->Query("UPDATE records SET result = 'interrupted', ended = $2,"
                              " reason = 'abandoned: the station stopped before it finished'"
                              " WHERE result = 'claimed' AND started < $1",
                              {TimeText(std::chrono::system_clock::now() - kAbandonedAfter), NowText()}, nullptr,
                              error);
        ok = ok && m_db->Query(std::string("SELECT 1 FROM records WHERE prefix = $1 AND number = $2 AND result IN ") +
                                  kLive,
                              {prefix, firstText}, &rows, error);
        std::int64_t number = first;
        if (ok && !rows.empty()) {
            // The end of the first run of held numbers from `first` on.
            ok = m_db->Query(std::string("SELECT MIN(r.number) + 1 FROM records r WHERE r.prefix = $1"
                                         " AND r.number >= $2 AND r.result IN ") +
                                 kLive +
                                 " AND NOT EXISTS (SELECT 1 FROM records s WHERE s.prefix = $1"
                                 " AND s.number = r.number + 1 AND s.result IN " +
                                 kLive + ")",
                             {prefix, firstText}, &rows, error);
            if (ok)
                number = rows.empty() ? first : ToInt(rows[0][0]);
        }
        if (ok)
            ok = m_db->Query("INSERT INTO records (address, number, prefix, station, started, result)"
                             " VALUES ($1, $2, $3, $4, $5, 'claimed') RETURNING id",
                             {address, std::to_string(number), prefix, station, NowText()}, &rows, error);
        if (ok && rows.empty()) {
            ok = false;
            *error = "the new record has no id";
        }
        const std::int64_t id = ok ? ToInt(rows[0][0]) : 0;
        if (!ok || !m_db->Commit(error)) {
            m_db->Rollback();
            return std::nullopt;
        }
        return Claim{id, number};
    }

    bool Finish(std::int64_t id, State state, const std::string& name, const std::string& reason,
                std::string* error) override
    {
        Rows rows;
        if (!m_db->Query("UPDATE records SET result = $2, name = $3, reason = $4, ended = $5"
                         " WHERE id = $1 AND result = 'claimed' RETURNING id",
                         {std::to_string(id), StateName(state), name, reason, NowText()}, &rows, error))
            return false;
        if (rows.empty()) {
            *error = "record " + std::to_string(id) + " is not a claimed one";
            return false;
        }
        return true;
    }

    std::optional<Entry> FindNamed(const std::string& address, std::string* error) override
    {
        Rows rows;
        if (!m_db->Query(std::string("SELECT ") + kColumns +
                             " FROM records WHERE address = $1 AND result = 'named' ORDER BY id DESC LIMIT 1",
                         {address}, &rows, error))
            return std::nullopt;
        if (error)
            error->clear();
        if (rows.empty())
            return std::nullopt;
        return ToEntry(rows[0]);
    }

    bool List(const std::string& since, std::vector<Entry>* out, std::string* error) override
    {
        Rows rows;
        if (!m_db->Query(std::string("SELECT ") + kColumns + " FROM records WHERE started >= $1 ORDER BY started, id",
                         {since}, &rows, error))
            return false;
        out->clear();
        for (const Row& row : rows)
            out->push_back(ToEntry(row));
        return true;
    }

    std::string Where() const override { return m_db->Where(); }

private:
    std::unique_ptr<CDatabase> m_db;
};

// mkdir -p for the default folder; errors show up when the file is opened.
void MakeFolders(const std::string& path)
{
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0700);
}

OpenResult Unavailable(std::string error)
{
    OpenResult r;
    r.kind = OpenResult::Kind::Unavailable;
    r.error = std::move(error);
    return r;
}

}  // namespace

const char* StateName(State state)
{
    switch (state) {
    case State::Claimed: return "claimed";
    case State::Named: return "named";
    case State::Failed: return "failed";
    case State::Interrupted: return "interrupted";
    case State::Unconfirmed: return "unconfirmed";
    }
    return "claimed";
}

std::string DefaultSqlitePath()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.local/share";
    }
    return base + "/vendrill/records.sqlite";
}

std::string NowText()
{
    return TimeText(std::chrono::system_clock::now());
}

std::string TimeText(std::chrono::system_clock::time_point now)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    return text;
}

std::optional<std::string> SinceText(const std::string& text)
{
    std::string t = text;
    if (!t.empty() && t.back() == 'Z')
        t.pop_back();
    // Pattern of digits ('9') and separators for each accepted length.
    static const char* const kForms[] = {"9999-99-99", "9999-99-99T99:99", "9999-99-99T99:99:99"};
    bool matched = false;
    for (const char* form : kForms) {
        const std::string f = form;
        if (f.size() != t.size())
            continue;
        matched = true;
        for (std::size_t k = 0; k < f.size() && matched; ++k) {
            const char c = t[k];
            if (f[k] == '9')
                matched = c >= '0' && c <= '9';
            else if (f[k] == 'T')
                matched = c == 'T' || c == ' ';
            else
                matched = c == f[k];
        }
        if (matched)
            break;
    }
    if (!matched)
        return std::nullopt;
    if (t.size() > 10)
        t[10] = 'T';
    static const std::string kZero = "0000-00-00T00:00:00.000Z";
    return t + kZero.substr(t.size());
}

OpenResult Open(const std::string& location)
{
    std::unique_ptr<CDatabase> db;
    std::string error;
    if (location.empty()) {
        const std::string path = DefaultSqlitePath();
        MakeFolders(path);
        db = OpenSqlite(path, &error);
    } else if (location.rfind("sqlite:", 0) == 0) {
        const std::string path = location.substr(7);
        if (path.empty()) {
            OpenResult r;
            r.kind = OpenResult::Kind::BadLocation;
            r.error = "sqlite: needs a file path";
            return r;
        }
        db = OpenSqlite(path, &error);
    } else if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) {
        db = OpenPostgres(location, &error);
    } else {
        OpenResult r;
        r.kind = OpenResult::Kind::BadLocation;
        r.error = "unknown record location '" + location + "' (give sqlite:PATH or a postgresql:// URL)";
        return r;
    }
    if (!db)
        return Unavailable(error);
    auto record = std::make_unique<CSqlRecord>(std::move(db));
    if (!record->Migrate(&error))
        return Unavailable("cannot prepare the record in " + record->Where() + ": " + error);
    OpenResult r;
    r.record = std::move(record);
    return r;
}

}  // namespace vendrill::record
