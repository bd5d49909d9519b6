// vendrill-cli as a user runs it: a child process talking to the simulated
// module, either one it starts itself (--simulate) or one the test runs on a
// pseudo-terminal and passes with --port.

#include "CliTestUtil.h"

#include "sim/SimHost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using clitest::Outcome;
using clitest::RunCli;

namespace {

constexpr const char* kDefaultInfo =
    "address: 00190199A1B2\n"
    "pin: 0000\n"
    "name: VENDRILL-PRN\n"
    "pairing: Legacy pairing\n"
    "level: Mode 1 (Not Use Pinkey)\n";

// Exit statuses as documented in the usage text.
constexpr int kOk = 0, kBadArgument = 2, kNoDevice = 3, kTimeout = 4, kModuleError = 5;

class CliOnSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_sim.Start());
        m_path = m_sim.SlavePath();
        ASSERT_FALSE(m_path.empty());
    }

    // Runs the program on the test's module: --port <pty> args...
    Outcome Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--port", m_path});
        Outcome o = RunCli(args);
        EXPECT_TRUE(o.finished) << "the program had to be killed";
        return o;
    }

    void SetOptions(void (*change)(SimOptions&))
    {
        SimOptions options = m_sim.Options();
        change(options);
        m_sim.SetOptions(options);
    }

    CSimHost m_sim;
    std::string m_path;
};

}  // namespace

