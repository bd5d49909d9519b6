#pragma once

// Developer trace lines on standard output. Each line is written by one
// formatted print, so lines from different threads never tear.
namespace vendrill {

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Makes standard output line-buffered even when redirected, so trace lines
// reach a log file as they happen. Called once at start-up.
void InitTrace();

}  // namespace vendrill
