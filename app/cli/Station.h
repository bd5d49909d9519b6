#pragma once

// Production-line commands of vendrill-cli (their options are parsed with
// all others in Cli.cpp):
//   station  names printers one after another, with a record behind it
//   records  exports the record
//   ports    lists what can be opened, without opening anything

#include "app/cli/Cli.h"
#include "protocol/Protocol.h"
#include "record/Record.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vendrill::cli {

// Writes a piece of the results, as it comes; false when it could not.
using ResultSink = std::function<bool(const std::string& text)>;

// Runs station, records or ports. Results go to `out` as they come,
// messages to standard error. Returns the exit status.
int RunLineCommand(const Options& o, const ResultSink& out);

// The commands' part of the usage text.
std::string LineCommandsUsage();

// The suffix of the printer with this number when the run starts at
// `first` (proto::SuffixFor, beside the window's NextSuffix).
using proto::SuffixFor;

}  // namespace vendrill::cli
