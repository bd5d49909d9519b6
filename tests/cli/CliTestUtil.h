#pragma once

// Runs the vendrill-cli program as a child process and collects what it
// writes, with generous bounds so that a hanging program fails the test
// instead of stalling it.

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace clitest {

struct Outcome {
    int exitCode = -1;   // exit status, 128 + signal, or -1 when it could not run
    std::string out;     // standard output
    std::string err;     // standard error
    bool finished = false;  // false when it had to be killed
};

// Runs VENDRILL_CLI_PATH with args. extraEnv holds "NAME=value" entries added
// to this process's environment for the child.
Outcome RunCli(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {});

struct RunOptions {
    std::vector<std::string> extraEnv;
    bool asNobody = false;     // when run by root: as user nobody (setpriv), which the tty layer does not exempt
    bool closeStdout = false;  // start the program with descriptor 1 closed
    std::function<void(pid_t)> whileRunning;  // called once the program was started
    // When set, standard error goes to this file, so that whileRunning can
    // watch it; Outcome::err holds the file's text at the end.
    std::string errorFile;
    std::string program = VENDRILL_CLI_PATH;  // another copy of the program, e.g. one nobody may run
};
Outcome RunCli(const std::vector<std::string>& args, const RunOptions& options);

// The whole text of a file ("" when it cannot be read).
std::string ReadText(const std::string& path);

// The lines of a text, and the words of a line.
std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> Words(const std::string& line);

// Counts lines of text that equal line.
int CountLines(const std::string& text, const std::string& line);

}  // namespace clitest
