#pragma once

// Production-line commands of vendrill-cli (their options are parsed with
// all others in Arguments.cpp):
//   station      names printers one after another, with a record behind it
//                (Station.cpp: the run; Naming.h: one printer's visit;
//                Presence.h: waiting for printers; Reporting.h: its lines)
//   records      exports the record (Records.cpp)
//   ports        lists what can be opened, without opening anything (Ports.cpp)
//   radio-check  the printer over the air (RadioCheck.h)

#include "app/cli/Cli.h"

#include <functional>
#include <string>

namespace vendrill::cli {

// Writes a piece of the results, as it comes; false when it could not.
using ResultSink = std::function<bool(const std::string& text)>;

// Runs station, records, ports or radio-check. Results go to `out` as they
// come, messages to standard error. Returns the exit status.
int RunLineCommand(const Options& o, const ResultSink& out);

int RunStation(const Options& o, const ResultSink& out);
int RunRecords(const Options& o, const ResultSink& out);
int RunPorts(const Options& o, const ResultSink& out);

// The commands' part of the usage text.
std::string LineCommandsUsage();

}  // namespace vendrill::cli
