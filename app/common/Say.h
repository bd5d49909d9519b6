#pragma once

// How a program speaks to the person who runs it: every message on standard
// error starts with the program's name, in the terminal's character set, and
// a wrong command line adds where the help is.

#include <cstdio>
#include <string>

namespace vendrill::app {

// The name the messages start with ("vendrill-cli"); set once at start.
void SetProgramName(const char* name);
const char* ProgramName();

// "NAME: text" and a line break on `to`; the text is UTF-8.
void Say(const std::string& text, std::FILE* to = stderr);

// A wrong command line: the message and where the help is; returns the
// exit status for it (kExitBadArgument).
int UsageError(const std::string& text);

}  // namespace vendrill::app
