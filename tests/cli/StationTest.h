#pragma once

// What the station tests share: simulated lines of printers on new
// pseudo-terminals, the station run as a child process, the record read
// back as it is held, and waits on what the line or a file shows.

#include "CliTestUtil.h"

#include "record/Record.h"
#include "sim/SimHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace stationtest {

using namespace vendrill;

using clitest::Outcome;
using clitest::RunCli;

constexpr int kOk = 0, kBadArgument = 2, kRecord = 6, kNotNamed = 7;

inline std::string ResultOf(const vendrill::record::VisitEntry& e)
{
    return vendrill::record::ResultName(e.visit.result);
}

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::seconds patience = std::chrono::seconds(30))
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

using clitest::Lines;
using clitest::Words;

// The per-printer lines of a station's JSON Lines output.
inline std::vector<std::string> PrinterLines(const std::string& out)
{
    std::vector<std::string> printers;
    for (const std::string& line : Lines(out))
        if (line.find("\"event\": \"printer\"") != std::string::npos)
            printers.push_back(line);
    return printers;
}

inline std::size_t Find(const std::vector<std::string>& journal, const std::string& entry, std::size_t from = 0)
{
    const auto it = std::find(journal.begin() + static_cast<std::ptrdiff_t>(std::min(from, journal.size())),
                              journal.end(), entry);
    return static_cast<std::size_t>(it - journal.begin());
}

// True once the printer on the line (its latest stay) has had the request.
inline bool Heard(const CSimHost& line, const std::string& entry, std::size_t times = 1)
{
    const std::vector<LineVisit> v = line.Visits();
    return !v.empty() && static_cast<std::size_t>(std::count(v.back().journal.begin(), v.back().journal.end(), entry)) >=
                             times;
}

// The name each module on the lines holds in the end, by address.
inline std::map<std::string, std::string> ModuleNames(const std::vector<const CSimHost*>& lines)
{
    std::map<std::string, std::string> names;
    for (const CSimHost* line : lines)
        for (const LineVisit& v : line->Visits())
            names[v.address] = v.state.name;
    return names;
}

// Names that two printers (two addresses) carry.
inline std::vector<std::string> NamesHeldTwice(const std::vector<const CSimHost*>& lines)
{
    std::map<std::string, int> holders;
    for (const auto& [address, name] : ModuleNames(lines))
        ++holders[name];
    std::vector<std::string> twice;
    for (const auto& [name, count] : holders)
        if (count > 1)
            twice.push_back(name);
    return twice;
}

class StationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/vendrill-station-XXXXXX";
        ASSERT_TRUE(::mkdtemp(dir));
        m_dir = dir;
        m_db = "sqlite:" + m_dir + "/records.sqlite";
        // A station opens a record that is there (it makes one only when
        // asked, or in the default place).
        const vendrill::record::OpenResult made = vendrill::record::Open(m_db, vendrill::record::Access::Create);
        ASSERT_EQ(made.kind, vendrill::record::OpenResult::Kind::Ok) << made.error;
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    // A line of printers on a new simulated port.
    std::unique_ptr<CSimHost> Line(const std::vector<LinePrinter>& printers, int stayMs = 100, int goneMs = 200,
                                   const SimOptions& options = {})
    {
        auto host = std::make_unique<CSimHost>();
        LineOptions line;
        line.printers = printers;
        line.stayMs = stayMs;
        line.goneMs = goneMs;
        host->SetOptions(options);
        host->SetLine(line);
        EXPECT_TRUE(host->Start());
        return host;
    }

    std::vector<std::string> StationArgs(CSimHost& host, std::vector<std::string> args, const std::string& db = {})
    {
        args.insert(args.begin(), {"station", "--port", host.SlavePath(), "--db", db.empty() ? m_db : db});
        return args;
    }

    Outcome RunStation(CSimHost& host, std::vector<std::string> args, const std::string& db = {},
                       const clitest::RunOptions& run = {})
    {
        Outcome o = RunCli(StationArgs(host, std::move(args), db), run);
        EXPECT_TRUE(o.finished) << "the station had to be killed";
        return o;
    }

    // Waits until the station's standard error (in a file) holds text.
    bool Said(const std::string& file, const std::string& text)
    {
        return WaitFor([&] { return clitest::ReadText(file).find(text) != std::string::npos; });
    }

    // The visits the record holds, each with its name's state now.
    std::vector<vendrill::record::VisitEntry> Visits(const std::string& db = {})
    {
        vendrill::record::OpenResult r = vendrill::record::Open(db.empty() ? m_db : db, vendrill::record::Access::ReadOnly);
        EXPECT_TRUE(r.record) << r.error;
        std::vector<vendrill::record::VisitEntry> all;
        std::string error;
        if (r.record) {
            EXPECT_TRUE(r.record->List("", &all, &error)) << error;
        }
        return all;
    }

    std::string m_dir;
    std::string m_db;
};

}  // namespace stationtest
