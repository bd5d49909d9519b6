#pragma once

// What a line's supervisor sets for the board in a small file (--config):
// targets, the stations expected, when a station counts as silent, the
// names the board is reached by, and how many connections one address may
// hold. Qt-free.

#include <optional>
#include <string>
#include <vector>

namespace vendrill::board {

struct StationSettings {
    std::string station;
    double perHour = 0;     // target, printers named per hour (0: none)
    double perShift = 0;    // or per shift
    int silentAfterS = -1;  // -1: the line's
    bool expected = true;   // shown, and missed, before its first printer of the day
};

struct Settings {
    int silentAfterS = 300;         // a station without a printer this long is red
    bool sound = false;             // the wall screen beeps while a station is silent
    std::vector<int> shiftStarts;   // minutes after local midnight, ascending; none: the day is one shift
    double linePerHour = 0, linePerShift = 0;
    std::vector<std::string> hostNames;  // Host names the board answers to besides its address
    int connectionsPerAddress = 128;
    int streamsPerAddress = 16;
    std::vector<StationSettings> stations;

    const StationSettings* Station(const std::string& station) const;
};

// Reads FILE; nullopt and *error (with the line number) when it cannot be used.
std::optional<Settings> ReadSettings(const std::string& path, std::string* error);
// The same from text (path only names it in messages).
std::optional<Settings> ParseSettings(const std::string& text, const std::string& path, std::string* error);

}  // namespace vendrill::board
