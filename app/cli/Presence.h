#pragma once

// Where the station waits: for a printer to answer on the serial port, or
// to be plugged in over USB (udev's events wake it), for the port itself
// when it comes and goes with a printer's own adapter, and for the printer
// to leave again. A plugged-in printer that cannot be opened or does not
// answer is named, with what to check.

#include "app/cli/Cli.h"
#include "app/cli/Reporting.h"
#include "link/UsbWatch.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace vendrill::cli {

class CPresence {
public:
    // watch: udev's printer events on a USB link, nullptr on a serial port.
    CPresence(const Options& o, CBlockingSession& session, CStationReport& report, usb::CUsbWatch* watch);

    // Opens the serial port; while it is not there (a printer that brings its
    // own USB serial adapter), says so once and looks again every second.
    // lost: it was open before and went away.
    Status OpenPort(bool lost);
    // The address of the printer that answers, or nullopt when interrupted
    // or the link failed (*status tells).
    std::optional<std::string> WaitForPrinter(Status* status);
    // Until the printer stops answering, or is unplugged; another address
    // answering is taken as the next printer.
    Status WaitUntilGone(const std::string& address);
    // A printer taken away in the middle of its visit.
    void SayUnplugged(const record::Visit& v) const;
    bool Usb() const { return m_watch != nullptr; }

private:
    StepResult Probe(std::string* address);
    std::optional<std::string> WaitForUsbPrinter(Status* status);
    // With no printer plugged in: until udev tells of a change or the next
    // look is due (Ok), a signal (Interrupted) or a failed watch (Failure).
    Status SleepUntilUsbChange();
    Status WaitUntilUnplugged();
    std::string PresentPrinter() const;
    // A message about the link, which it names.
    void LinkMessage(const std::string& text) const;

    const Options& m_o;
    CBlockingSession& m_session;
    CStationReport& m_report;
    usb::CUsbWatch* const m_watch;
    std::unique_ptr<usb::CUsbWatch> m_ttyWatch;  // serial devices coming, while the port is missing
    std::optional<std::string> m_arrived;        // a printer that answered while the last one was awaited to go
    std::string m_node;                          // the USB printer being handled
    const std::chrono::milliseconds m_usbLookEvery;
};

}  // namespace vendrill::cli
