#include "session/BlockingSession.h"

#include "base/Trace.h"
#include "link/OpenError.h"
#include "link/Poll.h"
#include "protocol/Conversation.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <poll.h>

namespace vendrill {

namespace {

using Clock = CSession::Clock;
using Kind = CSession::Outcome::Kind;

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
CBlockingSession::CBlockingSession(int interruptFd, int (*interruptSignal)())
    : m_interruptFd(interruptFd)
    , m_interruptSignal(interruptSignal)
    , m_session(*this, SessionPolicy{0, 0, 0, false, true})
{
}

CBlockingSession::~CBlockingSession()
{
    Close();
}

StepResult CBlockingSession::OpenSerial(const std::string& path, const CSerialPort::Settings& settings)
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
    case LinkResult::Code::AlreadyOpen:
        return failed(Status::NoDevice, SerialOpenError(path, opened.error));
    case LinkResult::Code::CannotConfigure:
        return failed(Status::NoDevice,
                      "cannot apply the line settings to " + path + ": " + std::strerror(opened.error));
    case LinkResult::Code::NoThread:
        return failed(Status::Failure, "cannot start the reader thread");
    }
    return {};
}

StepResult CBlockingSession::OpenUsb(const std::string& device)
{
    Close();
    std::string shown;
    int fd = -1;
    const LinkResult opened = m_session.ConnectUsb([&] {
        fd = device.empty() ? usb::FindPrinter(0, [&shown](const char* text) { shown = text ? text : ""; })
                            : usb::OpenSelectedPrinter(device, &shown);
        return fd;
    });
    switch (opened.code) {
    case LinkResult::Code::Ok: break;
    case LinkResult::Code::CannotOpen:
    case LinkResult::Code::AlreadyOpen:
    case LinkResult::Code::CannotConfigure:
        if (fd >= 0)
            return Fail(Status::NoDevice, std::string("cannot use the USB printer: ") + std::strerror(opened.error));
        if (shown.empty())
            return Fail(Status::NoDevice, UsbOpenError(opened.error));
        // The window's "not our printer" box says too little here: which
        // printers are there, if any, or what the chosen one is.
        return Fail(Status::NoDevice, device.empty() ? NoAcceptedUsbPrinter() : shown);
    case LinkResult::Code::NoThread:
        return Fail(Status::Failure, "cannot start the reader thread");
    }
    return {};
}

void CBlockingSession::Close()
{
    m_session.Shutdown();
}

// --- requests -------------------------------------------------------------------

StepResult CBlockingSession::CannotWrite(char request)
{
    const int err = m_session.LastLinkError();
    return Fail(Status::NoDevice,
                std::string("cannot write to the printer") + (err != 0 ? std::string(": ") + std::strerror(err) : ""),
                request);
}

StepResult CBlockingSession::Send(const proto::Bytes& bytes)
{
    if (!IsOpen())
        return Fail(Status::NoDevice, "no link is open");
    const int size = static_cast<int>(bytes.size());
    if (size > 0 && m_session.WriteComm(bytes.data(), size) != size)
        return CannotWrite(0);
    return {};
}

StepResult CBlockingSession::PrintLabel(const std::string& text)
{
    if (!IsOpen())
        return Fail(Status::NoDevice, "no link is open");
    if (!m_session.PrintLabel(text))
        return CannotWrite(0);
    return {};
}

StepResult CBlockingSession::Request(const proto::Bytes& frame, char expect, std::string* data, int timeoutMs)
{
    return Exchange(expect, [&] { return m_session.Ask(frame, Clock::now(), timeoutMs); }, false, data);
}

StepResult CBlockingSession::Request(char command, const std::string& argument, std::string* data, int timeoutMs)
{
    return Exchange(
        command, [&] { return m_session.Ask(command, CSession::Argument{argument}, Clock::now(), timeoutMs); }, false,
        data);
}

StepResult CBlockingSession::RequestAndReadBack(const proto::Bytes& frame, bool newModule, ModuleInfo* info)
{
    m_session.SetNewVersion(newModule);
    const char command = frame.size() > 2 ? static_cast<char>(frame[2]) : 0;
    const StepResult r = Exchange(command, [&] { return m_session.Ask(frame, Clock::now()); }, true, nullptr);
    if (info)
        *info = m_info;
    return r;
}

StepResult CBlockingSession::ReadInfo(bool newModule, ModuleInfo* info)
{
    return RequestAndReadBack(proto::GetRequest(proto::CMD_GET_BDA), newModule, info);
}

StepResult CBlockingSession::SetName(const std::string& name, const std::string& suffix, bool label, bool newModule,
                                     ModuleInfo* info, std::string* nextSuffix)
{
    m_session.SetNewVersion(newModule);
    std::string next;
    const StepResult r = Exchange(
        proto::CMD_SET_BDN,
        [&] {
            CSession::Sent sent = m_session.Ask(proto::CMD_SET_BDN, {name, suffix, label}, Clock::now());
            next = sent.nextSuffix;
            return sent;
        },
        true, nullptr);
    if (info)
        *info = m_info;
    if (nextSuffix)
        *nextSuffix = next;
    return r;
}

StepResult CBlockingSession::Exchange(char request, const std::function<CSession::Sent()>& ask, bool chain,
                                      std::string* data)
{
    m_outcomes.clear();
    m_settled = 0;
    m_info = {};
    if (!IsOpen())
        return Fail(Status::NoDevice, "no link is open", request);
    // Nothing more goes to the module once the user asked to stop.
    if (Interrupted()) {
        m_session.TraceRequest(request);
        return InterruptedBefore(request);
    }
    m_session.SetChain(chain);
    switch (ask().kind) {
    case CSession::Sent::Kind::Sent: break;
    case CSession::Sent::Kind::Refused: return CannotWrite(request);
    case CSession::Sent::Kind::HeldBack:
        return Fail(Status::Failure, proto::RequestName(request) + " is held back: " +
                                         proto::RequestName(m_session.Outstanding()) + " is still unanswered",
                    request);
    case CSession::Sent::Kind::Nothing:
        return Fail(Status::Failure, proto::RequestName(request) + " has nothing to send", request);
    }
    return Await(request, chain, data);
}

