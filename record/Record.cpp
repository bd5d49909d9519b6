#include "record/Record.h"

#include "base/TextCodec.h"
#include "record/Database.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include <sys/stat.h>

namespace vendrill::record {

namespace {

// Schema steps in order; step k (from 1) brings the schema to version k.
// Placeholders stand for what the two databases write differently (Expand).
const char* const kMigrations[] = {
    // 1: one row a claimed number.
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
    "CREATE UNIQUE INDEX records_live_number ON records (prefix, number)"
    " WHERE result IN ('claimed', 'named', 'unconfirmed');"
    "CREATE INDEX records_address ON records (address, result);"
    "CREATE INDEX records_started ON records (started);"
    "CREATE INDEX records_open ON records (started) WHERE result = 'claimed';",

    // 2: names bound to addresses for good, and every visit. Every number
    // whose Set BDN may have gone out stays taken, bound to that printer
    // (sent, unless the read-back confirmed it): version 1 wrote such names
    // as claimed (a station killed mid-printer), unconfirmed, interrupted
    // (a signal, or a claim it gave up on), and failed after a lost or
    // broken answer. Only a refusal of Set BDN, or a name never sent, gave
    // its number back for good. Of two such records with one name or one
    // number (version 1 handed given-back numbers out again) a confirmed
    // one keeps it, else the first; the other printer gets a new name when
    // it comes back. A number claimed without a name kept stays taken, with
    // its name unknown (NULL).
    "CREATE TABLE names ("
    " id {ID},"
    " name TEXT UNIQUE,"
    " prefix TEXT NOT NULL,"
    " number BIGINT NOT NULL,"
    " address TEXT NOT NULL,"
    " station TEXT NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('claimed', 'sent', 'named', 'failed')),"
    " {TIME:claimed},"
    " {TIME:changed},"
    " UNIQUE (prefix, number));"
    "CREATE INDEX names_address ON names (address, id);"
    "CREATE TABLE visits ("
    " id {ID},"
    " {TIME:time},"
    " station TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " result TEXT NOT NULL CHECK (result IN ('named', 'already-named', 'renamed-back', 'sent', 'failed')),"
    " name_id BIGINT REFERENCES names (id),"
    " name TEXT NOT NULL DEFAULT '',"
    " number BIGINT,"
    " found TEXT NOT NULL DEFAULT '',"
    " label INTEGER NOT NULL DEFAULT 0 CHECK (label IN (0, 1)),"
    " pin INTEGER NOT NULL DEFAULT 0 CHECK (pin IN (0, 1)),"
    " level INTEGER NOT NULL DEFAULT 0 CHECK (level IN (0, 1)),"
    " reason TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX visits_time ON visits (time);"
    "CREATE INDEX visits_address ON visits (address, time);"
    "INSERT INTO names (name, prefix, number, address, station, state, claimed, changed)"
    " SELECT NULLIF(r.name, ''), r.prefix, r.number, r.address, r.station,"
    " CASE r.result WHEN 'named' THEN 'named' ELSE 'sent' END,"
    " {OLDTIME:r.started}, {OLDTIME:COALESCE(NULLIF(r.ended, ''), r.started)}"
    " FROM records r WHERE {MAYBESENT:r}"
    " AND NOT EXISTS (SELECT 1 FROM records o WHERE o.result = 'named' AND r.result <> 'named'"
    " AND (o.name = NULLIF(r.name, '') OR (o.prefix = r.prefix AND o.number = r.number)))"
    " ORDER BY r.id ON CONFLICT DO NOTHING;"
    "INSERT INTO visits (time, station, address, result, name_id, name, number, reason)"
    " SELECT {OLDTIME:COALESCE(NULLIF(r.ended, ''), r.started)}, r.station, r.address,"
    " CASE WHEN r.result = 'named' THEN 'named' WHEN {MAYBESENT:r} THEN 'sent' ELSE 'failed' END,"
    " (SELECT n.id FROM names n WHERE n.prefix = r.prefix AND n.number = r.number AND n.address = r.address),"
    " r.name, r.number, r.reason"
    " FROM records r WHERE r.result <> 'claimed' ORDER BY r.id;"
    "DROP TABLE records;",

    // 3: the first form of step 2 left the names of version 1's failed and
    // interrupted printers free, though their Set BDN may have gone out.
    // Their visits still tell name, number and address: each is bound again
    // (sent), unless its printer was given a name since, or another printer
    // holds that name by now. The prefix is the name without the number and
    // its zero fill.
    "INSERT INTO names (name, prefix, number, address, station, state, claimed, changed)"
    " SELECT v.name, rtrim(substr(v.name, 1, length(v.name) - length(CAST(v.number AS TEXT))), '0'), v.number,"
    " v.address, v.station, 'sent', v.time, v.time"
    " FROM visits v WHERE v.name_id IS NULL AND v.name <> '' AND v.number IS NOT NULL"
    " AND v.result IN ('failed', 'sent') AND NOT {NEVERSENT:v.reason}"
    " AND NOT EXISTS (SELECT 1 FROM visits w WHERE w.address = v.address AND w.id > v.id"
    " AND (w.name_id IS NOT NULL OR w.result IN ('named', 'already-named', 'renamed-back')))"
    " ORDER BY v.id ON CONFLICT DO NOTHING;"
    "UPDATE visits SET result = 'sent' WHERE result = 'failed' AND name_id IS NULL AND name <> ''"
    " AND number IS NOT NULL AND NOT {NEVERSENT:reason};"
    "UPDATE visits SET name_id = (SELECT n.id FROM names n WHERE n.name = visits.name AND n.address = visits.address)"
    " WHERE name_id IS NULL AND name <> ''"
    " AND EXISTS (SELECT 1 FROM names n WHERE n.name = visits.name AND n.address = visits.address);",

    // 4: visits in the order of time and id, so that an export pages
    // through them by the last one seen, at the same cost for every page.
    "CREATE INDEX visits_time_id ON visits (time, id);"
    "DROP INDEX IF EXISTS visits_time;",

    // 5: the radio check of a visit: what it came to ('' when the printer
    // was not checked over the air) and the name the air showed.
    "ALTER TABLE visits ADD COLUMN radio TEXT NOT NULL DEFAULT ''"
    " CHECK (radio IN ('', 'ok', 'no-bluetooth', 'not-heard', 'mismatch', 'interrupted'));"
    "ALTER TABLE visits ADD COLUMN name_heard TEXT NOT NULL DEFAULT '';",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

constexpr const char* kSqliteNow = "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')";

// RadioFailed of a visit v, in SQL.
constexpr const char* kRadioFailed = "v.radio NOT IN ('', 'ok')";

// The SQL of one dialect: {ID} a generated key column, {TIME:col} a time
// column set by the database's clock, {NOW} that clock, {OLDTIME:expr} a
// time that version 1 kept as text, {OUT:expr} a time as text in the
// record's form, {HOUR:col} the hour of a time column in that form,
// {KEY:col} a time column as text in the database's full precision;
// {MAYBESENT:r} a version-1 row r whose Set BDN may have gone out, and
// {NEVERSENT:reason} the reasons of version 1 that say it never took.
std::string Expand(const std::string& sql, Dialect dialect)
{
    const bool pg = dialect == Dialect::Postgres;
    std::string out;
    std::size_t at = 0;
    for (std::size_t open = sql.find('{'); open != std::string::npos; open = sql.find('{', at)) {
        const std::size_t close = sql.find('}', open);
        out.append(sql, at, open - at);
        const std::string token = sql.substr(open + 1, close - open - 1);
        const std::size_t colon = token.find(':');
        const std::string key = token.substr(0, colon);
        const std::string arg = colon == std::string::npos ? "" : token.substr(colon + 1);
        if (key == "ID")
            out += pg ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY";
        else if (key == "NOW")
            out += pg ? "now()" : kSqliteNow;
        else if (key == "TIME")
            out += pg ? arg + " timestamptz NOT NULL DEFAULT now()"
                      : arg + " TEXT NOT NULL DEFAULT (" + kSqliteNow + ") CHECK (" + arg +
                            " GLOB '[0-9][0-9][0-9][0-9]-[0-1][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]"
                            ".[0-9][0-9][0-9]Z')";
        else if (key == "OLDTIME")
            out += pg ? "(" + arg + ")::timestamptz" : arg;
        else if (key == "HOUR")
            out += pg ? "to_char(date_trunc('hour', " + arg + " AT TIME ZONE 'UTC'), 'YYYY-MM-DD\"T\"HH24:00:00.000\"Z\"')"
                      : "substr(" + arg + ", 1, 13) || ':00:00.000Z'";
        else if (key == "KEY")
            out += pg ? "to_char(" + arg + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US\"Z\"')" : arg;
        else if (key == "MAYBESENT")
            out += Expand("(" + arg + ".result IN ('claimed', 'named', 'unconfirmed', 'interrupted') OR (" + arg +
                              ".result = 'failed' AND NOT {NEVERSENT:" + arg + ".reason}))",
                          dialect);
        else if (key == "NEVERSENT")
            // What version 1 wrote when Set BDN was refused or never sent.
            out += "(" + arg + " LIKE 'Bluetooth Setting Error (the module refused Set BDN)%' OR " + arg +
                   " LIKE '%is too long to be sent%')";
        else if (key == "OUT")
            out += pg ? "to_char(" + arg + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')" : arg;
        at = close + 1;
    }
    out.append(sql, at, std::string::npos);
    return out;
}

std::int64_t ToInt(const std::string& text)
{
    return text.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 10);
}

State StateFrom(const std::string& name)
{
    for (State s : {State::Claimed, State::Sent, State::Named, State::Failed})
        if (name == StateName(s))
            return s;
    return State::Sent;  // unknown: the careful reading
}

Result ResultFrom(const std::string& name)
{
    for (Result r : {Result::Named, Result::AlreadyNamed, Result::RenamedBack, Result::Sent, Result::Failed})
        if (name == ResultName(r))
            return r;
    return Result::Failed;
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
        int current = 0;
        if (!m_db->Script("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", error) ||
            !Version(&current, error)) {
            m_db->Rollback();
            return false;
        }
        if (current > kSchemaVersion) {
            m_db->Rollback();
            *error = Newer(current);
            return false;
        }
        for (int v = current + 1; v <= kSchemaVersion; ++v) {
            if (!m_db->Script(Sql(kMigrations[v - 1]), error) ||
                !m_db->Query("INSERT INTO schema_version (version) VALUES ($1)", {std::to_string(v)}, nullptr,
                             error)) {
                m_db->Rollback();
                return false;
            }
        }
        return m_db->Commit(error);
    }

