#include "app/cli/ModuleSession.h"

#include "app/Trace.h"
#include "app/cli/Interrupt.h"

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <system_error>

#include <poll.h>

namespace vendrill::cli {

namespace {

// Largest chunk the reader takes at once; well below what an empty queue holds.
constexpr int kChunkBytes = 512;

// The developer trace line written before a request goes out, by command.
const char* RequestTrace(char command)
{
    switch (command) {
    case proto::CMD_GET_BDN: return "ESC ~ 1 Get GDN\n";
    case proto::CMD_SET_BDN: return "ESC ~ 2 Set GDN\n";
    case proto::CMD_GET_BDA: return "ESC ~ 3 Get GDA\n";
    case proto::CMD_GET_PINKEY: return "ESC ~ 4  Get PINKEY\n";
    case proto::CMD_SET_PINKEY: return "ESC ~ 5 Set PINKEY\n";
    case proto::CMD_GET_LEVEL: return "ESC ~ 6  Get LEVEL\n";
    case proto::CMD_SET_LEVEL: return "ESC ~ 7  Set LEVEL\n";
    case proto::CMD_GET_PAIRING: return "Get pairing way : ESC '~' 'A'\n";
    case proto::CMD_SET_PAIRING: return "Set pairing way : ESC '~' 'B' way \n";
    default: return nullptr;
    }
}

// The developer trace line written when a reply of this kind is decoded.
const char* ReplyTrace(char command)
{
    switch (command) {
    case proto::CMD_GET_BDN: return "Get BDN\n";
    case proto::CMD_SET_BDN: return "Set BDN\n";
    case proto::CMD_GET_BDA: return "Get BDA\n";
    case proto::CMD_GET_PINKEY: return "Get PinKey\n";
    case proto::CMD_SET_PINKEY: return "Set PinKey\n";
    case proto::CMD_GET_LEVEL: return "Get Level\n";
    case proto::CMD_SET_LEVEL: return "Set Level\n";
    case proto::CMD_GET_PAIRING: return "Get pairing mode\n";
    case proto::CMD_SET_PAIRING: return "Set pairing mode\n";
    default: return nullptr;
    }
}

// Name of a request for messages.
std::string RequestName(char command)
{
    switch (command) {
    case proto::CMD_GET_BDN: return "Get BDN";
    case proto::CMD_SET_BDN: return "Set BDN";
    case proto::CMD_GET_BDA: return "Get BDA";
    case proto::CMD_GET_PINKEY: return "Get PinKey";
    case proto::CMD_SET_PINKEY: return "Set PinKey";
    case proto::CMD_GET_LEVEL: return "Get Level";
    case proto::CMD_SET_LEVEL: return "Set Level";
    case proto::CMD_GET_PAIRING: return "Get pairing mode";
    case proto::CMD_SET_PAIRING: return "Set pairing mode";
    case proto::CMD_GET_SNIFF: return "get sniff mode status";
    case proto::CMD_SET_SNIFF: return "set sniff mode";
    default: return std::string("request '") + command + "'";
    }
}

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
                                         RequestName(expect));
}

StepResult TimedOut(char expect, int timeoutMs)
{
    return Fail(Status::Timeout, "Error(Timeout): no reply to " + RequestName(expect) + " within " +
                                     std::to_string(timeoutMs) + " ms");
}

}  // namespace

StepResult CModuleSession::OpenSerial(const std::string& path, const CSerialPort::Settings& settings)
{
    Close();
    if (!m_serial.Open(path)) {
        const int err = m_serial.LastError();
        return Fail(Status::NoDevice, "Unable to open the port " + path + ": " + std::strerror(err));
    }
    if (!m_serial.Configure(settings)) {
        const int err = m_serial.LastError();
        m_serial.Close();
        return Fail(Status::NoDevice, "cannot apply the line settings to " + path + ": " + std::strerror(err));
    }
    m_serial.Purge();
    m_kind = Kind::Serial;
    StartReader();
    if (!m_reader.joinable()) {
        m_serial.Close();
        m_kind = Kind::None;
        return Fail(Status::Failure, "cannot start the reader thread");
    }
    return {};
}

StepResult CModuleSession::OpenUsb(const std::string& device)
{
    Close();
    std::string shown;
    const int fd = device.empty() ? usb::FindPrinter(0, [&shown](const char* text) { shown = text ? text : ""; })
                                  : usb::OpenSelectedPrinter(device, &shown);
    if (fd < 0)
        return Fail(Status::NoDevice, shown.empty() ? "cannot open the USB printer" : shown);
    if (!m_usb.Attach(fd))
        return Fail(Status::NoDevice, std::string("cannot use the USB printer: ") + std::strerror(errno));
    m_kind = Kind::Usb;
    StartReader();
    if (!m_reader.joinable()) {
        m_usb.Close();
        m_kind = Kind::None;
        return Fail(Status::Failure, "cannot start the reader thread");
    }
    return {};
}

void CModuleSession::StartReader()
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
    try {
        if (m_kind == Kind::Serial)
            m_reader = std::thread(&CModuleSession::SerialReader, this);
        else
            m_reader = std::thread(&CModuleSession::UsbReader, this);
        m_open = true;
    } catch (const std::system_error&) {
        m_open = false;
    }
    if (m_open)
        StartInterruptWatch();
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
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents != 0)
            break;
    }
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
    }
    m_cv.notify_all();
}

