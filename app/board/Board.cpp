#include "app/board/Board.h"

#include "app/board/Http.h"
#include "app/board/Server.h"
#include "app/common/CommandLine.h"
#include "app/common/Output.h"
#include "app/common/Say.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>

namespace vendrill::board {

namespace {

using app::CJsonObject;
using app::JsonArray;
using app::VisitJson;
using app::VisitsJson;

// One JSON line without the line breaks JSON arrays carry between and after values (no
// string holds a raw line break), so that it fits one event.
std::string OneLine(std::string json)
{
    json.erase(std::remove(json.begin(), json.end(), '\n'), json.end());
    return json;
}

// Local midnight of the day `days` after the one `t` falls in, plus `minutes`.
std::time_t LocalDay(std::time_t t, int days, int minutes = 0)
{
    std::tm local{};
    ::localtime_r(&t, &local);
    local.tm_mday += days;
    local.tm_hour = 0;
    local.tm_min = minutes;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

// A label value in Prometheus's text format.
std::string Label(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

}  // namespace

Shift ShiftAt(std::time_t now, const Settings& settings)
{
    if (settings.shiftStarts.empty())
        return {LocalDay(now, 0), LocalDay(now, 1)};
    // The latest start at or before now (yesterday's last one past
    // midnight), and the next one after it.
    std::vector<std::time_t> starts;
    for (int day = -1; day <= 1; ++day)
        for (const int minutes : settings.shiftStarts)
            starts.push_back(LocalDay(now, day, minutes));
    std::sort(starts.begin(), starts.end());
    Shift shift{starts.front(), starts.back()};
    for (std::size_t k = 0; k + 1 < starts.size(); ++k)
        if (starts[k] <= now && now < starts[k + 1])
            shift = {starts[k], starts[k + 1]};
    return shift;
}

record::BoardQuery QueryAt(std::chrono::system_clock::time_point now, const Settings& settings)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    record::BoardQuery q;
    q.dayStart = record::TimeText(LocalDay(t, 0));
    q.shiftStart = record::TimeText(ShiftAt(t, settings).start);
    q.hoursStart = record::TimeText((t / 3600 - 11) * 3600);
    q.hourAgo = record::TimeText(t - 3600);
    return q;
}

std::string BoardJson(const Picture& picture, const Settings& settings)
{
    const record::Board& board = picture.board;
    std::vector<std::string> stations;
    std::int64_t failures = 0;
    for (const record::StationDay& d : board.stations) {
        failures += d.failed + d.radioFailed;
        stations.push_back(CJsonObject()
                               .Text("station", d.station)
                               .Number("printers", d.printers)
                               .Number("named", d.named)
                               .Number("already_named", d.alreadyNamed)
                               .Number("failed", d.failed)
                               .Number("unconfirmed", d.unconfirmed)
                               .Number("last_hour", d.lastHour)
                               .Number("shift_named", d.shiftNamed)
                               .Number("first_visits", d.firstVisits)
                               .Number("first_named", d.firstNamed)
                               .Number("radio_checked", d.radioChecked)
                               .Number("radio_failed", d.radioFailed)
                               .Raw("last", d.last.time.empty() ? "null" : VisitJson(d.last))
                               .Str());
    }
    std::vector<std::string> hours;
    for (const record::HourCount& h : board.hours)
        hours.push_back(CJsonObject()
                            .Text("station", h.station)
                            .Text("hour", h.hour)
                            .Number("printers", h.printers)
                            .Number("named", h.named)
                            .Str());
    // Targets per hour: a shift's spread over the shift.
    const double shiftHours = std::max<double>(1, static_cast<double>(picture.shift.end - picture.shift.start)) / 3600;
    const auto perHour = [shiftHours](double hour, double shift) {
        const double v = hour > 0 ? hour : shift / shiftHours;
        return std::to_string(std::round(v * 100) / 100);
    };
    std::vector<std::string> targets;
    for (const StationSettings& s : settings.stations)
        targets.push_back(CJsonObject()
                              .Text("station", s.station)
                              .Raw("per_hour", s.perHour > 0 || s.perShift > 0 ? perHour(s.perHour, s.perShift) : "null")
                              .Number("silent_after_s", s.silentAfterS >= 0 ? s.silentAfterS : settings.silentAfterS)
                              .Bool("expected", s.expected)
                              .Str());
    CJsonObject json;
    json.Text("now", board.now);
    if (picture.error.empty())
        json.Null("error");
    else
        json.Text("error", picture.error);
    CJsonObject record;
    record.Text("state", picture.error.empty() ? "live" : "down");
    if (picture.lastChange.empty())
        record.Null("last_change");
    else
        record.Text("last_change", picture.lastChange);
    record.Text("how", picture.howRead);
    json.Raw("record", record.Str())
        .Raw("shift", CJsonObject()
                          .Text("start", record::TimeText(picture.shift.start))
                          .Text("end", record::TimeText(picture.shift.end))
                          .Str())
        .Raw("settings", CJsonObject()
                             .Number("silent_after_s", settings.silentAfterS)
                             .Bool("alert_sound", settings.sound)
                             .Raw("line_per_hour", settings.linePerHour > 0 || settings.linePerShift > 0
                                                       ? perHour(settings.linePerHour, settings.linePerShift)
                                                       : "null")
                             .Raw("stations", JsonArray(targets))
                             .Str())
        .Raw("stations", JsonArray(stations))
        .Number("failures_today", failures)
        .Raw("hours", JsonArray(hours))
        .Raw("latest", VisitsJson(board.latest))
        .Raw("failures", VisitsJson(board.failures));
    return OneLine(json.Str());
}

std::string MetricsText(const Picture& picture, const std::string& server)
{
    std::string out =
        "# HELP vendrill_board_printers_today Visits recorded today (from the board's local midnight), by station "
        "and result.\n"
        "# TYPE vendrill_board_printers_today gauge\n";
    for (const record::StationDay& d : picture.board.stations) {
        const std::int64_t sent = d.printers - d.named - d.alreadyNamed - d.failed;
        for (const auto& [result, n] : {std::pair<const char*, std::int64_t>{"named", d.named},
                                        {"already-named", d.alreadyNamed},
                                        {"failed", d.failed},
                                        {"sent", sent}})
            out += "vendrill_board_printers_today{station=\"" + Label(d.station) + "\",result=\"" + result + "\"} " +
                   std::to_string(n) + "\n";
    }
    out += "# HELP vendrill_board_radio_failures_today Visits recorded today whose radio check did not pass the "
           "printer, by station.\n"
           "# TYPE vendrill_board_radio_failures_today gauge\n";
    for (const record::StationDay& d : picture.board.stations)
        out += "vendrill_board_radio_failures_today{station=\"" + Label(d.station) + "\"} " +
               std::to_string(d.radioFailed) + "\n";
    out += "# HELP vendrill_board_record_up Whether the board can read the record now.\n"
           "# TYPE vendrill_board_record_up gauge\n"
           "vendrill_board_record_up " +
           std::string(picture.error.empty() ? "1" : "0") + "\n";
    if (!picture.lastChange.empty()) {
        std::tm when{};
        ::strptime(picture.lastChange.c_str(), "%Y-%m-%dT%H:%M:%S", &when);
        out += "# HELP vendrill_board_last_change_timestamp_seconds When the board last saw a visit recorded.\n"
               "# TYPE vendrill_board_last_change_timestamp_seconds gauge\n"
               "vendrill_board_last_change_timestamp_seconds " +
               std::to_string(::timegm(&when)) + "\n";
    }
    return out + server;
}

bool IsLoopback(const std::string& host)
{
    if (host == "localhost" || host == "::1")
        return true;
    in_addr v4{};
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool SameSecret(std::string_view given, std::string_view secret)
{
    // Every byte of the given text is looked at, whatever matched.
    unsigned difference = given.size() == secret.size() ? 0 : 1;
    for (std::size_t k = 0; k < given.size(); ++k)
        difference |= static_cast<unsigned char>(given[k]) ^
                      static_cast<unsigned char>(secret.empty() ? 0 : secret[k % secret.size()]);
    return difference == 0 && !secret.empty();
}


std::string UsageText()
{
    return "Usage: vendrill-board [--db LOCATION] [--listen HOST:PORT] [--token FILE] [--config FILE]\n"
           "Shows the production record live in a browser: each station's day against its\n"
           "target, printers per hour, the latest visits and failures, a printer's history,\n"
           "a CSV download, a wall screen (/?wall), /healthz and /metrics.\n"
           "\n"
           "  --db LOCATION       the record: sqlite:PATH or a postgresql:// URL\n"
           "                      (default: the file vendrill-cli station writes)\n"
           "  --listen HOST:PORT  where to listen (default 127.0.0.1:" +
           std::to_string(kDefaultPort) +
           "; port 0: any free one);\n"
           "                      an address other than loopback needs --token\n"
           "  --token FILE        the file holding the token every request must carry\n"
           "                      (Authorization: Bearer TOKEN, or ?token=TOKEN in the link)\n"
           "  --config FILE       targets, expected stations, shifts and limits (see the manual)\n"
           "  -h, --help          show this help and exit\n"
           "  -V, --version       show the version and exit\n"
           "\n" +
           app::ExitStatusText({{kExitOk, "stopped by SIGINT, SIGTERM or SIGHUP"},
                                {kExitFailure, "cannot listen, or cannot start"},
                                {kExitBadArgument, "command line, token or settings file, or no token for an "
                                                   "address other than loopback"},
                                {kExitRecord, ""}});
}

namespace {

std::string TakeListen(const std::string& listen, Options& o)
{
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return "--listen needs HOST:PORT, not '" + listen + "'";
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port = listen.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535)
        return "--listen: '" + port + "' is not a port number (0-65535)";
    o.host = host;
    o.port = std::stoi(port);
    return {};
}

// An option that names something that must not be empty.
app::OptionDef Named(const char* name, std::string* out, const char* wants)
{
    return {name, true, [out, wants](const std::string&, const std::string& value) {
                *out = value;
                return value.empty() ? std::string(wants) : std::string();
            }};
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args)
{
    ParseResult r;
    Options& o = r.options;
    const auto fail = [&r](std::string message) {
        r.ok = false;
        r.error = std::move(message);
        return r;
    };
    const app::CommandLine line = app::ParseCommandLine(
        {Named("db", &o.db, "--db needs a record location"),
         {"listen", true, [&o](const std::string&, const std::string& value) { return TakeListen(value, o); }},
         Named("token", &o.tokenFile, "--token needs a file"), Named("config", &o.configFile, "--config needs a file")},
        args);
    if (!line.ok)
        return fail(line.error);
    if (!line.arguments.empty())
        return fail("unexpected argument '" + line.arguments.front() + "'");
    r.help = line.help;
    r.version = line.version;
    if (r.help || r.version) {
        r.ok = true;
        return r;
    }
    if (!o.tokenFile.empty()) {
        if (!ReadWhole(o.tokenFile, &o.token))
            return fail("cannot read the token file " + o.tokenFile + ": " + std::strerror(errno));
        while (!o.token.empty() && std::isspace(static_cast<unsigned char>(o.token.back())))
            o.token.pop_back();
        if (o.token.size() < 16 || o.token.find_first_of(" \t\r\n") != std::string::npos)
            return fail("the token in " + o.tokenFile + " must be one line of at least 16 characters");
    }
    if (!o.configFile.empty()) {
        std::string error;
        std::optional<Settings> settings = ReadSettings(o.configFile, &error);
        if (!settings)
            return fail(error);
        o.settings = std::move(*settings);
    }
    if (o.token.empty() && !IsLoopback(o.host))
        return fail("listening on " + o.host + " lets other machines read the record: give --token FILE");
    r.ok = true;
    return r;
}

int Run(const Options& options, int stopFd, const std::function<void(const std::string&)>& announce, std::FILE* err)
{
    record::OpenResult opened = record::Open(options.db, record::Access::ReadOnly, stopFd);
    std::string error;
    if (opened.record && !opened.record->Watch(&error))
        opened = {record::OpenResult::Kind::Unavailable, nullptr,
                  "cannot watch the record in " + opened.record->Where() + ": " + error};
    if (!opened.record) {
        app::Say(opened.error, err);
        return opened.kind == record::OpenResult::Kind::BadLocation ? kExitBadArgument : kExitRecord;
    }
    if (const std::string how = opened.record->HowRead(); !how.empty())
        app::Say("the record " + opened.record->Where() + " is " + how, err);
    return Serve(options, std::move(opened.record), stopFd, announce, err);
}

}  // namespace vendrill::board
