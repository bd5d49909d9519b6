#include "link/PortName.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include <sys/stat.h>
#include <unistd.h>
#include <string>

using vendrill::DeviceNameForPort;
using vendrill::ParsePortMap;
using vendrill::PortMap;
using vendrill::PortMapFile;
using vendrill::ResolvePortPath;

namespace {

// Sets or clears one environment variable for a test and restores it after.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvGuard()
    {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace

TEST(PortName, SingleDigitPortsKeepTheirNameOthersGetThePrefix)
{
    for (int n = 1; n <= 20; ++n) {
        const std::string port = "COM" + std::to_string(n);
        const std::string expected = n <= 9 ? port : "\\\\.\\" + port;
        EXPECT_EQ(DeviceNameForPort(port), expected) << port;
    }
    EXPECT_EQ(DeviceNameForPort("COM9"), "COM9");
    EXPECT_EQ(DeviceNameForPort("COM10"), "\\\\.\\COM10");
    EXPECT_EQ(DeviceNameForPort("COM20"), "\\\\.\\COM20");
    EXPECT_EQ(std::string("\\\\.\\COM20").size(), 9u) << "prefix is backslash backslash dot backslash";
}

TEST(PortName, ShortTextsDoNotReadPastTheEnd)
{
    EXPECT_EQ(DeviceNameForPort(""), "\\\\.\\");
    EXPECT_EQ(DeviceNameForPort("CO"), "\\\\.\\CO");
    EXPECT_EQ(DeviceNameForPort("COM"), "\\\\.\\COM");
}

TEST(PortName, ResolvesToDefaultTtyOrEnvironmentOverride)
{
    EnvGuard noMap("XDG_CONFIG_HOME", "/nonexistent/vendrill-test");
    EnvGuard three("VENDRILL_COM3", nullptr);
    EnvGuard twelve("VENDRILL_COM12", nullptr);
    EXPECT_EQ(ResolvePortPath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ResolvePortPath("COM3"), "/dev/ttyS2");
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM12"), "/dev/ttyS11");
    EXPECT_EQ(ResolvePortPath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(ResolvePortPath("COM255"), "/dev/ttyS254");
    // Every Port list item resolves through its device name.
    for (int n = 1; n <= 20; ++n)
        EXPECT_EQ(ResolvePortPath(DeviceNameForPort("COM" + std::to_string(n))),
                  "/dev/ttyS" + std::to_string(n - 1));
    {
        EnvGuard set("VENDRILL_COM3", "/dev/ttyUSB0");
        EXPECT_EQ(ResolvePortPath("COM3"), "/dev/ttyUSB0");
        EXPECT_EQ(ResolvePortPath("COM4"), "/dev/ttyS3") << "only the named port is redirected";
    }
    {
        EnvGuard set("VENDRILL_COM12", "/tmp/vport");
        EXPECT_EQ(ResolvePortPath("\\\\.\\COM12"), "/tmp/vport");
    }
    {
        EnvGuard empty("VENDRILL_COM3", "");
        EXPECT_EQ(ResolvePortPath("COM3"), "/dev/ttyS2") << "an empty override is ignored";
    }
}

TEST(PortName, JunkNamesResolveToNothing)
{
    const std::string junk[] = {
        "", "COM", "COM0", "COM256", "COM999", "COM01", "COM007", "com3", "Com3", "COM3 ", " COM3",
        "COM+3", "COM-1", "COM 3", "COM1a", "COM3.", "LPT1", "\\\\.\\", "\\\\.\\COM", "\\\\.\\COM0",
        "\\\\.\\\\\\.\\COM3", "\\\\?\\COM3", "/dev/ttyS0", "COM99999999999999999999999999999999",
        "COM4294967297", "COM18446744073709551617", std::string("COM3\0x", 6), std::string("COM\0" "3", 5),
    };
    for (const auto& name : junk)
        EXPECT_EQ(ResolvePortPath(name), "") << "name of size " << name.size() << ": " << name;
    for (int n = 256; n <= 1000; ++n)
        ASSERT_EQ(ResolvePortPath("COM" + std::to_string(n)), "") << n;
}

TEST(PortName, ArbitraryBytesGiveEmptyOrATtyPath)
{
    EnvGuard clear1("VENDRILL_COM1", nullptr);
    EnvGuard noMap("XDG_CONFIG_HOME", "/nonexistent/vendrill-test");
    std::mt19937 rng(12345);
    const std::string alphabet = std::string("COM\\.0123456789 x", 17) + std::string(1, '\0') + "\xFF";
    for (int i = 0; i < 20000; ++i) {
        std::string name;
        const int len = static_cast<int>(rng() % 12);
        for (int k = 0; k < len; ++k)
            name += (i % 2) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng() & 0xFF);
        const std::string path = ResolvePortPath(name);
        if (!path.empty()) {
            ASSERT_EQ(path.rfind("/dev/ttyS", 0), 0u) << name;
        }
    }
}

namespace {

// A private configuration folder with a port map file in it.
class PortMapFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/vendrill-portmap-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        std::filesystem::create_directory(m_dir / "vendrill");
        m_config.emplace("XDG_CONFIG_HOME", m_dir.c_str());
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    void Write(const std::string& text) { std::ofstream(m_dir / "vendrill" / "ports") << text; }

    std::filesystem::path m_dir;
    std::optional<EnvGuard> m_config;
};

}  // namespace

TEST(PortMapText, EntriesAndBrokenLines)
{
    const PortMap map = ParsePortMap("# adapters\n"
                                     "COM3=/dev/serial/by-id/usb-FTDI-if00-port0\n"
                                     "\n"
                                     "  COM12 = /dev/ttyUSB1 \r\n"
                                     "COM7 /dev/ttyACM0\n"
                                     "com4=/dev/ttyS9\n"
                                     "COM0=/dev/ttyS9\n"
                                     "COM5=\n"
                                     "COM6=ttyUSB0\n"
                                     "COM3=/dev/ttyUSB2\n"
                                     "COM255=/dev/a b");
    ASSERT_EQ(map.entries.size(), 3u);
    EXPECT_EQ(map.entries[0].number, 3);
    EXPECT_EQ(map.entries[0].path, "/dev/serial/by-id/usb-FTDI-if00-port0");
    EXPECT_EQ(map.entries[1].number, 12);
    EXPECT_EQ(map.entries[1].path, "/dev/ttyUSB1") << "blanks around name and path do not count";
    EXPECT_EQ(map.entries[1].line, 4);
    EXPECT_EQ(map.entries[2].path, "/dev/a b") << "a last line without a line feed counts";

    ASSERT_EQ(map.problems.size(), 6u);
    const int lines[] = {5, 6, 7, 8, 9, 10};
    for (std::size_t k = 0; k < 6; ++k)
        EXPECT_EQ(map.problems[k].line, lines[k]) << map.problems[k].why;
    EXPECT_NE(map.problems[0].why.find("COMn=/dev/PATH"), std::string::npos) << map.problems[0].why;
    EXPECT_NE(map.problems[1].why.find("'com4'"), std::string::npos) << map.problems[1].why;
    EXPECT_NE(map.problems[4].why.find("absolute"), std::string::npos) << map.problems[4].why;
    EXPECT_NE(map.problems[5].why.find("line 2"), std::string::npos) << "the first line for a port wins";

    // Control bytes of a line never reach the terminal through a message.
    const PortMap junk = ParsePortMap("\x1b]0;owned\x07\n");
    ASSERT_EQ(junk.problems.size(), 1u);
    EXPECT_EQ(junk.problems[0].why.find('\x1b'), std::string::npos);
}

TEST_F(PortMapFileTest, FileComesBetweenEnvironmentAndDefault)
{
    EnvGuard three("VENDRILL_COM3", nullptr);
    Write("COM3=/dev/serial/by-id/usb-adapter\nCOM4=/dev/ttyUSB4\n");
    EXPECT_EQ(ResolvePortPath("COM3"), "/dev/serial/by-id/usb-adapter");
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM4"), "/dev/ttyUSB4");
    EXPECT_EQ(ResolvePortPath("COM5"), "/dev/ttyS4");
    {
        EnvGuard env("VENDRILL_COM3", "/dev/ttyACM0");
        EXPECT_EQ(ResolvePortPath("COM3"), "/dev/ttyACM0") << "the environment wins over the file";
    }
    // Edits take effect at the next open, without a restart.
    Write("COM3=/dev/ttyUSB9\n");
    EXPECT_EQ(ResolvePortPath("COM3"), "/dev/ttyUSB9");
    EXPECT_EQ(ResolvePortPath("COM4"), "/dev/ttyS3");
}

TEST_F(PortMapFileTest, FileLocation)
{
    EXPECT_EQ(PortMapFile(), (m_dir / "vendrill" / "ports").string());
    EnvGuard home("HOME", "/home/someone");
    {
        EnvGuard relative("XDG_CONFIG_HOME", "config");
        EXPECT_EQ(PortMapFile(), "/home/someone/.config/vendrill/ports") << "a relative value is ignored";
    }
    EnvGuard unset("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(PortMapFile(), "/home/someone/.config/vendrill/ports");
}

TEST_F(PortMapFileTest, BrokenLineIsReportedOnceAndSkipped)
{
    EnvGuard seven("VENDRILL_COM7", nullptr);
    Write("COM7 /dev/ttyUSB0\nCOM7=/dev/ttyUSB7\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ResolvePortPath("COM7"), "/dev/ttyUSB7");
    EXPECT_EQ(ResolvePortPath("COM7"), "/dev/ttyUSB7");
    EXPECT_EQ(vendrill::ReadPortMap().entries.size(), 1u);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string where = (m_dir / "vendrill" / "ports").string() + ":1: ";
    EXPECT_NE(err.find(where), std::string::npos) << err;
    EXPECT_EQ(err.find(where), err.rfind(where)) << "reported more than once:\n" << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST_F(PortMapFileTest, UnusableFileNeitherHangsNorStops)
{
    EnvGuard two("VENDRILL_COM2", nullptr);
    // A FIFO nobody writes to: reading it must not block.
    ASSERT_EQ(::mkfifo((m_dir / "vendrill" / "ports").c_str(), 0600), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ResolvePortPath("COM2"), "/dev/ttyS1");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    std::filesystem::remove(m_dir / "vendrill" / "ports");
    std::filesystem::create_directory(m_dir / "vendrill" / "ports");
    EXPECT_EQ(ResolvePortPath("COM2"), "/dev/ttyS1");
}
