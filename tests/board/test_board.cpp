// The line board's own rules: who may listen where, the token, the moments
// it asks the record about.

#include "app/board/Board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

using namespace vendrill::board;
namespace record = vendrill::record;

TEST(BoardOptions, OnlyLoopbackGoesWithoutAToken)
{
    EXPECT_TRUE(ParseArguments({}).ok);
    EXPECT_EQ(ParseArguments({}).options.port, kDefaultPort);
    for (const char* host : {"127.0.0.1:8000", "127.1.2.3:0", "localhost:1", "[::1]:8470"})
        EXPECT_TRUE(ParseArguments({"--listen", host}).ok) << host;
    for (const char* host : {"0.0.0.0:8470", "192.168.1.5:80", "[::]:8470", "board.example:80", "128.0.0.1:1"}) {
        const ParseResult r = ParseArguments({"--listen", host});
        EXPECT_FALSE(r.ok) << host;
        EXPECT_NE(r.error.find("--token"), std::string::npos) << r.error;
    }
    for (const char* bad : {"8470", ":8470", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:http"})
        EXPECT_FALSE(ParseArguments({"--listen", bad}).ok) << bad;
    EXPECT_FALSE(ParseArguments({"--db"}).ok);
    EXPECT_EQ(ParseArguments({"--lisen", "127.0.0.1:1"}).error, "unknown option '--lisen'; did you mean '--listen'?");
    EXPECT_TRUE(ParseArguments({"-V"}).version) << "as the other programs";

    // The token: read from its file, one line of some length.
    char path[] = "/tmp/vendrill-token-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const auto write = [&](const std::string& text) {
        ASSERT_EQ(::ftruncate(fd, 0), 0);
        ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    };
    write("a-token-long-enough-for-a-line\n");
    ParseResult r = ParseArguments({"--listen", "0.0.0.0:0", "--token", path});
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.token, "a-token-long-enough-for-a-line");
    for (const char* weak : {"", "\n", "short\n", "two words that are long\n"}) {
        write(weak);
        EXPECT_FALSE(ParseArguments({"--token", path}).ok) << weak;
    }
    ::close(fd);
    ::unlink(path);
    EXPECT_FALSE(ParseArguments({"--token", "/nonexistent/token"}).ok);
}

TEST(BoardOptions, SecretsAndMoments)
{
    EXPECT_TRUE(SameSecret("a-token-long-enough", "a-token-long-enough"));
    EXPECT_FALSE(SameSecret("a-token-long-enougH", "a-token-long-enough"));
    EXPECT_FALSE(SameSecret("a-token-long-enough!", "a-token-long-enough"));
    EXPECT_FALSE(SameSecret("a-token", "a-token-long-enough"));
    EXPECT_FALSE(SameSecret("", ""));

    // Today starts at local midnight, in the record's UTC form.
    ::setenv("TZ", "KST-9", 1);  // no zone files needed
    ::tzset();
    std::tm at{};
    at.tm_year = 2026 - 1900;
    at.tm_mon = 11;
    at.tm_mday = 8;
    at.tm_hour = 3;  // 03:30 in Seoul is 18:30 UTC of the day before
    at.tm_min = 30;
    at.tm_isdst = -1;
    const auto now = std::chrono::system_clock::from_time_t(std::mktime(&at));
    const vendrill::record::BoardQuery q = QueryAt(now);
    EXPECT_EQ(q.dayStart, "2026-12-07T15:00:00.000Z");
    EXPECT_EQ(q.hourAgo, "2026-12-07T17:30:00.000Z");
    EXPECT_EQ(q.hoursStart, "2026-12-07T07:00:00.000Z");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(BoardOptions, SettingsShiftsAndMetrics)
{
    std::string error;
    std::optional<Settings> s = ParseSettings("# targets\nsilent_after = 10 min\nalert_sound = on\n"
                                              "shifts = 22:00, 06:00 14:00\nline_target = 1800 per shift\n"
                                              "host_names = Board.Line.Local\n\n[station A 1]\ntarget = 60/hour\n"
                                              "silent_after = 90 s # the slow one\n[station __proto__]\nexpected = no\n",
                                              "board.conf", &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->silentAfterS, 600);
    EXPECT_TRUE(s->sound);
    EXPECT_EQ(s->shiftStarts, (std::vector<int>{360, 840, 1320}));
    EXPECT_EQ(s->linePerShift, 1800);
    EXPECT_EQ(s->hostNames, std::vector<std::string>{"board.line.local"});
    ASSERT_NE(s->Station("A 1"), nullptr);
    EXPECT_EQ(s->Station("A 1")->perHour, 60);
    EXPECT_EQ(s->Station("A 1")->silentAfterS, 90);
    EXPECT_FALSE(s->Station("__proto__")->expected);
    for (const char* bad : {"silent_after = soon\n", "[station]\n", "[line]\n", "shifts = 25:00\n", "what = 1\n",
                            "[station A]\ntarget = 60 per week\n", "[station A]\n[station A]\n", "line_target\n"}) {
        EXPECT_FALSE(ParseSettings(bad, "board.conf", &error)) << bad;
        EXPECT_EQ(error.rfind("board.conf:", 0), 0u) << error;
    }

    // A night shift runs past midnight; with no shifts the day is one.
    ::setenv("TZ", "KST-9", 1);
    ::tzset();
    std::tm at{};
    at.tm_year = 2026 - 1900;
    at.tm_mon = 11;
    at.tm_mday = 8;
    at.tm_hour = 3;
    at.tm_isdst = -1;
    const std::time_t night = std::mktime(&at);
    const Shift shift = ShiftAt(night, *s);
    EXPECT_EQ(record::TimeText(shift.start), "2026-12-07T13:00:00.000Z");  // 22:00 the day before
    EXPECT_EQ(record::TimeText(shift.end), "2026-12-07T21:00:00.000Z");    // 06:00
    EXPECT_EQ(QueryAt(std::chrono::system_clock::from_time_t(night), *s).shiftStart, "2026-12-07T13:00:00.000Z");
    const Shift day = ShiftAt(night, Settings{});
    EXPECT_EQ(day.end - day.start, 86400);
    ::unsetenv("TZ");
    ::tzset();

    // Station ids are label values: quotes, backslashes and line breaks escaped.
    Picture p;
    record::StationDay d;
    d.station = "a\"b\\c\nd";
    d.printers = 3;
    d.named = 2;
    d.failed = 1;
    p.board.stations.push_back(d);
    const std::string text = MetricsText(p, "");
    EXPECT_NE(text.find("vendrill_board_printers_today{station=\"a\\\"b\\\\c\\nd\",result=\"named\"} 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("vendrill_board_record_up 1\n"), std::string::npos);
}
