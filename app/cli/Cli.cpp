#include "app/cli/Cli.h"

#include "app/cli/Interrupt.h"
#include "base/Suggest.h"
#include "base/TextCodec.h"
#include "link/OpenError.h"
#include "app/cli/RadioCheck.h"
#include "app/cli/Station.h"
#include "record/Record.h"
#include "link/PortName.h"
#include "protocol/Conversation.h"
#include "protocol/Protocol.h"
#include "sim/SimHost.h"
#include "vendrill/Version.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <getopt.h>

namespace vendrill::cli {

const ExitCodeText kExitCodes[8] = {
    {kExitOk, "success"},
    {kExitFailure, "failure of this program itself (results not written, simulator not started)"},
    {kExitBadArgument, "bad argument"},
    {kExitNoDevice, "no device: the port or USB printer cannot be opened, or the link was lost; no Bluetooth "
                    "(radio-check, station --radio-check at its start)"},
    {kExitTimeout, "time-out: the module did not answer within the reply time-out"},
    {kExitModuleError, "module error: the module answered with an error ('9')"},
    {kExitRecord, "record: the record database cannot be opened or read"},
    {kExitNotNamed, "station --count: not every printer of the run was named (or passed its radio check)"},
};

int ExitCodeFor(Status status)
{
    switch (status) {
    case Status::Ok: return kExitOk;
    case Status::NoDevice: return kExitNoDevice;
    case Status::Timeout: return kExitTimeout;
    case Status::ModuleError: return kExitModuleError;
    case Status::Failure: return kExitFailure;
    case Status::Interrupted: return InterruptSignal() > 0 ? 128 + InterruptSignal() : kExitFailure;
    }
    return kExitFailure;
}

std::string VersionText()
{
    return std::string("vendrill-cli ") + VENDRILL_VERSION + "\n";
}

std::string UsageText(int replyTimeoutMs)
{
    return "Usage: vendrill-cli [OPTIONS] COMMAND [ARGUMENT]\n"
           "Reads and changes the settings of the printer's Bluetooth module.\n"
           "\n"
           "Commands:\n"
           "  info                      read address, PIN key, name and security level\n"
           "                            (with --new-module: pairing mode, and the level\n"
           "                            under legacy pairing)\n"
           "  set-pin KEY               set the PIN key (1 to 16 characters), then read back\n"
           "  set-name NAME [--suffix DIGITS] [--print]\n"
           "                            set the device name (1 to 29 characters), then read\n"
           "                            back; PIN keys and names take ASCII letters,\n"
           "                            digits, space, '_', '-' and '~';\n"
           "                            --suffix appends DIGITS to the name and prints the\n"
           "                            next suffix as next_suffix (name and suffix together\n"
           "                            below 60 bytes); --print has the printer print the\n"
           "                            name first\n"
           "  set-level LEVEL           1 or not-use-pinkey, 3 or use-pinkey\n"
           "  set-pairing MODE          1 or legacy, 2 or just-works, 3 or numeric-comparison\n"
           "  sniff status|enable|disable\n"
           "                            enable and disable are sent without waiting for\n"
           "                            an answer\n" +
           RadioCheckUsage() + LineCommandsUsage() +
           "\n"
           "Link (a serial port unless --usb or --simulate):\n"
           "  --port COMn|/dev/PATH     serial port, default COM1; COMn is the path that the\n"
           "                            variable VENDRILL_COMn or the line COMn=PATH in\n"
           "                            ~/.config/vendrill/ports names, else /dev/ttyS<n-1>\n"
           "  --baud RATE               9600, 19200, 38400, 57600 (default) or 115200\n"
           "  --data-bits 7|8           default 8\n"
           "  --parity none|odd|even    default none\n"
           "  --stop-bits 1|2           default 1\n"
           "  --usb                     the first USB printer of an accepted vendor\n"
           "  --usb-device NODE|SERIAL|LOCATION\n"
           "                            the USB printer with this node (/dev/usb/lp1), USB\n"
           "                            serial number or USB location (2-1.4, as 'ports'\n"
           "                            shows it)\n"
           "  --simulate                a simulated module on a pseudo-terminal\n"
           "  --timeout MS              how long a request waits for its reply (default 2000)\n"
           "\n"
           "Other options:\n"
           "  --new-module              newer module generation: read the pairing mode\n"
           "  --old-module              older module generation (the default): read the\n"
           "                            security level directly\n"
           "  --json                    print the result as one JSON object\n"
           "  --trace                   write developer trace lines to standard error\n"
           "  -h, --help                show this text\n"
           "  -V, --version             show the version\n"
           "  --                        end of options (for a name that starts with '-')\n"
           "\n"
           "Results go to standard output as 'key: value' lines (or JSON with --json)\n"
           "in the terminal's character set. When a step fails, what was read before it\n"
           "is still shown (JSON adds an \"error\" field) and the exit status tells what\n"
           "went wrong. Errors go to standard error.\n"
           "\n"
           "Exit status:\n" +
           [replyTimeoutMs] {
               std::string lines;
               for (const ExitCodeText& e : kExitCodes) {
                   // The time-out in force, --timeout's or the default.
                   const std::string meaning =
                       e.code == kExitTimeout
                           ? "time-out: the module did not answer within " + std::to_string(replyTimeoutMs) + " ms"
                           : e.meaning;
                   lines += "  " + std::to_string(e.code) + "  " + meaning + "\n";
               }
               return lines + "  128+N  stopped by signal N (SIGINT, SIGTERM or SIGHUP); the port was closed first\n";
           }();
}

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
    if (o.stationPin) {
        if (const std::optional<proto::TextFault> fault = proto::CheckText(*o.stationPin, proto::TextKind::PinKey))
            return fault->Describe("PIN key");
    }
    if (o.link == LinkChoice::Simulate)
        return "station needs a line of printers; run vendrill-sim --line and give its --port";
    if (o.radioTimeoutMs > 0 && !o.radioCheck)
        return "--radio-timeout goes with --radio-check";
    return {};
}

