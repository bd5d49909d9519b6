#include "link/PortName.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vendrill {

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr std::string_view kCom = "COM";
constexpr int kMaxPort = 255;
// A port map is a handful of lines; anything bigger is not one.
constexpr std::size_t kMaxMapBytes = 64 * 1024;

// Port number of "COM<n>" with n in 1..kMaxPort, or 0. At most three digits are
// ever accumulated, so no input can overflow the number.
int ComNumber(std::string_view name)
{
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

int PortNumber(std::string_view name)
{
    if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix)
        name.remove_prefix(kDevicePrefix.size());
    return ComNumber(name);
}

std::string_view Trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// A line quoted in a message: control bytes could drive the terminal.
std::string Quoted(std::string_view s)
{
    constexpr std::size_t kShown = 60;
    std::string out = "'";
    for (const char c : s.substr(0, kShown)) {
        const auto b = static_cast<unsigned char>(c);
        out += b < 0x20 || b == 0x7F ? '?' : c;
    }
    if (s.size() > kShown)
        out += "...";
    return out + "'";
}

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/')
        return pw->pw_dir;
    return {};
}

// Reads the whole file at path into *text. False with *problem set when the
// file is there but unusable; false with *problem empty when there is none.
bool ReadMapFile(const std::string& path, std::string* text, std::string* problem)
{
    // Non-blocking, so that a FIFO in the file's place cannot hang the program.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            *problem = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *problem = "not a regular file";
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) > kMaxMapBytes) {
        ::close(fd);
        *problem = "larger than " + std::to_string(kMaxMapBytes / 1024) + " KiB, not a port map";
        return false;
    }
    text->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0 && text->size() + static_cast<std::size_t>(n) <= kMaxMapBytes) {
            text->append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const int err = errno;
        ::close(fd);
        if (n == 0)
            return true;
        *problem = n < 0 ? std::string("cannot read it: ") + std::strerror(err) : "grew while being read";
        return false;
    }
}

// Writes each problem to standard error the first time this process meets it.
void ReportOnce(const std::string& file, const PortMap& map)
{
    static std::mutex mutex;
    static std::set<std::string> reported;
    for (const PortMapProblem& p : map.problems) {
        std::string where = file;
        if (p.line > 0)
            where += ":" + std::to_string(p.line);
        const std::string text = where + ": " + p.why;
        std::lock_guard lock(mutex);
        if (reported.insert(text).second)
            std::fprintf(stderr, "%s: %s; ignored\n", program_invocation_short_name, text.c_str());
    }
}

}  // namespace

std::string DeviceNameForPort(const std::string& portText)
{
    if (portText.size() == kCom.size() + 1)
        return portText;
    return std::string(kDevicePrefix) + portText;
}

PortMap ParsePortMap(std::string_view text)
{
    PortMap map;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#')
            continue;
        const auto bad = [&](std::string why) { map.problems.push_back({lineNumber, std::move(why)}); };
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            bad(Quoted(line) + " is not COMn=/dev/PATH");
            continue;
        }
        const std::string_view name = Trim(line.substr(0, eq));
        const std::string_view path = Trim(line.substr(eq + 1));
        const int n = ComNumber(name);
        if (n == 0) {
            bad(Quoted(name) + " is not a port name COM1 to COM255");
        } else if (path.empty()) {
            bad("no path after " + std::string(name) + "=");
        } else if (path.front() != '/' || path.find('\0') != std::string_view::npos) {
            bad("the path of " + std::string(name) + " must be absolute, not " + Quoted(path));
        } else if (const auto it = std::find_if(map.entries.begin(), map.entries.end(),
                                                [n](const PortMapEntry& e) { return e.number == n; });
                   it != map.entries.end()) {
            bad(std::string(name) + " was already given on line " + std::to_string(it->line));
        } else {
            map.entries.push_back({n, std::string(path), lineNumber});
        }
    }
    return map;
}

std::string PortMapFile()
{
    // Relative values are invalid by the base directory rules and are ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        return std::string(config) + "/vendrill/ports";
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.config/vendrill/ports";
}

PortMap ReadPortMap()
{
    const std::string file = PortMapFile();
    if (file.empty())
        return {};
    std::string text, problem;
    PortMap map;
    if (ReadMapFile(file, &text, &problem))
        map = ParsePortMap(text);
    else if (!problem.empty())
        map.problems.push_back({0, problem});
    ReportOnce(file, map);
    return map;
}

std::string ResolvePortPath(const std::string& deviceName)
{
    const int n = PortNumber(deviceName);
    if (n == 0)
        return {};
    const std::string var = "VENDRILL_COM" + std::to_string(n);
    if (const char* value = std::getenv(var.c_str()); value != nullptr && *value != '\0')
        return value;
    for (const PortMapEntry& e : ReadPortMap().entries)
        if (e.number == n)
            return e.path;
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace vendrill
