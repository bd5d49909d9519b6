// The station's one promise, first half: never one name on two printers.
// Late acknowledgements, signals and kills mid-printer, a station
// whose clock runs ahead, prefixes that overlap, a printer swapped while the
// record is slow, and one address on two modules, each checked on what the
// modules and the record hold.

#include "PgServer.h"
#include "StationTest.h"

#include <csignal>
#include <tuple>

#include <sqlite3.h>
#include <sys/wait.h>

using namespace vendrill;

using namespace stationtest;

namespace {

class NoNameTwice : public StationTest {};

// The record fails at the mark that lets a name go out (the update of a
// name to sent), as a full disk or an overloaded server would, while the
// table fault says so.
const char* const kSqliteSentFails =
    "CREATE TABLE fault (fail INTEGER); INSERT INTO fault VALUES (1);"
    "CREATE TRIGGER sent_fails BEFORE UPDATE OF state ON names WHEN NEW.state = 'sent'"
    " AND (SELECT fail FROM fault) = 1 BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END";
const char* const kPostgresSentFails =
    "CREATE TABLE fault (fail INTEGER); INSERT INTO fault VALUES (1);"
    "CREATE FUNCTION sent_fails() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
    " IF NEW.state = 'sent' AND (SELECT fail FROM fault) = 1 THEN RAISE EXCEPTION 'could not write'; END IF;"
    " RETURN NEW; END $$;"
    "CREATE TRIGGER sent_fails BEFORE UPDATE ON names FOR EACH ROW EXECUTE FUNCTION sent_fails()";

}  // namespace

// Every answer to Set BDN comes after the reply time-out (a lost answer, and
// what the station makes of it, is in the naming core's table); the printers
// stay long enough to be asked again.
TEST_F(NoNameTwice, ALateAcknowledgementKeepsTheNumber)
{
    SimOptions late;
    late.nameAckDelayMs = CSimHost::kFrameTimeoutMs + 1500;
    auto slow = Line({{"00190199C003", false}, {"00190199C004", false}}, 6000, 200, late);
    const Outcome b = RunStation(*slow, {"--name", "L-", "--count", "2", "--json"});
    EXPECT_TRUE(NamesHeldTwice({slow.get()}).empty()) << b.out;
    const auto names = ModuleNames({slow.get()});
    EXPECT_NE(names.at("00190199C003"), "VENDRILL-PRN");
    EXPECT_NE(names.at("00190199C004"), "VENDRILL-PRN");
}

TEST_F(NoNameTwice, ASignalWhileTheNameIsOnItsWayKeepsTheNumber)
{
    SimOptions late;
    late.nameAckDelayMs = 1500;  // within the reply time-out
    auto first = Line({{"00190199D001", false}}, 5000, 200, late);
    clitest::RunOptions run;
    run.whileRunning = [&](pid_t pid) {
        EXPECT_TRUE(WaitFor([&] { return Heard(*first, "?2"); }));
        ::kill(pid, SIGINT);
    };
    const Outcome a = RunStation(*first, {"--name", "S-"}, {}, run);
    EXPECT_EQ(a.exitCode, 128 + SIGINT) << a.err;
    EXPECT_EQ(first->State().name, "S-00001");
    EXPECT_NE(a.out.find("  S-00001  sent  1  "), std::string::npos) << a.out << a.err;
    const auto visits = Visits();
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(ResultOf(visits[0]), "sent");
    EXPECT_EQ(visits[0].state, "sent");
    EXPECT_NE(visits[0].visit.reason.find("SIGINT"), std::string::npos) << visits[0].visit.reason;

    auto second = Line({{"00190199D002", false}});
    const Outcome b = RunStation(*second, {"--name", "S-", "--count", "1"});
    EXPECT_EQ(b.exitCode, kOk) << b.err;
    EXPECT_TRUE(NamesHeldTwice({first.get(), second.get()}).empty()) << a.out << b.out;
}

