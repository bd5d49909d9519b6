#include "app/cli/Cli.h"

#include "app/cli/Interrupt.h"
#include "app/cli/Station.h"

#include "link/PortName.h"
#include "protocol/Protocol.h"
#include "sim/SimHost.h"

#include <algorithm>
#include <cstdio>

#ifndef VENDRILL_VERSION
#error "VENDRILL_VERSION must be defined by the build"
#endif

namespace vendrill::cli {

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

std::string UsageText()
{
    return "Usage: vendrill-cli [OPTIONS] COMMAND [ARGUMENT]\n"
           "Reads and changes the settings of the printer's Bluetooth module.\n"
           "\n"
           "Commands:\n"
           "  info                      read address, PIN key, name and pairing mode or\n"
           "                            security level\n"
           "  set-pin KEY               set the PIN key (1 to 16 bytes), then read back\n"
           "  set-name NAME [--suffix DIGITS] [--print]\n"
           "                            set the device name (1 to 29 bytes), then read back;\n"
           "                            --suffix appends DIGITS to the name and prints the\n"
           "                            next suffix as next_suffix (name and suffix together\n"
           "                            below 60 bytes); --print has the printer print the\n"
           "                            name first\n"
           "  set-level LEVEL           1 or not-use-pinkey, 3 or use-pinkey\n"
           "  set-pairing MODE          1 or legacy, 2 or just-works, 3 or numeric-comparison\n"
           "  sniff status|enable|disable\n" +
           LineCommandsUsage() +
           "\n"
           "Link (a serial port unless --usb or --simulate):\n"
           "  --port COMn|/dev/PATH     serial port, default COM1; COMn is /dev/ttyS<n-1>\n"
           "                            unless the variable VENDRILL_COMn names another path\n"
           "  --baud RATE               9600, 19200, 38400, 57600 (default) or 115200\n"
           "  --data-bits 7|8           default 8\n"
           "  --parity none|odd|even    default none\n"
           "  --stop-bits 1|2           default 1\n"
           "  --usb                     the first USB printer of an accepted vendor\n"
           "  --usb-device NODE|SERIAL  the USB printer with this node (/dev/usb/lp1) or\n"
           "                            USB serial number\n"
           "  --simulate                a simulated module on a pseudo-terminal\n"
           "\n"
           "Other options:\n"
           "  --old-module              older module generation: read the security level\n"
           "                            directly instead of the pairing mode\n"
           "  --json                    print the result as one JSON object\n"
           "  --trace                   write developer trace lines to standard error\n"
           "  -h, --help                show this text\n"
           "  -V, --version             show the version\n"
           "  --                        end of options (for a name that starts with '-')\n"
           "\n"
           "Results go to standard output as 'key: value' lines (or JSON with --json),\n"
           "and only on success. Errors go to standard error.\n"
           "\n"
           "Exit status:\n"
           "  0  success\n"
           "  1  internal failure (for example the simulator could not start)\n"
           "  2  bad argument\n"
           "  3  no device: the port or USB printer cannot be opened, or the link was lost\n"
           "  4  time-out: the module did not answer within 2000 ms\n"
           "  5  module error: the module answered with an error ('9')\n"
           "  6  record: the record database cannot be opened, reached or written\n";
}

namespace {

bool IsDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<Command> CommandByName(std::string_view name)
{
    if (name == "info") return Command::Info;
    if (name == "set-pin") return Command::SetPin;
    if (name == "set-name") return Command::SetName;
    if (name == "set-level") return Command::SetLevel;
    if (name == "set-pairing") return Command::SetPairing;
    if (name == "sniff") return Command::Sniff;
    return std::nullopt;
}

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

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args)
{
    Options o;
    std::vector<std::string> positionals;
    bool endOfOptions = false;
    bool help = false, version = false;
    bool portGiven = false, lineGiven = false, usb = false, simulate = false;
    bool suffixGiven = false;

    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
            positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
            }
        }

        // Options without a value.
        bool* flag = nullptr;
        if (name == "-h" || name == "--help") flag = &help;
        else if (name == "-V" || name == "--version") flag = &version;
        else if (name == "--usb") flag = &usb;
        else if (name == "--simulate") flag = &simulate;
        else if (name == "--old-module") flag = &o.oldModule;
        else if (name == "--json") flag = &o.json;
        else if (name == "--trace") flag = &o.trace;
        else if (name == "--print") flag = &o.print;
        if (flag) {
            if (inlineValue)
                return Bad("option " + name + " takes no value");
            *flag = true;
            continue;
        }

        static const char* const kValued[] = {"--port",      "--baud",   "--data-bits", "--parity",
                                              "--stop-bits", "--suffix", "--usb-device"};
        if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued))
            return Bad("unknown option '" + arg + "'");
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else {
            if (k + 1 >= args.size())
                return Bad("option " + name + " needs a value");
            value = args[++k];
        }

        if (name == "--port") {
            o.port = value;
            o.portPath = PortPath(value);
            if (o.portPath.empty())
                return Bad("unknown port '" + value + "' (give COMn, n from 1 to 255, or a /dev path)");
            portGiven = true;
        } else if (name == "--baud") {
            static const char* const kRates[] = {"9600", "19200", "38400", "57600", "115200"};
            if (std::find(std::begin(kRates), std::end(kRates), value) == std::end(kRates))
                return Bad("unsupported baud rate '" + value + "' (9600, 19200, 38400, 57600 or 115200)");
            o.line.baudRate = static_cast<std::uint32_t>(std::stoul(value));
            lineGiven = true;
        } else if (name == "--data-bits") {
            if (value != "7" && value != "8")
                return Bad("unsupported data bits '" + value + "' (7 or 8)");
            o.line.dataBits = static_cast<std::uint8_t>(value[0] - '0');
            lineGiven = true;
        } else if (name == "--parity") {
            if (value == "none") o.line.parity = 0;
            else if (value == "odd") o.line.parity = 1;
            else if (value == "even") o.line.parity = 2;
            else return Bad("unsupported parity '" + value + "' (none, odd or even)");
            lineGiven = true;
        } else if (name == "--stop-bits") {
            if (value == "1") o.line.stopBits = 0;
            else if (value == "2") o.line.stopBits = 2;
            else return Bad("unsupported stop bits '" + value + "' (1 or 2)");
            lineGiven = true;
        } else if (name == "--usb-device") {
            if (value.empty())
                return Bad("--usb-device wants a node path or a serial number");
            o.usbDevice = value;
            usb = true;
        } else if (name == "--suffix") {
            if (!IsDigits(value))
                return Bad("the suffix must be one or more digits, not '" + value + "'");
            o.suffix = value;
            suffixGiven = true;
        }
    }

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
    const std::optional<Command> command = CommandByName(positionals[0]);
    if (!command)
        return Bad("unknown command '" + positionals[0] + "'");
    o.command = *command;
    const std::size_t wanted = o.command == Command::Info ? 0 : 1;
    if (positionals.size() - 1 < wanted)
        return Bad(positionals[0] + " needs an argument");
    if (positionals.size() - 1 > wanted)
        return Bad("unexpected argument '" + positionals[wanted + 1] + "'");
    if ((suffixGiven || o.print) && o.command != Command::SetName)
        return Bad("--suffix and --print belong to set-name");
    const std::string value = wanted ? positionals[1] : std::string();

    switch (o.command) {
    case Command::SetPin:
        if (value.empty())
            return Bad("the PIN key is empty");
        if (value.size() > kMaxPinBytes)
            return Bad("the PIN key is longer than " + std::to_string(kMaxPinBytes) + " bytes");
        o.text = value;
        break;
    case Command::SetName:
        if (value.empty())
            return Bad("the name is empty");
        if (value.size() > kMaxNameBytes)
            return Bad("the name is longer than " + std::to_string(kMaxNameBytes) + " bytes");
        if (o.suffix && !proto::SuffixFits(value.size(), o.suffix->size()))
            return Bad("name and suffix together must stay below " +
                       std::to_string(proto::NAME_WITH_SUFFIX_LIMIT) + " bytes");
        o.text = value;
        break;
    case Command::SetLevel: {
        const std::optional<char> s = LevelByName(value);
        if (!s)
            return Bad("unknown security level '" + value + "' (1, 3, not-use-pinkey or use-pinkey)");
        o.selection = *s;
        break;
    }
    case Command::SetPairing: {
        const std::optional<char> s = PairingByName(value);
        if (!s)
            return Bad("unknown pairing mode '" + value + "' (1, 2, 3, legacy, just-works or numeric-comparison)");
        o.selection = *s;
        break;
    }
    case Command::Sniff: {
        const std::optional<char> s = SniffByName(value);
        if (!s)
            return Bad("unknown sniff action '" + value + "' (status, enable or disable)");
        o.selection = *s;
        break;
    }
    default:
        break;
    }
    return {true, o, {}};
}

