#pragma once

// Messages for a port or printer node that cannot be used, saying what is
// wrong and what to do about it, for people rather than for errno tables.

#include <string>
#include <vector>

namespace vendrill {

// Why the serial port at path could not be opened; err is the errno of the
// failed open. Names the port in every case.
std::string SerialOpenError(const std::string& path, int err);

// Why the first accepted USB printer could not be opened; err is the errno of
// the failed open. NoAcceptedUsbPrinter when there is none.
std::string UsbOpenError(int err);

// Why no accepted USB printer was found: none at all, or which printers of
// other makers are there (their vendor and product identifiers).
std::string NoAcceptedUsbPrinter();

bool IsPermissionError(int err);

// The port or node at path may not be opened by this user: the group that
// owns it and the command that gives access.
std::string PermissionExplanation(const std::string& path);

// The link through path broke during use; detail is what the link reported.
// Tells a device that went away from a line that merely failed.
std::string LinkLostError(const std::string& path, const std::string& detail);

// Other processes that have path open, as "name (pid N)"; only those that
// /proc lets this user see.
std::vector<std::string> HoldersOf(const std::string& path);
// Other processes that hold a lock on path (flock, as our links take it, or
// a POSIX lock), as "name (pid N)", from the kernel's list of locks.
std::vector<std::string> LockHoldersOf(const std::string& path);

// Serial devices present on this computer, stable names first.
std::vector<std::string> SerialDevices();

}  // namespace vendrill