// A station killed between the module's acknowledgement and the record's
// commit, then another whose clock runs eleven minutes ahead.
TEST_F(NoNameTwice, AKilledStationOrOneWhoseClockRunsAheadNeverHandsOutATakenName)
{
    SimOptions slow;
    slow.delayMs = 150;
    auto first = Line({{"00190199E001", false}}, 5000, 200, slow);
    const std::string path = m_dir + "/records.sqlite";
    sqlite3* holder = nullptr;
    clitest::RunOptions run;
    run.whileRunning = [&](pid_t pid) {
        // The number is taken before Set BDN goes out; from then on the
        // record is held by another program until the station is killed.
        EXPECT_TRUE(WaitFor([&] { return Heard(*first, "?2"); }));
        ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
        sqlite3_busy_timeout(holder, 10000);
        EXPECT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        // The read-back ends with the security level.
        EXPECT_TRUE(WaitFor([&] { return Heard(*first, "?4"); }));
        ::kill(pid, SIGKILL);
    };
    const Outcome a = RunStation(*first, {"--name", "K-"}, {}, run);
    EXPECT_EQ(a.exitCode, 128 + SIGKILL);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_EQ(first->State().name, "K-00001");

    const std::string shift = std::string("LD_PRELOAD=") + VENDRILL_SHIFT_CLOCK_LIB;
    clitest::RunOptions ahead;
    ahead.extraEnv = {shift, "VENDRILL_TEST_CLOCK_SHIFT=660"};
    auto second = Line({{"00190199E002", false}});
    const Outcome b = RunStation(*second, {"--name", "K-", "--count", "1"}, {}, ahead);
    EXPECT_EQ(b.exitCode, kOk) << b.err;
    EXPECT_TRUE(NamesHeldTwice({first.get(), second.get()}).empty()) << b.out;
}

