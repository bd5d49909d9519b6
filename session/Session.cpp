#include "session/Session.h"

#include "base/Trace.h"
#include "protocol/Conversation.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace vendrill {

const char* const CSession::kTimeoutText = "Error(Timeout)";
const char* const CSession::kModuleErrorText = "Bluetooth Setting Error";

namespace {
constexpr const char* kQueueFullText = "m_QueueRead FULL!";
constexpr const char* kUsbReadFailedText = "Disconnect the USB communication. Connect the USB port again!";
}  // namespace

CSession::CSession(Observer& observer, Policy policy)
    : m_observer(observer)
    , m_policy(policy)
{
}

CSession::~CSession()
{
    Shutdown();
}

// --- links ----------------------------------------------------------------------

LinkResult CSession::OpenPort(const std::string& path, const CSerialPort::Settings& settings)
{
    m_Connected = 0;
    if (path.empty())
        return {LinkResult::Code::CannotOpen, ENOENT};
    if (LinkResult opened = m_serial.Open(path); !opened)
        return opened;
    m_serial.Purge();
    if (LinkResult configured = m_serial.Configure(settings); !configured)
        return configured;  // held, not configured: the next open or close releases it
    m_serial.ResetWake();
    BeginLink();
    m_activeLink = LinkKind::Serial;
    try {
        m_watchThread = std::thread(&CSession::ThreadWatchComm, this);
    } catch (const std::system_error& e) {
        ClosePort();
        return {LinkResult::Code::NoThread, e.code().value()};
    }
    return {};
}

unsigned CSession::ThreadWatchComm(CSession* s)
{
    CSerialPort& port = s->m_serial;
    const unsigned link = s->m_linkGeneration.load();
    std::uint8_t buffer[CQueue::QUEUE_SIZE];
    bool hungUp = false;
    while (s->m_Connected) {
        if (hungUp) {
            // The line is gone (adapter pulled, other end closed): wait for
            // the close instead of spinning on a dead descriptor.
            port.WaitForWake(-1);
            continue;
        }
        const auto event = port.WaitForData();
        if (event == CSerialPort::WaitResult::Woken)
            continue;
        if (event != CSerialPort::WaitResult::DataArrived) {
            hungUp = true;
            s->m_observer.LineHungUp();
            continue;
        }
        // Let the rest of a reply arrive, so that it is announced once.
        if (s->m_policy.settleMs > 0 && port.WaitForWake(s->m_policy.settleMs))
            continue;
        while (s->m_Connected) {
            // At most one byte less than the queue holds: a chunk of the
            // buffer's full size could never be stored, not even into an empty
            // queue, so a steady stream would be dropped chunk after chunk.
            const int n = s->ReadComm(buffer, CQueue::QUEUE_SIZE - 1);
            if (n <= 0)
                break;
            s->Store(buffer, n, link);
        }
        s->m_observer.Arrived(link);
    }
    return 1;
}

bool CSession::Store(const std::uint8_t* data, int n, unsigned link)
{
    while (!StoreChunk(m_QueueRead, data, n)) {
        // Announce what is waiting first, so that the front end can take it
        // meanwhile; otherwise a steady stream would keep the queue full.
        m_observer.Arrived(link);
        if (!m_observer.QueueFull(link)) {
            m_observer.ReaderMessage(kQueueFullText);
            return false;
        }
        if (!m_Connected && !m_USBThreadRun)
            return false;
    }
    return true;
}

CLink* CSession::LinkUp()
{
    switch (m_activeLink.load()) {
    case LinkKind::Serial: return &m_serial;
    case LinkKind::Usb: return &m_usbDevice;
    case LinkKind::None: break;
    }
    return nullptr;
}

int CSession::ReadComm(std::uint8_t* buffer, int size)
{
    CLink* link = LinkUp();
    if (link == nullptr)
        return 0;
    const int n = link->Read(buffer, size);
    return n == CLink::kWoken ? 0 : n;  // a wake is no data
}

int CSession::WriteComm(const std::uint8_t* data, int count)
{
    // The link that is up carries the bytes.
    CLink* link = LinkUp();
    if (link == nullptr)
        return 0;
    const int written = link->Write(data, count);
    return written < 0 ? 0 : written;
}

int CSession::LastLinkError()
{
    CLink* link = LinkUp();
    return link ? link->LastError() : 0;
}

bool CSession::ClosePort()
{
    m_Connected = 0;
    if (m_watchThread.joinable()) {
        m_serial.Wake();
        m_observer.CancelReaderWaits();
        m_watchThread.join();
    }
    if (m_serial.IsOpen()) {
        if (m_policy.purgeOnClose)
            m_serial.Purge();
        m_serial.Close();
    }
    m_serial.ResetWake();
    if (m_activeLink.load() == LinkKind::Serial)
        m_activeLink = LinkKind::None;
    return true;
}

LinkResult CSession::AttachUsb(int fd)
{
    // A reader that ended after a failed read may still wait to be joined.
    StopUsbReader();
    return m_usbDevice.Attach(fd);
}

