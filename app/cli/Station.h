#pragma once

// Production-line commands of vendrill-cli, with their own argument parsing:
//   station  names printers one after another, with a record behind it
//   records  exports the record
//   ports    lists what can be opened, without opening anything

#include "app/cli/Cli.h"
#include "record/Record.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vendrill::cli {

// The record cannot be opened or reached.
inline constexpr int kExitRecord = 6;

// True when the command word of args is one of the line commands; *trace
// tells whether --trace was given.
bool IsLineCommand(const std::vector<std::string>& args, bool* trace);

// Runs a line command. Result lines go to resultsFd as they come (-1: none),
// messages to standard error. Returns the exit status.
int RunLineCommand(const std::vector<std::string>& args, int resultsFd);

// The commands' part of the usage text.
std::string LineCommandsUsage();

struct StationOptions {
    std::string prefix;                 // --name
    std::string firstSuffix = "00001";  // --first-suffix
    std::optional<std::string> pin;
    std::optional<char> level;  // '1' or '3'
    bool print = false;
    std::string db;       // "" = default SQLite file
    std::string station;  // "" = host name
    std::int64_t count = 0;  // 0 = until interrupted
    bool json = false;
    Options link;  // link choice, port, line settings, --old-module, --trace
};

struct StationParse {
    bool ok = false;
    StationOptions options;
    std::string error;
};
// args without the command word.
StationParse ParseStation(const std::vector<std::string>& args);

// The suffix of the printer with this number when the run starts at
// `first`: `first` itself, later numbers zero-filled the way NextSuffix
// continues it (at least five digits, at least the width of `first`).
std::string SuffixFor(const std::string& first, std::int64_t number);

}  // namespace vendrill::cli