// The record fails just as the name is to go out; meanwhile the operator
// takes the printer away and puts another on. The name goes only to the
// printer it belongs to, which gets it when it comes back.
TEST_F(NoNameTwice, APrinterSwappedWhileTheRecordIsSlowNeverGetsTheName)
{
    PgServer server;
    ASSERT_EQ(server.Start(), "");
    for (const bool pg : {false, true}) {
        SCOPED_TRACE(pg ? "PostgreSQL" : "SQLite");
        std::string db = m_db, error;
        if (pg) {
            db = server.NewDatabase("swap", &error);
            ASSERT_FALSE(db.empty()) << error;
            ASSERT_EQ(record::Open(db, record::Access::Create).kind, record::OpenResult::Kind::Ok);
        }
        const auto exec = [&](const std::string& sql) {
            if (pg) {
                std::string failure;
                server.Query("swap", sql, &failure);
                EXPECT_EQ(failure, "");
                return;
            }
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open((m_dir + "/records.sqlite").c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
            sqlite3_close(db);
        };
        exec(pg ? kPostgresSentFails : kSqliteSentFails);
        const LinePrinter a{pg ? "0019019E2001" : "0019019E1001", false}, b{pg ? "0019019E2002" : "0019019E1002", false};
        auto line = Line({a, b, a}, 100, 1000);
        clitest::RunOptions run;
        run.errorFile = m_dir + (pg ? "/pg.err" : "/sqlite.err");
        run.whileRunning = [&](pid_t) {
            EXPECT_TRUE(Said(run.errorFile, "W-00001 is sent in the record"));
            line->SwapNow();
            exec("UPDATE fault SET fail = 0");
        };
        const Outcome o = RunStation(*line, {"--name", "W-", "--count", "3", "--json"}, db, run);
        EXPECT_EQ(o.exitCode, kNotNamed) << o.err;
        EXPECT_TRUE(NamesHeldTwice({line.get()}).empty()) << o.out << o.err;
        const auto names = ModuleNames({line.get()});
        EXPECT_EQ(names.at(a.address), "W-00001");
        EXPECT_EQ(names.at(b.address), "W-00002");
        // The record binds each name to the printer that holds it.
        const auto visits = Visits(db);
        ASSERT_EQ(visits.size(), 3u) << o.out;
        EXPECT_EQ(visits[0].visit.address, a.address);
        EXPECT_EQ(ResultOf(visits[0]), "failed");
        EXPECT_NE(visits[0].visit.reason.find("swapped"), std::string::npos) << visits[0].visit.reason;
        for (const auto& [k, address, name] : {std::tuple{1, b.address, "W-00002"}, std::tuple{2, a.address, "W-00001"}}) {
            EXPECT_EQ(visits[k].visit.address, address);
            EXPECT_EQ(visits[k].visit.name, name);
            EXPECT_EQ(ResultOf(visits[k]), "named");
            EXPECT_EQ(visits[k].state, "named");
        }
    }
}

TEST_F(NoNameTwice, OverlappingPrefixesNeverMeet)
{
    auto first = Line({{"00190199F001", false}});
    const Outcome a = RunStation(*first, {"--name", "PRN-", "--first-suffix", "100001", "--count", "1"});
    EXPECT_EQ(a.exitCode, kOk) << a.err;
    auto second = Line({{"00190199F002", false}});
    const Outcome b = RunStation(*second, {"--name", "PRN-1", "--count", "1"});
    EXPECT_EQ(first->State().name, "PRN-100001");
    EXPECT_TRUE(NamesHeldTwice({first.get(), second.get()}).empty()) << a.out << b.out;
}

// One module address seen again: the same printer, or two modules that
// share an address. Every visit is recorded, the printer keeps its number
// and name, and a second module with a confirmed printer's address is never
// given that name too.
TEST_F(NoNameTwice, OneAddressIsOnePrinter)
{
    const LinePrinter a{"0019019A0001", false}, b{"0019019A0002", false};
    {
        auto line = Line({a, b, a});
        const Outcome o = RunStation(*line, {"--name", "P", "--count", "3"});
        ASSERT_EQ(o.exitCode, kOk) << o.err;
        const std::vector<std::string> lines = Lines(o.out);
        ASSERT_EQ(lines.size(), 3u) << o.out;
        EXPECT_EQ(Words(lines[2])[2], "P00001");
        EXPECT_EQ(Words(lines[2])[3], "already-named");
        EXPECT_EQ(line->Visits()[2].journal, std::vector<std::string>({"?3", "?3", "?1"}))
            << "the address read again while the record answers, then the name: not set again when the module has it";
    }
    // A module with that address and another name, at another station: a
    // module with a copied address, or a printer reset. It fails at once,
    // saying why, and keeps its name.
    auto clone = Line({a});
    const Outcome o = RunStation(*clone, {"--name", "P", "--count", "1", "--json", "--station", "other"});
    EXPECT_EQ(o.exitCode, kNotNamed) << o.err;
    EXPECT_NE(o.out.find("\"number\": 1, \"result\": \"failed\", \"state\": \"named\""), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("address clash: 0019019A0001 bound to P00001 since "), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("address clash"), std::string::npos) << o.err;
    EXPECT_EQ(clone->Visits()[0].state.name, "VENDRILL-PRN");
    // An address that no module really has is refused before a number is
    // taken (a rework station's --rename-back, and every other decision on
    // one printer, are in the naming core's table).
    auto blank = Line({{"000000000000", false}});
    const Outcome z = RunStation(*blank, {"--name", "P", "--count", "1", "--json"});
    EXPECT_EQ(z.exitCode, kNotNamed) << z.err;
    EXPECT_NE(z.out.find("\"name\": \"\", \"number\": null, \"result\": \"failed\", \"state\": \"\""),
              std::string::npos)
        << z.out;
    EXPECT_EQ(blank->Visits()[0].state.name, "VENDRILL-PRN");

    const auto visits = Visits();
    ASSERT_EQ(visits.size(), 5u);
    EXPECT_EQ(ResultOf(visits[2]), "already-named");
    EXPECT_EQ(ResultOf(visits[3]), "failed");
    EXPECT_EQ(visits[3].visit.station, "other");
    EXPECT_EQ(visits[3].visit.found, "VENDRILL-PRN");
    for (int k : {0, 2, 3}) {
        EXPECT_EQ(visits[k].visit.address, a.address);
        EXPECT_EQ(visits[k].visit.number, 1);
        EXPECT_EQ(visits[k].state, "named");
    }
    EXPECT_EQ(visits[4].visit.number, -1);
    EXPECT_NE(visits[4].visit.reason.find("000000000000"), std::string::npos) << visits[4].visit.reason;
}
