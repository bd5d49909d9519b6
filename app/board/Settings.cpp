#include "app/board/Settings.h"

#include "app/board/Http.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vendrill::board {

namespace {

std::string Trim(const std::string& s)
{
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return {};
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// "90", "90 s", "10 min", "10m", "1 h": seconds.
std::optional<int> Duration(const std::string& text)
{
    char* end = nullptr;
    const double n = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(n >= 0) || n > 7 * 86400)
        return std::nullopt;
    const std::string unit = Lower(Trim(end));
    double scale = 0;
    if (unit.empty() || unit == "s" || unit == "sec" || unit == "seconds")
        scale = 1;
    else if (unit == "m" || unit == "min" || unit == "minutes")
        scale = 60;
    else if (unit == "h" || unit == "hours")
        scale = 3600;
    if (scale == 0)
        return std::nullopt;
    return static_cast<int>(std::lround(n * scale));
}

// "60 per hour", "60/hour", "400 per shift": the number and whether per shift.
bool Target(const std::string& text, double* perHour, double* perShift)
{
    char* end = nullptr;
    const double n = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(n > 0) || n > 1e7)
        return false;
    std::string unit = Lower(Trim(end));
    if (unit.rfind("per", 0) == 0)
        unit = Trim(unit.substr(3));
    else if (!unit.empty() && unit[0] == '/')
        unit = Trim(unit.substr(1));
    *perHour = *perShift = 0;
    if (unit == "hour" || unit == "h")
        *perHour = n;
    else if (unit == "shift" || unit == "day")
        *perShift = n;
    else
        return false;
    return true;
}

std::optional<bool> Switch(const std::string& text)
{
    const std::string v = Lower(text);
    if (v == "on" || v == "yes" || v == "true" || v == "1")
        return true;
    if (v == "off" || v == "no" || v == "false" || v == "0")
        return false;
    return std::nullopt;
}

}  // namespace

const StationSettings* Settings::Station(const std::string& station) const
{
    for (const StationSettings& s : stations)
        if (s.station == station)
            return &s;
    return nullptr;
}

std::optional<Settings> ParseSettings(const std::string& text, const std::string& path, std::string* error)
{
    Settings out;
    StationSettings* station = nullptr;
    std::istringstream in(text);
    std::string raw;
    for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
        const auto fail = [&](const std::string& why) {
            *error = path + ":" + std::to_string(lineNo) + ": " + why;
            return std::nullopt;
        };
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.rfind("[station ", 0) != 0)
                return fail("a section is [station NAME], not " + line);
            const std::string name = Trim(line.substr(9, line.size() - 10));
            if (name.empty())
                return fail("[station NAME] needs a name");
            if (out.Station(name))
                return fail("station " + name + " is set twice");
            out.stations.push_back({});
            station = &out.stations.back();
            station->station = name;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            return fail("expected KEY = VALUE, not " + line);
        const std::string key = Lower(Trim(line.substr(0, eq)));
        std::string value = Trim(line.substr(eq + 1));
        if (const std::size_t hash = value.find(" #"); hash != std::string::npos)
            value = Trim(value.substr(0, hash));
        if (station) {
            if (key == "target") {
                if (!Target(value, &station->perHour, &station->perShift))
                    return fail("target is N per hour or N per shift, not " + value);
            } else if (key == "silent_after") {
                const std::optional<int> s = Duration(value);
                if (!s)
                    return fail("silent_after is a time such as 5 min, not " + value);
                station->silentAfterS = *s;
            } else if (key == "expected") {
                const std::optional<bool> b = Switch(value);
                if (!b)
                    return fail("expected is yes or no, not " + value);
                station->expected = *b;
            } else {
                return fail("unknown station setting " + key + " (target, silent_after, expected)");
            }
            continue;
        }
        if (key == "silent_after") {
            const std::optional<int> s = Duration(value);
            if (!s)
                return fail("silent_after is a time such as 5 min, not " + value);
            out.silentAfterS = *s;
        } else if (key == "alert_sound") {
            const std::optional<bool> b = Switch(value);
            if (!b)
                return fail("alert_sound is on or off, not " + value);
            out.sound = *b;
        } else if (key == "line_target") {
            if (!Target(value, &out.linePerHour, &out.linePerShift))
                return fail("line_target is N per hour or N per shift, not " + value);
        } else if (key == "shifts") {
            std::istringstream starts(value);
            std::string start;
            while (starts >> start) {
                if (!start.empty() && start.back() == ',')
                    start.pop_back();
                int h = -1, m = -1;
                char colon = 0;
                std::istringstream hm(start);
                if (!(hm >> h >> colon >> m) || colon != ':' || h < 0 || h > 23 || m < 0 || m > 59 || !hm.eof())
                    return fail("shifts are start times such as 06:00 14:00 22:00, not " + start);
                out.shiftStarts.push_back(h * 60 + m);
            }
            std::sort(out.shiftStarts.begin(), out.shiftStarts.end());
            out.shiftStarts.erase(std::unique(out.shiftStarts.begin(), out.shiftStarts.end()), out.shiftStarts.end());
        } else if (key == "host_names") {
            std::istringstream names(value);
            for (std::string name; names >> name;) {
                if (name.back() == ',')
                    name.pop_back();
                out.hostNames.push_back(Lower(name));
            }
        } else if (key == "connections_per_address" || key == "streams_per_address") {
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || n < 1 || n > 100000)
                return fail(key + " is a number from 1, not " + value);
            (key == "connections_per_address" ? out.connectionsPerAddress : out.streamsPerAddress) = static_cast<int>(n);
        } else {
            return fail("unknown setting " + key);
        }
    }
    if (out.streamsPerAddress >= out.connectionsPerAddress)
        out.streamsPerAddress = std::max(1, out.connectionsPerAddress - 1);
    return out;
}

std::optional<Settings> ReadSettings(const std::string& path, std::string* error)
{
    std::string text;
    if (!ReadWhole(path, &text)) {
        *error = "cannot read the settings " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return ParseSettings(text, path, error);
}

}  // namespace vendrill::board