LinkResult CSession::StartUsb()
{
    m_usbDevice.ResetWake();
    BeginLink();
    m_USBThreadRun = 1;
    m_activeLink = LinkKind::Usb;
    ++m_usbGeneration;
    Trace("Open Success -1\n");
    LinkResult started;
    try {
        m_USBThread = std::thread(&CSession::TestUSBReadThread, this, m_usbGeneration.load());
    } catch (const std::system_error& e) {
        m_Connected = 0;
        m_USBThreadRun = 0;
        m_activeLink = LinkKind::None;
        m_usbDevice.Close();
        started = {LinkResult::Code::NoThread, e.code().value()};
    }
    Trace("Open Success -2\n");
    return started;
}

bool CSession::USB_Disconnection()
{
    m_Connected = 0;
    m_USBThreadRun = 0;
    Trace("USB_Disconnection\n");
    if (m_USBThread.joinable()) {
        Trace("USB_Disconnection-1\n");
        Trace("USB_Disconnection-2\n");
        StopUsbReader();
        Trace("USB_Disconnection-3\n");
    }
    m_usbDevice.Close();
    if (m_activeLink.load() == LinkKind::Usb)
        m_activeLink = LinkKind::None;
    Trace("USB_Disconnection-4\n");
    return true;
}

// Ends the reader at once, also while it blocks in a read or waits on the
// front end, and joins it; nothing of it runs after this returns.
void CSession::StopUsbReader()
{
    if (!m_USBThread.joinable())
        return;
    m_USBThreadRun = 0;
    m_usbDevice.Wake();  // ends a blocked read and the reader's pauses
    m_observer.CancelReaderWaits();
    m_USBThread.join();
    m_usbDevice.ResetWake();
}

bool CSession::UsbPause(int ms)
{
    return !m_usbDevice.WaitForWake(ms);
}

unsigned CSession::TestUSBReadThread(CSession* s, unsigned generation)
{
    const unsigned link = s->m_linkGeneration.load();
    std::uint8_t buffer[CQueue::QUEUE_SIZE];
    while (s->m_USBThreadRun) {
        do {
            if (!s->UsbPause(s->m_policy.usbPauseMs))
                break;
            // Read no more than the queue can take, so that no chunk is ever
            // dropped: a full-size read could not be stored even into an empty
            // queue, and bytes read while the front end lags behind would be
            // lost. Until it makes room, the bytes wait in the device.
            const int room = CQueue::QUEUE_SIZE - 1 - s->m_QueueRead.GetCount();
            if (room <= 0) {
                s->m_observer.QueueFull(link);  // a front end that drains on its own waits here
                continue;
            }
            Trace("TestUSBReadThread - 2\n");
            s->m_USBReadCount = 0;
            const int n = s->ReadComm(buffer, room);
            if (n < 0)
                Trace("Readcomm error reading\n");
            Trace("Read data: %d\n", n);
            s->m_USBReadCount = n;
            Trace("TestUSBReadThread - 3\n");
            Trace("TestUSBReadThread: bulk read %d bytes\n", n);
            if (!s->m_USBThreadRun)
                break;  // a disconnect is under way: queue and post nothing more
            if (n < 0) {
                Trace("TestUSBReadThread - 4\n");
                s->m_USBThreadRun = 0;
                if (s->UsbPause(s->m_policy.usbLostPauseMs)) {
                    s->m_observer.ReaderMessage(kUsbReadFailedText);
                    // The link goes down on the front end's thread, which
                    // joins this thread and releases the device.
                    s->m_Connected = 0;
                    s->m_observer.UsbGone(generation);
                }
                break;
            }
            if (s->Store(buffer, n, link))
                Trace("TestUSBReadThread - 5\n");
            s->m_observer.Arrived(link);
        } while (s->m_USBReadCount > 0 && s->m_USBThreadRun);
        Trace("TestUSBReadThread - 6\n");
    }
    Trace("TestUSBReadThread - 7\n");
    return 1;
}

void CSession::UsbLost(unsigned generation)
{
    // Only the link that failed goes down, not one opened since.
    if (generation != m_usbGeneration.load() || m_USBThreadRun)
        return;
    StopUsbReader();
    m_usbDevice.Close();
    if (m_activeLink.load() == LinkKind::Usb)
        m_activeLink = LinkKind::None;
}

void CSession::Shutdown()
{
    if (!m_watchThread.joinable() && !m_USBThread.joinable() && !m_serial.IsOpen() && !m_usbDevice.IsOpen())
        return;  // nothing to close: the observer may be on its way out
    m_observer.CancelReaderWaits();
    ClosePort();
    if (m_USBThread.joinable() || m_usbDevice.IsOpen())
        USB_Disconnection();
}

void CSession::BeginLink()
{
    m_observer.AllowReaderWaits();
    // A reply cut off on an earlier link can never be completed on this one:
    // left in place it would be glued to the first reply of the new link.
    m_ReplyText.clear();
    // Nothing of an earlier link reaches this one: its queued bytes go, and
    // its notifications still on their way are ignored (their stamp).
    m_QueueRead.Clear();
    ++m_linkGeneration;
    // Nor is a request sent on that link answered here: its time-out would
    // close this link and its busy flag would refuse this link's requests.
    m_observer.KillTimer1();
    m_Busy = 0;
    m_outstanding = 0;
    m_Connected = 1;
}

