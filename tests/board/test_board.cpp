// The line board's own rules: who may listen where, the token, the moments
// it asks the record about.

#include "app/board/Board.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

using namespace vendrill::board;

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
    EXPECT_FALSE(ParseArguments({"--what"}).ok);

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