    // A record read only is taken as it is.
    bool CheckVersion(std::string* error)
    {
        int current = 0;
        if (!Version(&current, error)) {
            *error = "not a record of this program (" + *error + ")";
            return false;
        }
        if (current > kSchemaVersion) {
            *error = Newer(current);
            return false;
        }
        if (current < kSchemaVersion) {
            *error = "the record is of an older version of this program; a station that opens it brings it up to "
                     "date (vendrill-cli station --db ...)";
            return false;
        }
        return true;
    }

    ClaimResult Claim(const std::string& address, const Numbering& numbering, const std::string& station) override
    {
        const std::string& prefix = numbering.prefix;
        // The address's name is looked up before the line's lock is taken:
        // the lock is held only while a number is taken. A binding is never
        // undone, and only a second module with the same address (which
        // then gets a name of its own) could be claimed for meanwhile.
        ClaimResult result;
        Rows rows;
        if (!m_db->StillThere(&result.error) ||
            !m_db->Query(Sql("SELECT id, name, prefix, number, station, state, {OUT:claimed} FROM names"
                             " WHERE address = $1 AND name IS NOT NULL ORDER BY id DESC LIMIT 1"),
                         {Text(address)}, &rows, &result.error))
            return result;
        if (!rows.empty()) {
            const Row& r = rows[0];
            result.binding = {ToInt(r[0]), r[1], r[2], ToInt(r[3]), Text(address), r[4], StateFrom(r[5]), false, r[6]};
            result.kind = ClaimResult::Kind::Ok;
            return result;
        }
        // Every number below the last one this record object took from
        // `first` is taken (none is ever given back): the search starts
        // there, at the first number free now. Other stations take numbers
        // too: found before the lock, it is most often still free under it,
        // and the lock is held for taking it alone.
        std::int64_t& from = m_from[prefix + '\n' + std::to_string(numbering.first)];
        from = std::max(from, numbering.first);
        const std::optional<std::int64_t> free = FreeFrom(prefix, from, &result.error);
        if (!free)
            return result;
        from = *free;
        if (!m_db->BeginWrite(&result.error))
            return result;
        bool ok = m_db->StillThere(&result.error);
        std::int64_t number = from;
        std::string name;
        while (ok) {
            name = NameOf(numbering, number);
            if (name.empty()) {
                m_db->Rollback();
                result.kind = ClaimResult::Kind::NoNameLeft;
                result.error = "no name is left for " + prefix + ": number " + std::to_string(number) +
                               " makes a name too long for the module";
                return result;
            }
            // The unique indexes refuse a number of this prefix that is
            // taken, and a name that another prefix holds (PRN-1 + 00001 and
            // PRN- + 100001): then the search goes on behind it.
            ok = m_db->Query(Sql("INSERT INTO names (name, prefix, number, address, station, state)"
                                 " VALUES ($1, $2, $3, $4, $5, 'claimed') ON CONFLICT DO NOTHING"
                                 " RETURNING id, {OUT:claimed}"),
                             {name, prefix, std::to_string(number), Text(address), Text(station)}, &rows,
                             &result.error);
            if (!ok || !rows.empty())
                break;
            const std::optional<std::int64_t> free = FreeFrom(prefix, number, &result.error);
            ok = free.has_value();
            if (ok)
                number = *free == number ? number + 1 : *free;  // only the name was taken, or the number too
        }
        if (!ok) {
            m_db->Rollback();
            return result;
        }
        result.binding = {ToInt(rows[0][0]), name, prefix, number, Text(address), Text(station), State::Claimed, true,
                          rows[0][1]};
        result = Done(std::move(result));
        if (result.kind == ClaimResult::Kind::Ok)
            from = number + 1;
        return result;
    }

