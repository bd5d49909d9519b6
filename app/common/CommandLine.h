#pragma once

// The command line of every program, read from a table of its options:
// long options (--name VALUE, --name=VALUE, unambiguous abbreviations),
// -h/--help and -V/--version, "--" to end the options, and messages for a
// mistyped option that name the one probably meant.

#include <functional>
#include <string>
#include <vector>

namespace vendrill::app {

struct OptionDef {
    std::string name;  // long form, without "--"
    bool takesValue = false;
    // Takes the option as it came: `given` as written (for messages),
    // `value` ("" for an option without one). An error text, "" when fine.
    std::function<std::string(const std::string& given, const std::string& value)> take;
};

struct CommandLine {
    bool ok = false;
    std::string error;  // when !ok
    bool help = false;
    bool version = false;
    std::vector<std::string> arguments;  // what is not an option, in order
};

// Reads args (without the program's name) in order; the first error ends it.
CommandLine ParseCommandLine(const std::vector<OptionDef>& options, const std::vector<std::string>& args);

// A program's options as its command line gave them, or why they could not
// be taken.
template <typename Options>
struct Parsed {
    bool ok = false;
    Options options;
    std::string error;  // when !ok
    bool help = false;
    bool version = false;
};

}  // namespace vendrill::app
