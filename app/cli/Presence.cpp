#include "app/cli/Presence.h"

#include "app/cli/Interrupt.h"
#include "app/cli/Naming.h"
#include "base/Trace.h"
#include "link/DeviceFault.h"
#include "link/UsbPrinter.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <unistd.h>

namespace vendrill::cli {

namespace {

using Clock = std::chrono::steady_clock;

// Get BDA goes out about four times a second while the station waits: quick
// enough that a technician never waits for it, modest on the line.
constexpr int kProbeIntervalMs = 250;
constexpr int kGoneAfterUnanswered = 2;
// A missing serial port is looked for this often (sooner when udev tells
// of a new serial device).
constexpr int kPortLookMs = 1000;
// Over USB, udev's events wake the station; it also looks this often by
// itself, in case an event was lost.
constexpr auto kUsbLookEvery = std::chrono::seconds(10);
// A printer that is plugged in but whose module does not answer is named
// after this long, and again this often while it lasts.
constexpr auto kSilentFirst = std::chrono::seconds(5);
constexpr auto kSilentAgain = std::chrono::minutes(1);
// A printer's node that cannot be opened is said after this long (a new
// node may not be there or open to us for a moment), then as above.
constexpr auto kRefusedFirst = std::chrono::seconds(1);

// Tests stretch the look past their own waits, to see that the station
// follows udev's events rather than its look.
std::chrono::milliseconds UsbLookEvery()
{
    const char* text = std::getenv("VENDRILL_TEST_USB_LOOK_MS");
    const long long ms = text ? std::atoll(text) : 0;
    return ms > 0 && ms <= 86'400'000 ? std::chrono::milliseconds(ms) : std::chrono::milliseconds(kUsbLookEvery);
}

std::vector<usb::CUsbWatch::Event> TakeEvents(usb::CUsbWatch& watch)
{
    std::vector<usb::CUsbWatch::Event> events = watch.Take();
    for (const usb::CUsbWatch::Event& e : events)
        Trace("udev %s %s\n", e.action.c_str(), e.node.c_str());
    return events;
}

}  // namespace

CPresence::CPresence(const Options& o, CBlockingSession& session, CStationReport& report, usb::CUsbWatch* watch)
    : m_o(o)
    , m_session(session)
    , m_report(report)
    , m_watch(watch)
    , m_usbLookEvery(UsbLookEvery())
{
}

StepResult CPresence::Probe(std::string* address)
{
    if (InterruptSignal() != 0)
        return {Status::Interrupted, "interrupted"};
    return m_session.Request(proto::CMD_GET_BDA, {}, address, CNaming::kProbeTimeoutMs);
}

void CPresence::LinkMessage(const std::string& text) const
{
    const std::string link = DeviceText(m_o);
    Say(link.empty() || text.find(link) != std::string::npos ? text : text + " on " + link);
}

std::string CPresence::PresentPrinter() const
{
    for (const usb::PrinterInterface& itf : usb::EnumeratePrinterInterfaces()) {
        if (itf.accepted && (m_o.usbDevice.empty() || usb::SelectsPrinter(itf, m_o.usbDevice)))
            return itf.node;
    }
    return {};
}

Status CPresence::SleepUntilUsbChange()
{
    Trace("udev look: no printer\n");
    const Clock::time_point lookAt = Clock::now() + m_usbLookEvery;
    for (;;) {
        m_report.Waiting();
        const auto wake = std::chrono::ceil<std::chrono::milliseconds>(
            std::min(lookAt, m_report.NextWaitingLine()) - Clock::now());
        const WaitResult w =
            m_watch->Wait(InterruptFd(), static_cast<int>(std::max<std::int64_t>(wake.count(), 1)));
        switch (w) {
        case WaitResult::TimedOut:
            if (Clock::now() >= lookAt)
                return Status::Ok;
            break;
        case WaitResult::Ready: TakeEvents(*m_watch); return Status::Ok;
        case WaitResult::Woken: return Status::Interrupted;
        case WaitResult::HangUp:
        case WaitResult::Error: Say("cannot watch for USB printers"); return Status::Failure;
        }
    }
}

std::optional<std::string> CPresence::WaitForUsbPrinter(Status* status)
{
    Clock::time_point asking, sayAt;  // since when the node is asked, and when to say it is silent
    std::string refused;              // a node that could not be opened
    Clock::time_point sayRefusedAt;
    for (;;) {
        if (InterruptSignal() != 0) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
        const std::string node = PresentPrinter();
        if (node.empty()) {
            refused.clear();
            const Status slept = SleepUntilUsbChange();
            if (slept != Status::Ok) {
                *status = slept;
                return std::nullopt;
            }
            continue;
        }
        if (!m_session.IsOpen() || node != m_node) {
            const StepResult opened = m_session.OpenUsb(node);
            if (opened.status != Status::Ok && PresentPrinter() != node)
                continue;  // gone again between the look and the open
            if (opened.status == Status::NoDevice) {
                // Not there yet, not ours yet (udev sets the permissions
                // after the kernel makes the node), or refused for good:
                // said with its reason unless it passes, and tried again.
                Trace("udev open %s: %s\n", node.c_str(), opened.message.c_str());
                if (node != refused) {
                    refused = node;
                    sayRefusedAt = Clock::now() + kRefusedFirst;
                }
                if (Clock::now() >= sayRefusedAt) {
                    Say(opened.message + "; trying again (Ctrl-C ends the station)");
                    sayRefusedAt = Clock::now() + kSilentAgain;
                }
                if (!PauseOrInterrupt(kProbeIntervalMs)) {
                    *status = Status::Interrupted;
                    return std::nullopt;
                }
                continue;
            }
            if (opened.status != Status::Ok) {
                Say(opened.message);
                *status = opened.status;
                return std::nullopt;
            }
            refused.clear();
            m_node = node;
            asking = Clock::now();
            sayAt = asking + kSilentFirst;
        }
        std::string address;
        const StepResult r = Probe(&address);
        if (r.status == Status::Ok && !address.empty())
            return address;
        if (r.status == Status::Interrupted) {
            *status = r.status;
            return std::nullopt;
        }
        if (r.status == Status::NoDevice || r.status == Status::Failure) {
            m_session.Close();  // unplugged while starting up; look again
            continue;
        }
        // The module is not ready yet; one that stays silent is named, with
        // what to check, since nothing else shows it to the operator.
        if (Clock::now() >= sayAt) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - asking).count();
            m_report.Silent(node, seconds);
            sayAt = Clock::now() + kSilentAgain;
        }
        if (r.status != Status::Timeout && !PauseOrInterrupt(kProbeIntervalMs)) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
    }
}