    std::optional<std::int64_t> NextNumber(const Numbering& numbering, std::string* error) override
    {
        const std::int64_t from = m_from[numbering.prefix + '\n' + std::to_string(numbering.first)];
        return FreeFrom(numbering.prefix, std::max(numbering.first, from), error);
    }

    bool SetState(std::int64_t id, State state, std::string* error) override
    {
        // Set BDN goes out once this returns: the name, and its claim before
        // it, must outlast anything, a power loss included, and be in the
        // file that the next station opens.
        return m_db->StillThere(error) && UpdateState(id, state, state == State::Sent, error) &&
               m_db->StillThere(error);
    }

    bool AddVisit(const Visit& v, std::optional<State> state, std::string* error) override
    {
        if (!m_db->Query("BEGIN", {}, nullptr, error))
            return false;
        bool ok = m_db->StillThere(error) && (!state || v.nameId == 0 || UpdateState(v.nameId, *state, false, error));
        ok = ok && m_db->Query("INSERT INTO visits (station, address, result, name_id, name, number, found, label,"
                               " pin, level, reason, radio, name_heard) VALUES ($1, $2, $3,"
                               " CAST(NULLIF($4, '') AS BIGINT), $5, CAST(NULLIF($6, '') AS BIGINT), $7, $8, $9, $10,"
                               " $11, $12, $13)",
                               {Text(v.station), Text(v.address), ResultName(v.result),
                                v.nameId > 0 ? std::to_string(v.nameId) : "", Text(v.name),
                                v.number >= 0 ? std::to_string(v.number) : "", Text(v.found), v.label ? "1" : "0",
                                v.pin ? "1" : "0", v.level ? "1" : "0", Text(v.reason), v.radio, Text(v.nameHeard)},
                               nullptr, error);
        // Line boards hear of the visit when it commits.
        if (ok && m_db->Kind() == Dialect::Postgres)
            ok = m_db->Query(std::string("NOTIFY ") + kVisitChannel, {}, nullptr, error);
        if (!ok || !m_db->Commit(error)) {
            m_db->Rollback();
            return false;
        }
        return m_db->StillThere(error);
    }