// ---- output ------------------------------------------------------------------

std::string FormatPlain(const Fields& fields)
{
    std::string out;
    for (const auto& [key, value] : fields) {
        out += key;
        out += ": ";
        for (const char c : value) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x20 || b == 0x7F) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", b);
                out += hex;
            } else {
                out += c;
            }
        }
        out += '\n';
    }
    return out;
}

namespace {

// Length of the valid UTF-8 sequence at s[k], or 0 when there is none.
std::size_t Utf8Length(std::string_view s, std::size_t k)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = at(k);
    std::size_t len;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) len = 2;
    else if (b == 0xE0) { len = 3; low = 0xA0; }
    else if (b >= 0xE1 && b <= 0xEC) len = 3;
    else if (b == 0xED) { len = 3; high = 0x9F; }
    else if (b >= 0xEE && b <= 0xEF) len = 3;
    else if (b == 0xF0) { len = 4; low = 0x90; }
    else if (b >= 0xF1 && b <= 0xF3) len = 4;
    else if (b == 0xF4) { len = 4; high = 0x8F; }
    else return 0;
    if (k + len > s.size())
        return 0;
    if (at(k + 1) < low || at(k + 1) > high)
        return 0;
    for (std::size_t i = 2; i < len; ++i)
        if (at(k + i) < 0x80 || at(k + i) > 0xBF)
            return 0;
    return len;
}

