// vendrill-cli's command line: its options and commands as tables for the
// programs' one parser (app/common/CommandLine.h), and the checks that take
// several of them together.

#include "app/cli/Cli.h"

#include "base/Suggest.h"
#include "link/PortName.h"
#include "protocol/Conversation.h"
#include "protocol/Protocol.h"
#include "radio/RadioCheck.h"
#include "record/Record.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

namespace vendrill::cli {

namespace {

std::optional<char> LevelByName(std::string_view v)
{
    if (v == "1" || v == "not-use-pinkey") return '1';
    if (v == "3" || v == "use-pinkey") return '3';
    return std::nullopt;
}

std::optional<char> PairingByName(std::string_view v)
{
    if (v == "1" || v == "legacy") return '1';
    if (v == "2" || v == "just-works") return '2';
    if (v == "3" || v == "numeric-comparison") return '3';
    return std::nullopt;
}

std::optional<char> SniffByName(std::string_view v)
{
    if (v == "status") return proto::CMD_GET_SNIFF;
    if (v == "enable") return '1';
    if (v == "disable") return '0';
    return std::nullopt;
}

bool IsDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Device path for a --port value, or "" when it names no port.
std::string PortPath(const std::string& port)
{
    if (!port.empty() && port.front() == '/')
        return port;
    if (port.rfind("COM", 0) != 0 || !IsDigits(std::string_view(port).substr(3)))
        return {};
    return ResolvePortPath(DeviceNameForPort(port));
}

ParseResult Bad(std::string error)
{
    ParseResult r;
    r.error = std::move(error);
    return r;
}

// Options that only some commands take.
enum CommandOption : unsigned {
    kOptSuffix = 1u << 0, kOptPrint = 1u << 1, kOptName = 1u << 2, kOptFirstSuffix = 1u << 3,
    kOptPin = 1u << 4, kOptLevel = 1u << 5, kOptDb = 1u << 6, kOptStation = 1u << 7, kOptCount = 1u << 8,
    kOptSince = 1u << 9, kOptCsv = 1u << 10, kOptVid = 1u << 11, kOptPid = 1u << 12,
    kOptAddress = 1u << 13, kOptCreateRecord = 1u << 14, kOptRenameBack = 1u << 15, kOptRadioCheck = 1u << 16,
    kOptRadioTimeout = 1u << 17,
};

struct CommandEntry {
    const char* name;
    Command command;
    bool takesArgument;
    unsigned options;  // CommandOption bits
    // Checks the argument and stores it; returns an error text, empty when fine.
    std::string (*take)(const std::string& value, Options& o);
    // Checks the command's options together; returns an error text, empty when fine.
    std::string (*finish)(Options& o);
};

std::string TakeText(const std::string& value, Options& o, proto::TextKind kind, const char* what)
{
    if (const std::optional<proto::TextFault> fault = proto::CheckText(value, kind))
        return fault->Describe(what);
    o.text = value;
    return {};
}

// Suffixes of the station stay within 64-bit numbers.
constexpr std::size_t kMaxStationSuffixDigits = 18;

std::string CheckPin(const Options& o)
{
    if (o.stationPin) {
        if (const std::optional<proto::TextFault> fault = proto::CheckText(*o.stationPin, proto::TextKind::PinKey))
            return fault->Describe("PIN key");
    }
    return {};
}

std::string FinishStation(Options& o)
{
    if (o.prefix.empty())
        return "station needs --name PREFIX";
    if (const std::optional<proto::TextFault> fault = proto::CheckText(o.prefix, proto::TextKind::Name))
        return fault->Describe("name");
    if (o.firstSuffix.size() > kMaxStationSuffixDigits)
        return "--first-suffix wants 1 to " + std::to_string(kMaxStationSuffixDigits) + " digits, not '" +
               o.firstSuffix + "'";
    // Name and suffix as set-name keeps them, for the widest suffix this run
    // starts with.
    const std::size_t widest = std::max<std::size_t>(5, o.firstSuffix.size());
    if (!proto::SuffixFits(o.prefix.size(), widest))
        return "name and suffix together must stay below " + std::to_string(proto::NAME_WITH_SUFFIX_LIMIT) +
               " bytes";
    if (std::string error = CheckPin(o); !error.empty())
        return error;
    if (o.transport == Transport::Simulate)
        return "station needs a line of printers; run vendrill-sim --line and give its --port";
    if (o.radioTimeoutMs > 0 && !o.radioCheck)
        return "--radio-timeout goes with --radio-check";
    return {};
}

std::string FinishRadioCheck(Options& o)
{
    if (o.radioAddress.empty())
        return "radio-check needs --address BDA";
    return CheckPin(o);
}

std::string FinishRecords(Options& o)
{
    if (o.json && o.csv)
        return "--json and --csv exclude each other";
    return {};
}

std::string TakeSelection(std::optional<char> s, char* out, const std::string& error)
{
    if (!s)
        return error;
    *out = *s;
    return {};
}

const CommandEntry kCommands[] = {
    {"info", Command::Info, false, 0, nullptr, nullptr},
    {"set-pin", Command::SetPin, true, 0,
     [](const std::string& v, Options& o) { return TakeText(v, o, proto::TextKind::PinKey, "PIN key"); }, nullptr},
    {"set-name", Command::SetName, true, kOptSuffix | kOptPrint,
     [](const std::string& v, Options& o) { return TakeText(v, o, proto::TextKind::Name, "name"); }, nullptr},
    {"set-level", Command::SetLevel, true, 0,
     [](const std::string& v, Options& o) {
         return TakeSelection(LevelByName(v), &o.selection,
                              "unknown security level '" + v + "' (1, 3, not-use-pinkey or use-pinkey)");
     },
     nullptr},
    {"set-pairing", Command::SetPairing, true, 0,
     [](const std::string& v, Options& o) {
         return TakeSelection(PairingByName(v), &o.selection,
                              "unknown pairing mode '" + v + "' (1, 2, 3, legacy, just-works or numeric-comparison)");
     },
     nullptr},
    {"sniff", Command::Sniff, true, 0,
     [](const std::string& v, Options& o) {
         return TakeSelection(SniffByName(v), &o.selection,
                              "unknown sniff action '" + v + "' (status, enable or disable)");
     },
     nullptr},
    {"station", Command::Station, false,
     kOptPrint | kOptName | kOptFirstSuffix | kOptPin | kOptLevel | kOptDb | kOptStation | kOptCount |
         kOptCreateRecord | kOptRenameBack | kOptRadioCheck | kOptRadioTimeout,
     nullptr, FinishStation},
    {"records", Command::Records, false, kOptDb | kOptSince | kOptCsv, nullptr, FinishRecords},
    {"ports", Command::Ports, false, kOptVid | kOptPid, nullptr, nullptr},
    {"radio-check", Command::RadioCheck, false, kOptAddress | kOptName | kOptPin, nullptr, FinishRadioCheck},
};

// What the options set beside Options while the command line is read.
struct Reading {
    Options o;
    bool portGiven = false, lineGiven = false, usb = false, simulate = false;
    std::vector<std::pair<unsigned, std::string>> commandOptions;  // as given, for messages
};

using Take = std::function<std::string(Reading& r, const std::string& value)>;

std::string FourHexDigits(const std::string& option, const std::string& value, std::string* out)
{
    std::string id = value;
    const bool hex = id.size() == 4 && std::all_of(id.begin(), id.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (!hex)
        return option + " wants four hexadecimal digits, not '" + value + "'";
    for (char& c : id)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    *out = id;
    return {};
}

// The options in the order "did you mean" and "ambiguous" name them: for
// each, whether it takes a value, the command option it is (0: any
// command's), and what it sets.
struct OptionEntry {
    const char* name;
    bool takesValue;
    unsigned commandBit;
    Take take;
};

const std::vector<OptionEntry>& OptionTable()
{
    static const std::vector<OptionEntry> table = {
        {"port", true, 0,
         [](Reading& r, const std::string& v) -> std::string {
             r.o.port = v;
             r.o.portPath = PortPath(v);
             r.portGiven = true;
             if (r.o.portPath.empty())
                 return "unknown port '" + v + "' (give COMn, n from 1 to 255, or a /dev path)";
             return {};
         }},
        {"baud", true, 0,
         [](Reading& r, const std::string& v) -> std::string {
             static const char* const kRates[] = {"9600", "19200", "38400", "57600", "115200"};
             r.lineGiven = true;
             if (std::find(std::begin(kRates), std::end(kRates), v) == std::end(kRates))
                 return "unsupported baud rate '" + v + "' (9600, 19200, 38400, 57600 or 115200)";
             r.o.line.baudRate = static_cast<std::uint32_t>(std::stoul(v));
             return {};
         }},
        {"timeout", true, 0,
         [](Reading& r, const std::string& v) -> std::string {
             if (!IsDigits(v) || v.size() > 6 || std::stoi(v) < 100 || std::stoi(v) > 600000)
                 return "--timeout wants milliseconds from 100 to 600000, not '" + v + "'";
             r.o.replyTimeoutMs = std::stoi(v);
             r.o.timeoutGiven = true;
             return {};
         }},
        {"vid", true, kOptVid, [](Reading& r, const std::string& v) { return FourHexDigits("--vid", v, &r.o.vid); }},
        {"pid", true, kOptPid, [](Reading& r, const std::string& v) { return FourHexDigits("--pid", v, &r.o.pid); }},
        {"data-bits", true, 0,
         [](Reading& r, const std::string& v) -> std::string {
             r.lineGiven = true;
             if (v != "7" && v != "8")
                 return "unsupported data bits '" + v + "' (7 or 8)";
             r.o.line.dataBits = static_cast<std::uint8_t>(v[0] - '0');
             return {};
         }},
        {"parity", true, 0,
         [](Reading& r, const std::string& v) -> std::string {
             r.lineGiven = true;
             if (v == "none") r.o.line.parity = CSerialPort::Parity::None;
             else if (v == "odd") r.o.line.parity = CSerialPort::Parity::Odd;
             else if (v == "even") r.o.line.parity = CSerialPort::Parity::Even;
             else return "unsupported parity '" + v + "' (none, odd or even)";
             return {};
         }},
        {"stop-bits", true, 0,
         [](Reading& r, const std::string& v) -> std::string {
             r.lineGiven = true;
             if (v == "1") r.o.line.stopBits = CSerialPort::StopBits::One;
             else if (v == "2") r.o.line.stopBits = CSerialPort::StopBits::Two;
             else return "unsupported stop bits '" + v + "' (1 or 2)";
             return {};
         }},
        {"usb", false, 0, [](Reading& r, const std::string&) { r.usb = true; return std::string(); }},
        {"usb-device", true, 0,
         [](Reading& r, const std::string& v) -> std::string {
             if (v.empty())
                 return "--usb-device wants a node path, a USB serial number or a USB location";
             r.o.usbDevice = v;
             r.usb = true;
             return {};
         }},
        {"simulate", false, 0, [](Reading& r, const std::string&) { r.simulate = true; return std::string(); }},
        {"old-module", false, 0, [](Reading& r, const std::string&) { r.o.newModule = false; return std::string(); }},
        {"new-module", false, 0, [](Reading& r, const std::string&) { r.o.newModule = true; return std::string(); }},
        {"json", false, 0, [](Reading& r, const std::string&) { r.o.json = true; return std::string(); }},
        {"trace", false, 0, [](Reading& r, const std::string&) { r.o.trace = true; return std::string(); }},
        {"print", false, kOptPrint, [](Reading& r, const std::string&) { r.o.print = true; return std::string(); }},
        {"suffix", true, kOptSuffix,
         [](Reading& r, const std::string& v) -> std::string {
             if (!IsDigits(v))
                 return "the suffix must be one or more digits, not '" + v + "'";
             r.o.suffix = v;
             return {};
         }},
        {"name", true, kOptName,
         [](Reading& r, const std::string& v) -> std::string {
             if (v.empty())
                 return "--name wants a name";
             r.o.prefix = v;
             return {};
         }},
        {"first-suffix", true, kOptFirstSuffix,
         [](Reading& r, const std::string& v) -> std::string {
             if (!IsDigits(v))
                 return "--first-suffix wants digits, not '" + v + "'";
             r.o.firstSuffix = v;
             return {};
         }},
        {"pin", true, kOptPin, [](Reading& r, const std::string& v) { r.o.stationPin = v; return std::string(); }},
        {"level", true, kOptLevel,
         [](Reading& r, const std::string& v) -> std::string {
             const std::optional<char> s = LevelByName(v);
             if (!s)
                 return "unknown security level '" + v + "' (1, 3, not-use-pinkey or use-pinkey)";
             r.o.stationLevel = *s;
             return {};
         }},
        {"db", true, kOptDb,
         [](Reading& r, const std::string& v) -> std::string {
             if (v.empty())
                 return "--db wants a URL (sqlite:PATH or postgresql://...)";
             r.o.db = v;
             return {};
         }},
        {"station", true, kOptStation,
         [](Reading& r, const std::string& v) -> std::string {
             if (v.empty())
                 return "--station wants a name";
             r.o.station = v;
             return {};
         }},
        {"count", true, kOptCount,
         [](Reading& r, const std::string& v) -> std::string {
             if (!IsDigits(v) || v.size() > 9 || std::stoll(v) < 1)
                 return "--count wants a number of printers from 1 on, not '" + v + "'";
             r.o.count = std::stoll(v);
             return {};
         }},
        {"create-record", false, kOptCreateRecord,
         [](Reading& r, const std::string&) { r.o.createRecord = true; return std::string(); }},
        {"rename-back", false, kOptRenameBack,
         [](Reading& r, const std::string&) { r.o.renameBack = true; return std::string(); }},
        {"radio-check", false, kOptRadioCheck,
         [](Reading& r, const std::string&) { r.o.radioCheck = true; return std::string(); }},
        {"radio-timeout", true, kOptRadioTimeout,
         [](Reading& r, const std::string& v) -> std::string {
             if (!IsDigits(v) || v.size() > 6 || std::stoi(v) < 100 || std::stoi(v) > 600000)
                 return "--radio-timeout wants milliseconds from 100 to 600000, not '" + v + "'";
             r.o.radioTimeoutMs = std::stoi(v);
             return {};
         }},
        {"since", true, kOptSince,
         [](Reading& r, const std::string& v) -> std::string {
             const std::optional<std::string> t = record::SinceText(v);
             if (!t)
                 return "unknown time '" + v + "' (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS], UTC)";
             r.o.since = *t;
             return {};
         }},
        {"csv", false, kOptCsv, [](Reading& r, const std::string&) { r.o.csv = true; return std::string(); }},
        {"address", true, kOptAddress,
         [](Reading& r, const std::string& v) -> std::string {
             const std::optional<std::string> address = radio::ParseAddress(v);
             if (!address)
                 return "--address wants a Bluetooth address as 0012F3A1B2C3 or 00:12:F3:A1:B2:C3, not '" + v + "'";
             r.o.radioAddress = *address;
             return {};
         }},
    };
    return table;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args)
{
    Reading r;
    std::vector<app::OptionDef> options;
    for (const OptionEntry& e : OptionTable())
        options.push_back({e.name, e.takesValue, [&r, &e](const std::string& given, const std::string& value) {
                               std::string error = e.take(r, value);
                               if (error.empty() && e.commandBit != 0)
                                   r.commandOptions.emplace_back(e.commandBit, given);
                               return error;
                           }});
    const app::CommandLine line = app::ParseCommandLine(options, args);
    if (!line.ok)
        return Bad(line.error);
    Options& o = r.o;
    if (line.help || line.version) {
        o.command = line.help ? Command::Help : Command::Version;
        ParseResult done{true, o, {}};
        done.help = line.help;
        done.version = line.version;
        return done;
    }

    if (r.usb && r.simulate)
        return Bad("--usb and --simulate exclude each other");
    if (r.usb && (r.portGiven || r.lineGiven))
        return Bad("--usb does not take --port or line settings");
    if (r.simulate && r.portGiven)
        return Bad("--simulate does not take --port");
    o.transport = r.usb ? Transport::Usb : r.simulate ? Transport::Simulate : Transport::Serial;
    if (o.transport == Transport::Serial && o.portPath.empty())
        o.portPath = PortPath(o.port);
    if (o.transport == Transport::Serial && o.portPath.empty())
        return Bad("no path for the default port " + o.port);

    const std::vector<std::string>& positionals = line.arguments;
    if (positionals.empty())
        return Bad("no command given");
    const auto entry = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const CommandEntry& c) { return positionals[0] == c.name; });
    if (entry == std::end(kCommands)) {
        std::vector<std::string> names;
        for (const CommandEntry& c : kCommands)
            names.emplace_back(c.name);
        const std::optional<std::string> near = NearestWord(positionals[0], names);
        return Bad("unknown command '" + positionals[0] + "'" + (near ? "; did you mean '" + *near + "'?" : ""));
    }
    o.command = entry->command;
    const std::size_t wanted = entry->takesArgument ? 1 : 0;
    if (positionals.size() - 1 < wanted)
        return Bad(positionals[0] + " needs an argument");
    if (positionals.size() - 1 > wanted)
        return Bad("unexpected argument '" + positionals[wanted + 1] + "'");
    for (const auto& [bit, name] : r.commandOptions) {
        if ((bit & entry->options) == 0)
            return Bad("option " + name + " does not belong to " + entry->name);
    }
    if (entry->take) {
        if (const std::string error = entry->take(positionals[1], o); !error.empty())
            return Bad(error);
    }
    if (o.suffix && !proto::SuffixFits(o.text.size(), o.suffix->size()))
        return Bad("name and suffix together must stay below " + std::to_string(proto::NAME_WITH_SUFFIX_LIMIT) +
                   " bytes");
    if (entry->finish) {
        if (const std::string error = entry->finish(o); !error.empty())
            return Bad(error);
    }
    return {true, o, {}};
}

}  // namespace vendrill::cli
