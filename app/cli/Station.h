#pragma once

// Production-line commands of vendrill-cli (their options are parsed with
// all others in Cli.cpp):
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
// A station run with --count ended, and not every printer of it was named.
inline constexpr int kExitNotNamed = 7;

// Runs station, records or ports. Results go to standard output as they
// come, messages to standard error. Returns the exit status.
int RunLineCommand(const Options& o);

// The commands' part of the usage text.
std::string LineCommandsUsage();

// The suffix of the printer with this number when the run starts at
// `first`: `first` itself, later numbers zero-filled the way NextSuffix
// continues it (at least five digits, at least the width of `first`).
std::string SuffixFor(const std::string& first, std::int64_t number);

}  // namespace vendrill::cli