void AppendUtf8(std::string& out, unsigned code)
{
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
}

}  // namespace

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t k = 0; k < text.size();) {
        const auto b = static_cast<unsigned char>(text[k]);
        if (b < 0x80) {
            switch (b) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    char esc[7];
                    std::snprintf(esc, sizeof esc, "\\u%04x", b);
                    out += esc;
                } else {
                    out += static_cast<char>(b);
                }
            }
            ++k;
            continue;
        }
        const std::size_t len = Utf8Length(text, k);
        if (len > 0) {
            out.append(text.substr(k, len));
            k += len;
        } else {
            AppendUtf8(out, b);  // the byte as a Latin-1 character
            ++k;
        }
    }
    out += '"';
    return out;
}

std::string FormatJson(const Fields& fields)
{
    std::string out = "{";
    bool first = true;
    for (const auto& [key, value] : fields) {
        if (!first)
            out += ", ";
        first = false;
        out += JsonString(key);
        out += ": ";
        out += JsonString(value);
    }
    out += "}\n";
    return out;
}

// ---- commands ----------------------------------------------------------------

namespace {

RunResult Failed(const StepResult& step)
{
    RunResult r;
    r.exitCode = ExitCodeFor(step.status);
    r.error = step.message;
    return r;
}

void AddInfo(Fields& fields, const ModuleInfo& info)
{
    if (info.address) fields.emplace_back("address", *info.address);
    if (info.pin) fields.emplace_back("pin", *info.pin);
    if (info.name) fields.emplace_back("name", *info.name);
    if (info.pairing) fields.emplace_back("pairing", *info.pairing);
    if (info.level) fields.emplace_back("level", *info.level);
}

// A Set request: the frame, its acknowledgement, then the read-back chain.
RunResult SetAndReadBack(CModuleSession& session, const Options& o, const proto::Bytes& frame, char command)
{
    StepResult step = session.Request(frame, command, nullptr);
    if (step.status != Status::Ok)
        return Failed(step);
    ModuleInfo info;
    step = session.ReadInfo(!o.oldModule, &info);
    if (step.status != Status::Ok)
        return Failed(step);
    RunResult r;
    AddInfo(r.fields, info);
    return r;
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
    case Command::Info: {
        ModuleInfo info;
        const StepResult step = session.ReadInfo(!o.oldModule, &info);
        if (step.status != Status::Ok)
            return Failed(step);
        RunResult r;
        AddInfo(r.fields, info);
        return r;
    }
    case Command::SetPin: {
        const std::optional<proto::Bytes> frame = proto::TextRequest(proto::CMD_SET_PINKEY, o.text);
        if (!frame)
            return BadValue("the PIN key cannot be sent");
        return SetAndReadBack(session, o, *frame, proto::CMD_SET_PINKEY);
    }
    case Command::SetName: {
        const std::string suffix = o.suffix.value_or("");
        if (o.text.empty() || (o.suffix && !proto::SuffixFits(o.text.size(), suffix.size())))
            return BadValue("the name cannot be sent");
        const std::string full = o.text + suffix;
        const std::optional<proto::Bytes> frame = proto::TextRequest(proto::CMD_SET_BDN, full);
        if (!frame)
            return BadValue("the name cannot be sent");
        if (o.print) {
            // The printer prints plain text outside request frames; three line
            // feeds move the printed name clear of the tear bar.
            StepResult step = session.Send(proto::Bytes(full.begin(), full.end()));
            for (int k = 0; k < 3 && step.status == Status::Ok; ++k)
                step = session.Send(proto::Bytes{0x0A});
            if (step.status != Status::Ok)
                return Failed(step);
        }
        RunResult r = SetAndReadBack(session, o, *frame, proto::CMD_SET_BDN);
        // The next suffix is only handed on when this printer took the name,
        // so that a failed run can be repeated with the same suffix.
        if (r.exitCode == kExitOk && o.suffix)
            r.fields.emplace_back("next_suffix", proto::NextSuffix(suffix));
        return r;
    }
    case Command::SetLevel:
        return SetAndReadBack(session, o, proto::SelectRequest(proto::CMD_SET_LEVEL, o.selection), proto::CMD_SET_LEVEL);
    case Command::SetPairing:
        return SetAndReadBack(session, o, proto::SelectRequest(proto::CMD_SET_PAIRING, o.selection),
                              proto::CMD_SET_PAIRING);
    case Command::Sniff: {
        if (o.selection != proto::CMD_GET_SNIFF) {
            const StepResult set =
                session.Request(proto::SelectRequest(proto::CMD_SET_SNIFF, o.selection), proto::CMD_SET_SNIFF, nullptr);
            if (set.status != Status::Ok)
                return Failed(set);
        }
        std::string data;
        const StepResult step = session.Request(proto::GetRequest(proto::CMD_GET_SNIFF), proto::CMD_GET_SNIFF, &data);
        if (step.status != Status::Ok)
            return Failed(step);
        RunResult r;
        const std::optional<std::string> text = proto::SniffText(data);
        r.fields.emplace_back("sniff", text ? *text : data);
        return r;
    }
    case Command::None:
    case Command::Help:
    case Command::Version:
        break;
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
    if (opened.status != Status::Ok)
        return Failed(opened);
    RunResult r = RunOnSession(session, o);
    session.Close();
    sim.Stop();
    return r;
}

}  // namespace vendrill::cli