// --- requests -------------------------------------------------------------------

void CSession::TraceRequest(char command) const
{
    if (const char* line = proto::RequestTrace(command))
        Trace("%s", line);
}

void CSession::Armed(char command)
{
    m_observer.SetTimer1();
    m_Busy = 1;
    m_outstanding = command;
}

bool CSession::Get(char command)
{
    TraceRequest(command);
    m_observer.Requesting(command);
    // Get BDN goes out even while busy; every other Get waits its turn.
    if (command != proto::CMD_GET_BDN && m_Busy)
        return true;
    const bool sent = SendFrame(proto::GetRequest(command));
    // Every Get starts the reply timer, Get BDA included: a module that never
    // answers must not leave the busy flag set for good.
    Armed(command);
    return sent;
}

bool CSession::SendSelect(char command, char selection)
{
    return Request(proto::SelectRequest(command, selection));
}

bool CSession::SendText(char command, const std::string& text)
{
    const auto frame = proto::TextRequest(command, text);
    return frame && Request(*frame);
}

bool CSession::Request(const proto::Bytes& frame)
{
    const bool sent = SendFrame(frame);
    Armed(frame.size() > 2 ? static_cast<char>(frame[2]) : 0);
    return sent;
}

bool CSession::SendFrame(const proto::Bytes& frame)
{
    const int size = static_cast<int>(frame.size());
    return WriteComm(frame.data(), size) == size;
}

bool CSession::PrintLabel(const std::string& text)
{
    const int size = static_cast<int>(text.size());
    bool ok = WriteComm(reinterpret_cast<const std::uint8_t*>(text.data()), size) == size;
    // Three line feeds move the printed name clear of the tear bar; one byte
    // per write, as it has always been sent.
    const std::uint8_t lf = 0x0A;
    for (int i = 0; i < 3; ++i)
        ok = WriteComm(&lf, 1) == 1 && ok;
    return ok;
}

// --- replies --------------------------------------------------------------------

long CSession::OnCommunication()
{
    std::memset(m_ReceiveBuffer, 0, sizeof m_ReceiveBuffer);
    const int count = m_QueueRead.GetCount();
    if (count == 0)
        return -1;
    for (int i = 0; i < count; ++i)
        m_QueueRead.GetByte(&m_ReceiveBuffer[i]);
    // Shown at once: a message box inside the decoder lets further
    // notifications refill the buffer, and their batches come later.
    m_observer.Received(m_ReceiveBuffer, static_cast<std::size_t>(count));

    // The reply is taken out before it is decoded: a message box inside the
    // decoder lets further notifications run, and they must neither decode
    // this reply again nor lose bytes that arrive meanwhile.
    proto::ReceiveStep step = proto::Receive(m_ReplyText, m_ReceiveBuffer, static_cast<std::size_t>(count));
    if (step.complete) {
        Trace("OnCommunication -1\n");
        BT_RECEIVE_MSG(step.reply);
    }
    if (step.overflowed)
        Trace("OnCommunication -2\n");
    Trace("OnCommunication -3\n");
    return 1;
}

int CSession::BT_RECEIVE_MSG(const std::string& text)
{
    m_observer.BeforeDecode();
    Trace("BT_RECEIVE_MSG -1\n");
    const proto::Reply reply = proto::ParseReply(text);
    Trace("i:%d  j:%d\n", reply.i, reply.j);
    if (!reply.hasCommand) {
        m_observer.AfterDecode();
        return 0;
    }

    const char command = reply.command;
    const std::string& data = reply.data;
    switch (command) {
    case proto::CMD_ERROR:
        m_observer.KillTimer1();
        m_Busy = 0;
        m_outstanding = 0;
        m_observer.ModuleError(kModuleErrorText);
        break;
    case proto::CMD_GET_SNIFF:
        if (const auto status = proto::SniffText(data))
            m_observer.SniffStatus(*status);
        break;
    default: {
        const char* line = proto::ReplyTrace(command);
        if (line == nullptr)
            break;  // not a reply of ours
        Trace("%s", line);
        m_observer.KillTimer1();
        m_Busy = 0;
        m_outstanding = 0;
        m_observer.Reply(command, data);
        // The read-back chain goes on with the next request, if any.
        const char next = m_chain ? proto::NextRequest(command, data, m_NewVersion != 0) : 0;
        if (next != 0)
            Get(next);
        break;
    }
    }
    m_observer.AfterDecode();
    return 0;
}

void CSession::OnTimer()
{
    m_observer.KillTimer1();
    m_Busy = 0;
    m_outstanding = 0;
    m_observer.TimedOut(kTimeoutText);
    // A late reply decoded meanwhile (the front end may have shown a box)
    // may have sent the next request of the chain; its link is gone now,
    // so nothing can answer it.
    m_observer.KillTimer1();
    m_Busy = 0;
    m_outstanding = 0;
}

}  // namespace vendrill
