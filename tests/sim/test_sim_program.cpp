// The vendrill-sim program, run as a child process.

#include "SimTestUtil.h"

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

    for (std::vector<std::string> bad : {std::vector<std::string>{"--bogus"}, {"--delay"}, {"--delay", "-3"},
                                         {"--split", "0"}, {"--noise", "0x4"}, {"--pin", std::string(17, '1')}}) {
        Child c = Spawn(bad);
        ASSERT_GT(c.pid, 0);
        EXPECT_EQ(ReadOutput(c.out, 100), "") << "nothing on standard output";
        EXPECT_EQ(Wait(c.pid), 2) << bad[0];
        ::close(c.out);
    }
}
