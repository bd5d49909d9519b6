// The production record on real databases: a SQLite file in a temporary
// folder and a private PostgreSQL server (PgServer).

#include "PgServer.h"

#include "record/Record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vendrill::record;

namespace {

class TempDir {
public:
    TempDir()
    {
        char dir[] = "/tmp/vendrill-rec-XXXXXX";
        if (::mkdtemp(dir))
            m_path = dir;
    }
    ~TempDir()
    {
        if (!m_path.empty())
            std::system(("rm -rf '" + m_path + "'").c_str());
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

PgServer* g_server = nullptr;
std::string g_serverError;
int g_databases = 0;

// Opens the record a parameter names: "sqlite" (a new file) or "postgres"
// (a new database on the shared server).
class RecordOn : public ::testing::TestWithParam<std::string> {
protected:
    static void TearDownTestSuite()
    {
        delete g_server;
        g_server = nullptr;
    }

    std::string NewLocation()
    {
        if (GetParam() == "sqlite")
            return "sqlite:" + m_dir.Path() + "/records-" + std::to_string(++g_databases) + ".sqlite";
        if (!g_server) {
            g_server = new PgServer;
            g_serverError = g_server->Start();
        }
        if (!g_serverError.empty()) {
            ADD_FAILURE() << g_serverError;
            return {};
        }
        std::string error;
        const std::string url = g_server->NewDatabase("rec" + std::to_string(++g_databases), &error);
        EXPECT_FALSE(url.empty()) << error;
        return url;
    }

    std::unique_ptr<CRecord> OpenOk(const std::string& location)
    {
        OpenResult r = Open(location);
        EXPECT_EQ(r.kind, OpenResult::Kind::Ok) << r.error;
        return std::move(r.record);
    }

    TempDir m_dir;
};

}  // namespace

TEST_P(RecordOn, NumbersFollowOnAndFailuresGiveTheirsBack)
{
    const std::string location = NewLocation();
    ASSERT_FALSE(location.empty());
    std::unique_ptr<CRecord> rec = OpenOk(location);
    ASSERT_TRUE(rec);
    std::string error;

    const auto a = rec->ClaimNext("PRN-", 1, "AAAAAAAAAAAA", "st1", &error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->number, 1);
    ASSERT_TRUE(rec->Finish(a->id, State::Named, "PRN-00001", "", &error)) << error;
    EXPECT_FALSE(rec->Finish(a->id, State::Failed, "PRN-00001", "x", &error)) << "a named record stays named";

    const auto b = rec->ClaimNext("PRN-", 1, "BBBBBBBBBBBB", "st1", &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->number, 2);
    ASSERT_TRUE(rec->Finish(b->id, State::Failed, "PRN-00002", "the module refused the name", &error));

    // Number 2 went back; a claim still open holds its number.
    const auto c = rec->ClaimNext("PRN-", 1, "CCCCCCCCCCCC", "st1", &error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->number, 2);
    const auto d = rec->ClaimNext("PRN-", 1, "DDDDDDDDDDDD", "st2", &error);
    ASSERT_TRUE(d) << error;
    EXPECT_EQ(d->number, 3);
    ASSERT_TRUE(rec->Finish(c->id, State::Interrupted, "PRN-00002", "interrupted", &error));
    const auto e = rec->ClaimNext("PRN-", 1, "EEEEEEEEEEEE", "st1", &error);
    ASSERT_TRUE(e) << error;
    EXPECT_EQ(e->number, 2);
    // A printer whose module took the name before it failed keeps its number.
    ASSERT_TRUE(rec->Finish(e->id, State::Unconfirmed, "PRN-00002", "no read-back", &error));
    const auto e2 = rec->ClaimNext("PRN-", 1, "EEEEEEEEEEE2", "st1", &error);
    ASSERT_TRUE(e2) << error;
    EXPECT_EQ(e2->number, 4);
    ASSERT_TRUE(rec->Finish(e2->id, State::Named, "PRN-00004", "", &error)) << error;
    // Other prefixes and a later first number have their own runs.
    const auto f = rec->ClaimNext("LAB-", 1, "FFFFFFFFFFFF", "st1", &error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->number, 1);
    const auto g = rec->ClaimNext("PRN-", 100, "GGGGGGGGGGGG", "st1", &error);
    ASSERT_TRUE(g) << error;
    EXPECT_EQ(g->number, 100);

    const auto named = rec->FindNamed("AAAAAAAAAAAA", &error);
    ASSERT_TRUE(named) << error;
    EXPECT_EQ(named->name, "PRN-00001");
    EXPECT_EQ(named->number, 1);
    EXPECT_EQ(named->station, "st1");
    EXPECT_FALSE(named->ended.empty());
    EXPECT_FALSE(rec->FindNamed("BBBBBBBBBBBB", &error)) << "a failed printer is not named";
    EXPECT_EQ(error, "");

    std::vector<Entry> all;
    ASSERT_TRUE(rec->List("", &all, &error)) << error;
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all[4].result, "unconfirmed");
    EXPECT_EQ(all[1].result, "failed");
    EXPECT_EQ(all[1].reason, "the module refused the name");
    EXPECT_EQ(all[2].result, "interrupted");
    EXPECT_EQ(all[3].result, "claimed");
    EXPECT_EQ(all[3].ended, "");
    ASSERT_TRUE(rec->List(*SinceText("2999-01-01"), &all, &error));
    EXPECT_TRUE(all.empty());

