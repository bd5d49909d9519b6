// vendrill-sim: the printer's Bluetooth module on a pseudo-terminal, for
// trying the tool without a printer. Runs until SIGINT, SIGTERM or SIGHUP.

#include "app/common/CommandLine.h"
#include "app/common/Exit.h"
#include "app/common/Say.h"
#include "base/StdDescriptors.h"
#include "base/TextCodec.h"
#include "radio/SimAir.h"
#include "sim/SimHost.h"
#include "vendrill/Version.h"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace vendrill;

namespace {

const char kUsage[] =
    "Usage: vendrill-sim [OPTION]...\n"
    "Simulates the printer's Bluetooth module on a pseudo-terminal.\n"
    "\n"
    "  --silent          receive requests but never answer\n"
    "  --delay MS        wait MS milliseconds before each reply\n"
    "  --split N         send each reply in N writes\n"
    "  --split-gap MS    pause between those writes (default 250)\n"
    "  --noise DATA      send DATA in front of each reply; 0x414243 gives bytes\n"
    "                    in hexadecimal, anything else is taken as text\n"
    "  --overlong-name   answer Get BDN with a 34-character name\n"
    "  --error           answer every request with an error reply\n"
    "  --old-module      no answer to pairing and sniff requests\n"
    "  --name NAME       start with this device name, kept in code page 949 as the\n"
    "                    module keeps it (1 to 59 bytes: a Hangul syllable takes 2)\n"
    "  --pin PIN         start with this PIN key (1 to 16 bytes)\n"
    "  --refuse-name     answer Set BDN with an error reply\n"
    "  --lose-name-ack   take the name from Set BDN but never answer it\n"
    "  --late-name-ack MS  answer Set BDN MS milliseconds later still\n"
    "  --pace BAUD       hold every byte for its wire time at BAUD (10 bits a byte)\n"
    "\n"
    "A production line (printers that come one after another):\n"
    "  --line N|LIST     N printers with addresses of their own (see --first-address)\n"
    "                    or a comma-separated list of 12-hex-digit addresses; an\n"
    "                    address given again is that printer again, a '!' after one\n"
    "                    refuses Set BDN, a '?' after one takes the name but loses\n"
    "                    the answer; the options above hold for every printer of\n"
    "                    the line\n"
    "  --first-address BDA  the address of the first of N printers, the next ones\n"
    "                    counting up (default: 0019 and eight random hex digits,\n"
    "                    new on every run and printed at the start)\n"
    "  --stay MS         a printer leaves MS milliseconds after its last Set BDN\n"
    "                    (default 500)\n"
    "  --gone MS         the next printer arrives MS milliseconds later (default 1000)\n"
    "                    On exit, a line for each stay of a printer: its name and\n"
    "                    PIN key, and what it printed.\n"
    "\n"
    "The simulated air (a D-Bus mock of BlueZ, as the tests run it):\n"
    "  --air ADDRESS     tell the mock on the D-Bus at ADDRESS (unix:path=...) each\n"
    "                    printer's address, name and PIN key as the module takes\n"
    "                    them, so that a radio check hears what the line set\n"
    "  --air-object PATH the mock's object (default /)\n"
    "\n"
    "  -h, --help        show this help and exit\n"
    "  -V, --version     show the version and exit\n"
    "\n";

bool ParseInt(const char* text, long low, long high, int& out)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    out = static_cast<int>(v);
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseNoise(std::string_view text, proto::Bytes& out)
{
    out.clear();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        if (text.size() % 2 != 0)
            return false;
        for (std::size_t k = 0; k < text.size(); k += 2) {
            const int hi = HexValue(text[k]), lo = HexValue(text[k + 1]);
            if (hi < 0 || lo < 0)
                return false;
            out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        return true;
    }
    out.assign(text.begin(), text.end());
    return true;
}

// A numbered line sets count; a list of addresses sets out.
bool ParseLine(std::string_view text, int& count, std::vector<LinePrinter>& out)
{
    count = 0;
    out.clear();
    // A count has at most five digits; twelve are an address (000000001234).
    if (text.size() <= 5 && ParseInt(std::string(text).c_str(), 1, 10000, count))
        return true;
    count = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        LinePrinter printer;
        if (!item.empty() && item.back() == '!') {
            printer.refuseName = true;
            item.remove_suffix(1);
        } else if (!item.empty() && item.back() == '?') {
            printer.loseNameAck = true;
            item.remove_suffix(1);
        }
        if (item.size() != 12)
            return false;
        for (char c : item)
            if (HexValue(c) < 0)
                return false;
        printer.address = std::string(item);
        out.push_back(std::move(printer));
    }
    return !out.empty();
}

