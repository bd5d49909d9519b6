#include "link/PortName.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>

using vendrill::DeviceNameForPort;
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
