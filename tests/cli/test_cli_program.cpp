// vendrill-cli as a user runs it: a child process talking to the simulated
// module, either one it starts itself (--simulate) or one the test runs on a
// pseudo-terminal and passes with --port.

#include "CliTestUtil.h"

#include "sim/SimHost.h"
#include "vendrill/Version.h"

#include "link/SerialPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace vendrill;

using clitest::Outcome;
using clitest::RunCli;

namespace {

// A scratch folder, removed with everything in it.
struct TempDir {
    TempDir()
    {
        char name[] = "/tmp/vendrill-cli-test-XXXXXX";
        if (::mkdtemp(name) != nullptr)
            path = name;
    }
    ~TempDir()
    {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
    std::string path;
};

constexpr const char* kDefaultInfo =
    "address: 00190199A1B2\n"
    "pin: 0000\n"
    "name: VENDRILL-PRN\n"
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
                             "--simulate", "--json", "--trace", "--old-module", "--new-module", "Exit status"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    EXPECT_EQ(help.err, "");
    EXPECT_NE(help.out.find("  4  time-out: the module did not answer within 2000 ms"), std::string::npos) << help.out;
    // The time-out in force, not the default.
    const Outcome longer = RunCli({"--timeout", "5000", "--help"});
    EXPECT_NE(longer.out.find("  4  time-out: the module did not answer within 5000 ms"), std::string::npos)
        << longer.out;

    const Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.exitCode, kOk);
    EXPECT_EQ(version.out, "vendrill-cli " VENDRILL_VERSION "\n");
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(RunCli({"-V"}).out, "vendrill-cli " VENDRILL_VERSION "\n");
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
                        "\"level\": \"Mode 1 (Not Use Pinkey)\", \"level_number\": 1}\n");
}