// A name or PIN key typed in UTF-8, as the module keeps it: code page 949
// bytes it takes. An error text, empty when fine.
std::string ModuleText(const char* utf8, std::size_t maxBytes, std::string& out)
{
    const std::string_view text = utf8;
    if (ValidUtf8(text) != text)
        return "wants UTF-8 text";
    out = Utf8ToCp949(text);
    if (Cp949ToUtf8(out) != text)
        return "holds a character that code page 949 cannot hold";
    if (!CModuleSim::TakesText(out, maxBytes))
        return "wants 1 to " + std::to_string(maxBytes) +
               " bytes in code page 949 (a Hangul syllable takes 2), without the bytes 0x00, 0x02 and 0x03";
    return {};
}

// What the command line sets.
struct Settings {
    SimOptions options;
    ModuleState state;
    LineOptions line;
    int paceBaud = 0, lineCount = 0;
    std::optional<std::uint64_t> firstAddress;
    std::string airAddress, airObject = "/";
};

// An option whose value is milliseconds (or a count) within [low, high].
app::OptionDef Number(const char* name, long low, long high, int* out, const std::string& wants)
{
    return {name, true, [=](const std::string& given, const std::string& value) {
                return ParseInt(value.c_str(), low, high, *out) ? std::string()
                                                               : given + " wants " + wants + ", not '" + value + "'";
            }};
}

app::OptionDef Flag(const char* name, bool* out)
{
    return {name, false, [out](const std::string&, const std::string&) {
                *out = true;
                return std::string();
            }};
}

app::Parsed<Settings> ParseArguments(const std::vector<std::string>& args)
{
    app::Parsed<Settings> parsed;
    Settings& s = parsed.options;
    const std::vector<app::OptionDef> options = {
        Flag("silent", &s.options.silent),
        Number("delay", 0, 3600000, &s.options.delayMs, "milliseconds from 0 to 3600000"),
        Number("split", 1, 64, &s.options.split, "a count from 1 to 64"),
        Number("split-gap", 0, 60000, &s.options.splitGapMs, "milliseconds from 0 to 60000"),
        {"noise", true,
         [&s](const std::string&, const std::string& value) {
             return ParseNoise(value, s.options.noise) ? std::string()
                                                       : "--noise wants text or 0x and pairs of hex digits, not '" +
                                                             value + "'";
         }},
        Flag("overlong-name", &s.options.overlongName),
        Flag("error", &s.options.alwaysError),
        Flag("old-module", &s.options.oldModule),
        {"name", true,
         [&s](const std::string& given, const std::string& value) {
             const std::string error = ModuleText(value.c_str(), CModuleSim::kMaxNameBytes, s.state.name);
             return error.empty() ? error : given + " " + error;
         }},
        {"pin", true,
         [&s](const std::string& given, const std::string& value) {
             const std::string error = ModuleText(value.c_str(), CModuleSim::kMaxPinBytes, s.state.pin);
             return error.empty() ? error : given + " " + error;
         }},
        Flag("refuse-name", &s.options.refuseName),
        Flag("lose-name-ack", &s.options.loseNameAck),
        Number("late-name-ack", 0, 3600000, &s.options.nameAckDelayMs, "milliseconds from 0 to 3600000"),
        Number("pace", 300, 4000000, &s.paceBaud, "a baud rate from 300 to 4000000"),
        {"line", true,
         [&s](const std::string&, const std::string& value) {
             return ParseLine(value, s.lineCount, s.line.printers)
                        ? std::string()
                        : "--line wants a count from 1 to 10000 or a list of 12-hex-digit addresses, not '" + value +
                              "'";
         }},
        {"first-address", true,
         [&s](const std::string&, const std::string& value) {
             s.firstAddress = ParseAddress(value);
             return s.firstAddress ? std::string() : "--first-address wants 12 hex digits, not '" + value + "'";
         }},
        Number("stay", 0, 3600000, &s.line.stayMs, "milliseconds from 0 to 3600000"),
        Number("gone", 0, 3600000, &s.line.goneMs, "milliseconds from 0 to 3600000"),
        {"air", true,
         [&s](const std::string&, const std::string& value) {
             s.airAddress = value;
             return value.empty() ? std::string("--air wants a D-Bus address") : std::string();
         }},
        {"air-object", true,
         [&s](const std::string&, const std::string& value) {
             s.airObject = value;
             return value.rfind('/', 0) == 0 ? std::string() : "--air-object wants an object path, not '" + value + "'";
         }},
    };
    const app::CommandLine line = app::ParseCommandLine(options, args);
    parsed.help = line.help;
    parsed.version = line.version;
    parsed.error = line.error;
    if (!line.ok)
        return parsed;
    if (!line.arguments.empty()) {
        parsed.error = "unexpected argument '" + line.arguments.front() + "'";
        return parsed;
    }
    if (s.firstAddress && s.lineCount == 0) {
        parsed.error = "--first-address goes with --line N";
        return parsed;
    }
    parsed.ok = true;
    return parsed;
}

}  // namespace