    bool LabelPrinted(const Binding& b, bool* printed, std::string* error) override
    {
        // By address first: its index finds the printer's few visits.
        Rows rows;
        if (!m_db->Query("SELECT 1 FROM visits WHERE address = $1 AND name_id = $2 AND label = 1 LIMIT 1",
                         {Text(b.address), std::to_string(b.id)}, &rows, error))
            return false;
        *printed = !rows.empty();
        return true;
    }

    bool ListBetween(const std::string& since, const std::string& until, std::size_t limit, PageKey* key,
                     std::vector<VisitEntry>* out, std::string* error) override
    {
        out->clear();
        if (key->lastId == 0) {
            Rows rows;
            if (!m_db->Query("SELECT COALESCE(MAX(id), 0) FROM visits", {}, &rows, error))
                return false;
            key->lastId = rows.empty() ? 0 : ToInt(rows[0][0]);
            if (key->lastId == 0)
                return true;
        }
        std::string where = "v.id <= CAST($1 AS BIGINT)";
        std::vector<std::string> params = {std::to_string(key->lastId)};
        for (const auto& [bound, op] : {std::pair{&since, ">="}, std::pair{&until, "<"}})
            if (!bound->empty()) {
                params.push_back(*bound);
                where += std::string(" AND v.time ") + op + " " + Time(params.size());
            }
        if (!key->time.empty()) {
            params.push_back(key->time);
            params.push_back(std::to_string(key->id));
            where += " AND (v.time, v.id) > (" + Time(params.size() - 1) + ", CAST($" + std::to_string(params.size()) +
                     " AS BIGINT))";
        }
        return Visits(where, params, "v.time, v.id", limit, out, error, key);
    }

    bool ReadBoard(const BoardQuery& q, Board* out, std::string* error) override
    {
        // One snapshot: a commit between the queries must not make the
        // counts disagree with the latest visits.
        if (!m_db->Query(m_db->Kind() == Dialect::Postgres ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN",
                         {}, nullptr, error))
            return false;
        const bool ok = ReadBoardIn(q, out, error);
        m_db->Rollback();
        return ok;
    }

