// vendrill-cli's usage text.

#include "app/cli/Cli.h"
#include "app/cli/RadioCheck.h"
#include "app/cli/Station.h"

namespace vendrill::cli {

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
           "\n" +
           app::ExitStatusText(
               {{kExitOk, ""},
                {kExitFailure, "results not written, simulator not started"},
                {kExitBadArgument, ""},
                {kExitNoDevice, "or no Bluetooth for radio-check, station --radio-check"},
                // The time-out in force, --timeout's or the default.
                {kExitTimeout, "time-out: the module did not answer within " + std::to_string(replyTimeoutMs) + " ms",
                 true},
                {kExitModuleError, ""},
                {kExitRecord, ""},
                {kExitNotNamed, "or a printer failed its radio check"}},
               "  128+N  stopped by signal N (SIGINT, SIGTERM or SIGHUP); the port was closed first\n");
}

std::string LineCommandsUsage()
{
    return "  station --name PREFIX [--first-suffix DIGITS] [--pin KEY] [--level LEVEL]\n"
           "          [--print] [--db URL] [--create-record] [--station ID] [--count N]\n"
           "          [--rename-back] [--radio-check [--radio-timeout MS]] [--json]\n"
           "                            production line: waits for each printer, gives it\n"
           "                            the next name PREFIX<number> from the record (first\n"
           "                            number DIGITS, default 00001), reads it back, then\n"
           "                            prints the label with --print; one line per printer\n"
           "                            (JSON Lines with --json); runs until interrupted or\n"
           "                            N printers are done; --rename-back gives a module\n"
           "                            that answers with a named printer's address its name\n"
           "                            again (rework) instead of failing it as a clash;\n"
           "                            --radio-check hears the new name (and pairs with\n"
           "                            --pin's key) over the station's Bluetooth before the\n"
           "                            label (time-out " + std::to_string(kRadioTimeoutMs) + " ms)\n" +
           "  records [--db URL] [--json|--csv] [--since TIME]\n"
           "                            export the record (TIME as YYYY-MM-DD[THH:MM[:SS]], UTC)\n"
           "  ports [--json] [--vid HEX4] [--pid HEX4]\n"
           "                            list serial ports and USB printers with their USB\n"
           "                            identity, location and description (nothing is\n"
           "                            opened); --vid and --pid keep one USB vendor's or\n"
           "                            product's ports\n"
           "\n"
           "Record (--db): sqlite:PATH or postgresql://... ; default\n"
           "  $XDG_DATA_HOME/vendrill/records.sqlite (~/.local/share/vendrill/...), made on\n"
           "  first use; another sqlite:PATH must exist unless --create-record is given.\n"
           "  Keep a password off the command line: ~/.pgpass (or PGPASSFILE), or a\n"
           "  service file entry: --db 'postgresql:///?service=NAME'\n";
}

}  // namespace vendrill::cli
