// The station's one promise, first half: never one name on two printers.
// Lost and late acknowledgements, signals and kills mid-printer, a station
// whose clock runs ahead, prefixes that overlap, and one address on two
// modules, each checked on what the modules and the record hold.

#include "StationTest.h"

#include <csignal>

#include <sqlite3.h>
#include <sys/wait.h>

using namespace vendrill;

using namespace stationtest;

namespace {

class NoNameTwice : public StationTest {};

}  // namespace

TEST_F(NoNameTwice, ALostOrLateAcknowledgementKeepsTheNumber)
{
    // The first printer takes the name, but its answer is lost; it leaves
    // before anyone could ask it again.
    auto lost = Line({{"00190199C001", false, true}, {"00190199C002", false}});
    const Outcome a = RunStation(*lost, {"--name", "L-", "--count", "2", "--json"});
    EXPECT_EQ(ModuleNames({lost.get()}).at("00190199C001"), "L-00001");
    EXPECT_TRUE(NamesHeldTwice({lost.get()}).empty()) << a.out;
    // The line, its JSON and the record tell the same.
    EXPECT_EQ(a.exitCode, kNotNamed) << a.err;
    const std::vector<std::string> lines = PrinterLines(a.out);
    const auto visits = Visits();
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(visits.size(), 2u);
    EXPECT_NE(lines[0].find("\"result\": \"sent\", \"state\": \"sent\""), std::string::npos) << lines[0];
    EXPECT_EQ(ResultOf(visits[0]), "sent");
    EXPECT_EQ(visits[0].state, "sent");
    EXPECT_NE(lines[1].find("\"number\": 2, \"result\": \"named\""), std::string::npos) << lines[1];
    EXPECT_EQ(ResultOf(visits[1]), "named");

    // Every answer to Set BDN comes after the reply time-out; the printers
    // stay long enough to be asked again.
    SimOptions late;
    late.nameAckDelayMs = CSimHost::kFrameTimeoutMs + 1500;
    auto slow = Line({{"00190199C003", false}, {"00190199C004", false}}, 6000, 200, late);
    const Outcome b = RunStation(*slow, {"--name", "L-", "--count", "2", "--json"});
    EXPECT_TRUE(NamesHeldTwice({lost.get(), slow.get()}).empty()) << b.out;
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
// share an address. Every visit is recorded, and the printer keeps its
// number and name.
TEST_F(NoNameTwice, AKnownAddressKeepsItsNameAndEveryVisitIsRecorded)
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
        EXPECT_EQ(line->Visits()[2].journal, std::vector<std::string>({"?3", "?1"}))
            << "the name is not set again when the module has it";
    }
    // A module with that address and another name, at another station: it
    // is given the recorded name again, still without a new number, and the
    // station says so.
    auto line = Line({a});
    const Outcome o = RunStation(*line, {"--name", "P", "--count", "1", "--json", "--station", "other"});
    ASSERT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_NE(o.out.find("\"number\": 1, \"result\": \"renamed-back\""), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("renamed back (was 'VENDRILL-PRN')"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("0019019A0001"), std::string::npos) << o.err;
    EXPECT_EQ(line->Visits()[0].state.name, "P00001");

    const auto visits = Visits();
    ASSERT_EQ(visits.size(), 4u);
    EXPECT_EQ(ResultOf(visits[2]), "already-named");
    EXPECT_EQ(ResultOf(visits[3]), "renamed-back");
    EXPECT_EQ(visits[3].visit.station, "other");
    EXPECT_EQ(visits[3].visit.found, "VENDRILL-PRN");
    for (int k : {0, 2, 3}) {
        EXPECT_EQ(visits[k].visit.address, a.address);
        EXPECT_EQ(visits[k].visit.number, 1);
        EXPECT_EQ(visits[k].state, "named");
    }
}
