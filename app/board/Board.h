#pragma once

// vendrill-board: the production record, live, in a browser. A small web
// server that only reads the record (SQLite file or PostgreSQL) and pushes a
// new picture of the line to every open page as soon as a station records a
// visit. Qt-free.

#include "app/board/Settings.h"
#include "app/common/CommandLine.h"
#include "app/common/Exit.h"
#include "record/Record.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vendrill::board {

// The exit statuses all programs share.
using namespace vendrill::app;

inline constexpr int kDefaultPort = 8470;

struct Options {
    std::string db;  // record location as vendrill-cli takes it; "" the default SQLite file
    std::string host = "127.0.0.1";
    int port = kDefaultPort;  // 0: any free port
    std::string tokenFile;
    std::string token;  // read from tokenFile
    std::string configFile;
    Settings settings;  // read from configFile
    std::string jsDir = "/usr/share/javascript";
};

using ParseResult = app::Parsed<Options>;

ParseResult ParseArguments(const std::vector<std::string>& args);
std::string UsageText();

// 127.0.0.0/8, ::1 and localhost: addresses only this machine reaches.
bool IsLoopback(const std::string& host);
// Compares a secret without telling, by its time, how much of it matched.
bool SameSecret(std::string_view given, std::string_view secret);

// The shift that `now` falls in, local time: [start, end).
struct Shift {
    std::time_t start = 0, end = 0;
};
Shift ShiftAt(std::time_t now, const Settings& settings);

// The moments the board asks the record about, seen at `now`: today from
// local midnight, the shift, the chart's 12 hours, the last hour.
record::BoardQuery QueryAt(std::chrono::system_clock::time_point now, const Settings& settings = {});

// One picture of the line and what the board knows of the record.
struct Picture {
    record::Board board;
    std::string error;       // why the record cannot be read now ("" when it can)
    std::string lastChange;  // when the board last saw the record change ("" not yet)
    std::string howRead;     // CRecord::HowRead
    Shift shift;
};

// The picture as pages show it, as one JSON object on one line.
std::string BoardJson(const Picture& picture, const Settings& settings);

// The picture in Prometheus's text format; `server` adds the board's own
// figures (already in that format).
std::string MetricsText(const Picture& picture, const std::string& server);

// Serves until a byte can be read from stopFd. Says where to look through
// `announce` once it listens; trouble goes to `err`.
int Run(const Options& options, int stopFd, const std::function<void(const std::string&)>& announce,
        std::FILE* err);

}  // namespace vendrill::board
