#pragma once

// The production record: which printer (by module address) got which name
// and number, on which station, when, and how it ended. One interface over
// two databases: SQLite for a single station, PostgreSQL for a line whose
// stations share one sequence of numbers. Qt-free.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vendrill::record {

// How a printer's record ends. A claimed record holds its number until it is
// named; failed and interrupted records give the number back. An unconfirmed
// one failed or was interrupted after its module had taken the name: that
// printer may carry the name, so its number is never handed out again.
enum class State { Claimed, Named, Failed, Interrupted, Unconfirmed };
const char* StateName(State state);

struct Entry {
    std::int64_t id = 0;
    std::string address;
    std::string name;
    std::int64_t number = 0;
    std::string prefix;
    std::string station;
    std::string started;  // UTC, YYYY-MM-DDTHH:MM:SS.mmmZ
    std::string ended;    // empty while claimed
    std::string result;   // StateName
    std::string reason;   // why it failed or was interrupted
};

// A number taken for one printer. A claim left open for ten minutes is
// taken as abandoned (its station stopped) and its number given back.
struct Claim {
    std::int64_t id = 0;
    std::int64_t number = 0;
};

class CRecord {
public:
    virtual ~CRecord() = default;

    // In one transaction: the lowest number from `first` on that no claimed
    // or named record of this prefix holds, and a claimed record with it.
    // Numbers given back by failures are so taken again, and two stations
    // can never hold the same number.
    virtual std::optional<Claim> ClaimNext(const std::string& prefix, std::int64_t first, const std::string& address,
                                           const std::string& station, std::string* error) = 0;
    // Ends a claimed record. name is the name the module was given.
    virtual bool Finish(std::int64_t id, State state, const std::string& name, const std::string& reason,
                        std::string* error) = 0;
    // The newest named record of a module address.
    virtual std::optional<Entry> FindNamed(const std::string& address, std::string* error) = 0;
    // Records started at or after `since` (empty: all), oldest first.
    virtual bool List(const std::string& since, std::vector<Entry>* out, std::string* error) = 0;
    // Where the record lives, for messages (no password).
    virtual std::string Where() const = 0;
};

struct OpenResult {
    enum class Kind { Ok, BadLocation, Unavailable };
    Kind kind = Kind::Ok;
    std::unique_ptr<CRecord> record;
    std::string error;
};

// location: "" (the default SQLite file), "sqlite:PATH", or a
// "postgresql://" / "postgres://" URL. Creates or upgrades the schema.
OpenResult Open(const std::string& location);

// $XDG_DATA_HOME/vendrill/records.sqlite, else ~/.local/share/vendrill/...
std::string DefaultSqlitePath();

// Current UTC time as stored in the record, and any time so.
std::string NowText();
std::string TimeText(std::chrono::system_clock::time_point time);

// Accepts YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS (a space may
// stand for 'T', a trailing 'Z' is allowed; all UTC) and returns the form the
// record compares with, or nullopt.
std::optional<std::string> SinceText(const std::string& text);

}  // namespace vendrill::record
