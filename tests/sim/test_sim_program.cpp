// The vendrill-sim program, run as a child process.

#include "SimTestUtil.h"

#include "base/TextCodec.h"
#include "vendrill/Version.h"

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

using namespace vendrill;

extern char** environ;

namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;  // read end of the child's standard output
};

Child Spawn(std::vector<std::string> args)
{
    Child c;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return c;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    args.insert(args.begin(), VENDRILL_SIM_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&c.pid, VENDRILL_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
        c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    c.out = pipeFds[0];
    return c;
}

// Reads the child's output until it holds `lines` LFs or reaches EOF.
std::string ReadOutput(int fd, int lines)
{
    return simtest::ReadUntil(
        fd, [lines](const std::string& text) { return std::count(text.begin(), text.end(), '\n') >= lines; }, true);
}

int Wait(pid_t pid)
{
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The terminal named by the first line of the program's output.
std::string PathOf(const std::string& banner)
{
    const std::string prefix = "vendrill-sim: module on ";
    if (banner.rfind(prefix, 0) != 0)
        return {};
    return banner.substr(prefix.size(), banner.find(' ', prefix.size()) - prefix.size());
}

// The data of the module's answer to a Get request.
std::string Ask(const std::string& path, char command)
{
    const int fd = simtest::OpenLine(path);
    if (fd < 0)
        return "(cannot open " + path + ")";
    std::string reply;
    if (simtest::WriteBytes(fd, proto::GetRequest(command)))
        reply = simtest::ReadReply(fd);
    ::close(fd);
    const std::size_t stx = reply.find('\x02'), etx = reply.find('\x03', stx);
    if (stx == std::string::npos || etx == std::string::npos || etx < stx + 4)
        return "(no reply: " + reply + ")";
    return reply.substr(stx + 4, etx - stx - 4);
}

// Runs the program with args, gives its output's first `lines` lines and the
// module's answers to the Get requests `commands`, then stops it.
struct Asked {
    std::string output;
    std::vector<std::string> answers;
};
Asked RunAndAsk(std::vector<std::string> args, int lines, const std::string& commands)
{
    Asked a;
    Child c = Spawn(std::move(args));
    if (c.pid <= 0)
        return a;
    a.output = ReadOutput(c.out, lines);
    for (char command : commands)
        a.answers.push_back(Ask(PathOf(a.output), command));
    ::kill(c.pid, SIGTERM);
    Wait(c.pid);
    ::close(c.out);
    return a;
}

}  // namespace

TEST(SimProgram, ServesUntilTerminated)
{
    Child c = Spawn({"--name", "BENCH-01", "--noise", "0x4E00"});
    ASSERT_GT(c.pid, 0);
    const std::string banner = ReadOutput(c.out, 1);
    const std::string prefix = "vendrill-sim: module on ";
    ASSERT_EQ(banner.rfind(prefix, 0), 0u) << banner;
    const std::string path = banner.substr(prefix.size(), banner.find(' ', prefix.size()) - prefix.size());
    EXPECT_EQ(banner, prefix + path + " (use VENDRILL_COM1=" + path + ")\n");

    const int fd = simtest::OpenLine(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(simtest::WriteBytes(fd, proto::GetRequest('1')));
    const std::string reply = simtest::ReadReply(fd);
    EXPECT_EQ(reply, std::string("N\0\x02VR1BENCH-01\x03", 15));
    ::close(fd);

    ::kill(c.pid, SIGTERM);
    const std::string rest = ReadOutput(c.out, 1);  // ends at EOF when the program exits
    EXPECT_EQ(rest, "vendrill-sim: stopped after 1 requests\n");
    EXPECT_EQ(Wait(c.pid), 0);
    ::close(c.out);
}

TEST(SimProgram, HelpAndBadOptions)
{
    Child help = Spawn({"--help"});
    ASSERT_GT(help.pid, 0);
    EXPECT_NE(ReadOutput(help.out, 100).find("--overlong-name"), std::string::npos);
    EXPECT_EQ(Wait(help.pid), 0);
    ::close(help.out);

    for (const char* option : {"-h", "-V", "--version"}) {
        Child c = Spawn({option});
        ASSERT_GT(c.pid, 0);
        const std::string out = ReadOutput(c.out, 100);
        if (option[1] == 'h')
            EXPECT_EQ(out.rfind("Usage: vendrill-sim", 0), 0u) << out;
        else
            EXPECT_EQ(out, "vendrill-sim " VENDRILL_VERSION "\n");
        EXPECT_EQ(Wait(c.pid), 0) << option;
        ::close(c.out);
    }

    // Names and PIN keys the module could not take (30 Hangul syllables are
    // 60 bytes in code page 949); a first address without a numbered line,
    // or past the last address.
    std::string hangul30;
    for (int k = 0; k < 30; ++k)
        hangul30 += "\xED\x95\x9C";
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--bogus"}, {"--delay"}, {"--delay", "-3"}, {"--split", "0"}, {"--noise", "0x4"},
          {"--pin", std::string(17, '1')}, {"--name", "A\x03"}, {"--name", "\xFF"}, {"--name", "\xF0\x9F\x98\x80"},
          {"--name", hangul30}, {"--first-address", "0012F3A1B2C3"},
          {"--line", "0012F3A1B2C3", "--first-address", "0012F3A1B2C3"},
          {"--line", "2", "--first-address", "FFFFFFFFFFFF"}, {"--line", "2", "--first-address", "0012F3A1B2"}}) {
        Child c = Spawn(bad);
        ASSERT_GT(c.pid, 0);
        EXPECT_EQ(ReadOutput(c.out, 100), "") << "nothing on standard output";
        EXPECT_EQ(Wait(c.pid), 2) << bad[0];
        ::close(c.out);
    }
}

