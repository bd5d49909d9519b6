#include "app/cli/ModuleSession.h"

#include "app/cli/Interrupt.h"
#include "base/Trace.h"
#include "link/OpenError.h"
#include "link/Poll.h"
#include "protocol/Conversation.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <system_error>
#include <vector>

#include <poll.h>

namespace vendrill::cli {

namespace {

// Largest chunk the reader takes at once; well below what an empty queue holds.
constexpr int kChunkBytes = 512;
// Pause after a wake-up that brought nothing to read.
constexpr int kIdlePauseMs = CSerialPort::kReadWaitMs;

StepResult Fail(Status status, std::string message)
{
    return {status, std::move(message)};
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
    return Fail(Status::Interrupted, "interrupted by " + SignalName(InterruptSignal()) + " before the reply to " +
                                         proto::RequestName(expect));
}

StepResult TimedOut(char expect, int timeoutMs)
{
    return Fail(Status::Timeout, "Error(Timeout): no reply to " + proto::RequestName(expect) + " within " +
                                     std::to_string(timeoutMs) + " ms");
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

}  // namespace

StepResult CModuleSession::OpenSerial(const std::string& path, const CSerialPort::Settings& settings)
{
    Close();
    if (!m_serial.Open(path)) {
        return Fail(Status::NoDevice, vendrill::SerialOpenError(path, m_serial.LastError()));
    }
    if (!m_serial.Configure(settings)) {
        const int err = m_serial.LastError();
        m_serial.Close();
        return Fail(Status::NoDevice, "cannot apply the line settings to " + path + ": " + std::strerror(err));
    }
    m_serial.Purge();
    return StartReader(m_serial);
}

StepResult CModuleSession::OpenUsb(const std::string& device)
{
    Close();
    std::string shown;
    const int fd = device.empty() ? usb::FindPrinter(0, [&shown](const char* text) { shown = text ? text : ""; })
                                  : usb::OpenSelectedPrinter(device, &shown);
    if (fd < 0) {
        if (shown.empty())
            return Fail(Status::NoDevice, vendrill::UsbOpenError(errno));
        // The window's "not our printer" box says too little here: which
        // printers are there, if any, or what the chosen one is.
        return Fail(Status::NoDevice, device.empty() ? NoAcceptedUsbPrinter() : shown);
    }
    if (!m_usb.Attach(fd))
        return Fail(Status::NoDevice, std::string("cannot use the USB printer: ") + std::strerror(errno));
    return StartReader(m_usb);
}

StepResult CModuleSession::StartReader(CLink& link)
{
    m_queue.Clear();  // no other thread uses it yet
    m_replyText.clear();
    {
        std::lock_guard lock(m_mutex);
        m_stop = false;
        m_linkLost = false;
        m_arrivals = 0;
        m_drains = 0;
    }
    link.ResetWake();
    m_link = &link;
    try {
        m_reader = std::thread(&CModuleSession::Reader, this);
    } catch (const std::system_error&) {
        link.Close();
        m_link = nullptr;
        return Fail(Status::Failure, "cannot start the reader thread");
    }
    StartInterruptWatch();
    return {};
}

void CModuleSession::StartInterruptWatch()
{
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = false;
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

void CModuleSession::Close()
{
    StopInterruptWatch();
    if (m_link == nullptr)
        return;
    if (m_reader.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        m_link->Wake();
        m_reader.join();
    }
    m_link->Close();
    m_link->ResetWake();
    m_link = nullptr;
}

bool CModuleSession::Deliver(const std::uint8_t* data, int n)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_stop)
            return false;
        const std::uint64_t drains = m_drains;
        lock.unlock();
        const bool stored = StoreChunk(m_queue, data, n);
        lock.lock();
        if (stored) {
            ++m_arrivals;
            lock.unlock();
            m_cv.notify_all();
            return true;
        }
        // Full: the caller is between drains. Wait for the next one instead
        // of losing the chunk.
        m_cv.wait(lock, [&] { return m_stop || m_drains != drains; });
    }
}

void CModuleSession::MarkLinkLost()
{
    {
        std::lock_guard lock(m_mutex);
        m_linkLost = true;
    }
    m_cv.notify_all();
}

void CModuleSession::Reader()
{
    std::uint8_t buffer[kChunkBytes];
    for (;;) {
        switch (m_link->WaitForData()) {
        case CLink::WaitResult::Woken:
            return;
        case CLink::WaitResult::HangUp:
        case CLink::WaitResult::Error:
            MarkLinkLost();
            return;
        case CLink::WaitResult::DataArrived:
            break;
        }
        const int n = m_link->Read(buffer, sizeof buffer);
        if (n > 0) {
            if (!Deliver(buffer, n))
                return;
        } else if (n == CLink::kWoken) {
            return;
        } else if (n < 0) {
            MarkLinkLost();
            return;
        } else if (m_link->WaitForWake(kIdlePauseMs)) {
            // Announced bytes that could not be read, or an empty packet:
            // pause briefly so that a link in such a state cannot make this
            // loop spin.
            return;
        }
    }
}

