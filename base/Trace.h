#pragma once

#include <cstdio>

// Developer trace lines. Each line is written by one formatted print, so lines
// from different threads never tear. Where they go is the program's choice:
// the window writes them to standard output, the command-line tool to
// standard error when asked, or nowhere.
namespace vendrill {

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The stream trace lines go to; nullptr drops them. Standard output until set.
void SetTraceSink(std::FILE* sink);

// Makes standard output line-buffered even when redirected, so trace lines
// reach a log file as they happen. Called once at start-up.
void InitTrace();

}  // namespace vendrill
