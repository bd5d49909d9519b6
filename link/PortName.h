#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vendrill {

// Device name under which a Port list item ("COM1".."COM20") is opened: the
// first three characters ("COM") are dropped; when exactly one character
// remains the name is the Port text itself ("COM7"), otherwise it is "\\.\"
// followed by the Port text ("\\.\COM12"). Texts shorter than four characters
// get the prefix too; nothing is ever read past the end of the text.
std::string DeviceNameForPort(const std::string& portText);

// Linux path for a device name "COM<n>" or "\\.\COM<n>", n a decimal number
// 1..255 written without leading zeros, first found of:
//  - the environment variable VENDRILL_COM<n> when set and non-empty
//    (VENDRILL_COM3=/dev/ttyUSB0);
//  - the line COM<n>=PATH of the port map file (see PortMapFile);
//  - /dev/ttyS<n-1>.
// Any other name, including lower-case "com", signs, blanks or embedded NUL
// bytes, gives "".
std::string ResolvePortPath(const std::string& deviceName);

// One COM<n>=PATH line of the port map file.
struct PortMapEntry {
    int number = 0;    // n of COM<n>, 1..255
    std::string path;  // absolute device path
    int line = 0;      // 1-based line in the file
};

// A line of the port map file that was ignored, and why.
struct PortMapProblem {
    int line = 0;  // 1-based; 0 for the file as a whole
    std::string why;
};

struct PortMap {
    std::vector<PortMapEntry> entries;  // in file order, one per port number
    std::vector<PortMapProblem> problems;
};

// Reads the text of a port map file: one COM<n>=PATH per line, blanks around
// name and path ignored, empty lines and lines starting with '#' skipped.
// A broken line (no '=', a name other than COM1..COM255, a path that is empty
// or not absolute, a port given twice) is left out and listed in problems.
PortMap ParsePortMap(std::string_view text);

// $XDG_CONFIG_HOME/vendrill/ports, or ~/.config/vendrill/ports when that
// variable is unset or not an absolute path; "" when there is no home folder.
std::string PortMapFile();

// The port map file as it is now (empty when there is none). Each problem is
// written to standard error once per process, with file and line, so that a
// broken line never stops the program but is not silently lost either.
PortMap ReadPortMap();

}  // namespace vendrill