void CModuleSession::Close()
{
    StopInterruptWatch();
    if (m_reader.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_kind == Kind::Serial)
            m_serial.Wake();
        else
            m_usb.Wake();
        m_reader.join();
    }
    if (m_kind == Kind::Serial) {
        m_serial.Close();
        m_serial.ResetWake();
    } else if (m_kind == Kind::Usb) {
        m_usb.Close();
        m_usb.ResetWake();
    }
    m_kind = Kind::None;
    m_open = false;
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

void CModuleSession::SerialReader()
{
    std::uint8_t buffer[kChunkBytes];
    for (;;) {
        switch (m_serial.WaitForData()) {
        case CSerialPort::WaitResult::Woken:
            return;
        case CSerialPort::WaitResult::HangUp:
        case CSerialPort::WaitResult::Error:
            MarkLinkLost();
            return;
        case CSerialPort::WaitResult::DataArrived:
            break;
        }
        const int n = m_serial.Read(buffer, sizeof buffer);
        if (n > 0) {
            if (!Deliver(buffer, n))
                return;
        } else if (m_serial.WaitForWake(CSerialPort::kReadWaitMs)) {
            // Announced bytes that could not be read: pause briefly so that a
            // line in a bad state cannot make this loop spin.
            return;
        }
    }
}

void CModuleSession::UsbReader()
{
    std::uint8_t buffer[kChunkBytes];
    for (;;) {
        const int n = m_usb.Read(buffer, sizeof buffer);
        if (n == usb::CUsbPrinter::kWoken)
            return;
        if (n <= 0) {
            MarkLinkLost();
            return;
        }
        if (!Deliver(buffer, n))
            return;
    }
}

StepResult CModuleSession::Send(const proto::Bytes& bytes)
{
    if (!m_open)
        return Fail(Status::NoDevice, "no link is open");
    if (bytes.empty())
        return {};
    const int size = static_cast<int>(bytes.size());
    int written = 0;
    if (m_kind == Kind::Serial) {
        written = m_serial.Write(bytes.data(), size);
        if (written != size) {
            const int err = m_serial.LastError();
            return Fail(Status::NoDevice, std::string("cannot write to the port: ") + std::strerror(err));
        }
    } else {
        written = m_usb.Write(bytes.data(), size);
        if (written != size)
            return Fail(Status::NoDevice, "cannot write to the USB printer");
    }
    return {};
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
        if (const char* line = ReplyTrace(reply.command))
            Trace("%s", line);
    }
    return reply;
}

StepResult CModuleSession::AwaitReply(char expect, std::string* data, int timeoutMs)
{
    if (!m_open)
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
                                                     RequestName(expect) + ")");
            if (reply->hasCommand && reply->command == expect) {
                if (data)
                    *data = reply->data;
                return {};
            }
            // Another kind: not ours, keep waiting.
        } else if (lost) {
            return Fail(Status::NoDevice, "the link to the printer was lost while waiting for " +
                                              RequestName(expect));
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return TimedOut(expect, timeoutMs);

        lock.lock();
        m_cv.wait_until(lock, deadline, [&] { return m_arrivals != seen || m_linkLost || m_interrupted; });
    }
}

StepResult CModuleSession::Request(const proto::Bytes& frame, char expect, std::string* data)
{
    if (frame.size() >= 3) {
        if (const char* line = RequestTrace(static_cast<char>(frame[2])))
            Trace("%s", line);
    }
    // Nothing more goes to the module once the user asked to stop.
    if (InterruptSignal() != 0)
        return Interrupted(expect);
    StepResult sent = Send(frame);
    if (sent.status != Status::Ok)
        return sent;
    return AwaitReply(expect, data);
}

StepResult CModuleSession::ReadInfo(bool newModule, ModuleInfo* info)
{
    ModuleInfo got;
    std::string data;
    StepResult r = Request(proto::GetRequest(proto::CMD_GET_BDA), proto::CMD_GET_BDA, &data);
    if (r.status != Status::Ok)
        return r;
    got.address = data;
    r = Request(proto::GetRequest(proto::CMD_GET_PINKEY), proto::CMD_GET_PINKEY, &data);
    if (r.status != Status::Ok)
        return r;
    got.pin = data;
    r = Request(proto::GetRequest(proto::CMD_GET_BDN), proto::CMD_GET_BDN, &data);
    if (r.status != Status::Ok)
        return r;
    got.name = data;

    bool readLevel = !newModule;
    if (newModule) {
        r = Request(proto::GetRequest(proto::CMD_GET_PAIRING), proto::CMD_GET_PAIRING, &data);
        if (r.status != Status::Ok)
            return r;
        const std::optional<std::string> mode = proto::PairingModeText(data);
        got.pairing = mode ? *mode : data;
        // Only Legacy pairing uses the security level.
        readLevel = data == "1";
    }
    if (readLevel) {
        r = Request(proto::GetRequest(proto::CMD_GET_LEVEL), proto::CMD_GET_LEVEL, &data);
        if (r.status != Status::Ok)
            return r;
        got.level = proto::LevelText(data);
    }
    if (info)
        *info = std::move(got);
    return {};
}

}  // namespace vendrill::cli
