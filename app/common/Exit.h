#pragma once

// The exit statuses of the programs: one table, so that a number means the
// same whichever program ends with it, and one way to list them in a usage
// text.

#include <string>
#include <vector>

namespace vendrill::app {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,      // trouble of the program itself (cannot write its results, start, listen)
    kExitBadArgument = 2,  // wrong command line, or a value the module must not be sent
    kExitNoDevice = 3,     // port or USB printer missing or unusable, or the link went away
    kExitTimeout = 4,      // no reply within the reply time-out
    kExitModuleError = 5,  // the module answered '9'
    kExitRecord = 6,       // the record cannot be opened or read
    kExitNotNamed = 7,     // a station run with --count did not name every printer
};

struct ExitCodeText {
    int code;
    const char* meaning;
};
extern const ExitCodeText kExitCodes[8];

// A status as one program lists it: the table's meaning, with what it means
// for this program in brackets after it (or, with instead, in its place).
struct ExitUse {
    int code;
    std::string words;
    bool instead = false;
};

// "Exit status:\n" and a line "  N  meaning" for each status used, then
// `after` (further lines, each ending in '\n').
std::string ExitStatusText(const std::vector<ExitUse>& uses, const std::string& after = {});

}  // namespace vendrill::app
