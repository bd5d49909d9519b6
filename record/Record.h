#pragma once

// The production record: which name belongs to which printer (by its
// module's address), and every visit of a printer at a station. One
// interface over two databases: SQLite for a single station, PostgreSQL for
// a line whose stations share one sequence of numbers. Qt-free.
//
// The promise it keeps: a name, once taken, belongs to its address for
// good. It is taken (and committed) before it is sent to a module, and it
// is never handed to another printer, whatever happens afterwards. Numbers
// are never given back; a name that was not used leaves a gap.

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vendrill::record {

// What the record knows of a name and its printer's module:
//   claimed  the number is taken, Set BDN not sent yet
//   sent     Set BDN went out; whether the module took the name is not known
//   named    the read-back showed the name
//   failed   the module refused the name, or Set BDN was never sent
enum class State { Claimed, Sent, Named, Failed };
const char* StateName(State state);

// What one visit of a printer at a station came to.
enum class Result { Named, AlreadyNamed, RenamedBack, Sent, Failed };
const char* ResultName(Result result);

// A name and the printer it belongs to.
struct Binding {
    std::int64_t id = 0;
    std::string name;
    std::string prefix;
    std::int64_t number = 0;
    std::string address;
    std::string station;  // where it was taken
    State state = State::Claimed;
    bool isNew = false;   // taken by this claim, not found for the address
    std::string since;    // when it was taken, in the record's time form
};

struct Visit {
    std::string address;
    std::string station;
    Result result = Result::Failed;
    std::int64_t nameId = 0;   // the printer's Binding, 0 when it has none
    std::string name;          // that binding's name
    std::int64_t number = -1;  // and number, -1 when none
    std::string found;         // the name the module answered with, "" when not read
    bool label = false;        // a label was printed
    bool pin = false;          // the PIN key was set
    bool level = false;        // the security level was set
    std::string reason;        // why it failed, or what else happened
    std::string radio;         // the radio check's result (ok, no-bluetooth, not-heard, mismatch,
                               // interrupted), "" when the printer was not checked over the air
    std::string nameHeard;     // the name the air showed, "" when none was heard
};

// A visit whose radio check was made and did not pass the printer.
inline bool RadioFailed(const Visit& v)
{
    return !v.radio.empty() && v.radio != "ok";
}

// A visit as the record holds it: the time (UTC, YYYY-MM-DDTHH:MM:SS.mmmZ,
// by the record's clock) and the state of the printer's name now.
struct VisitEntry {
    std::string time;
    Visit visit;
    std::string state;  // StateName, "" when the visit has no name
};

// The columns of the visits as exported, in order.
inline constexpr const char* kVisitColumns[] = {"time",  "station", "address", "result", "name",  "number", "state",
                                                "found", "label",   "pin",     "level",  "reason", "radio", "name_heard"};

// One station's day, as the line board shows it.
struct StationDay {
    std::string station;
    std::int64_t printers = 0;     // visits
    std::int64_t named = 0;        // named or renamed back
    std::int64_t alreadyNamed = 0;
    std::int64_t failed = 0;
    std::int64_t unconfirmed = 0;  // sent, and the name is still not confirmed
    std::int64_t lastHour = 0;     // visits within the hour before `now`
    std::int64_t shiftNamed = 0;   // named or renamed back since BoardQuery::shiftStart
    std::int64_t firstVisits = 0;  // printers whose first visit ever was today, here
    std::int64_t firstNamed = 0;   // of those, named at that first visit (and heard right where checked)
    std::int64_t radioChecked = 0; // visits whose printer was checked over the air
    std::int64_t radioFailed = 0;  // of them, those the check did not pass (RadioFailed), unless failed
    VisitEntry last;               // its latest visit
};

// Visits of one station within one hour (UTC, "YYYY-MM-DDTHH:00:00.000Z").
struct HourCount {
    std::string station;
    std::string hour;
    std::int64_t printers = 0;  // visits
    std::int64_t named = 0;     // of them named or renamed back
};

// What the line board asks for: times in the record's form (SinceText).
struct BoardQuery {
    std::string dayStart;    // "today" starts here
    std::string shiftStart;  // for StationDay::shiftNamed ("": dayStart)
    std::string hoursStart;  // the chart starts here
    std::string hourAgo;     // for StationDay::lastHour
    std::size_t latest = 50; // latest visits, and failures of the day
};

// Where a page of visits ended, so that the next one starts behind it
// without counting what went before (time in the database's own precision;
// empty: from the first visit). lastId bounds every page to the visits that
// were there when the first page was read (0: set by the first page).
struct PageKey {
    std::string time;
    std::int64_t id = 0;
    std::int64_t lastId = 0;
};

struct Board {
    std::string now;  // the record's clock
    std::vector<StationDay> stations;
    std::vector<HourCount> hours;
    std::vector<VisitEntry> latest;    // newest first
    std::vector<VisitEntry> failures;  // of the day (failed, or the radio check failed), newest first
};

// What waiting for another program's commit came to.
enum class Change { Changed, Quiet, Failed };

// How a run's names are made: the prefix, then the number zero-filled to
// `width` digits, from `first` on. A number with more digits makes no name
// (names never change width along a run), nor does a name longer than
// maxBytes (what the module takes).
struct Numbering {
    std::string prefix;
    std::int64_t first = 1;
    std::size_t width = 5;
    std::size_t maxBytes = 59;
};
// The name of a number; "" when it makes none.
std::string NameOf(const Numbering& numbering, std::int64_t number);

struct ClaimResult {
    enum class Kind { Ok, NoNameLeft, Failed };
    Kind kind = Kind::Failed;
    Binding binding;
    std::string error;  // NoNameLeft, Failed: why
};

class CRecord {
public:
    virtual ~CRecord() = default;

    // The name that belongs to the address, or else a new one, bound to it
    // and committed in one transaction that holds the line's lock: the
    // lowest number of the run that no name of its prefix holds, whose name
    // (NameOf) no record holds under any prefix. Two stations can never take
    // one number or one name. Committed when it returns; the claim outlasts
    // a power loss once its name is marked sent.
    virtual ClaimResult Claim(const std::string& address, const Numbering& numbering,
                              const std::string& station) = 0;
    // The number a claim of the run would try first: the lowest that no
    // name of the prefix holds (a name held under another prefix may still
    // move a claim past it).
    virtual std::optional<std::int64_t> NextNumber(const Numbering& numbering, std::string* error) = 0;
    // Sets what is known of a name's module. Marking it sent commits so
    // that it outlasts a power loss: after that the name may go out.
    virtual bool SetState(std::int64_t id, State state, std::string* error) = 0;
    // Records a visit and, when given, the new state of its name, together.
    virtual bool AddVisit(const Visit& visit, std::optional<State> state, std::string* error) = 0;
    // Whether a visit of this name's printer printed its label.
    virtual bool LabelPrinted(const Binding& binding, bool* printed, std::string* error) = 0;
    // Visits at or after `since` (empty: all), oldest first.
    bool List(const std::string& since, std::vector<VisitEntry>* out, std::string* error)
    {
        PageKey from;
        return ListBetween(since, {}, 0, &from, out, error);
    }
    // Visits at or after `since` and before `until` (empty: no bound),
    // oldest first, after *key, at most `limit` (0: all); *key moves on to
    // the last one given.
    virtual bool ListBetween(const std::string& since, const std::string& until, std::size_t limit, PageKey* key,
                             std::vector<VisitEntry>* out, std::string* error) = 0;
    // The line's day, its last hours and its latest visits, read in one transaction.
    virtual bool ReadBoard(const BoardQuery& query, Board* out, std::string* error) = 0;
    // Every visit of the printers with this address or name (a name it
    // holds or held; either in any case), the newest `limit`, newest first.
    virtual bool History(const std::string& addressOrName, std::size_t limit, std::vector<VisitEntry>* out,
                         std::string* error) = 0;

    // Hearing of other programs' visits: Watch starts it; WaitForChange
    // waits up to timeoutMs (less when the cancel descriptor becomes
    // readable: then Quiet) and says whether a visit was recorded since the
    // last call. Failed: the record is gone or cannot be reached.
    virtual bool Watch(std::string* error) = 0;
    virtual Change WaitForChange(int timeoutMs, std::string* error) = 0;

    // After a failure: makes a lost connection anew. True when the record
    // can be used again.
    virtual bool Reconnect(std::string* error) = 0;
    // How long one call may wait for the database, and a descriptor whose
    // readability ends every wait at once (-1: none).
    virtual void Limit(int cancelFd, int patienceMs) = 0;
    // Where the record lives, for messages (no password).
    virtual std::string Where() const = 0;
    // How a record read only is read, when not straight from its file ("":
    // it is): a reader says so once.
    virtual std::string HowRead() const { return {}; }
};

struct OpenResult {
    // Missing: a SQLite file that is not there, and was not to be made.
    enum class Kind { Ok, BadLocation, Missing, Unavailable };
    Kind kind = Kind::Ok;
    std::unique_ptr<CRecord> record;
    std::string error;  // never holds a password
};

// Create: as ReadWrite, and a SQLite file that is not there is made.
enum class Access { ReadWrite, ReadOnly, Create };

// location: "" (the default SQLite file), "sqlite:PATH", or a
// "postgresql://" / "postgres://" URL. ReadWrite creates the schema or
// brings an older schema up to date; a SQLite file must be there already,
// except the default file, which is made (with its folders) on first use: a
// mistyped path must not start a second sequence of numbers. ReadOnly
// changes nothing and creates nothing. cancelFd as for Limit.
OpenResult Open(const std::string& location, Access access = Access::ReadWrite, int cancelFd = -1);

// $XDG_DATA_HOME/vendrill/records.sqlite, else ~/.local/share/vendrill/...
std::string DefaultSqlitePath();

// Text with the passwords of URLs (user:PASSWORD@, whatever scheme or none
// was typed before it) and of password= settings (the key in any case or
// percent-encoded) hidden, and each of the given secrets wherever it stands.
std::string Redacted(std::string text, const std::vector<std::string>& secrets = {});

// Current UTC time in the record's form (this machine's clock).
std::string NowText();
// A moment (seconds since the epoch, and milliseconds) in the record's form.
std::string TimeText(std::time_t seconds, int milliseconds = 0);

// Accepts YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS (a space may
// stand for 'T', a trailing 'Z' is allowed; all UTC) naming a real moment,
// and returns the form the record compares with, or nullopt.
std::optional<std::string> SinceText(const std::string& text);

}  // namespace vendrill::record
