#pragma once

// Runs the vendrill-cli program as a child process and collects what it
// writes, with generous bounds so that a hanging program fails the test
// instead of stalling it.

#include <string>
#include <vector>

namespace clitest {

struct Outcome {
    int exitCode = -1;   // exit status, 128 + signal, or -1 when it could not run
    std::string out;     // standard output
    std::string err;     // standard error
    bool finished = false;  // false when it had to be killed
};

// Runs VENDRILL_CLI_PATH with args. extraEnv holds "NAME=value" entries added
// to this process's environment for the child. A launcher (a command such as
// setpriv with its options) runs the program instead, with program as its path.
Outcome RunCli(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
               const std::vector<std::string>& launcher = {}, const std::string& program = VENDRILL_CLI_PATH);

// Counts lines of text that equal line.
int CountLines(const std::string& text, const std::string& line);

}  // namespace clitest