    bool History(const std::string& key, std::size_t limit, std::vector<VisitEntry>* out, std::string* error) override
    {
        std::string upper = key;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return Visits("v.address IN ($1, $2) OR v.address IN (SELECT address FROM names WHERE lower(name) = lower($1))"
                      " OR v.address IN (SELECT address FROM visits WHERE lower(name) = lower($1)"
                      " OR lower(found) = lower($1))",
                      {Text(key), Text(upper)}, "v.time DESC, v.id DESC", limit, out, error);
    }

    bool Watch(std::string* error) override { return m_db->Listen(error); }
    Change WaitForChange(int timeoutMs, std::string* error) override { return m_db->WaitChange(timeoutMs, error); }

    bool Reconnect(std::string* error) override { return m_db->Reconnect(error); }
    void Limit(int cancelFd, int patienceMs) override { m_db->Limit(cancelFd, patienceMs); }
    std::string Where() const override { return m_db->Where(); }
    std::string HowRead() const override { return m_db->HowRead(); }

private:
    std::string Sql(const std::string& sql) const { return Expand(sql, m_db->Kind()); }

    // Parameter n as a time to compare with.
    std::string Time(std::size_t n) const
    {
        return "$" + std::to_string(n) + (m_db->Kind() == Dialect::Postgres ? "::timestamptz" : "");
    }

    // Visits as VisitEntry, the state being their name's now; *last, when
    // given, moves on to the last one.
    bool Visits(const std::string& where, const std::vector<std::string>& params, const std::string& order,
                std::size_t limit, std::vector<VisitEntry>* out, std::string* error, PageKey* last = nullptr)
    {
        Rows rows;
        std::string sql = "SELECT {OUT:v.time}, v.station, v.address, v.result, v.name, v.number,"
                          " COALESCE(n.state, ''), v.found, v.label, v.pin, v.level, v.reason, v.name_id,"
                          " {KEY:v.time}, v.id, v.radio, v.name_heard"
                          " FROM visits v LEFT JOIN names n ON n.id = v.name_id WHERE " +
                          where + " ORDER BY " + order;
        if (limit > 0)
            sql += " LIMIT " + std::to_string(limit);
        if (!m_db->Query(Sql(sql), params, &rows, error))
            return false;
        out->clear();
        out->reserve(rows.size());
        for (const Row& r : rows)
            out->push_back(EntryOf(r));
        if (last && !rows.empty()) {
            last->time = rows.back()[13];
            last->id = ToInt(rows.back()[14]);
        }
        return true;
    }

    static VisitEntry EntryOf(const Row& r)
    {
        VisitEntry e;
        e.time = r[0];
        e.visit = {r[2], r[1], ResultFrom(r[3]), ToInt(r[12]), r[4], r[5].empty() ? -1 : ToInt(r[5]), r[7],
                   r[8] == "1", r[9] == "1", r[10] == "1", r[11], r[15], r[16]};
        e.state = r[6];
        return e;
    }

