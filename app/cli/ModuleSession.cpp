#include "app/cli/ModuleSession.h"

#include "app/cli/Interrupt.h"
#include "base/Trace.h"
#include "link/OpenError.h"
#include "link/Poll.h"
#include "protocol/Conversation.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <vector>

#include <poll.h>

namespace vendrill::cli {

namespace {

using Clock = std::chrono::steady_clock;

StepResult Fail(Status status, std::string message, char request = 0)
{
    return {status, std::move(message), request};
}

std::string SignalName(int sig)
{
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(sig);
    }
}

StepResult Interrupted(char expect)
{
    return Fail(Status::Interrupted,
                "interrupted by " + SignalName(InterruptSignal()) + " before the reply to " + proto::RequestName(expect),
                expect);
}

// Why no USB printer was opened. The window keeps its one message for every
// miss; a script's user needs to tell "nothing plugged in" from "a printer of
// another maker".
std::string NoAcceptedUsbPrinter()
{
    const std::vector<usb::PrinterInterface> present = usb::EnumeratePrinterInterfaces();
    if (present.empty())
        return "no USB printer found (no /dev/usb/lp* printer node)";
    std::string text = "no USB printer of an accepted vendor (2A92, 0519) found; present:";
    const char* separator = " ";
    for (const usb::PrinterInterface& itf : present) {
        const usb::DeviceKey key = usb::KeyFromDevicePath(itf.symbolicLink);
        text += separator + itf.node + " (vendor " + key.vendor + ", product " + key.product + ")";
        separator = ", ";
    }
    return text;
}

// The number a one-digit reply stands for.
std::optional<int> Digit(const std::string& data)
{
    if (data.size() == 1 && data[0] >= '0' && data[0] <= '9')
        return data[0] - '0';
    return std::nullopt;
}

}  // namespace

// Replies are waited for here, so the reader announces at once and waits for
// room rather than dropping bytes; a request sent last (a sniff change) still
// goes out when the port closes.
CModuleSession::CModuleSession()
    : m_session(*this, SessionPolicy{0, 0, 0, false})
{
}

CModuleSession::~CModuleSession()
{
    Close();
}

StepResult CModuleSession::OpenSerial(const std::string& path, const CSerialPort::Settings& settings)
{
    Close();
    const LinkResult opened = m_session.OpenPort(path, settings);
    // The errno goes along: the station tells a port that went away by it.
    const auto failed = [&opened](Status status, std::string message) {
        StepResult r = Fail(status, std::move(message));
        r.error = opened.error;
        return r;
    };
    switch (opened.code) {
    case LinkResult::Code::Ok: break;
    case LinkResult::Code::CannotOpen:
        return failed(Status::NoDevice, SerialOpenError(path, opened.error));
    case LinkResult::Code::CannotConfigure:
        m_session.ClosePort();
        return failed(Status::NoDevice,
                      "cannot apply the line settings to " + path + ": " + std::strerror(opened.error));
    case LinkResult::Code::NoThread:
        return failed(Status::Failure, "cannot start the reader thread");
    }
    StartInterruptWatch();
    return {};
}

StepResult CModuleSession::OpenUsb(const std::string& device)
{
    Close();
    std::string shown;
    const int fd = device.empty() ? usb::FindPrinter(0, [&shown](const char* text) { shown = text ? text : ""; })
                                  : usb::OpenSelectedPrinter(device, &shown);
    if (fd < 0) {
        if (shown.empty())
            return Fail(Status::NoDevice, UsbOpenError(errno));
        // The window's "not our printer" box says too little here: which
        // printers are there, if any, or what the chosen one is.
        return Fail(Status::NoDevice, device.empty() ? NoAcceptedUsbPrinter() : shown);
    }
    if (const LinkResult attached = m_session.AttachUsb(fd); !attached)
        return Fail(Status::NoDevice, std::string("cannot use the USB printer: ") + std::strerror(attached.error));
    if (!m_session.StartUsb())
        return Fail(Status::Failure, "cannot start the reader thread");
    StartInterruptWatch();
    return {};
}

void CModuleSession::Close()
{
    StopInterruptWatch();
    m_session.Shutdown();
}

void CModuleSession::StartInterruptWatch()
{
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = false;
        m_linkLost = false;
    }
    if (InterruptFd() < 0 || !m_interruptWatchStop.IsValid())
        return;  // signals are not routed to us: they end the process as usual
    m_interruptWatchStop.Reset();
    try {
        m_interruptWatch = std::thread(&CModuleSession::InterruptWatch, this);
    } catch (const std::system_error&) {
        // Without the watch a signal is still seen between requests.
    }
}