StepResult CModuleSession::Send(const proto::Bytes& bytes)
{
    if (m_link == nullptr)
        return Fail(Status::NoDevice, "no link is open");
    if (bytes.empty())
        return {};
    const int size = static_cast<int>(bytes.size());
    if (m_link->Write(bytes.data(), size) != size) {
        const int err = m_link->LastError();
        return Fail(Status::NoDevice, std::string("cannot write to the printer") +
                                          (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
    }
    return {};
}

StepResult CModuleSession::PrintLabel(const std::string& text)
{
    // Three line feeds move the printed name clear of the tear bar.
    StepResult step = Send(proto::Bytes(text.begin(), text.end()));
    for (int k = 0; k < 3 && step.status == Status::Ok; ++k)
        step = Send(proto::Bytes{0x0A});
    return step;
}

std::optional<proto::Reply> CModuleSession::DrainOnce()
{
    std::uint8_t batch[CQueue::QUEUE_SIZE];
    const int count = m_queue.GetCount();
    int n = 0;
    while (n < count && n < CQueue::QUEUE_SIZE && m_queue.GetByte(&batch[n]))
        ++n;
    if (n > 0) {
        {
            std::lock_guard lock(m_mutex);
            ++m_drains;
        }
        m_cv.notify_all();  // the reader may be waiting for room
    }
    if (n == 0)
        return std::nullopt;

    const std::size_t size = static_cast<std::size_t>(n);
    Trace("RX%s\n", proto::HexLogLine(batch, size).c_str());
    const proto::ReceiveStep step = proto::Receive(m_replyText, batch, size);
    if (!step.complete)
        return std::nullopt;
    proto::Reply reply = proto::ParseReply(step.reply);
    Trace("i:%d  j:%d\n", reply.i, reply.j);
    if (reply.hasCommand) {
        if (const char* line = proto::ReplyTrace(reply.command))
            Trace("%s", line);
    }
    return reply;
}

StepResult CModuleSession::AwaitReplyOnce(char expect, std::string* data, int timeoutMs)
{
    if (m_link == nullptr)
        return Fail(Status::NoDevice, "no link is open");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::unique_lock lock(m_mutex);
        const std::uint64_t seen = m_arrivals;
        const bool lost = m_linkLost;
        const bool interrupted = m_interrupted || InterruptSignal() != 0;
        lock.unlock();
        if (interrupted)
            return Interrupted(expect);

        // Everything stored before `seen` was read is drained here; later
        // chunks change m_arrivals and end the wait below.
        if (const std::optional<proto::Reply> reply = DrainOnce()) {
            if (reply->hasCommand && reply->command == proto::CMD_ERROR)
                return Fail(Status::ModuleError, "Bluetooth Setting Error (the module refused " +
                                                     proto::RequestName(expect) + ")");
            if (reply->hasCommand && reply->command == expect) {
                if (data)
                    *data = reply->data;
                return {};
            }
            // Another kind: not ours, keep waiting.
        } else if (lost) {
            return Fail(Status::NoDevice, "the link to the printer was lost while waiting for " +
                                              proto::RequestName(expect));
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return TimedOut(expect, timeoutMs);

        lock.lock();
        m_cv.wait_until(lock, deadline, [&] { return m_arrivals != seen || m_linkLost || m_interrupted; });
    }
}

StepResult CModuleSession::AwaitReply(char expect, std::string* data, int timeoutMs)
{
    StepResult r = AwaitReplyOnce(expect, data, timeoutMs);
    if (r.status != Status::Ok)
        r.request = expect;
    return r;
}

StepResult CModuleSession::Request(const proto::Bytes& frame, char expect, std::string* data)
{
    if (frame.size() >= 3) {
        if (const char* line = proto::RequestTrace(static_cast<char>(frame[2])))
            Trace("%s", line);
    }
    // Nothing more goes to the module once the user asked to stop.
    if (InterruptSignal() != 0) {
        StepResult stopped = Interrupted(expect);
        stopped.request = expect;
        return stopped;
    }
    StepResult sent = Send(frame);
    if (sent.status != Status::Ok)
        return sent;
    return AwaitReply(expect, data);
}

StepResult CModuleSession::ReadInfo(bool newModule, ModuleInfo* info)
{
    ModuleInfo got;
    // The chain as the window runs it: each reply names the request that
    // follows it. What was read stays in *info even when a later step fails.
    char command = proto::CMD_GET_BDA;
    StepResult r;
    while (command != 0) {
        std::string data;
        r = Request(proto::GetRequest(command), command, &data);
        if (r.status != Status::Ok)
            break;
        switch (command) {
        case proto::CMD_GET_BDA: got.address = data; break;
        case proto::CMD_GET_PINKEY: got.pin = data; break;
        case proto::CMD_GET_BDN: got.name = data; break;
        case proto::CMD_GET_LEVEL: got.level = proto::LevelText(data); break;
        case proto::CMD_GET_PAIRING: got.pairing = proto::PairingModeText(data).value_or(data); break;
        default: break;
        }
        command = proto::NextRequest(command, data, newModule);
    }
    if (info)
        *info = std::move(got);
    return r;
}

}  // namespace vendrill::cli