    bool ReadBoardIn(const BoardQuery& q, Board* out, std::string* error)
    {
        Rows rows;
        *out = Board{};
        const std::string now = m_db->Kind() == Dialect::Postgres ? Sql("SELECT {OUT:now()}")
                                                                   : std::string("SELECT ") + kSqliteNow;
        if (!m_db->Query(now, {}, &rows, error) || rows.empty())
            return false;
        out->now = rows[0][0];
        if (!m_db->Query(Sql("SELECT v.station, COUNT(*),"
                             " SUM(CASE WHEN v.result IN ('named', 'renamed-back') THEN 1 ELSE 0 END),"
                             " SUM(CASE WHEN v.result = 'failed' THEN 1 ELSE 0 END),"
                             " SUM(CASE WHEN v.result = 'sent' AND n.state = 'sent' THEN 1 ELSE 0 END),"
                             " SUM(CASE WHEN v.time >= " + Time(2) + " THEN 1 ELSE 0 END), MAX(v.id),"
                             " SUM(CASE WHEN v.result = 'already-named' THEN 1 ELSE 0 END),"
                             " SUM(CASE WHEN v.time >= " + Time(3) +
                             " AND v.result IN ('named', 'renamed-back') THEN 1 ELSE 0 END),"
                             " SUM(CASE WHEN v.radio <> '' THEN 1 ELSE 0 END), SUM(CASE WHEN v.result <> 'failed' AND " +
                             kRadioFailed + " THEN 1 ELSE 0 END)"
                             " FROM visits v LEFT JOIN names n ON n.id = v.name_id"
                             " WHERE v.time >= " + Time(1) + " GROUP BY v.station ORDER BY v.station"),
                         {q.dayStart, q.hourAgo, q.shiftStart.empty() ? q.dayStart : q.shiftStart}, &rows, error))
            return false;
        std::string lastIds;
        for (const Row& r : rows) {
            StationDay day;
            day.station = r[0];
            day.printers = ToInt(r[1]);
            day.named = ToInt(r[2]);
            day.failed = ToInt(r[3]);
            day.unconfirmed = ToInt(r[4]);
            day.lastHour = ToInt(r[5]);
            day.alreadyNamed = ToInt(r[7]);
            day.shiftNamed = ToInt(r[8]);
            day.radioChecked = ToInt(r[9]);
            day.radioFailed = ToInt(r[10]);
            out->stations.push_back(std::move(day));
            lastIds += (lastIds.empty() ? "" : ",") + std::to_string(ToInt(r[6]));
        }
        // First-pass yield: of the printers seen for the first time today,
        // those named at that first visit, and heard right where checked.
        if (!m_db->Query(Sql("SELECT v.station, COUNT(*), SUM(CASE WHEN v.result = 'named' AND NOT " +
                             std::string(kRadioFailed) + " THEN 1 ELSE 0 END)"
                             " FROM visits v WHERE v.time >= " + Time(1) + " AND v.address <> ''"
                             " AND NOT EXISTS (SELECT 1 FROM visits w WHERE w.address = v.address"
                             " AND (w.time < v.time OR (w.time = v.time AND w.id < v.id))) GROUP BY v.station"),
                         {q.dayStart}, &rows, error))
            return false;
        for (const Row& r : rows)
            for (StationDay& day : out->stations)
                if (day.station == r[0]) {
                    day.firstVisits = ToInt(r[1]);
                    day.firstNamed = ToInt(r[2]);
                }
        if (!lastIds.empty()) {
            std::vector<VisitEntry> last;
            if (!Visits("v.id IN (" + lastIds + ")", {}, "v.station", 0, &last, error))
                return false;
            for (StationDay& day : out->stations)
                for (VisitEntry& e : last)
                    if (e.visit.station == day.station)
                        day.last = e;
        }
        if (!m_db->Query(Sql("SELECT station, {HOUR:time}, COUNT(*),"
                             " SUM(CASE WHEN result IN ('named', 'renamed-back') THEN 1 ELSE 0 END)"
                             " FROM visits WHERE time >= " + Time(1) + " GROUP BY 1, 2 ORDER BY 2, 1"),
                         {q.hoursStart}, &rows, error))
            return false;
        for (const Row& r : rows)
            out->hours.push_back({r[0], r[1], ToInt(r[2]), ToInt(r[3])});
        return Visits("1 = 1", {}, "v.time DESC, v.id DESC", q.latest, &out->latest, error) &&
               Visits("v.time >= " + Time(1) + " AND (v.result = 'failed' OR " + kRadioFailed + ")", {q.dayStart},
                      "v.time DESC, v.id DESC", q.latest, &out->failures, error);
    }

    // The lowest number from `from` on that no name of the prefix holds.
    std::optional<std::int64_t> FreeFrom(const std::string& prefix, std::int64_t from, std::string* error)
    {
        Rows rows;
        if (!m_db->Query("SELECT 1 FROM names WHERE prefix = $1 AND number = $2", {prefix, std::to_string(from)},
                         &rows, error))
            return std::nullopt;
        if (rows.empty())
            return from;
        // The end of the run of taken numbers from there on.
        if (!m_db->Query("SELECT r.number + 1 FROM names r WHERE r.prefix = $1 AND r.number >= $2"
                         " AND NOT EXISTS (SELECT 1 FROM names s WHERE s.prefix = r.prefix"
                         " AND s.number = r.number + 1) ORDER BY r.number LIMIT 1",
                         {prefix, std::to_string(from)}, &rows, error))
            return std::nullopt;
        return rows.empty() ? from : ToInt(rows[0][0]);
    }

    bool UpdateState(std::int64_t id, State state, bool durable, std::string* error)
    {
        const std::string sql = Sql("UPDATE names SET state = $2, changed = {NOW} WHERE id = $1");
        const std::vector<std::string> params = {std::to_string(id), StateName(state)};
        return durable ? m_db->DurableQuery(sql, params, error) : m_db->Query(sql, params, nullptr, error);
    }
    // The record keeps UTF-8 text only (PostgreSQL refuses anything else).
    static std::string Text(const std::string& text) { return ValidUtf8(text); }

    static std::string Newer(int version)
    {
        return "the record was written by a newer version of this program (schema " + std::to_string(version) + ")";
    }

    bool Version(int* version, std::string* error)
    {
        Rows rows;
        if (!m_db->Query("SELECT MAX(version) FROM schema_version", {}, &rows, error))
            return false;
        *version = rows.empty() ? 0 : static_cast<int>(ToInt(rows[0][0]));
        return true;
    }

