// vendrill-cli station and records as a line runs them: child processes on
// simulated lines of printers (CSimHost playing a line), with the record in
// a real SQLite file or on a private PostgreSQL server.

#include "PgServer.h"
#include "StationTest.h"

#include <csignal>
#include <set>

#include <sys/stat.h>

using namespace vendrill;

using namespace stationtest;

namespace {

class Station : public StationTest {
protected:
    // Two stations on two lines of three printers each, on one record.
    void TwoStationsOnOneRecord(const std::string& db)
    {
        std::vector<LinePrinter> first = NumberedPrinters(3), second = NumberedPrinters(6);
        second.erase(second.begin(), second.begin() + 3);
        auto lineA = Line(first), lineB = Line(second);
        Outcome a, b;
        std::thread other([&] { b = RunStation(*lineB, {"--name", "L-", "--count", "3", "--station", "B"}, db); });
        a = RunStation(*lineA, {"--name", "L-", "--count", "3", "--station", "A"}, db);
        other.join();
        EXPECT_EQ(a.exitCode, kOk) << a.err;
        EXPECT_EQ(b.exitCode, kOk) << b.err;

        std::set<std::int64_t> numbers;
        std::set<std::string> names;
        for (const auto& e : Visits(db)) {
            EXPECT_EQ(ResultOf(e), "named") << e.visit.address << " " << e.visit.reason;
            EXPECT_EQ(e.state, "named");
            numbers.insert(e.visit.number);
            names.insert(e.visit.name);
        }
        EXPECT_EQ(numbers, (std::set<std::int64_t>{1, 2, 3, 4, 5, 6})) << "6 distinct numbers, no gaps";
        EXPECT_EQ(names.size(), 6u);
        for (const auto* host : {lineA.get(), lineB.get()})
            for (const LineVisit& v : host->Visits())
                EXPECT_TRUE(names.count(v.state.name)) << v.address << " has " << v.state.name;
        const Outcome csv = RunCli({"records", "--db", db, "--csv"});
        EXPECT_EQ(csv.exitCode, kOk) << csv.err;
        EXPECT_EQ(Lines(csv.out).size(), 7u) << csv.out;
    }
};

}  // namespace

TEST_F(Station, NamesThreePrintersInARowAndPrintsLabelsAfterTheReadBack)
{
    auto line = Line(NumberedPrinters(3));
    const Outcome o = RunStation(*line, {"--name", "PRN-", "--count", "3", "--print", "--pin", "4321",
                                         "--level", "3", "--station", "st1"});
    ASSERT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(Lines(o.err).size(), 2u) << "the start and the summary, nothing else\n" << o.err;
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    for (int k = 0; k < 3; ++k) {
        const std::vector<std::string> w = Words(lines[k]);
        ASSERT_GE(w.size(), 6u) << lines[k];
        EXPECT_EQ(w[1], NumberedPrinters(3)[k].address);
        EXPECT_EQ(w[2], "PRN-0000" + std::to_string(k + 1));
        EXPECT_EQ(w[3], "named");
        EXPECT_EQ(w[4], std::to_string(k + 1));
    }

    const std::vector<LineVisit> visits = line->Visits();
    ASSERT_EQ(visits.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        const std::string name = "PRN-0000" + std::to_string(k + 1);
        EXPECT_EQ(visits[k].state.name, name);
        EXPECT_EQ(visits[k].state.pin, "4321");
        EXPECT_EQ(visits[k].state.level, '3');
        // Set BDN, then the read-back of the name, then the label.
        const std::vector<std::string>& j = visits[k].journal;
        const std::size_t set = Find(j, "?2"), readBack = Find(j, "?1", set), label = Find(j, "P:" + name);
        EXPECT_LT(set, readBack);
        EXPECT_LT(readBack, label) << "the label comes after the read-back";
        EXPECT_LT(label, j.size());
        EXPECT_EQ(std::count(j.begin(), j.end(), "P:"), 2) << "three line feeds after the name";
    }

    const auto records = Visits();
    ASSERT_EQ(records.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        const vendrill::record::Visit& v = records[k].visit;
        EXPECT_EQ(ResultOf(records[k]), "named");
        EXPECT_EQ(records[k].state, "named");
        EXPECT_EQ(v.number, k + 1);
        EXPECT_EQ(v.station, "st1");
        EXPECT_TRUE(v.label && v.pin && v.level);
        EXPECT_EQ(records[k].time.size(), 24u) << records[k].time;
    }

    const Outcome csv = RunCli({"records", "--db", m_db, "--csv"});
    EXPECT_EQ(csv.exitCode, kOk) << csv.err;
    ASSERT_EQ(Lines(csv.out).size(), 4u);
    EXPECT_EQ(Lines(csv.out)[0], "time,station,address,result,name,number,state,found,label,pin,level,reason,radio,name_heard");
    EXPECT_EQ(Lines(csv.out)[1].substr(24), ",st1,001901990001,named,PRN-00001,1,named,,1,1,1,,,") << csv.out;
    EXPECT_EQ(csv.out.find("4321"), std::string::npos) << "PIN keys are not kept";
    const Outcome none = RunCli({"records", "--db", m_db, "--json", "--since", "2999-01-01"});
    EXPECT_EQ(none.out, "[]\n");
}