TEST(CliProgram, TraceLinesGoToStandardErrorOnlyWhenAsked)
{
    const Outcome traced = RunCli({"--simulate", "--trace", "--new-module", "info"});
    EXPECT_EQ(traced.exitCode, kOk) << traced.err;
    EXPECT_EQ(traced.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\npairing: Legacy pairing\n"
                          "level: Mode 1 (Not Use Pinkey)\n")
        << "no trace line may reach standard output";
    for (const char* line : {"ESC ~ 3 Get GDA", "Get BDA", "ESC ~ 4  Get PINKEY", "Get PinKey", "ESC ~ 1 Get GDN",
                             "Get BDN", "Get pairing way : ESC '~' 'A'", "Get pairing mode", "ESC ~ 6  Get LEVEL",
                             "Get Level"})
        EXPECT_EQ(clitest::CountLines(traced.err, line), 1) << line << " in\n" << traced.err;
    // The window's lines in the window's order: each reply decoded drives the
    // next request (the received bytes have lines of their own here).
    std::string windowLines;
    std::istringstream in(traced.err);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("RX ", 0) != 0)
            windowLines += line + "\n";
    EXPECT_NE(windowLines.find("ESC ~ 3 Get GDA\nOnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:12\nGet BDA\n"
                               "ESC ~ 4  Get PINKEY\nOnCommunication -3\nOnCommunication -1\n"),
              std::string::npos)
        << traced.err;

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
    Outcome o = Run({"--new-module", "info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\npairing: Just Works\n");

    // A pairing mode outside the known ones shows nothing, as in the window.
    state.pairing = '7';
    m_sim.SetState(state);
    o = Run({"--new-module", "--json", "info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "{\"address\": \"00190199A1B2\", \"pin\": \"0000\", \"name\": \"VENDRILL-PRN\"}\n");
    state.pairing = '2';
    m_sim.SetState(state);

    // The older generation, as the window starts, is asked for the level
    // directly.
    o = Run({"info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\nlevel: Mode 3 (Use Pinkey)\n");

    SetOptions([](SimOptions& s) { s.oldModule = true; });
    o = Run({"--old-module", "--json", "info"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "{\"address\": \"00190199A1B2\", \"pin\": \"0000\", \"name\": \"VENDRILL-PRN\", "
                     "\"level\": \"Mode 3 (Use Pinkey)\", \"level_number\": 3}\n");

    // Asked as a newer module, it leaves the pairing request unanswered: what
    // was read is still shown, and the message points to the other generation.
    o = Run({"--new-module", "info"});
    EXPECT_EQ(o.exitCode, kTimeout);
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\n");
    EXPECT_NE(o.err.find("Get pairing mode"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("leave out --new-module"), std::string::npos) << o.err;
    o = Run({"--new-module", "--json", "info"});
    EXPECT_EQ(o.exitCode, kTimeout);
    EXPECT_EQ(o.out.rfind("{\"address\": \"00190199A1B2\", \"pin\": \"0000\", \"name\": \"VENDRILL-PRN\", "
                          "\"error\": \"Error(Timeout): no reply to Get pairing mode", 0), 0u) << o.out;

    // A Korean name in code page 949 reaches the terminal and JSON as Unicode.
    state.name = "\xC7\xC1\xB8\xB0\xC5\xCD";
    m_sim.SetState(state);
    o = RunCli({"--port", m_path, "--json", "info"});
    EXPECT_NE(o.out.find("\"name\": \"\xED\x94\x84\xEB\xA6\xB0\xED\x84\xB0\""), std::string::npos) << o.out;
    o = RunCli({"--port", m_path, "info"}, {"LC_ALL=C.UTF-8"});
    EXPECT_NE(o.out.find("name: \xED\x94\x84\xEB\xA6\xB0\xED\x84\xB0\n"), std::string::npos) << o.out;
    // A terminal of plain ASCII gets escapes, never raw UTF-8.
    o = RunCli({"--port", m_path, "info"}, {"LC_ALL=C"});
    EXPECT_NE(o.out.find("name: \\uD504\\uB9B0\\uD130\n"), std::string::npos) << o.out;
    // A refused character is shown as itself and as its code point.
    o = RunCli({"--port", m_path, "set-name", "Pr\xC3\xBC" "fer"}, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(o.exitCode, kBadArgument);
    EXPECT_NE(o.err.find("'\xC3\xBC' (U+00FC) at character 3"), std::string::npos) << o.err;
}

TEST_F(CliOnSim, SetPinStoresTheKeyAndReadsBack)
{
    Outcome o = Run({"set-pin", "1234"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().pin, "1234");
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 1234\nname: VENDRILL-PRN\nlevel: Mode 1 (Not Use Pinkey)\n");

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
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: ABC00099\nlevel: Mode 1 (Not Use Pinkey)\n"
                     "next_suffix: 00100\n");
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

    o = Run({"--new-module", "set-pairing", "numeric-comparison"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().pairing, '3');
    EXPECT_NE(o.out.find("pairing: Numeric Comparison\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("level:"), std::string::npos) << o.out;

    o = Run({"--json", "--new-module", "set-pairing", "1"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(m_sim.State().pairing, '1');
    EXPECT_NE(o.out.find("\"pairing\": \"Legacy pairing\", \"pairing_number\": 1, "
                         "\"level\": \"Mode 1 (Not Use Pinkey)\", \"level_number\": 1}"),
              std::string::npos) << o.out;
}

TEST_F(CliOnSim, SniffStatusEnableDisable)
{
    Outcome o = Run({"sniff", "status"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "sniff: sniff mode disable\n");

    // A change is sent without waiting for an answer nobody interprets.
    o = Run({"sniff", "enable"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "sniff_request: enable\n");
    EXPECT_EQ(Run({"sniff", "status"}).out, "sniff: sniff mode enable\n");

    o = Run({"--json", "sniff", "disable"});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, "{\"sniff_request\": \"disable\"}\n");
    EXPECT_EQ(Run({"sniff", "status"}).out, "sniff: sniff mode disable\n");
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
        // JSON always answers with one object, a failure included.
        if (args.front() == "--json")
            EXPECT_EQ(o.out, "{\"error\": \"Error(Timeout): no reply to Set PinKey within 2000 ms on " +
                                 m_path + " (57600 baud)\", \"exit\": 4}\n");
        else
            EXPECT_EQ(o.out, "") << "no result on failure";
        EXPECT_EQ(o.err.rfind("vendrill-cli: Error(Timeout)", 0), 0u) << o.err;
        EXPECT_NE(o.err.find("2000 ms"), std::string::npos) << o.err;
    }
    EXPECT_EQ(m_sim.State().pin, "0000");
    // The tool's reply time-out can be set; its message says which it was.
    const Outcome quick = Run({"--timeout", "300", "info"});
    EXPECT_EQ(quick.exitCode, kTimeout);
    EXPECT_NE(quick.err.find("within 300 ms on " + m_path + " (57600 baud)"), std::string::npos) << quick.err;
}

TEST_F(CliOnSim, ModuleErrorHasItsOwnExitStatus)
{
    SetOptions([](SimOptions& s) { s.alwaysError = true; });
    for (const std::vector<std::string>& args : {std::vector<std::string>{"info"}, {"set-name", "NEW", "--suffix", "5"},
                                                 {"--json", "set-level", "3"}, {"sniff", "status"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.exitCode, kModuleError) << args.back();
        if (args.front() == "--json")
            EXPECT_NE(o.out.find("\"exit\": 5}\n"), std::string::npos) << o.out;
        else
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
    EXPECT_EQ(o.err.rfind("vendrill-cli: there is no device /dev/vendrill-no-such-port; ", 0), 0u) << o.err;
    // What there is instead, or that there is nothing.
    EXPECT_TRUE(o.err.find("serial ports here: /dev/") != std::string::npos ||
                o.err.find("no serial port was found") != std::string::npos) << o.err;

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
    const TempDir dir;
    const std::string file = dir.path + "/capture.bin";
    std::ofstream(file) << "not a port";
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/null", "vendrill-cli: /dev/null is not a serial port; "},
        {dir.path, "vendrill-cli: " + dir.path + " is not a serial port (it is a directory)"},
        {file, "vendrill-cli: " + file + " is not a serial port (it is a regular file)"},
    };
    for (const auto& [path, start] : cases) {
        const Outcome o = RunCli({"--port", path, "info"});
        EXPECT_EQ(o.exitCode, kNoDevice) << o.err;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err.rfind(start, 0), 0u) << o.err;
    }
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not a port") << "the file was written to";
}

TEST_F(CliOnSim, PortHeldByAnotherProgramIsNamed)
{
    // The holder of the lock is named, not this process, whose simulated
    // module holds the other end of the line (and the line itself open).
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        const int fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY);
        const char byte = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char opened = 0;
    ASSERT_EQ(::read(ready[0], &opened, 1), 1);
    ::close(ready[0]);
    const Outcome o = Run({"info"});
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ASSERT_EQ(opened, 1);
    EXPECT_EQ(o.exitCode, kNoDevice);
    EXPECT_EQ(o.err.rfind("vendrill-cli: " + m_path + " is in use by ", 0), 0u) << o.err;
    EXPECT_NE(o.err.find("(pid " + std::to_string(holder) + ")"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos) << o.err;
}

TEST_F(CliOnSim, PortThatVanishesDuringUseIsNamed)
{
    SetOptions([](SimOptions& s) { s.delayMs = 60000; });
    // The module goes away (its terminal with it) once the first request is in.
    std::thread unplug([this] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (m_sim.RequestCount() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        m_sim.Stop();
    });
    const Outcome o = Run({"info"});
    unplug.join();
    EXPECT_EQ(o.exitCode, kNoDevice) << o.err;
    EXPECT_EQ(o.err.rfind("vendrill-cli: " + m_path + " went away during use", 0), 0u) << o.err;
}

// An account without access to the port, as a desktop user outside the
// port's group is: told the path, the group and the command that fixes it.
TEST_F(CliOnSim, UnprivilegedUserIsToldGroupAndFix)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as nobody";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    // Like a USB adapter's node: root's, group dialout, read and write for
    // owner and group only.
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    const std::string groupName = dialout->gr_name;
    ASSERT_NE(dialout->gr_gid, nobody->pw_gid);
    ASSERT_EQ(::chown(m_path.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(m_path.c_str(), 0660), 0);

    // A copy that nobody may run wherever the build tree lies.
    const TempDir dir;
    ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
    const std::string program = dir.path + "/vendrill-cli";
    std::filesystem::copy_file(VENDRILL_CLI_PATH, program);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

    clitest::RunOptions asNobody;
    asNobody.asNobody = true;
    asNobody.program = program;
    const Outcome o = RunCli({"--port", m_path, "info"}, asNobody);
    EXPECT_EQ(o.exitCode, kNoDevice) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("vendrill-cli: no permission to open " + m_path + " (group " + groupName + ")", 0), 0u)
        << o.err;
    EXPECT_NE(o.err.find("sudo usermod -aG " + groupName + " nobody"), std::string::npos) << o.err;
    EXPECT_EQ(m_sim.RequestCount(), 0u);
}

TEST_F(CliOnSim, PortMapFileNamesTheComPort)
{
    const TempDir config;
    std::filesystem::create_directory(config.path + "/vendrill");
    const std::string map = config.path + "/vendrill/ports";
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + config.path, "VENDRILL_COM7="};

    std::ofstream(map) << "COM7=" << m_path << "\n";
    Outcome o = RunCli({"--port", "COM7", "info"}, env);
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, kDefaultInfo);
    EXPECT_EQ(o.err, "");

    // The environment wins over the file.
    o = RunCli({"--port", "COM7", "info"}, {"XDG_CONFIG_HOME=" + config.path, "VENDRILL_COM7=/dev/vendrill-env-com7"});
    EXPECT_EQ(o.exitCode, kNoDevice);
    EXPECT_NE(o.err.find("/dev/vendrill-env-com7"), std::string::npos) << o.err;

    // Broken lines are reported, each once, and the rest of the file still counts.
    std::ofstream(map) << "COM7 " << m_path << "\nCOM0=/dev/ttyS0\nCOM7=" << m_path << "\n";
    o = RunCli({"--port", "COM7", "info"}, env);
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    EXPECT_EQ(o.out, kDefaultInfo);
    for (const char* line : {":1: ", ":2: "}) {
        const std::string where = map + line;
        EXPECT_NE(o.err.find("vendrill-cli: " + where), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find(where), o.err.rfind(where)) << o.err;
    }
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 2) << o.err;

    // ports shows a mapping of the file alone too.
    std::ofstream(map) << "COM9=" << m_path << "\n";
    o = RunCli({"ports"}, {"XDG_CONFIG_HOME=" + config.path});
    EXPECT_EQ(o.exitCode, kOk) << o.err;
    bool listed = false;
    for (const std::string& line : clitest::Lines(o.out)) {
        const std::vector<std::string> w = clitest::Words(line);
        listed = listed || (w.size() > 2 && w[0] == m_path && w[1] == "serial" && w[2] == "COM9");
    }
    EXPECT_TRUE(listed) << o.out;
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
    // A run with standard output sends this many requests: Set BDN and its read-back.
    std::uint64_t requests = sim.RequestCount();
    ASSERT_EQ(RunCli({"--port", sim.SlavePath(), "set-name", "X", "--suffix", "00041"}).exitCode, kOk);
    const std::uint64_t perRun = sim.RequestCount() - requests;
    clitest::RunOptions closed;
    closed.closeStdout = true;
    for (bool trace : {false, true}) {
        requests = sim.RequestCount();
        std::vector<std::string> args = {"--port", sim.SlavePath(), "set-name", "X", "--suffix", "00042"};
        if (trace)
            args.insert(args.begin(), "--trace");
        const Outcome o = RunCli(args, closed);
        EXPECT_TRUE(o.finished);
        EXPECT_EQ(o.exitCode, 1) << o.err;
        EXPECT_NE(o.err.find("write error"), std::string::npos) << o.err;
        EXPECT_EQ(sim.State().name, "X00042");
        EXPECT_EQ(sim.RequestCount() - requests, perRun) << "nothing sent twice";
    }
    const Outcome help = RunCli({"--version"}, closed);
    EXPECT_EQ(help.exitCode, 1);
    EXPECT_NE(help.err.find("write error"), std::string::npos) << help.err;
}