Status CPresence::WaitUntilUnplugged()
{
    m_session.Close();  // the node must be free when the printer goes
    for (;;) {
        if (PresentPrinter() != m_node)
            return Status::Ok;
        const WaitResult w =
            m_watch->Wait(InterruptFd(), static_cast<int>(m_usbLookEvery.count()));
        if (w == WaitResult::TimedOut)
            continue;  // look again
        if (w == WaitResult::Woken)
            return Status::Interrupted;
        if (w == WaitResult::Error) {
            Say("cannot watch for USB printers");
            return Status::Failure;
        }
        for (const usb::CUsbWatch::Event& e : TakeEvents(*m_watch))
            if (e.action == "remove" && e.node == m_node)
                return Status::Ok;
    }
}

void CPresence::SayUnplugged(const record::Visit& v) const
{
    std::string text = "the printer on " + m_node + " went away (" + v.reason + ")";
    if (v.result == record::Result::Sent)
        text += "; " + v.name + " stays sent and is finished when the printer comes back";
    Say(text + "; waiting for the next printer");
}

std::optional<std::string> CPresence::WaitForPrinter(Status* status)
{
    if (m_watch)
        return WaitForUsbPrinter(status);
    if (m_arrived) {
        std::optional<std::string> a = std::move(m_arrived);
        m_arrived.reset();
        return a;
    }
    for (;;) {
        std::string address;
        const StepResult r = Probe(&address);
        if (r.status == Status::Ok && !address.empty())
            return address;
        if (r.status == Status::NoDevice || r.status == Status::Failure || r.status == Status::Interrupted) {
            *status = r.status;
            if (r.status == Status::Failure)
                LinkMessage(r.message);
            return std::nullopt;
        }
        // No answer, or an error reply: nobody ready yet. A time-out has
        // already spent the interval.
        m_report.Waiting();
        if (r.status != Status::Timeout && !PauseOrInterrupt(kProbeIntervalMs)) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
    }
}

Status CPresence::WaitUntilGone(const std::string& address)
{
    if (m_watch)
        return WaitUntilUnplugged();
    int unanswered = 0;
    for (;;) {
        if (!PauseOrInterrupt(kProbeIntervalMs))
            return Status::Interrupted;
        std::string now;
        const StepResult r = Probe(&now);
        // One lost reply (noise, a busy host) does not make a printer gone.
        if (r.status == Status::Timeout && ++unanswered >= kGoneAfterUnanswered)
            return Status::Ok;
        if (r.status != Status::Timeout)
            unanswered = 0;
        if (r.status == Status::Ok && !now.empty() && now != address) {
            m_arrived = now;  // swapped faster than one probe
            return Status::Ok;
        }
        if (r.status == Status::NoDevice || r.status == Status::Failure || r.status == Status::Interrupted) {
            if (r.status == Status::Failure)
                LinkMessage(r.message);
            return r.status;
        }
    }
}

Status CPresence::OpenPort(bool lost)
{
    m_session.Close();
    bool said = false;
    for (;;) {
        const StepResult opened = m_session.OpenSerial(m_o.portPath, m_o.line);
        if (opened.status == Status::Ok) {
            if (said)
                Say(DeviceText(m_o) + (lost ? " is back" : " is there"));
            return Status::Ok;
        }
        const bool away = ::access(m_o.portPath.c_str(), F_OK) != 0 || FaultOf(opened.error) == DeviceFault::Gone;
        if (!away) {
            Say(opened.message);
            return opened.status;
        }
        if (!said) {
            Say(lost ? "the link on " + DeviceText(m_o) + " is gone; waiting for it to come back (Ctrl-C ends the station)"
                     : "no port at " + DeviceText(m_o) + " yet; waiting for it (Ctrl-C ends the station)");
            said = true;
        }
        // A USB serial adapter that is plugged in wakes the wait at once; a
        // plain path is looked at every second.
        if (!m_ttyWatch) {
            m_ttyWatch = std::make_unique<usb::CUsbWatch>();
            m_ttyWatch->Start("tty");  // without udev its waits fail, and the pause below stands in
        }
        const WaitResult w = m_ttyWatch->Wait(InterruptFd(), kPortLookMs);
        if (w == WaitResult::Woken || InterruptSignal() != 0)
            return Status::Interrupted;
        if (w == WaitResult::Ready)
            m_ttyWatch->Take();
        else if (w == WaitResult::Error && !PauseOrInterrupt(kPortLookMs))
            return Status::Interrupted;
    }
}

}  // namespace vendrill::cli