TEST(CliProgram, HelpAndVersionGoToStandardOutput)
{
    const Outcome help = RunCli({"--help"});
    EXPECT_EQ(help.exitCode, kOk);
    EXPECT_EQ(help.out.rfind("Usage: vendrill-cli", 0), 0u) << help.out;
    for (const char* word : {"info", "set-pin", "set-name", "--suffix", "--print", "set-level", "set-pairing",
                             "sniff", "--port", "--baud", "--data-bits", "--parity", "--stop-bits", "--usb",
                             "--simulate", "--json", "--trace", "--old-module", "Exit status"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    EXPECT_EQ(help.err, "");

    const Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.exitCode, kOk);
    EXPECT_EQ(version.out, "vendrill-cli 2.0.8\n");
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(RunCli({"-V"}).out, "vendrill-cli 2.0.8\n");
}

TEST(CliProgram, InfoOnItsOwnSimulatedModule)
{
    const Outcome plain = RunCli({"--simulate", "info"});
    EXPECT_EQ(plain.exitCode, kOk) << plain.err;
    EXPECT_EQ(plain.out, kDefaultInfo);
    EXPECT_EQ(plain.err, "");

    const Outcome json = RunCli({"info", "--json", "--simulate"});
    EXPECT_EQ(json.exitCode, kOk) << json.err;
    EXPECT_EQ(json.out, "{\"address\": \"00190199A1B2\", \"pin\": \"0000\", \"name\": \"VENDRILL-PRN\", "
                        "\"pairing\": \"Legacy pairing\", \"level\": \"Mode 1 (Not Use Pinkey)\"}\n");
}

TEST(CliProgram, TraceLinesGoToStandardErrorOnlyWhenAsked)
{
    const Outcome traced = RunCli({"--simulate", "--trace", "info"});
    EXPECT_EQ(traced.exitCode, kOk) << traced.err;
    EXPECT_EQ(traced.out, kDefaultInfo) << "no trace line may reach standard output";
    for (const char* line : {"ESC ~ 3 Get GDA", "Get BDA", "ESC ~ 4  Get PINKEY", "Get PinKey", "ESC ~ 1 Get GDN",
                             "Get BDN", "Get pairing way : ESC '~' 'A'", "Get pairing mode", "ESC ~ 6  Get LEVEL",
                             "Get Level"})
        EXPECT_EQ(clitest::CountLines(traced.err, line), 1) << line << " in\n" << traced.err;

    const Outcome quiet = RunCli({"--simulate", "info"});
    EXPECT_EQ(quiet.err, "");
}

TEST_F(CliOnSim, InfoFollowsTheModuleGeneration)
{
    ModuleState state = m_sim.State();
    state.pairing = '2';
    state.level = '3';
    m_sim.SetState(state);

    // A new module outside Legacy pairing: no security level.
    Outcome o = Run({"info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\npairing: Just Works\n");

    // The older generation is asked for the level directly.
    o = Run({"--old-module", "info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\nlevel: Mode 3 (Use Pinkey)\n");

    SetOptions([](SimOptions& s) { s.oldModule = true; });
    o = Run({"--old-module", "--json", "info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "{\"address\": \"00190199A1B2\", \"pin\": \"0000\", \"name\": \"VENDRILL-PRN\", "
                     "\"level\": \"Mode 3 (Use Pinkey)\"}\n");
}

TEST_F(CliOnSim, SetPinStoresTheKeyAndReadsBack)
{
    Outcome o = Run({"set-pin", "1234"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().pin, "1234");
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 1234\nname: VENDRILL-PRN\npairing: Legacy pairing\n"
                     "level: Mode 1 (Not Use Pinkey)\n");

    o = Run({"--json", "set-pin", "9876543210ABCDEF"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().pin, "9876543210ABCDEF");
    EXPECT_NE(o.out.find("\"pin\": \"9876543210ABCDEF\""), std::string::npos) << o.out;
}

TEST_F(CliOnSim, SetNameWithSuffixAndPrint)
{
    Outcome o = Run({"set-name", "ABC", "--suffix", "00099", "--print"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().name, "ABC00099");
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: ABC00099\npairing: Legacy pairing\n"
                     "level: Mode 1 (Not Use Pinkey)\nnext_suffix: 00100\n");
    // The name is printed as a line, then fed twice more.
    EXPECT_EQ(m_sim.PrintedLines(), (std::vector<std::string>{"ABC00099", "", ""}));

    m_sim.ClearPrinted();
    o = Run({"--json", "set-name", "--suffix=99999", "XY"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().name, "XY99999");
    EXPECT_NE(o.out.find("\"next_suffix\": \"100000\"}"), std::string::npos) << o.out;
    EXPECT_TRUE(m_sim.PrintedLines().empty()) << "nothing printed without --print";

    // Without a suffix: the plain name, printed too, and no next suffix.
    o = Run({"set-name", "PRINTER-7", "--print"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().name, "PRINTER-7");
    EXPECT_EQ(o.out.find("next_suffix"), std::string::npos) << o.out;
    EXPECT_EQ(m_sim.PrintedLines(), (std::vector<std::string>{"PRINTER-7", "", ""}));
}

TEST_F(CliOnSim, NameAndSuffixUpToFiftyNineBytesAreSent)
{
    const std::string name(29, 'N');
    const Outcome o = Run({"set-name", name, "--suffix", std::string(30, '1')});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().name, name + std::string(30, '1'));
    EXPECT_NE(o.out.find("next_suffix: " + std::string(29, '1') + "2\n"), std::string::npos) << o.out;
}

TEST_F(CliOnSim, SetLevelAndPairing)
{
    Outcome o = Run({"set-level", "use-pinkey"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().level, '3');
    EXPECT_NE(o.out.find("level: Mode 3 (Use Pinkey)\n"), std::string::npos) << o.out;

    o = Run({"set-level", "1"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().level, '1');

    o = Run({"set-pairing", "numeric-comparison"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().pairing, '3');
    EXPECT_NE(o.out.find("pairing: Numeric Comparison\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("level:"), std::string::npos) << o.out;

    o = Run({"--json", "set-pairing", "1"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().pairing, '1');
    EXPECT_NE(o.out.find("\"pairing\": \"Legacy pairing\", \"level\": \"Mode 1 (Not Use Pinkey)\"}"),
              std::string::npos) << o.out;
}

TEST_F(CliOnSim, SniffStatusEnableDisable)
{
    Outcome o = Run({"sniff", "status"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "sniff: sniff mode disable\n");

    o = Run({"sniff", "enable"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().sniff, '1');
    EXPECT_EQ(o.out, "sniff: sniff mode enable\n");

    o = Run({"--json", "sniff", "disable"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().sniff, '0');
    EXPECT_EQ(o.out, "{\"sniff\": \"sniff mode disable\"}\n");
}

TEST_F(CliOnSim, LineSettingsAreAccepted)
{
    const Outcome o = Run({"--baud", "9600", "--data-bits", "7", "--parity", "even", "--stop-bits", "2", "info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, kDefaultInfo);
}

TEST_F(CliOnSim, SilentModuleTimesOut)
{
    SetOptions([](SimOptions& s) { s.silent = true; });
    for (const std::vector<std::string>& args : {std::vector<std::string>{"info"}, {"--json", "set-pin", "1111"},
                                                 {"sniff", "status"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.exitCode, kTimeout) << args.back();
        EXPECT_EQ(o.out, "") << "no result on failure";
        EXPECT_EQ(o.err.rfind("vendrill-cli: Error(Timeout)", 0), 0u) << o.err;
        EXPECT_NE(o.err.find("2000 ms"), std::string::npos) << o.err;
    }
    EXPECT_EQ(m_sim.State().pin, "0000");

    // An older module does not answer the newer requests at all.
    SetOptions([](SimOptions& s) {
        s.silent = false;
        s.oldModule = true;
    });
    const Outcome o = Run({"info"});
    EXPECT_EQ(o.exitCode, kTimeout);
    EXPECT_NE(o.err.find("Get pairing mode"), std::string::npos) << o.err;
}

TEST_F(CliOnSim, ModuleErrorHasItsOwnExitStatus)
{
    SetOptions([](SimOptions& s) { s.alwaysError = true; });
    for (const std::vector<std::string>& args : {std::vector<std::string>{"info"}, {"set-name", "NEW", "--suffix", "5"},
                                                 {"--json", "set-level", "3"}, {"sniff", "enable"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.exitCode, kModuleError) << args.back();
        EXPECT_EQ(o.out, "") << "not even next_suffix: the name was not taken";
        EXPECT_EQ(o.err.rfind("vendrill-cli: Bluetooth Setting Error", 0), 0u) << o.err;
    }
    EXPECT_EQ(m_sim.State().name, "VENDRILL-PRN");
}

TEST_F(CliOnSim, RepliesInPiecesAndBehindNoiseAreDecoded)
{
    SetOptions([](SimOptions& s) {
        s.split = 3;
        s.splitGapMs = 30;
        s.noise = {'x', 'y', 'z'};
    });
    const Outcome o = Run({"info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, kDefaultInfo);
}

TEST_F(CliOnSim, BadArgumentsAreRefusedBeforeAnythingIsSent)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"--bogus", "info"},
        {"info", "extra"},
        {"--json=yes", "info"},
        {"set-pin"},
        {"set-pin", ""},
        {"set-pin", std::string(17, '1')},
        {"set-name", ""},
        {"set-name", std::string(30, 'N')},
        {"set-name", std::string(29, 'N'), "--suffix", std::string(31, '1')},
        {"set-name", "ABC", "--suffix", "12a"},
        {"set-name", "ABC", "--suffix", ""},
        {"set-name", "ABC", "--suffix"},
        {"set-level", "2"},
        {"set-level", "high"},
        {"set-pairing", "4"},
        {"sniff", "on"},
        {"--suffix", "1", "info"},
        {"--print", "info"},
        {"--baud", "1200", "info"},
        {"--data-bits", "6", "info"},
        {"--parity", "mark", "info"},
        {"--stop-bits", "0", "info"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args)
            shown += "[" + a + "]";
        const Outcome o = Run(args);
        EXPECT_EQ(o.exitCode, kBadArgument) << shown;
        EXPECT_EQ(o.out, "") << shown;
        EXPECT_EQ(o.err.rfind("vendrill-cli: ", 0), 0u) << shown << o.err;
        EXPECT_NE(o.err.find("--help"), std::string::npos) << shown << o.err;
    }
    EXPECT_EQ(m_sim.RequestCount(), 0u);
    EXPECT_TRUE(m_sim.PrintedLines().empty());
    EXPECT_EQ(m_sim.State().name, "VENDRILL-PRN");
}

TEST(CliProgram, LinkChoicesThatExcludeEachOther)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--usb", "--simulate", "info"}, {"--usb", "--port", "/dev/null", "info"},
          {"--usb", "--baud", "9600", "info"}, {"--simulate", "--port", "/dev/null", "info"},
          {"--port", "COM0", "info"}, {"--port", "ttyS0", "info"}, {"--port"}}) {
        const Outcome o = RunCli(args);
        EXPECT_EQ(o.exitCode, kBadArgument) << args[0] << " " << args.back();
        EXPECT_EQ(o.out, "");
    }
}

TEST(CliProgram, MissingPortIsNoDevice)
{
    Outcome o = RunCli({"--port", "/dev/vendrill-no-such-port", "info"});
    EXPECT_EQ(o.exitCode, kNoDevice);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("vendrill-cli: Unable to open the port /dev/vendrill-no-such-port", 0), 0u) << o.err;

    // COMn goes through VENDRILL_COMn.
    o = RunCli({"--port", "COM7", "info"}, {"VENDRILL_COM7=/dev/vendrill-com7-missing"});
    EXPECT_EQ(o.exitCode, kNoDevice);
    EXPECT_NE(o.err.find("/dev/vendrill-com7-missing"), std::string::npos) << o.err;
}

TEST_F(CliOnSim, ComNameReachesThePortNamedByTheEnvironment)
{
    const Outcome o = RunCli({"--port", "COM12", "info"}, {"VENDRILL_COM12=" + m_path});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, kDefaultInfo);
}

TEST(CliProgram, PortThatIsNoSerialLineIsNoDevice)
{
    const Outcome o = RunCli({"--port", "/dev/null", "info"});
    EXPECT_EQ(o.exitCode, kNoDevice) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("vendrill-cli: ", 0), 0u) << o.err;
}

namespace {

termios TermiosOf(const std::string& path)
{
    termios t{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
        EXPECT_EQ(::tcgetattr(fd, &t), 0);
        ::close(fd);
    }
    return t;
}

}  // namespace

// Ctrl-C while the program waits for a reply, and a kill it cannot handle:
// in both cases the next user who is not root can open the port and work.
TEST_F(CliOnSim, InterruptedOrKilledRunLeavesThePortToTheNextUser)
{
    ASSERT_EQ(::chmod(m_path.c_str(), 0666), 0);
    const termios before = TermiosOf(m_path);
    SetOptions([](SimOptions& s) { s.silent = true; });
    for (int sig : {SIGINT, SIGTERM, SIGKILL}) {
        const std::uint64_t requests = m_sim.RequestCount();
        clitest::RunOptions run;
        run.asNobody = true;
        run.whileRunning = [&](pid_t pid) {
            // The request is out: the program now waits for the reply.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (m_sim.RequestCount() == requests && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_GT(m_sim.RequestCount(), requests) << "no request arrived";
            ::kill(pid, sig);
        };
        const Outcome o = RunCli({"--port", m_path, "info"}, run);
        EXPECT_TRUE(o.finished);
        EXPECT_EQ(o.exitCode, 128 + sig) << o.err;
        EXPECT_EQ(o.out, "");
        if (sig != SIGKILL) {
            EXPECT_NE(o.err.find("interrupted"), std::string::npos) << o.err;
            const termios after = TermiosOf(m_path);
            EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << "line settings put back";
            EXPECT_EQ(after.c_lflag, before.c_lflag) << "line settings put back";
            EXPECT_EQ(after.c_iflag, before.c_iflag) << "line settings put back";
        }
    }
    SetOptions([](SimOptions& s) { s.silent = false; });
    clitest::RunOptions next;
    next.asNobody = true;
    const Outcome o = RunCli({"--port", m_path, "info"}, next);
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, kDefaultInfo);
}

// A program started without standard output: the module is named once and
// the run fails as a write error, never as a time-out or a missing device.
TEST(CliProgram, ClosedStandardOutputIsAWriteErrorAfterTheWork)
{
    CSimHost sim;
    ASSERT_TRUE(sim.Start());
    clitest::RunOptions closed;
    closed.closeStdout = true;
    for (bool trace : {false, true}) {
        const std::uint64_t requests = sim.RequestCount();
        std::vector<std::string> args = {"--port", sim.SlavePath(), "set-name", "X", "--suffix", "00042"};
        if (trace)
            args.insert(args.begin(), "--trace");
        const Outcome o = RunCli(args, closed);
        EXPECT_TRUE(o.finished);
        EXPECT_EQ(o.exitCode, 1) << o.err;
        EXPECT_NE(o.err.find("write error"), std::string::npos) << o.err;
        EXPECT_EQ(sim.State().name, "X00042");
        // Set BDN and the read-back chain of five requests: nothing twice.
        EXPECT_EQ(sim.RequestCount() - requests, 6u);
    }
    const Outcome help = RunCli({"--version"}, closed);
    EXPECT_EQ(help.exitCode, 1);
    EXPECT_NE(help.err.find("write error"), std::string::npos) << help.err;
}