void CModuleSession::StopInterruptWatch()
{
    if (!m_interruptWatch.joinable())
        return;
    m_interruptWatchStop.Raise();
    m_interruptWatch.join();
    m_interruptWatchStop.Reset();
}

void CModuleSession::InterruptWatch()
{
    pollfd fds[2] = {{InterruptFd(), POLLIN, 0}, {m_interruptWatchStop.Fd(), POLLIN, 0}};
    if (PollFor(fds, 2, -1) < 0 || fds[1].revents != 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
    }
    m_cv.notify_all();
}

// --- what the session tells the tool ---------------------------------------------

void CModuleSession::Arrived(unsigned)
{
    {
        std::lock_guard lock(m_mutex);
        ++m_arrivals;
    }
    m_cv.notify_all();
}

bool CModuleSession::QueueFull(unsigned)
{
    // The caller is between drains: wait for the next one instead of losing
    // bytes.
    std::unique_lock lock(m_mutex);
    const std::uint64_t drains = m_drains;
    m_cv.wait(lock, [&] { return m_stop || m_drains != drains; });
    return !m_stop;
}

void CModuleSession::ReaderMessage(const std::string& text)
{
    Trace("%s\n", text.c_str());
}

void CModuleSession::LineHungUp()
{
    {
        std::lock_guard lock(m_mutex);
        m_linkLost = true;
    }
    m_cv.notify_all();
}

void CModuleSession::UsbGone(unsigned generation)
{
    LineHungUp();
    (void)generation;  // the link is closed by Close()
}

void CModuleSession::CancelReaderWaits()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
}

void CModuleSession::AllowReaderWaits()
{
    std::lock_guard lock(m_mutex);
    m_stop = false;
    m_linkLost = false;
}

void CModuleSession::SetTimer1()
{
    m_deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
}

void CModuleSession::KillTimer1()
{
    // The wait keeps its deadline: a reply of another kind ends the request
    // for the session, not the tool's wait for the one it asked for.
}

void CModuleSession::Received(const std::uint8_t* bytes, std::size_t n)
{
    Trace("RX%s\n", proto::HexLogLine(bytes, n).c_str());
}

void CModuleSession::BeforeDecode()
{
    m_outcome.decoding = m_session.Outstanding();
}

void CModuleSession::Reply(char command, const std::string& data)
{
    Outcome& o = m_outcome;
    o.gotAny = true;
    if (command == o.expect && !o.gotExpected) {
        o.gotExpected = true;
        o.data = data;
    }
    switch (command) {
    case proto::CMD_GET_BDA: o.info.address = data; break;
    case proto::CMD_GET_PINKEY: o.info.pin = data; break;
    case proto::CMD_GET_BDN: o.info.name = data; break;
    case proto::CMD_GET_LEVEL:
        o.info.level = proto::LevelText(data);
        o.info.levelNumber = Digit(data);
        break;
    case proto::CMD_GET_PAIRING:
        o.info.pairing = proto::PairingModeText(data).value_or(data);
        o.info.pairingNumber = Digit(data);
        break;
    default: break;
    }
}

void CModuleSession::SniffStatus(const std::string& text)
{
    if (m_outcome.expect == proto::CMD_GET_SNIFF && !m_outcome.gotExpected) {
        m_outcome.gotExpected = true;
        m_outcome.data = text;
    }
}

void CModuleSession::ModuleError(const std::string& text)
{
    m_outcome.moduleError = text;
    m_outcome.refused = m_outcome.decoding ? m_outcome.decoding : m_outcome.expect;
}

void CModuleSession::TimedOut(const std::string&)
{
}

// --- requests -------------------------------------------------------------------

