#pragma once

// Hot-plug events through a libudev monitor: of USB printer nodes (usbmisc)
// or of another subsystem (tty, for USB serial adapters).

#include "link/Link.h"

#include <memory>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace vendrill::usb {

class CUsbWatch {
public:
    struct Event {
        std::string action;  // "add", "remove", ...
        std::string node;    // e.g. /dev/usb/lp0; empty when udev gave none
    };

    CUsbWatch() = default;
    ~CUsbWatch();
    CUsbWatch(const CUsbWatch&) = delete;
    CUsbWatch& operator=(const CUsbWatch&) = delete;

    // False when udev cannot be watched.
    bool Start(const char* subsystem = "usbmisc");
    // Waits until an event is pending (Ready), otherFd (if >= 0) is
    // readable (Woken), or timeoutMs passed (TimedOut; -1: no limit).
    WaitResult Wait(int otherFd, int timeoutMs);
    // The pending events, oldest first; never blocks.
    std::vector<Event> Take();

private:
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
};

}  // namespace vendrill::usb