    // Commits a claim; one that went to a file removed meanwhile is no claim.
    ClaimResult Done(ClaimResult result)
    {
        if (m_db->Commit(&result.error)) {
            result.kind = m_db->StillThere(&result.error) ? ClaimResult::Kind::Ok : ClaimResult::Kind::Failed;
        } else {
            m_db->Rollback();
            result.kind = ClaimResult::Kind::Failed;
        }
        return result;
    }

    std::unique_ptr<CDatabase> m_db;
    std::map<std::string, std::int64_t> m_from;  // by prefix and first number
};

// mkdir -p for the default folder; errors show up when the file is opened.
void MakeFolders(const std::string& path)
{
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0700);
}

OpenResult Failed(OpenResult::Kind kind, std::string error)
{
    OpenResult r;
    r.kind = kind;
    r.error = std::move(error);
    return r;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

std::string NameOf(const Numbering& numbering, std::int64_t number)
{
    std::string digits = std::to_string(number);
    if (number < 0 || digits.size() > numbering.width)
        return {};
    digits.insert(0, numbering.width - digits.size(), '0');
    std::string name = numbering.prefix + digits;
    return name.size() <= numbering.maxBytes ? name : std::string();
}

const char* StateName(State state)
{
    switch (state) {
    case State::Claimed: return "claimed";
    case State::Sent: return "sent";
    case State::Named: return "named";
    case State::Failed: return "failed";
    }
    return "sent";
}

const char* ResultName(Result result)
{
    switch (result) {
    case Result::Named: return "named";
    case Result::AlreadyNamed: return "already-named";
    case Result::RenamedBack: return "renamed-back";
    case Result::Sent: return "sent";
    case Result::Failed: return "failed";
    }
    return "failed";
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

namespace {

bool IsSpaceOrQuote(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '\'' || c == '`';
}

// Text with %XX decoded, for keys written in percent-encoding.
std::string PercentDecoded(const std::string& text)
{
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[k + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[k + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(k + 1, 2), nullptr, 16));
            k += 2;
        } else {
            out += text[k];
        }
    }
    return out;
}

}  // namespace

std::string Redacted(std::string text, const std::vector<std::string>& secrets)
{
    static const std::string kHidden = "***";
    // USER:PASSWORD@ in a word, with or without a scheme before it, however
    // the scheme was typed ("postgresql://", "postgresql:/", "postgresql//",
    // "postgresql:"): everything from the first ':' after the scheme's
    // slashes to the word's last '@' is hidden, so that an '@' or a '/' in
    // the password hides no part of it.
    for (std::size_t start = 0; start < text.size();) {
        while (start < text.size() && IsSpaceOrQuote(text[start]))
            ++start;
        std::size_t end = start;
        while (end < text.size() && !IsSpaceOrQuote(text[end]))
            ++end;
        const std::size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
        if (at != std::string::npos && at >= start && at < end) {
            std::size_t from = start;
            std::size_t k = start;
            if (k < at && std::isalpha(static_cast<unsigned char>(text[k]))) {
                while (k < at && (std::isalnum(static_cast<unsigned char>(text[k])) || text[k] == '+' ||
                                  text[k] == '.' || text[k] == '-'))
                    ++k;
                std::size_t slashes = k + (k < at && text[k] == ':' ? 1 : 0);
                const std::size_t colonEnd = slashes;
                while (slashes < at && text[slashes] == '/')
                    ++slashes;
                if (slashes > colonEnd)
                    from = slashes;  // a scheme that is followed by slashes
            }
            const std::size_t colon = text.find(':', from);
            if (colon < at) {
                text.replace(colon + 1, at - colon - 1, kHidden);
                end = end - (at - colon - 1) + kHidden.size();
            }
        }
        start = end;
    }
    // password=VALUE, in a URL's query or a key=value string, the key in
    // any case and percent-encoding.
    for (std::size_t eq = text.find('='); eq != std::string::npos; eq = text.find('=', eq + 1)) {
        std::size_t keyEnd = eq;
        while (keyEnd > 0 && text[keyEnd - 1] == ' ')
            --keyEnd;
        std::size_t keyStart = keyEnd;
        while (keyStart > 0 && !IsSpaceOrQuote(text[keyStart - 1]) && text[keyStart - 1] != '?' &&
               text[keyStart - 1] != '&' && text[keyStart - 1] != ';' && text[keyStart - 1] != '=')
            --keyStart;
        std::string key = PercentDecoded(text.substr(keyStart, keyEnd - keyStart));
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key != "password")
            continue;
        std::size_t value = eq + 1;
        while (value < text.size() && text[value] == ' ')
            ++value;
        std::size_t end = value;
        if (end < text.size() && text[end] == '\'') {
            end = text.find('\'', end + 1);
            end = end == std::string::npos ? text.size() : end + 1;
        } else {
            end = text.find_first_of("& \t\n\"", value);
            if (end == std::string::npos)
                end = text.size();
        }
        text.replace(value, end - value, kHidden);
        eq = value + kHidden.size() - 1;
    }
    for (const std::string& secret : secrets)
        if (!secret.empty())
            for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + kHidden.size()))
                text.replace(at, secret.size(), kHidden);
    return text;
}