    // Opening again finds the schema in place and keeps the records.
    rec.reset();
    rec = OpenOk(location);
    ASSERT_TRUE(rec);
    ASSERT_TRUE(rec->List(*SinceText("2000-01-01T00:00"), &all, &error));
    EXPECT_EQ(all.size(), 8u);
}

TEST_P(RecordOn, TwoStationsClaimingAtOnceNeverShareANumber)
{
    const std::string location = NewLocation();
    ASSERT_FALSE(location.empty());
    ASSERT_TRUE(OpenOk(location));  // schema in place before the race
    constexpr int kEach = 40;
    std::vector<std::int64_t> got[2];
    std::string errors[2];
    std::vector<std::thread> stations;
    for (int s = 0; s < 2; ++s) {
        stations.emplace_back([&, s] {
            OpenResult r = Open(location);
            if (!r.record) {
                errors[s] = r.error;
                return;
            }
            for (int k = 0; k < kEach; ++k) {
                std::string error;
                const auto claim = r.record->ClaimNext("P", 1, "ADDR" + std::to_string(s * 100 + k),
                                                       "st" + std::to_string(s), &error);
                if (!claim) {
                    errors[s] = error;
                    return;
                }
                got[s].push_back(claim->number);
                // Every fifth fails and gives its number back.
                const State end = k % 5 == 4 ? State::Failed : State::Named;
                if (!r.record->Finish(claim->id, end, "", "", &error)) {
                    errors[s] = error;
                    return;
                }
            }
        });
    }
    for (std::thread& t : stations)
        t.join();
    ASSERT_EQ(errors[0], "");
    ASSERT_EQ(errors[1], "");

    std::unique_ptr<CRecord> rec = OpenOk(location);
    std::vector<Entry> all;
    std::string error;
    ASSERT_TRUE(rec->List("", &all, &error)) << error;
    std::vector<std::int64_t> named;
    for (const Entry& e : all)
        if (e.result == "named")
            named.push_back(e.number);
    std::sort(named.begin(), named.end());
    ASSERT_EQ(named.size(), 2u * (kEach - kEach / 5));
    for (std::size_t k = 0; k < named.size(); ++k)
        EXPECT_EQ(named[k], static_cast<std::int64_t>(k + 1)) << "named numbers are distinct and without gaps";
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordOn, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

TEST(RecordOpen, LocationsThatCannotBeUsed)
{
    EXPECT_EQ(Open("mysql://host/db").kind, OpenResult::Kind::BadLocation);
    EXPECT_EQ(Open("sqlite:").kind, OpenResult::Kind::BadLocation);
    EXPECT_EQ(Open("records.sqlite").kind, OpenResult::Kind::BadLocation);

    TempDir dir;
    OpenResult r = Open("sqlite:" + dir.Path() + "/no-such-folder/r.sqlite");
    EXPECT_EQ(r.kind, OpenResult::Kind::Unavailable);
    EXPECT_NE(r.error.find("no-such-folder"), std::string::npos) << r.error;

    const std::string path = dir.Path() + "/r.sqlite";
    ASSERT_EQ(Open("sqlite:" + path).kind, OpenResult::Kind::Ok);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    r = Open("sqlite:" + path);
    EXPECT_EQ(r.kind, OpenResult::Kind::Unavailable);
    EXPECT_NE(r.error.find("read-only"), std::string::npos) << r.error;
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);

    // A schema newer than this program knows is left alone.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO schema_version VALUES (99)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    r = Open("sqlite:" + path);
    EXPECT_EQ(r.kind, OpenResult::Kind::Unavailable);
    EXPECT_NE(r.error.find("newer"), std::string::npos) << r.error;

    r = Open("postgresql://vendrill@/postgres?host=" + dir.Path() + "&connect_timeout=2");
    EXPECT_EQ(r.kind, OpenResult::Kind::Unavailable);
    EXPECT_NE(r.error.find("cannot reach"), std::string::npos) << r.error;
}

TEST(RecordOpen, StationsStartingTogetherOnANewFileAllGetIn)
{
    for (int round = 0; round < 5; ++round) {
        TempDir dir;
        const std::string location = "sqlite:" + dir.Path() + "/new.sqlite";
        std::string errors[6];
        std::vector<std::thread> stations;
        for (std::string& error : errors)
            stations.emplace_back([&location, &error] { error = Open(location).error; });
        for (std::thread& t : stations)
            t.join();
        for (const std::string& error : errors)
            EXPECT_EQ(error, "");
    }
}

// A claim left open by a station that stopped gives its number back.
TEST(RecordOpen, AnAbandonedClaimGivesItsNumberBack)
{
    TempDir dir;
    sqlite3* db = nullptr;
    const std::string other = dir.Path() + "/abandoned.sqlite";
    {
        std::unique_ptr<CRecord> rec = Open("sqlite:" + other).record;
        ASSERT_TRUE(rec);
        std::string error;
        const auto lost = rec->ClaimNext("A", 1, "LOST", "st", &error);
        ASSERT_TRUE(lost) << error;
        ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE records SET started = '2020-01-01T00:00:00.000Z'", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        const auto next = rec->ClaimNext("A", 1, "NEXT", "st", &error);
        ASSERT_TRUE(next) << error;
        EXPECT_EQ(next->number, lost->number);
        std::vector<Entry> all;
        ASSERT_TRUE(rec->List("", &all, &error));
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(all[0].result, "interrupted");
        EXPECT_NE(all[0].reason.find("abandoned"), std::string::npos);
    }
}

TEST(RecordOpen, DefaultFileAndTimes)
{
    TempDir dir;
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", (dir.Path() + "/data").c_str(), 1);
    EXPECT_EQ(DefaultSqlitePath(), dir.Path() + "/data/vendrill/records.sqlite");
    EXPECT_EQ(Open("").kind, OpenResult::Kind::Ok) << "the folder is made on first use";
    struct stat st {};
    EXPECT_EQ(::stat((dir.Path() + "/data/vendrill/records.sqlite").c_str(), &st), 0);
    if (old)
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");

    EXPECT_EQ(SinceText("2026-03-04"), "2026-03-04T00:00:00.000Z");
    EXPECT_EQ(SinceText("2026-03-04 05:06"), "2026-03-04T05:06:00.000Z");
    EXPECT_EQ(SinceText("2026-03-04T05:06:07Z"), "2026-03-04T05:06:07.000Z");
    EXPECT_FALSE(SinceText("yesterday"));
    EXPECT_FALSE(SinceText("2026-3-4"));
    EXPECT_EQ(NowText().size(), 24u);
}
