#pragma once

// vendrill-board: the production record, live, in a browser. A small web
// server that only reads the record (SQLite file or PostgreSQL) and pushes a
// new picture of the line to every open page as soon as a station records a
// visit. Qt-free.

#include "record/Record.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vendrill::board {

// Exit status (the same numbers as vendrill-cli where they mean the same).
enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,      // cannot listen, cannot start a thread
    kExitBadArgument = 2,  // wrong command line, token file unusable, no token off loopback
    kExitRecord = 6,       // the record cannot be opened or read
};

inline constexpr int kDefaultPort = 8470;
// Event streams open at once; one more is told to come back later (503).
inline constexpr int kMaxStreams = 64;

struct Options {
    std::string db;  // record location as vendrill-cli takes it; "" the default SQLite file
    std::string host = "127.0.0.1";
    int port = kDefaultPort;  // 0: any free port
    std::string tokenFile;
    std::string token;  // read from tokenFile
    std::string jsDir = "/usr/share/javascript";
};

struct ParseResult {
    bool ok = false;
    bool help = false;
    bool version = false;
    Options options;
    std::string error;
};

ParseResult ParseArguments(const std::vector<std::string>& args);
std::string UsageText();

// 127.0.0.0/8, ::1 and localhost: addresses only this machine reaches.
bool IsLoopback(const std::string& host);
// Compares a secret without telling, by its time, how much of it matched.
bool SameSecret(std::string_view given, std::string_view secret);

// The moments the board asks the record about, seen at `now`: today from
// local midnight, the chart's 12 hours, the last hour.
record::BoardQuery QueryAt(std::chrono::system_clock::time_point now);

// The picture of the line that pages show, as one JSON object on one line.
// error: why the record cannot be read now ("" when it can).
std::string BoardJson(const record::Board& board, const std::string& error);

// Serves until a byte can be read from stopFd. Says where to look through
// `announce` once it listens; trouble goes to `err`.
int Run(const Options& options, int stopFd, const std::function<void(const std::string&)>& announce,
        std::FILE* err);

}  // namespace vendrill::board