std::string NowText()
{
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    return TimeText(std::chrono::system_clock::to_time_t(now), static_cast<int>(ms));
}

std::string TimeText(std::time_t seconds, int milliseconds)
{
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
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
                matched = IsDigit(c);
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
    static const std::string kZero = "0000-01-01T00:00:00";
    t += kZero.substr(t.size());
    // A moment that exists: the calendar's day of that month, a time of day.
    const int year = std::atoi(t.substr(0, 4).c_str()), month = std::atoi(t.substr(5, 2).c_str()),
              day = std::atoi(t.substr(8, 2).c_str()), hour = std::atoi(t.substr(11, 2).c_str()),
              minute = std::atoi(t.substr(14, 2).c_str()), second = std::atoi(t.substr(17, 2).c_str());
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) ||
        hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    return t + ".000Z";
}

namespace {

// What a location without a known scheme was probably meant to be: a file
// path gets its "sqlite:", a PostgreSQL scheme mistyped gets the right form.
// Nothing that may hold a password is repeated.
std::string LocationHint(const std::string& location)
{
    const std::size_t colon = location.find(':');
    const bool looksLikePath = colon == std::string::npos || location.find('/') < colon;
    if (looksLikePath && location.find('@') == std::string::npos && !location.empty())
        return "; did you mean 'sqlite:" + location + "'?";
    std::string scheme = location.substr(0, colon);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme.rfind("postgres", 0) == 0 || scheme == "pg" || scheme == "psql")
        return "; a PostgreSQL URL begins with postgresql://";
    if (scheme == "sqlite3" || scheme == "file")
        return "; a SQLite file is given as sqlite:PATH";
    return {};
}

}  // namespace

OpenResult Open(const std::string& location, Access access, int cancelFd)
{
    const bool readOnly = access == Access::ReadOnly;
    std::unique_ptr<CDatabase> db;
    std::string error;
    if (location.empty() || location.rfind("sqlite:", 0) == 0) {
        const std::string path = location.empty() ? DefaultSqlitePath() : location.substr(7);
        if (path.empty())
            return Failed(OpenResult::Kind::BadLocation, "sqlite: needs a file path");
        const bool create = !readOnly && (location.empty() || access == Access::Create);
        struct stat st {};
        if (!create && ::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
            if (!readOnly)
                return Failed(OpenResult::Kind::Missing, "there is no record at " + path);
            // Nothing to read yet is not a fault of the file system.
            return Failed(OpenResult::Kind::Unavailable,
                          "there is no record at " + path +
                              (location.empty() ? " yet: a station makes it when it starts (or name another with "
                                                  "--db sqlite:PATH or a postgresql:// URL)"
                                                : " (no such file; a station writes its record where its --db says)"));
        }
        if (location.empty() && !readOnly)
            MakeFolders(path);
        db = OpenSqlite(path, readOnly, cancelFd, &error, create);
    } else if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) {
        bool badLocation = false;
        db = OpenPostgres(location, readOnly, cancelFd, &error, &badLocation);
        if (!db && badLocation)
            return Failed(OpenResult::Kind::BadLocation, error);
    } else {
        // A location with an '@' may hold a password in any form: only its
        // scheme, as typed, is shown.
        std::string shown = Redacted(location);
        if (location.find('@') != std::string::npos) {
            std::size_t end = 0;
            while (end < location.size() && end < 16 &&
                   (std::isalnum(static_cast<unsigned char>(location[end])) || location[end] == '+' ||
                    location[end] == '.' || location[end] == '-'))
                ++end;
            while (end < location.size() && (location[end] == ':' || location[end] == '/'))
                ++end;
            shown = location.substr(0, end) + "...";
        }
        return Failed(OpenResult::Kind::BadLocation,
                      "unknown record location '" + shown + "' (give sqlite:PATH or a postgresql:// URL)" +
                          LocationHint(location));
    }
    if (!db)
        return Failed(OpenResult::Kind::Unavailable, error);
    auto record = std::make_unique<CSqlRecord>(std::move(db));
    if (readOnly ? !record->CheckVersion(&error) : !record->Migrate(&error))
        return Failed(OpenResult::Kind::Unavailable, "cannot " + std::string(readOnly ? "read" : "prepare") +
                                                         " the record in " + record->Where() + ": " + error);
    OpenResult r;
    r.record = std::move(record);
    return r;
}

}  // namespace vendrill::record
