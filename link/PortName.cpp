#include "link/PortName.h"

#include <cstdlib>
#include <string_view>

namespace vendrill {

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr std::string_view kCom = "COM";
constexpr int kMaxPort = 255;

// Port number of "COM<n>" with n in 1..kMaxPort, or 0. At most three digits are
// ever accumulated, so no input can overflow the number.
int PortNumber(std::string_view name)
{
    if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix)
        name.remove_prefix(kDevicePrefix.size());
    if (name.size() < kCom.size() + 1 || name.substr(0, kCom.size()) != kCom)
        return 0;
    name.remove_prefix(kCom.size());
    if (name.size() > 3 || name.front() == '0')
        return 0;
    int n = 0;
    for (const char c : name) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + (c - '0');
    }
    return n <= kMaxPort ? n : 0;
}

}  // namespace

std::string DeviceNameForPort(const std::string& portText)
{
    if (portText.size() == kCom.size() + 1)
        return portText;
    return std::string(kDevicePrefix) + portText;
}

std::string ResolvePortPath(const std::string& deviceName)
{
    const int n = PortNumber(deviceName);
    if (n == 0)
        return {};
    const std::string var = "VENDRILL_COM" + std::to_string(n);
    if (const char* value = std::getenv(var.c_str()); value != nullptr && *value != '\0')
        return value;
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace vendrill