TEST_F(Station, ARefusedNameFailsAndItsNumberGoesToTheNextPrinter)
{
    auto line = Line({{"0019019B0001", false}, {"0019019B0002", true}, {"0019019B0003", false}});
    const Outcome o = RunStation(*line, {"--name", "N-", "--first-suffix", "7", "--count", "3", "--json", "--print"});
    EXPECT_EQ(o.exitCode, kNotNamed) << "a printer of the run was not named\n" << o.err;
    const std::vector<std::string> lines = PrinterLines(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    EXPECT_NE(lines[0].find("\"name\": \"N-7\", \"number\": 7, \"result\": \"named\""), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"number\": 8, \"result\": \"failed\", \"state\": \"failed\", \"reason\": \"Bluetooth Setting Error"),
              std::string::npos)
        << lines[1];
    // The refused name went out: its number is not handed to another printer.
    EXPECT_NE(lines[2].find("\"name\": \"N-9\", \"number\": 9, \"result\": \"named\""), std::string::npos)
        << lines[2];
    const std::vector<std::string> refused = line->Visits().at(1).journal;
    EXPECT_EQ(std::count_if(refused.begin(), refused.end(), [](const std::string& e) { return e.rfind("P:", 0) == 0; }),
              0)
        << "no label for a printer that refused the name";

    const auto records = Visits();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(ResultOf(records[1]), "failed");
    EXPECT_EQ(records[1].state, "failed");
    EXPECT_NE(records[1].visit.reason, "");
    EXPECT_EQ(records[2].visit.number, 9);

    // Names keep the width of --first-suffix: 10 no longer fits "7", which
    // is said before any printer is asked anything.
    auto next = Line(NumberedPrinters(1));
    const Outcome full = RunStation(*next, {"--name", "N-", "--first-suffix", "7", "--count", "1"});
    EXPECT_EQ(full.exitCode, kBadArgument) << full.err;
    EXPECT_NE(full.err.find("--first-suffix 7"), std::string::npos) << full.err;
    EXPECT_EQ(next->RequestCount(), 0u);
}

TEST_F(Station, TwoStationsShareOneSqliteFile)
{
    TwoStationsOnOneRecord(m_db);
}

TEST_F(Station, TwoStationsShareOnePostgresDatabase)
{
    PgServer server;
    const std::string started = server.Start();
    ASSERT_EQ(started, "");
    std::string error;
    const std::string url = server.NewDatabase("line", &error);
    ASSERT_FALSE(url.empty()) << error;
    TwoStationsOnOneRecord(url);
}

