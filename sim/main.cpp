// vendrill-sim: the printer's Bluetooth module on a pseudo-terminal, for
// trying the tool without a printer. Runs until SIGINT, SIGTERM or SIGHUP.

#include "base/StdDescriptors.h"
#include "base/TextCodec.h"
#include "radio/SimAir.h"
#include "sim/SimHost.h"
#include "vendrill/Version.h"

#include <cerrno>
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
    "  -V, --version     show the version and exit\n";

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

int Fail(const char* message, const char* argument)
{
    std::fprintf(stderr, "vendrill-sim: %s%s%s\nTry 'vendrill-sim --help'.\n", message, argument ? ": " : "",
                 argument ? argument : "");
    return 2;
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

}  // namespace

int main(int argc, char** argv)
{
    // Before the terminal and the wake event are made: neither may become
    // descriptor 1, where the path line is written.
    vendrill::GuardStandardDescriptors();
    SimOptions options;
    ModuleState state;
    LineOptions line;
    int paceBaud = 0, lineCount = 0;
    std::optional<std::uint64_t> firstAddress;
    std::string airAddress, airObject = "/";
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        const char* value = k + 1 < argc ? argv[k + 1] : nullptr;
        auto needsValue = [&](const char* what) {
            if (value == nullptr) {
                Fail("missing value for", what);
                return false;
            }
            ++k;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version" || arg == "-V") {
            std::fputs("vendrill-sim " VENDRILL_VERSION "\n", stdout);
            return 0;
        } else if (arg == "--silent") {
            options.silent = true;
        } else if (arg == "--overlong-name") {
            options.overlongName = true;
        } else if (arg == "--error") {
            options.alwaysError = true;
        } else if (arg == "--old-module") {
            options.oldModule = true;
        } else if (arg == "--refuse-name") {
            options.refuseName = true;
        } else if (arg == "--lose-name-ack") {
            options.loseNameAck = true;
        } else if (arg == "--late-name-ack") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseInt(value, 0, 3600000, options.nameAckDelayMs))
                return Fail("--late-name-ack wants milliseconds from 0 to 3600000", value);
        } else if (arg == "--pace") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseInt(value, 300, 4000000, paceBaud))
                return Fail("--pace wants a baud rate from 300 to 4000000", value);
        } else if (arg == "--line") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseLine(value, lineCount, line.printers))
                return Fail("--line wants a count from 1 to 10000 or a list of 12-hex-digit addresses", value);
        } else if (arg == "--first-address") {
            if (!needsValue(argv[k]))
                return 2;
            firstAddress = ParseAddress(value);
            if (!firstAddress)
                return Fail("--first-address wants 12 hex digits", value);
        } else if (arg == "--stay") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseInt(value, 0, 3600000, line.stayMs))
                return Fail("--stay wants milliseconds from 0 to 3600000", value);
        } else if (arg == "--gone") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseInt(value, 0, 3600000, line.goneMs))
                return Fail("--gone wants milliseconds from 0 to 3600000", value);
        } else if (arg == "--delay") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseInt(value, 0, 3600000, options.delayMs))
                return Fail("--delay wants milliseconds from 0 to 3600000", value);
        } else if (arg == "--split") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseInt(value, 1, 64, options.split))
                return Fail("--split wants a count from 1 to 64", value);
        } else if (arg == "--split-gap") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseInt(value, 0, 60000, options.splitGapMs))
                return Fail("--split-gap wants milliseconds from 0 to 60000", value);
        } else if (arg == "--noise") {
            if (!needsValue(argv[k]))
                return 2;
            if (!ParseNoise(value, options.noise))
                return Fail("--noise wants text or 0x and pairs of hex digits", value);
        } else if (arg == "--name") {
            if (!needsValue(argv[k]))
                return 2;
            if (const std::string error = ModuleText(value, CModuleSim::kMaxNameBytes, state.name); !error.empty())
                return Fail(("--name " + error).c_str(), value);
        } else if (arg == "--air") {
            if (!needsValue(argv[k]))
                return 2;
            if (*value == '\0')
                return Fail("--air wants a D-Bus address", value);
            airAddress = value;
        } else if (arg == "--air-object") {
            if (!needsValue(argv[k]))
                return 2;
            if (*value != '/')
                return Fail("--air-object wants an object path", value);
            airObject = value;
        } else if (arg == "--pin") {
            if (!needsValue(argv[k]))
                return 2;
            if (const std::string error = ModuleText(value, CModuleSim::kMaxPinBytes, state.pin); !error.empty())
                return Fail(("--pin " + error).c_str(), value);
        } else {
            return Fail("unknown option", argv[k]);
        }
    }
    if (firstAddress && lineCount == 0)
        return Fail("--first-address goes with --line N", nullptr);
    if (lineCount > 0) {
        const std::uint64_t first = firstAddress.value_or(RandomFirstAddress(lineCount));
        line.printers = NumberedPrinters(lineCount, first);
        if (line.printers.empty())
            return Fail("the line's last address would lie past FFFFFFFFFFFF", AddressText(first).c_str());
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
        std::perror("vendrill-sim: sigprocmask");
        return 1;
    }
    const int sfd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (sfd < 0) {
        std::perror("vendrill-sim: signalfd");
        return 1;
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
                std::fprintf(stderr, "vendrill-sim: the air did not hear %s's name: %s\n", s.address.c_str(),
                             error.c_str());
        });
    }
    host.SetOptions(options);
    host.SetState(state);
    host.SetLine(line);
    host.SetPaceBaud(paceBaud);
    if (!host.Start()) {
        std::fprintf(stderr, "vendrill-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        close(sfd);
        return 1;
    }
    const std::string path = host.SlavePath();
    std::printf("vendrill-sim: module on %s (use VENDRILL_COM1=%s)\n", path.c_str(), path.c_str());
    if (lineCount > 0)
        std::printf("vendrill-sim: a line of %d printers, addresses %s to %s\n", lineCount,
                    line.printers.front().address.c_str(), line.printers.back().address.c_str());
    std::fflush(stdout);

    signalfd_siginfo info{};
    while (read(sfd, &info, sizeof info) < 0 && errno == EINTR) {
    }
    host.Stop();
    close(sfd);
    std::printf("vendrill-sim: stopped after %llu requests\n", static_cast<unsigned long long>(host.RequestCount()));
    // What each printer of the line holds, and what it printed, as its module
    // keeps it: for whoever tries a station on the line (and its tests).
    for (const LineVisit& v : host.Visits()) {
        std::string printed;
        for (const std::string& entry : v.journal)
            if (entry.size() > 2 && entry.rfind("P:", 0) == 0)
                printed += (printed.empty() ? "'" : ", '") + Cp949ToUtf8(entry.substr(2)) + "'";
        std::printf("vendrill-sim: printer %s: name '%s', PIN key '%s', printed %s\n", v.address.c_str(),
                    Cp949ToUtf8(v.state.name).c_str(), Cp949ToUtf8(v.state.pin).c_str(),
                    printed.empty() ? "nothing" : printed.c_str());
    }
    return 0;
}