int main(int argc, char** argv)
{
    // Before the terminal and the wake event are made: neither may become
    // descriptor 1, where the path line is written.
    vendrill::GuardStandardDescriptors();
    app::SetProgramName("vendrill-sim");
    std::setlocale(LC_CTYPE, "");
    app::Parsed<Settings> parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok)
        return app::UsageError(parsed.error);
    if (parsed.help) {
        std::fputs(kUsage, stdout);
        std::fputs(app::ExitStatusText({{app::kExitOk, "stopped by SIGINT, SIGTERM or SIGHUP"},
                                        {app::kExitFailure, "no pseudo-terminal"},
                                        {app::kExitBadArgument, ""}})
                       .c_str(),
                   stdout);
        return app::kExitOk;
    }
    if (parsed.version) {
        std::fputs("vendrill-sim " VENDRILL_VERSION "\n", stdout);
        return app::kExitOk;
    }
    Settings& given = parsed.options;
    SimOptions& options = given.options;
    ModuleState& state = given.state;
    LineOptions& line = given.line;
    const int paceBaud = given.paceBaud, lineCount = given.lineCount;
    const std::optional<std::uint64_t> firstAddress = given.firstAddress;
    const std::string airAddress = given.airAddress, airObject = given.airObject;
    if (lineCount > 0) {
        const std::uint64_t first = firstAddress.value_or(RandomFirstAddress(lineCount));
        line.printers = NumberedPrinters(lineCount, first);
        if (line.printers.empty())
            return app::UsageError("the line's last address would lie past FFFFFFFFFFFF, starting at " +
                                   AddressText(first));
    }
    // Printers of a line come with the settings given, as the one module does.
    line.arrival = state;

    // Block the stop signals before any thread starts, so that all of them
    // inherit the mask and the signals reach only the signalfd.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        app::Say(std::string("cannot block the stop signals: ") + std::strerror(errno));
        return app::kExitFailure;
    }
    const int sfd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (sfd < 0) {
        app::Say(std::string("cannot route the stop signals: ") + std::strerror(errno));
        return app::kExitFailure;
    }

    // Outlives the host, whose thread calls it.
    std::unique_ptr<radio::CSimAir> air;
    CSimHost host;
    if (!airAddress.empty()) {
        air = std::make_unique<radio::CSimAir>(airAddress, airObject);
        host.SetSettingsHook([&air](const ModuleState& s) {
            std::string error;
            // The air carries names in UTF-8; the module keeps code page 949.
            if (!air->Tell(s.address, Cp949ToUtf8(s.name), Cp949ToUtf8(s.pin), &error))
                app::Say("the air did not hear " + s.address + "'s name: " + error);
        });
    }
    host.SetOptions(options);
    host.SetState(state);
    host.SetLine(line);
    host.SetPaceBaud(paceBaud);
    if (!host.Start()) {
        app::Say(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
        close(sfd);
        return app::kExitFailure;
    }
    const std::string path = host.SlavePath();
    // Where the module is goes to standard output, for scripts.
    app::Say("module on " + path + " (use VENDRILL_COM1=" + path + ")", stdout);
    if (lineCount > 0)
        app::Say("a line of " + std::to_string(lineCount) + " printers, addresses " + line.printers.front().address +
                     " to " + line.printers.back().address,
                 stdout);
    std::fflush(stdout);

    signalfd_siginfo info{};
    while (read(sfd, &info, sizeof info) < 0 && errno == EINTR) {
    }
    host.Stop();
    close(sfd);
    app::Say("stopped after " + std::to_string(host.RequestCount()) + " requests", stdout);
    // What each printer of the line holds, and what it printed, as its module
    // keeps it: for whoever tries a station on the line (and its tests).
    for (const LineVisit& v : host.Visits()) {
        std::string printed;
        for (const std::string& entry : v.journal)
            if (entry.size() > 2 && entry.rfind("P:", 0) == 0)
                printed += (printed.empty() ? "'" : ", '") + Cp949ToUtf8(entry.substr(2)) + "'";
        app::Say("printer " + v.address + ": name '" + Cp949ToUtf8(v.state.name) + "', PIN key '" +
                     Cp949ToUtf8(v.state.pin) + "', printed " + (printed.empty() ? "nothing" : printed),
                 stdout);
    }
    return app::kExitOk;
}
