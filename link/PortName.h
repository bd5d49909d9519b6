#pragma once

#include <string>

namespace vendrill {

// Device name under which a Port list item ("COM1".."COM20") is opened: the
// first three characters ("COM") are dropped; when exactly one character
// remains the name is the Port text itself ("COM7"), otherwise it is "\\.\"
// followed by the Port text ("\\.\COM12"). Texts shorter than four characters
// get the prefix too; nothing is ever read past the end of the text.
std::string DeviceNameForPort(const std::string& portText);

// Linux path for a device name "COM<n>" or "\\.\COM<n>", n a decimal number
// 1..255 written without leading zeros: the value of the environment variable
// VENDRILL_COM<n> when it is set and non-empty (VENDRILL_COM3=/dev/ttyUSB0),
// otherwise /dev/ttyS<n-1>. Any other name, including lower-case "com",
// signs, blanks or embedded NUL bytes, gives "".
std::string ResolvePortPath(const std::string& deviceName);

}  // namespace vendrill