std::string FinishRadioCheck(Options& o)
{
    if (o.radioAddress.empty())
        return "radio-check needs --address BDA";
    if (o.stationPin) {
        if (const std::optional<proto::TextFault> fault = proto::CheckText(*o.stationPin, proto::TextKind::PinKey))
            return fault->Describe("PIN key");
    }
    return {};
}

std::string FinishRecords(Options& o)
{
    if (o.json && o.csv)
        return "--json and --csv exclude each other";
    return {};
}

const CommandEntry kCommands[] = {
    {"info", Command::Info, false, 0, nullptr, nullptr},
    {"set-pin", Command::SetPin, true, 0,
     [](const std::string& v, Options& o) { return TakeText(v, o, proto::TextKind::PinKey, "PIN key"); }, nullptr},
    {"set-name", Command::SetName, true, kOptSuffix | kOptPrint,
     [](const std::string& v, Options& o) { return TakeText(v, o, proto::TextKind::Name, "name"); }, nullptr},
    {"set-level", Command::SetLevel, true, 0,
     [](const std::string& v, Options& o) -> std::string {
         const std::optional<char> s = LevelByName(v);
         if (!s)
             return "unknown security level '" + v + "' (1, 3, not-use-pinkey or use-pinkey)";
         o.selection = *s;
         return {};
     },
     nullptr},
    {"set-pairing", Command::SetPairing, true, 0,
     [](const std::string& v, Options& o) -> std::string {
         const std::optional<char> s = PairingByName(v);
         if (!s)
             return "unknown pairing mode '" + v + "' (1, 2, 3, legacy, just-works or numeric-comparison)";
         o.selection = *s;
         return {};
     },
     nullptr},
    {"sniff", Command::Sniff, true, 0,
     [](const std::string& v, Options& o) -> std::string {
         const std::optional<char> s = SniffByName(v);
         if (!s)
             return "unknown sniff action '" + v + "' (status, enable or disable)";
         o.selection = *s;
         return {};
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

// getopt_long's codes for options without a short form.
enum LongOption : int {
    kPort = 256, kBaud, kDataBits, kParity, kStopBits, kUsb, kUsbDevice, kSimulate, kOldModule, kNewModule,
    kJson, kTrace, kPrint, kSuffix, kName, kFirstSuffix, kPin, kLevel, kDb, kStation, kCount, kSince, kCsv,
    kTimeout, kVid, kPid, kAddress, kCreateRecord, kRenameBack, kRadioCheck, kRadioTimeout,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"port", required_argument, nullptr, kPort},
    {"baud", required_argument, nullptr, kBaud},
    {"timeout", required_argument, nullptr, kTimeout},
    {"vid", required_argument, nullptr, kVid},
    {"pid", required_argument, nullptr, kPid},
    {"data-bits", required_argument, nullptr, kDataBits},
    {"parity", required_argument, nullptr, kParity},
    {"stop-bits", required_argument, nullptr, kStopBits},
    {"usb", no_argument, nullptr, kUsb},
    {"usb-device", required_argument, nullptr, kUsbDevice},
    {"simulate", no_argument, nullptr, kSimulate},
    {"old-module", no_argument, nullptr, kOldModule},
    {"new-module", no_argument, nullptr, kNewModule},
    {"json", no_argument, nullptr, kJson},
    {"trace", no_argument, nullptr, kTrace},
    {"print", no_argument, nullptr, kPrint},
    {"suffix", required_argument, nullptr, kSuffix},
    {"name", required_argument, nullptr, kName},
    {"first-suffix", required_argument, nullptr, kFirstSuffix},
    {"pin", required_argument, nullptr, kPin},
    {"level", required_argument, nullptr, kLevel},
    {"db", required_argument, nullptr, kDb},
    {"station", required_argument, nullptr, kStation},
    {"count", required_argument, nullptr, kCount},
    {"create-record", no_argument, nullptr, kCreateRecord},
    {"rename-back", no_argument, nullptr, kRenameBack},
    {"since", required_argument, nullptr, kSince},
    {"csv", no_argument, nullptr, kCsv},
    {"address", required_argument, nullptr, kAddress},
    {"radio-check", no_argument, nullptr, kRadioCheck},
    {"radio-timeout", required_argument, nullptr, kRadioTimeout},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, for messages.
std::string OptionName(const char* arg)
{
    std::string name = arg ? arg : "";
    const std::size_t eq = name.find('=');
    return eq == std::string::npos ? name : name.substr(0, eq);
}

std::string DidYouMean(const std::optional<std::string>& word)
{
    return word ? "; did you mean '" + *word + "'?" : std::string();
}

// Why an option was not taken, with what was probably meant: given is the
// long option as written (before any '='), shortOption getopt's character
// for a short one that is unknown (0 for a long one), args the command line.
std::string UnknownOption(const std::string& given, int shortOption, const std::vector<std::string>& args)
{
    std::vector<std::string> names;
    for (const option* o = kLongOptions; o->name; ++o)
        names.push_back(std::string("--") + o->name);
    if (shortOption > 0 && shortOption < 256) {
        const char c = static_cast<char>(shortOption);
        // A long option written with one dash (-port) is taken apart into
        // short ones; the word as written is what to answer.
        for (const std::string& a : args) {
            if (a == "--")
                break;
            if (a.size() > 2 && a[0] == '-' && a[1] == c) {
                const std::string word = a.substr(0, a.find('='));
                if (const std::optional<std::string> near = NearestWord("-" + word, names))
                    return "unknown option '" + word + "'" + DidYouMean(near);
            }
        }
        std::string text = std::string("unknown option '-") + c + "'";
        for (const auto& [letter, name] : {std::pair{'h', "--help"}, std::pair{'V', "--version"}})
            if (c != letter && std::tolower(static_cast<unsigned char>(c)) == std::tolower(letter))
                text += std::string("; did you mean '-") + letter + "' (" + name + ")?";
        return text;
    }
    std::vector<std::string> prefixed;
    for (const std::string& name : names)
        if (given.size() > 2 && name.rfind(given, 0) == 0)
            prefixed.push_back(name);
    if (prefixed.size() > 1) {
        std::string text = "option '" + given + "' is ambiguous: ";
        for (std::size_t k = 0; k < prefixed.size(); ++k)
            text += (k ? ", " : "") + prefixed[k];
        return text;
    }
    return "unknown option '" + given + "'" + DidYouMean(NearestWord(given, names));
}

bool TakesNoValue(const std::string& name)
{
    for (const option* o = kLongOptions; o->name; ++o)
        if (name == std::string("--") + o->name)
            return o->has_arg == no_argument;
    return false;
}

// One option's value into o; an error text, empty when fine.
std::string TakeLineOption(int code, const std::string& value, Options& o)
{
    switch (code) {
    case kPort:
        o.port = value;
        o.portPath = PortPath(value);
        if (o.portPath.empty())
            return "unknown port '" + value + "' (give COMn, n from 1 to 255, or a /dev path)";
        return {};
    case kBaud: {
        static const char* const kRates[] = {"9600", "19200", "38400", "57600", "115200"};
        if (std::find(std::begin(kRates), std::end(kRates), value) == std::end(kRates))
            return "unsupported baud rate '" + value + "' (9600, 19200, 38400, 57600 or 115200)";
        o.line.baudRate = static_cast<std::uint32_t>(std::stoul(value));
        return {};
    }
    case kDataBits:
        if (value != "7" && value != "8")
            return "unsupported data bits '" + value + "' (7 or 8)";
        o.line.dataBits = static_cast<std::uint8_t>(value[0] - '0');
        return {};
    case kParity:
        if (value == "none") o.line.parity = CSerialPort::Parity::None;
        else if (value == "odd") o.line.parity = CSerialPort::Parity::Odd;
        else if (value == "even") o.line.parity = CSerialPort::Parity::Even;
        else return "unsupported parity '" + value + "' (none, odd or even)";
        return {};
    case kStopBits:
        if (value == "1") o.line.stopBits = CSerialPort::StopBits::One;
        else if (value == "2") o.line.stopBits = CSerialPort::StopBits::Two;
        else return "unsupported stop bits '" + value + "' (1 or 2)";
        return {};
    default:
        return {};
    }
}

// A value of an option that only some commands take; sets *bit to the
// option's CommandOption. An error text, empty when fine.
std::string TakeCommandOption(int code, const std::string& value, Options& o, unsigned* bit)
{
    switch (code) {
    case kPrint:
        *bit = kOptPrint;
        o.print = true;
        return {};
    case kSuffix:
        *bit = kOptSuffix;
        if (!IsDigits(value))
            return "the suffix must be one or more digits, not '" + value + "'";
        o.suffix = value;
        return {};
    case kName:
        *bit = kOptName;
        if (value.empty())
            return "--name wants a name";
        o.prefix = value;
        return {};
    case kFirstSuffix:
        *bit = kOptFirstSuffix;
        if (!IsDigits(value))
            return "--first-suffix wants digits, not '" + value + "'";
        o.firstSuffix = value;
        return {};
    case kPin:
        *bit = kOptPin;
        o.stationPin = value;
        return {};
    case kLevel: {
        *bit = kOptLevel;
        const std::optional<char> s = LevelByName(value);
        if (!s)
            return "unknown security level '" + value + "' (1, 3, not-use-pinkey or use-pinkey)";
        o.stationLevel = *s;
        return {};
    }
    case kDb:
        *bit = kOptDb;
        if (value.empty())
            return "--db wants a URL (sqlite:PATH or postgresql://...)";
        o.db = value;
        return {};
    case kStation:
        *bit = kOptStation;
        if (value.empty())
            return "--station wants a name";
        o.station = value;
        return {};
    case kCount:
        *bit = kOptCount;
        if (!IsDigits(value) || value.size() > 9 || std::stoll(value) < 1)
            return "--count wants a number of printers from 1 on, not '" + value + "'";
        o.count = std::stoll(value);
        return {};
    case kSince: {
        *bit = kOptSince;
        const std::optional<std::string> t = record::SinceText(value);
        if (!t)
            return "unknown time '" + value + "' (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS], UTC)";
        o.since = *t;
        return {};
    }
    case kCsv:
        *bit = kOptCsv;
        o.csv = true;
        return {};
    case kAddress: {
        *bit = kOptAddress;
        const std::optional<std::string> address = radio::ParseAddress(value);
        if (!address)
            return "--address wants a Bluetooth address as 0012F3A1B2C3 or 00:12:F3:A1:B2:C3, not '" + value + "'";
        o.radioAddress = *address;
        return {};
    }
    case kRadioCheck:
        *bit = kOptRadioCheck;
        o.radioCheck = true;
        return {};
    case kRadioTimeout:
        *bit = kOptRadioTimeout;
        if (!IsDigits(value) || value.size() > 6 || std::stoi(value) < 100 || std::stoi(value) > 600000)
            return "--radio-timeout wants milliseconds from 100 to 600000, not '" + value + "'";
        o.radioTimeoutMs = std::stoi(value);
        return {};
    case kCreateRecord:
        *bit = kOptCreateRecord;
        o.createRecord = true;
        return {};
    case kRenameBack:
        *bit = kOptRenameBack;
        o.renameBack = true;
        return {};
    case kVid:
    case kPid: {
        *bit = code == kVid ? kOptVid : kOptPid;
        std::string id = value;
        const bool hex = id.size() == 4 && std::all_of(id.begin(), id.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        });
        if (!hex)
            return std::string(code == kVid ? "--vid" : "--pid") + " wants four hexadecimal digits, not '" + value + "'";
        for (char& c : id)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        (code == kVid ? o.vid : o.pid) = id;
        return {};
    }
    default:
        return {};
    }
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args)
{
    // getopt_long works on a mutable argv; it reorders the pointers only.
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("vendrill-cli");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    Options o;
    bool help = false, version = false;
    bool portGiven = false, lineGiven = false, usb = false, simulate = false;
    std::vector<std::pair<unsigned, std::string>> commandOptionNames;  // as given, for messages

    ::opterr = 0;
    ::optind = 0;  // a fresh scan, also when called more than once
    for (;;) {
        const int code = ::getopt_long(argc, argv.data(), ":hV", kLongOptions, nullptr);
        if (code == -1)
            break;
        const std::string given = OptionName(argv[static_cast<std::size_t>(::optind) - 1]);
        switch (code) {
        case 'h': help = true; break;
        case 'V': version = true; break;
        case kUsb: usb = true; break;
        case kUsbDevice:
            if (*::optarg == '\0')
                return Bad("--usb-device wants a node path, a USB serial number or a USB location");
            o.usbDevice = ::optarg;
            usb = true;
            break;
        case kSimulate: simulate = true; break;
        case kOldModule: o.newModule = false; break;
        case kNewModule: o.newModule = true; break;
        case kJson: o.json = true; break;
        case kTrace: o.trace = true; break;
        case kTimeout:
            if (!IsDigits(::optarg) || std::strlen(::optarg) > 6 || std::atoi(::optarg) < 100 ||
                std::atoi(::optarg) > 600000)
                return Bad(std::string("--timeout wants milliseconds from 100 to 600000, not '") + ::optarg + "'");
            o.replyTimeoutMs = std::atoi(::optarg);
            o.timeoutGiven = true;
            break;
        case kPort: case kBaud: case kDataBits: case kParity: case kStopBits: {
            if (const std::string error = TakeLineOption(code, ::optarg, o); !error.empty())
                return Bad(error);
            (code == kPort ? portGiven : lineGiven) = true;
            break;
        }
        case kPrint: case kSuffix: case kName: case kFirstSuffix: case kPin: case kLevel: case kDb:
        case kStation: case kCount: case kSince: case kCsv: case kVid: case kPid: case kAddress: case kCreateRecord:
        case kRenameBack: case kRadioCheck: case kRadioTimeout: {
            unsigned bit = 0;
            if (const std::string error = TakeCommandOption(code, ::optarg ? ::optarg : "", o, &bit); !error.empty())
                return Bad(error);
            commandOptionNames.emplace_back(bit, given);
            break;
        }
        case ':':
            return Bad("option " + given + " needs a value");
        default:
            // An unknown short option inside a cluster (-xy) leaves optind on
            // the word before; given names that one then, not the culprit.
            if ((::optopt <= 0 || ::optopt >= 256) && TakesNoValue(given))
                return Bad("option " + given + " takes no value");
            return Bad(UnknownOption(given, ::optopt, args));
        }
    }
    // getopt_long has moved the arguments that are not options to the end.
    const std::vector<std::string> positionals(argv.begin() + ::optind, argv.end() - 1);

    if (help) {
        o.command = Command::Help;
        return {true, o, {}};
    }
    if (version) {
        o.command = Command::Version;
        return {true, o, {}};
    }

    if (usb && simulate)
        return Bad("--usb and --simulate exclude each other");
    if (usb && (portGiven || lineGiven))
        return Bad("--usb does not take --port or line settings");
    if (simulate && portGiven)
        return Bad("--simulate does not take --port");
    o.link = usb ? LinkChoice::Usb : simulate ? LinkChoice::Simulate : LinkChoice::Serial;
    if (o.link == LinkChoice::Serial && o.portPath.empty())
        o.portPath = PortPath(o.port);
    if (o.link == LinkChoice::Serial && o.portPath.empty())
        return Bad("no path for the default port " + o.port);

    if (positionals.empty())
        return Bad("no command given");
    const auto entry = std::find_if(std::begin(kCommands), std::end(kCommands),
                                 [&](const CommandEntry& c) { return positionals[0] == c.name; });
    if (entry == std::end(kCommands)) {
        std::vector<std::string> names;
        for (const CommandEntry& c : kCommands)
            names.emplace_back(c.name);
        return Bad("unknown command '" + positionals[0] + "'" + DidYouMean(NearestWord(positionals[0], names)));
    }
    o.command = entry->command;
    const std::size_t wanted = entry->takesArgument ? 1 : 0;
    if (positionals.size() - 1 < wanted)
        return Bad(positionals[0] + " needs an argument");
    if (positionals.size() - 1 > wanted)
        return Bad("unexpected argument '" + positionals[wanted + 1] + "'");
    for (const auto& [bit, name] : commandOptionNames) {
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

// ---- commands ----------------------------------------------------------------

namespace {

RunResult Failed(const StepResult& step)
{
    RunResult r;
    r.exitCode = ExitCodeFor(step.status);
    r.error = step.message;
    if (step.status == Status::Timeout && step.request == proto::CMD_GET_PAIRING)
        r.error += " (older modules do not answer it: leave out --new-module)";
    return r;
}

// What a read-back chain came to; what it read is kept also when a step fails.
RunResult Shown(const StepResult& step, const ModuleInfo& info)
{
    RunResult r = step.status == Status::Ok ? RunResult{} : Failed(step);
    if (info.address) r.fields.emplace_back("address", *info.address);
    if (info.pin) r.fields.emplace_back("pin", *info.pin);
    if (info.name) r.fields.emplace_back("name", *info.name);
    if (info.pairing) r.fields.emplace_back("pairing", *info.pairing);
    if (info.level) r.fields.emplace_back("level", *info.level);
    if (info.pairingNumber) r.numbers.emplace_back("pairing", *info.pairingNumber);
    if (info.levelNumber) r.numbers.emplace_back("level", *info.levelNumber);
    return r;
}

// A request whose reply drives the read-back chain: Get BDA for info, a
// Set's acknowledgement otherwise.
RunResult ReadBack(CModuleSession& session, const Options& o,
                   const proto::Bytes& frame = proto::GetRequest(proto::CMD_GET_BDA))
{
    ModuleInfo info;
    const StepResult step = session.RequestAndReadBack(frame, o.newModule, &info);
    return Shown(step, info);
}

RunResult BadValue(const std::string& message)
{
    RunResult r;
    r.exitCode = kExitBadArgument;
    r.error = message;
    return r;
}

}  // namespace

RunResult RunOnSession(CModuleSession& session, const Options& o)
{
    switch (o.command) {
    case Command::Info:
        return ReadBack(session, o);
    case Command::SetPin: {
        const std::optional<proto::Bytes> frame = proto::TextRequest(proto::CMD_SET_PINKEY, o.text);
        if (!frame)
            return BadValue("the PIN key cannot be sent");
        return ReadBack(session, o, *frame);
    }
    case Command::SetName: {
        // Name, suffix and label go as the window's Set BDN sends them.
        ModuleInfo info;
        std::string next;
        const StepResult step = session.SetName(o.text, o.suffix.value_or(""), o.print, o.newModule, &info, &next);
        RunResult r = Shown(step, info);
        // The next suffix is only handed on when this printer took the name,
        // so that a failed run can be repeated with the same suffix.
        if (r.exitCode == kExitOk && !next.empty())
            r.fields.emplace_back("next_suffix", next);
        return r;
    }
    case Command::SetLevel:
        return ReadBack(session, o, proto::SelectRequest(proto::CMD_SET_LEVEL, o.selection));
    case Command::SetPairing:
        return ReadBack(session, o, proto::SelectRequest(proto::CMD_SET_PAIRING, o.selection));
    case Command::Sniff: {
        RunResult r;
        if (o.selection != proto::CMD_GET_SNIFF) {
            // The module's answer to a sniff change means nothing to anyone:
            // the request is sent, not waited for.
            const StepResult sent = session.Send(proto::SelectRequest(proto::CMD_SET_SNIFF, o.selection));
            if (sent.status != Status::Ok)
                return Failed(sent);
            r.fields.emplace_back("sniff_request", o.selection == '1' ? "enable" : "disable");
            return r;
        }
        std::string data;
        const StepResult step = session.Request(proto::GetRequest(proto::CMD_GET_SNIFF), proto::CMD_GET_SNIFF, &data);
        if (step.status != Status::Ok)
            return Failed(step);
        const std::optional<std::string> text = proto::SniffText(data);
        r.fields.emplace_back("sniff", text ? *text : data);
        return r;
    }
    case Command::None:
    case Command::Help:
    case Command::Version:
    case Command::Station:
    case Command::Records:
    case Command::Ports:
    case Command::RadioCheck:
        break;  // not a command on one open session
    }
    return BadValue("no command given");
}

RunResult Run(const Options& o)
{
    if (o.command == Command::Help || o.command == Command::Version || o.command == Command::None)
        return BadValue("no command given");  // main answers --help and --version itself

    // The simulated module must outlive the session that talks to it.
    CSimHost sim;
    CModuleSession session;
    session.SetReplyTimeout(o.replyTimeoutMs);
    StepResult opened;
    switch (o.link) {
    case LinkChoice::Simulate:
        if (!sim.Start()) {
            RunResult r;
            r.exitCode = kExitFailure;
            r.error = "cannot start the simulated module";
            return r;
        }
        opened = session.OpenSerial(sim.SlavePath(), o.line);
        break;
    case LinkChoice::Serial:
        opened = session.OpenSerial(o.portPath, o.line);
        break;
    case LinkChoice::Usb:
        opened = session.OpenUsb(o.usbDevice);
        break;
    }
    // Every error names the link it happened on.
    const std::string link = o.link == LinkChoice::Simulate ? sim.SlavePath() + " (the simulated module)" : LinkText(o);
    const auto onLink = [&link](RunResult r) {
        if (r.exitCode != kExitOk && !link.empty() && r.error.find(link) == std::string::npos)
            r.error += " on " + link;
        return r;
    };
    if (opened.status != Status::Ok)
        return onLink(Failed(opened));
    RunResult r = RunOnSession(session, o);
    if (r.exitCode == kExitNoDevice && o.link == LinkChoice::Serial)
        r.error = LinkLostError(o.portPath, r.error);
    session.Close();
    sim.Stop();
    return onLink(std::move(r));
}

std::string LinkText(const Options& o)
{
    // The first accepted USB printer is named by the messages that find it.
    if (o.link == LinkChoice::Usb)
        return o.usbDevice.empty() ? std::string() : "the USB printer " + o.usbDevice;
    const bool comName = o.port.rfind("COM", 0) == 0;
    return o.portPath + " (" + (comName ? o.port + ", " : std::string()) + std::to_string(o.line.baudRate) + " baud)";
}

}  // namespace vendrill::cli