// As a line controller reads it: one JSON object a line, each with its event,
// from the start to the summary that a Ctrl-C between printers ends with;
// an operator sees the same on standard error, and a waiting station says so.
TEST_F(Station, ItTalksFromStartToSummaryAndACtrlCBetweenPrintersEndsAtOnce)
{
    auto line = Line(NumberedPrinters(1));
    clitest::RunOptions run;
    run.errorFile = m_dir + "/station.err";
    run.whileRunning = [&](pid_t pid) {
        // The printer has left; the station waits for the next and says so.
        EXPECT_TRUE(WaitFor([&] {
            const auto v = line->Visits();
            return !v.empty() && v[0].left;
        }));
        EXPECT_TRUE(WaitFor([&] { return clitest::ReadText(run.errorFile).find("waiting") != std::string::npos; }));
        ::kill(pid, SIGINT);
    };
    const Outcome o = RunCli({"station", "--port", line->SlavePath(), "--db", m_db, "--name", "C", "--station",
                              "st-9", "--json"},
                             run);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    const std::vector<std::string> lines = Lines(o.out);
    std::vector<std::string> events;
    for (const std::string& l : lines) {
        EXPECT_EQ(l.front(), '{') << l;
        EXPECT_EQ(l.back(), '}') << l;
        const std::size_t at = l.find("\"event\": \"");
        events.push_back(at == std::string::npos ? "?" : l.substr(at + 10, l.find('"', at + 10) - at - 10));
    }
    ASSERT_GE(events.size(), 4u) << o.out;
    EXPECT_EQ(events.front(), "start");
    EXPECT_EQ(events[1], "printer");
    EXPECT_EQ(events[2], "waiting");
    EXPECT_EQ(events.back(), "summary");
    EXPECT_NE(lines.front().find(line->SlavePath()), std::string::npos) << lines.front();
    EXPECT_NE(lines.front().find("\"next_name\": \"C00001\""), std::string::npos) << lines.front();
    EXPECT_NE(lines[1].find("\"name\": \"C00001\", \"number\": 1, \"result\": \"named\""), std::string::npos)
        << lines[1];
    EXPECT_NE(lines.back().find("\"named\": 1"), std::string::npos) << lines.back();
    // One printer a moment after the start is no rate yet (not 3600 an hour).
    EXPECT_NE(lines[1].find("\"per_hour\": null"), std::string::npos) << lines[1];
    // The operator's view.
    EXPECT_NE(o.err.find("station st-9"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(line->SlavePath()), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("1 printer"), std::string::npos) << o.err;
    const auto records = Visits();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(ResultOf(records[0]), "named");
}

// Printers that bring their own USB serial adapter: the port is not there
// when the station starts, and goes away with a printer. The station says so
// once each time, waits for it and goes on.
TEST_F(Station, APortThatComesLateOrGoesAwayIsWaitedFor)
{
    const std::string port = m_dir + "/port";
    auto first = Line({{"00190199F101", false}});
    std::unique_ptr<CSimHost> second;
    clitest::RunOptions run;
    run.errorFile = m_dir + "/station.err";
    run.whileRunning = [&](pid_t) {
        EXPECT_TRUE(WaitFor([&] { return clitest::ReadText(run.errorFile).find("waiting for") != std::string::npos; }));
        ASSERT_EQ(::symlink(first->SlavePath().c_str(), port.c_str()), 0);
        EXPECT_TRUE(WaitFor([&] {
            const auto v = first->Visits();
            return !v.empty() && v[0].left;
        }));
        first->Stop();  // the adapter is pulled: the line hangs up and its node goes
        EXPECT_TRUE(WaitFor([&] { return clitest::ReadText(run.errorFile).find("gone") != std::string::npos; }));
        second = Line({{"00190199F102", false}});
        ::unlink(port.c_str());
        ASSERT_EQ(::symlink(second->SlavePath().c_str(), port.c_str()), 0);
    };
    const Outcome o = RunCli({"station", "--port", port, "--db", m_db, "--name", "W", "--count", "2"}, run);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    ASSERT_TRUE(second);
    EXPECT_EQ(first->Visits().at(0).state.name, "W00001");
    EXPECT_EQ(second->Visits().at(0).state.name, "W00002");
    EXPECT_EQ(clitest::CountLines(o.err, "vendrill-cli: no port at " + port + " (57600 baud) yet; waiting for it "
                                         "(Ctrl-C ends the station)"),
              1)
        << o.err;
}

TEST_F(Station, BadInputIsRefusedBeforeAnyPrinterIsTouched)
{
    auto line = Line(NumberedPrinters(1));
    const std::string readOnly = m_dir + "/ro.sqlite";
    ASSERT_EQ(vendrill::record::Open("sqlite:" + readOnly, vendrill::record::Access::Create).kind,
              vendrill::record::OpenResult::Kind::Ok);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);

    struct Case {
        std::vector<std::string> args;
        std::string db;
        int exit;
        std::string message;
    } cases[] = {
        {{"--name", "P"}, "mysql://db/line", kBadArgument, "unknown record location"},
        {{"--name", "P"}, "postgresql://u@/db?host=" + m_dir + "&connect_timeout=2", kRecord, "cannot reach"},
        {{"--name", "P"}, "sqlite:" + readOnly, kRecord, "read-only"},
        {{"--name", "P"}, "sqlite:" + m_dir + "/missing/r.sqlite", kRecord, "missing"},
        // A mistyped path starts no second record (and no second sequence).
        {{"--name", "P"}, "sqlite:" + m_dir + "/typo.sqlite", kRecord, m_dir + "/typo.sqlite"},
        {{"--name", "PR.N"}, "", kBadArgument, "letters, digits"},
        {{"--name", std::string(30, 'P')}, "", kBadArgument, "longer than 29"},
        {{"--name", "P", "--first-suffix", std::string(19, '1')}, "", kBadArgument, "--first-suffix"},
        {{"--name", "P", "--first-suffix", "12a"}, "", kBadArgument, "--first-suffix"},
        {{"--name", "P", "--pin", std::string(17, '1')}, "", kBadArgument, "PIN key"},
        {{"--name", "P", "--level", "2"}, "", kBadArgument, "security level"},
        {{"--print"}, "", kBadArgument, "--name"},
        {{"--name", "P", "--count", "0"}, "", kBadArgument, "--count"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--count", "1"});
        const Outcome o = RunStation(*line, args, c.db);
        EXPECT_EQ(o.exitCode, c.exit) << c.args.back() << " " << c.db << "\n" << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(line->RequestCount(), 0u) << "no printer was asked anything";
    struct stat st {};
    EXPECT_NE(::stat((m_dir + "/typo.sqlite").c_str(), &st), 0) << "no record was made";
    EXPECT_EQ(RunStation(*line, {"--name", "P", "--count", "1", "--create-record"}, "sqlite:" + m_dir + "/new.sqlite")
                  .exitCode,
              kOk);
    EXPECT_EQ(RunCli({"records", "--db", "sqlite:" + m_dir + "/missing/r.sqlite"}).exitCode, kRecord);
    EXPECT_EQ(RunCli({"records", "--since", "soon", "--db", m_db}).exitCode, kBadArgument);
}
