#pragma once

// What can be opened, found through udev without opening anything: serial
// ports with a real UART or USB bridge behind them and USB printer nodes.

#include <string>
#include <vector>

namespace vendrill {

struct PortEntry {
    std::string path;
    std::string kind;                // "serial" or "usb-printer"
    std::string comName;             // COMn that maps to path, or ""
    std::vector<std::string> byId;   // /dev/serial/by-id/ names
    std::string vendor, product, serial;  // USB identity where udev knows it
    std::string description, location;   // usb::DescribeUsbDevice
    bool accepted = false;           // usb-printer: a vendor the tool accepts
};

// Serial ports first (by path), then USB printers (by node number). A path
// that a COMn name maps to (VENDRILL_COMn or the port map file) and that
// exists is listed even when udev does not know it, e.g. a pseudo-terminal.
std::vector<PortEntry> ListPorts();

// The serial ports alone, by path, without COM names.
std::vector<PortEntry> ListSerialPorts();

}  // namespace vendrill