TEST(SimProgram, EveryLineRunHasAddressesOfItsOwn)
{
    // Two runs on one record must not bring the same printers again.
    const Asked first = RunAndAsk({"--line", "3"}, 2, "3");
    const Asked second = RunAndAsk({"--line", "3"}, 2, "3");
    ASSERT_EQ(first.answers.size(), 1u) << first.output;
    ASSERT_EQ(second.answers.size(), 1u) << second.output;
    EXPECT_EQ(first.answers[0].size(), 12u) << first.answers[0];
    EXPECT_NE(first.answers[0], second.answers[0]);
    EXPECT_NE(first.output.find("addresses " + first.answers[0] + " to "), std::string::npos) << first.output;

    const Asked given = RunAndAsk({"--line", "3", "--first-address", "0012f3a1b2fe"}, 2, "3");
    ASSERT_EQ(given.answers.size(), 1u);
    EXPECT_EQ(given.answers[0], "0012F3A1B2FE");
    EXPECT_NE(given.output.find("addresses 0012F3A1B2FE to 0012F3A1B300"), std::string::npos) << given.output;
}

TEST(SimProgram, NameIsTakenFromUtf8AndKeptAsTheModuleKeepsIt)
{
    // Code page 949, as a name set over the line would be.
    const std::string korean = "\xED\x94\x84\xEB\xA6\xB0\xED\x84\xB0-1";  // "프린터-1"
    const Asked one = RunAndAsk({"--name", korean}, 1, "1");
    ASSERT_EQ(one.answers.size(), 1u);
    EXPECT_EQ(one.answers[0], "\xC7\xC1\xB8\xB0\xC5\xCD-1");
    // 29 syllables: 87 bytes of UTF-8, 58 in code page 949.
    std::string hangul29;
    for (int k = 0; k < 29; ++k)
        hangul29 += "\xED\x95\x9C";
    const Asked longest = RunAndAsk({"--name", hangul29}, 1, "1");
    ASSERT_EQ(longest.answers.size(), 1u);
    EXPECT_EQ(longest.answers[0], Utf8ToCp949(hangul29));

    // Every printer of a line comes with the name and PIN key given.
    const Asked line = RunAndAsk({"--line", "2", "--name", korean, "--pin", "4321"}, 2, "14");
    ASSERT_EQ(line.answers.size(), 2u);
    EXPECT_EQ(line.answers[0], "\xC7\xC1\xB8\xB0\xC5\xCD-1");
    EXPECT_EQ(line.answers[1], "4321");
}