StepResult CModuleSession::Send(const proto::Bytes& bytes)
{
    if (!IsOpen())
        return Fail(Status::NoDevice, "no link is open");
    if (bytes.empty())
        return {};
    const int size = static_cast<int>(bytes.size());
    if (m_session.WriteComm(bytes.data(), size) != size) {
        const int err = m_session.LastLinkError();
        return Fail(Status::NoDevice, std::string("cannot write to the printer") +
                                          (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
    }
    return {};
}

StepResult CModuleSession::PrintLabel(const std::string& text)
{
    if (!IsOpen())
        return Fail(Status::NoDevice, "no link is open");
    if (!m_session.PrintLabel(text)) {
        const int err = m_session.LastLinkError();
        return Fail(Status::NoDevice, std::string("cannot write to the printer") +
                                          (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
    }
    return {};
}

StepResult CModuleSession::Request(const proto::Bytes& frame, char expect, std::string* data, int timeoutMs)
{
    return Exchange(frame, expect, data, timeoutMs > 0 ? timeoutMs : m_replyTimeoutMs, false);
}

StepResult CModuleSession::RequestAndReadBack(const proto::Bytes& frame, bool newModule, ModuleInfo* info)
{
    m_session.m_NewVersion = newModule ? 1 : 0;
    const char command = frame.size() > 2 ? static_cast<char>(frame[2]) : 0;
    const StepResult r = Exchange(frame, command, nullptr, m_replyTimeoutMs, true);
    if (info)
        *info = m_outcome.info;
    return r;
}

StepResult CModuleSession::ReadInfo(bool newModule, ModuleInfo* info)
{
    return RequestAndReadBack(proto::GetRequest(proto::CMD_GET_BDA), newModule, info);
}

StepResult CModuleSession::Exchange(const proto::Bytes& frame, char expect, std::string* data, int timeoutMs,
                                    bool chain)
{
    m_outcome = Outcome{};
    m_outcome.expect = expect;
    m_outcome.chain = chain;
    if (!IsOpen())
        return Fail(Status::NoDevice, "no link is open", expect);
    // Nothing more goes to the module once the user asked to stop.
    if (InterruptSignal() != 0) {
        m_session.TraceRequest(expect);
        return Interrupted(expect);
    }
    m_timeoutMs = timeoutMs;
    m_session.SetChain(chain);
    // A Get goes out as its button sends it; a Set is traced and sent; the
    // sniff status is asked without the session's timer, as the window does.
    bool sent;
    if (expect == proto::CMD_GET_SNIFF) {
        sent = m_session.SendFrame(frame);
        SetTimer1();
    } else if (frame.size() == 3) {
        sent = m_session.Get(expect);
    } else {
        m_session.TraceRequest(expect);
        sent = m_session.Request(frame);
    }
    if (!sent) {
        const int err = m_session.LastLinkError();
        KillTimer1();
        m_session.m_Busy = 0;
        return Fail(Status::NoDevice,
                    std::string("cannot write to the printer") +
                        (err != 0 ? std::string(": ") + std::strerror(err) : std::string()),
                    expect);
    }

    for (;;) {
        std::unique_lock lock(m_mutex);
        const std::uint64_t seen = m_arrivals;
        const bool lost = m_linkLost;
        const bool interrupted = m_interrupted || InterruptSignal() != 0;
        lock.unlock();
        if (interrupted) {
            const char waiting = m_session.Outstanding() ? m_session.Outstanding() : expect;
            KillTimer1();
            m_session.m_Busy = 0;
            return Interrupted(waiting);
        }

        // Everything stored before `seen` was read is drained here; later
        // chunks change m_arrivals and end the wait below.
        const bool drained = m_session.OnCommunication() > 0;
        if (drained) {
            {
                std::lock_guard guard(m_mutex);
                ++m_drains;
            }
            m_cv.notify_all();
        }
        const Outcome& o = m_outcome;
        if (o.moduleError)
            return Fail(Status::ModuleError,
                        *o.moduleError + " (the module refused " + proto::RequestName(o.refused) + ")", o.refused);
        const bool done = chain ? o.gotAny && m_session.m_Busy == 0 : o.gotExpected;
        if (done) {
            if (data)
                *data = o.data;
            return {};
        }
        if (!drained && lost)
            return Fail(Status::NoDevice,
                        "the link to the printer was lost while waiting for " +
                            proto::RequestName(m_session.Outstanding() ? m_session.Outstanding() : expect),
                        expect);
        if (Clock::now() >= m_deadline) {
            const char waiting = m_session.Outstanding() ? m_session.Outstanding() : expect;
            if (m_session.m_Busy)
                m_session.OnTimer();
            return Fail(Status::Timeout,
                        std::string(CSession::kTimeoutText) + ": no reply to " + proto::RequestName(waiting) +
                            " within " + std::to_string(timeoutMs) + " ms",
                        waiting);
        }
        lock.lock();
        m_cv.wait_until(lock, m_deadline, [&] { return m_arrivals != seen || m_linkLost || m_interrupted; });
    }
}

}  // namespace vendrill::cli