StepResult CBlockingSession::Await(char request, bool chain, std::string* data)
{
    for (;;) {
        if (Interrupted()) {
            const StepResult r = InterruptedBefore(m_session.Outstanding() ? m_session.Outstanding() : request);
            m_session.Abandon();
            return r;
        }
        // Taken before the drain: the reader tells of a lost link only after
        // it stored everything that came before.
        const bool lost = m_lost;
        // Reset before the drain: whatever arrives after it wakes the poll.
        m_wake.Reset();
        const bool drained = m_session.OnCommunication(Clock::now()) > 0;
        if (drained) {
            {
                std::lock_guard lock(m_mutex);
                ++m_drains;
            }
            m_drained.notify_all();
        } else if (lost) {
            m_session.LinkLost();
        }
        m_session.Expire(Clock::now());
        if (std::optional<StepResult> r = Settled(chain, data))
            return *r;
        const std::optional<CSession::TimePoint> deadline = m_session.Deadline();
        if (!deadline)
            return Fail(Status::Failure, "nothing is awaited after " + proto::RequestName(request), request);
        pollfd fds[2] = {{m_wake.Fd(), POLLIN, 0}, {m_interruptFd, POLLIN, 0}};
        PollUntil(fds, m_interruptFd >= 0 ? 2 : 1, &*deadline);
    }
}

std::optional<StepResult> CBlockingSession::Settled(bool chain, std::string* data)
{
    for (; m_settled < m_outcomes.size(); ++m_settled) {
        const CSession::Outcome& o = m_outcomes[m_settled];
        const std::string name = proto::RequestName(o.request);
        switch (o.kind) {
        case Kind::Answered:
            if (!chain || o.next == 0) {
                if (data)
                    *data = o.reply.data;
                ++m_settled;
                return StepResult{};
            }
            break;
        case Kind::ModuleError:
            return Fail(Status::ModuleError,
                        std::string(CSession::kModuleErrorText) + " (the module refused " + name + ")", o.request);
        case Kind::TimedOut:
            return Fail(Status::Timeout,
                        std::string(CSession::kTimeoutText) + ": no reply to " + name + " within " +
                            std::to_string(o.waitedMs) + " ms",
                        o.request);
        case Kind::LinkLost:
            return Fail(Status::NoDevice, "the link to the printer was lost while waiting for " + name, o.request);
        case Kind::Abandoned:
            break;  // only this wait abandons
        }
    }
    return std::nullopt;
}

bool CBlockingSession::Interrupted() const
{
    if (m_interruptSignal && m_interruptSignal() != 0)
        return true;
    pollfd p{m_interruptFd, POLLIN, 0};
    return m_interruptFd >= 0 && ::poll(&p, 1, 0) > 0;
}

StepResult CBlockingSession::InterruptedBefore(char request) const
{
    const int sig = m_interruptSignal ? m_interruptSignal() : 0;
    return Fail(Status::Interrupted,
                std::string("interrupted") + (sig != 0 ? " by " + SignalName(sig) : std::string()) +
                    " before the reply to " + proto::RequestName(request),
                request);
}

// --- what the session tells the tool ---------------------------------------------

void CBlockingSession::Arrived(unsigned)
{
    m_wake.Raise();
}

bool CBlockingSession::QueueFull(unsigned)
{
    // The caller is between drains: wait for the next one instead of losing
    // bytes.
    std::unique_lock lock(m_mutex);
    const std::uint64_t drains = m_drains;
    m_drained.wait(lock, [&] { return m_stop || m_drains != drains; });
    return !m_stop;
}

void CBlockingSession::ReaderMessage(const std::string& text)
{
    Trace("%s\n", text.c_str());
}

void CBlockingSession::LineHungUp()
{
    m_lost = true;
    m_wake.Raise();
}

void CBlockingSession::UsbGone(unsigned)
{
    LineHungUp();  // the link is closed by Close()
}

void CBlockingSession::CancelReaderWaits()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_drained.notify_all();
}

void CBlockingSession::AllowReaderWaits()
{
    std::lock_guard lock(m_mutex);
    m_stop = false;
    m_lost = false;
}

void CBlockingSession::Received(const std::uint8_t* bytes, std::size_t n)
{
    Trace("RX%s\n", proto::HexLogLine(bytes, n).c_str());
}

void CBlockingSession::RequestOver(const CSession::Outcome& outcome)
{
    m_outcomes.push_back(outcome);
    if (outcome.kind != Kind::Answered)
        return;
    const CSession::Reply& r = outcome.reply;
    switch (r.command) {
    case proto::CMD_GET_BDA: m_info.address = r.data; break;
    case proto::CMD_GET_PINKEY: m_info.pin = r.data; break;
    case proto::CMD_GET_BDN: m_info.name = r.data; break;
    case proto::CMD_GET_LEVEL:
        m_info.level = r.value;
        m_info.levelNumber = Digit(r.data);
        break;
    case proto::CMD_GET_PAIRING:
        // Data that is no pairing mode shows nothing, as in the window.
        if (r.value) {
            m_info.pairing = r.value;
            m_info.pairingNumber = Digit(r.data);
        }
        break;
    default: break;
    }
}

void CBlockingSession::Replied(const CSession::Reply&)
{
    // What a reply shows reaches the tool with the outcome it ends.
}

}  // namespace vendrill
