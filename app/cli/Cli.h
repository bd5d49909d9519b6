#pragma once

// vendrill-cli: argument parsing (Arguments.cpp), the usage text (Usage.cpp),
// the one-shot commands on a blocking session and their results. No I/O on the
// process's standard streams; main.cpp decides where text goes.

#include "app/cli/Interrupt.h"
#include "app/common/CommandLine.h"
#include "app/common/Exit.h"
#include "app/common/Output.h"
#include "app/common/Say.h"
#include "link/SerialPort.h"
#include "session/BlockingSession.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vendrill::cli {

// The exit statuses, the output module and the messages come from the edge
// layer that all programs share.
using namespace vendrill::app;

// The exit status of a step's outcome (128+N after signal N).
int ExitCodeFor(Status status);

enum class Command { None, Help, Version, Info, SetPin, SetName, SetLevel, SetPairing, Sniff, Station, Records, Ports, RadioCheck };
// How the module is reached: a serial port, a USB printer, or the simulated
// module on a pseudo-terminal.
enum class Transport { Serial, Usb, Simulate };

struct Options {
    Command command = Command::None;
    std::string text;                   // KEY of set-pin, NAME of set-name
    std::optional<std::string> suffix;  // set-name --suffix
    bool print = false;                 // set-name --print
    char selection = 0;                 // set-level '1'/'3'; set-pairing '1'..'3';
                                        // sniff 'C' status, '1' enable, '0' disable

    Transport transport = Transport::Serial;
    std::string port = "COM1";  // as given
    std::string portPath;       // resolved device path (serial only)
    std::string usbDevice;      // --usb-device NODE|SERIAL|LOCATION; "" = the first accepted printer
    CSerialPort::Settings line; // 57600 8N1 unless told otherwise

    bool newModule = false;  // read the pairing mode (newer modules), not the security level
    bool json = false;
    bool trace = false;
    int replyTimeoutMs = CBlockingSession::kReplyTimeoutMs;  // --timeout

    // The production-line commands (Station.h).
    std::string prefix;                    // station --name
    std::string firstSuffix = "00001";     // station --first-suffix
    std::optional<std::string> stationPin; // station --pin
    std::optional<char> stationLevel;      // station --level: '1' or '3'
    std::string db;                        // station, records --db; "" = the default SQLite file
    std::string station;                   // station --station; "" = the host name
    std::int64_t count = 0;                // station --count; 0 = until interrupted
    bool createRecord = false;             // station --create-record: make a SQLite file that is not there
    bool renameBack = false;               // station --rename-back: a confirmed address with another name is
                                           // given its name again (rework), not refused as a clash
    std::string since;                     // records --since, as the record compares it
    bool csv = false;                      // records --csv
    std::string vid, pid;                  // ports --vid, --pid: four hex digits, lower case
    bool radioCheck = false;               // station --radio-check
    int radioTimeoutMs = 0;                // station --radio-timeout; 0: the radio check's default

    // radio-check (RadioCheck.h); its --name is `prefix`, its --pin `stationPin`.
    std::string radioAddress;              // --address, as BlueZ writes it (00:12:F3:A1:B2:C3)
    bool timeoutGiven = false;             // --timeout was given (radio-check has its own default)
};

// Help and Version are commands too (options.command).
using ParseResult = app::Parsed<Options>;

// args without the program name.
ParseResult ParseArguments(const std::vector<std::string>& args);

// The exit statuses name the reply time-out in force.
std::string UsageText(int replyTimeoutMs = CBlockingSession::kReplyTimeoutMs);
std::string VersionText();  // "vendrill-cli <version>\n"

struct RunResult {
    int exitCode = kExitOk;
    Fields fields;      // what was read: all of it on success, what came before a failure
    Numbers numbers;    // fields that are numbers too (JSON shows them beside their text)
    std::string error;  // on failure, for standard error
};

// The device as messages name it: its path, the COM name it was given by,
// and the baud rate; or the USB printer asked for ("" for the first one).
std::string DeviceText(const Options& o);

// Opens the chosen link, runs the command and closes everything again.
// For Help and Version nothing is opened.
RunResult Run(const Options& options);

// The command part of Run on a session that is already open.
RunResult RunOnSession(CBlockingSession& session, const Options& options);

}  // namespace vendrill::cli
