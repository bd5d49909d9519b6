#pragma once

// radio-check: the printer over the air, from the station's own Bluetooth
// adapter (radio/RadioCheck.h does the work; its options are parsed with all
// others in Cli.cpp).

#include "app/cli/Cli.h"
#include "app/cli/Station.h"
#include "radio/RadioCheck.h"

#include <string>

namespace vendrill::cli {

// Without --timeout: paging a printer takes up to about 5 s, an inquiry 10 s.
constexpr int kRadioTimeoutMs = 15000;

// The exit status for a check's outcome (128+N after a signal).
int ExitCodeFor(radio::Outcome outcome);

// The result as plain 'key: value' lines or one JSON object (UTF-8).
std::string FormatRadioResult(const std::string& address, const radio::CheckResult& result, bool json);

// Runs the check; the result goes to `out`, a failure's reason to standard error.
int RunRadioCheck(const Options& o, const ResultSink& out);

// The command's part of the usage text.
std::string RadioCheckUsage();

}  // namespace vendrill::cli
