// Port names: the device name of a Port list text and the Linux path of a
// device name, on arbitrary texts (embedded zero bytes included).

#include "FuzzCheck.h"
#include "link/PortName.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

// One port with a path of its own, one whose variable is set but empty; no
// port map file, whatever the user running this has.
void SetUpEnvironment()
{
    static const bool done = [] {
        setenv("XDG_CONFIG_HOME", "/nonexistent/vendrill-fuzz", 1);
        setenv("VENDRILL_COM3", "/dev/ttyUSB0", 1);
        setenv("VENDRILL_COM17", "", 1);
        return true;
    }();
    (void)done;
}

bool StartsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// n of "COM<n>" or "\\.\COM<n>", 1..255 without leading zeros; 0 otherwise.
int ExpectedPort(std::string_view name)
{
    if (name.substr(0, 4) == "\\\\.\\")
        name.remove_prefix(4);
    if (name.substr(0, 3) != "COM")
        return 0;
    name.remove_prefix(3);
    if (name.empty() || name.size() > 3 || name[0] == '0' || !fuzz::AllDigits(name))
        return 0;
    const int n = std::stoi(std::string(name));
    return n <= 255 ? n : 0;
}

std::string ExpectedPath(const std::string& deviceName)
{
    const int n = ExpectedPort(deviceName);
    if (n == 0)
        return {};
    const char* value = std::getenv(("VENDRILL_COM" + std::to_string(n)).c_str());
    if (value != nullptr && *value != '\0')
        return value;
    return "/dev/ttyS" + std::to_string(n - 1);
}

void CheckResolve(const std::string& deviceName)
{
    const std::string path = vendrill::ResolvePortPath(deviceName);
    FUZZ_CHECK(path == ExpectedPath(deviceName));
    if (path.empty())
        return;
    // Either the serial device of that number or what its variable names.
    const int n = ExpectedPort(deviceName);
    FUZZ_CHECK(n >= 1 && n <= 255);
    const char* value = std::getenv(("VENDRILL_COM" + std::to_string(n)).c_str());
    FUZZ_CHECK(path == "/dev/ttyS" + std::to_string(n - 1) || (value != nullptr && path == value));
}

// The same bytes as a port map file: whatever it holds, every entry is a
// usable port and path, each port at most once, and no line counts twice.
void CheckPortMap(const std::string& text)
{
    const vendrill::PortMap map = vendrill::ParsePortMap(text);
    int lastLine = 0;
    bool seen[256] = {};
    for (const vendrill::PortMapEntry& e : map.entries) {
        FUZZ_CHECK(e.number >= 1 && e.number <= 255 && !seen[e.number]);
        seen[e.number] = true;
        FUZZ_CHECK(!e.path.empty() && e.path.front() == '/' && e.path.find('\0') == std::string::npos);
        FUZZ_CHECK(e.line > lastLine);
        lastLine = e.line;
    }
    FUZZ_CHECK(map.entries.size() + map.problems.size() <= 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SetUpEnvironment();
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string device = vendrill::DeviceNameForPort(text);
    if (text.size() == 4)
        FUZZ_CHECK(device == text);  // COM1 .. COM9 open under their own name
    else
        FUZZ_CHECK(device == "\\\\.\\" + text);

    CheckResolve(text);
    CheckResolve(device);
    CheckPortMap(text);

    // A Port list text: COM<n> is reached the same way whether n has one digit or more.
    if (ExpectedPort(text) != 0 && !StartsWith(text, "\\\\.\\"))
        FUZZ_CHECK(vendrill::ResolvePortPath(device) == vendrill::ResolvePortPath(text));
    return 0;
}
