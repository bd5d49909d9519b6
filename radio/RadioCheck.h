#pragma once

// The radio check: does the printer answer over the air with the name it was
// given, and does it pair with its PIN key? Through BlueZ on the system D-Bus
// (sd-bus; DBUS_SYSTEM_BUS_ADDRESS is honoured), with the station's own
// adapter. Qt-free and single-threaded; every wait is bounded by the time-out
// and ends at once when the cancel descriptor becomes readable. The adapter
// keeps no printer afterwards: a device the check found or paired is removed
// before Check returns, also when it was interrupted.

#include <optional>
#include <string>
#include <string_view>

namespace vendrill::radio {

// "0012F3A1B2C3" (as the module reports it) or "00:12:F3:A1:B2:C3", either
// case, as BlueZ writes it: "00:12:F3:A1:B2:C3". Nothing for anything else.
std::optional<std::string> ParseAddress(std::string_view text);

enum class Outcome {
    Ok,           // everything asked for holds
    NoBluetooth,  // no system bus, bluetoothd not running or gone, no adapter, adapter off or blocked
    NotHeard,     // the device did not answer (or stopped answering) within the time-out
    Mismatch,     // heard, but the name differs or the PIN key was refused
    Interrupted,  // the cancel descriptor ended it
};
// "ok", "no-bluetooth", "not-heard", "mismatch", "interrupted".
const char* OutcomeWord(Outcome outcome);

struct CheckRequest {
    std::string address;                  // as ParseAddress gives it
    std::optional<std::string> name;      // the name the air must show (UTF-8)
    std::optional<std::string> pin;       // pair with this PIN key, then remove the pairing
    int timeoutMs = 15000;                // for the whole check
};

struct CheckResult {
    Outcome outcome = Outcome::NoBluetooth;
    bool heard = false;                   // the device answered
    std::optional<std::string> nameHeard; // what the air says (UTF-8)
    std::optional<bool> nameOk;           // with a name asked for
    std::optional<bool> paired;           // with a PIN key
    double seconds = 0;                   // the whole check, cleaning up included
    std::string reason;                   // why it is not ok (with what to do), or a remark
};

// cancelFd: readable ends the check (-1: none).
CheckResult Check(const CheckRequest& request, int cancelFd);

// Whether a check could run now (the system D-Bus, bluetoothd, an adapter
// switched on), without touching any device: Ok, or NoBluetooth with the
// reason and what to do, or Interrupted. request.address is not used.
CheckResult Ready(int timeoutMs, int cancelFd);

}  // namespace vendrill::radio
