// The session's links: the serial port and its watcher, the USB printer and
// its reader, and what every link starts with.
#include "session/Session.h"

#include "base/Trace.h"

#include <cerrno>
#include <system_error>

namespace vendrill {

namespace {
constexpr const char* kQueueFullText = "m_QueueRead FULL!";
constexpr const char* kUsbReadFailedText = "Disconnect the USB communication. Connect the USB port again!";
}  // namespace

LinkResult CSession::OpenPort(const std::string& path, const CSerialPort::Settings& settings)
{
    m_connected = false;
    if (path.empty())
        return {LinkResult::Code::CannotOpen, ENOENT};
    if (LinkResult opened = m_serial.Open(path); !opened)
        return opened;
    m_serial.Purge();
    if (LinkResult configured = m_serial.Configure(settings); !configured) {
        m_serial.Close();
        return configured;
    }
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
    while (s->m_connected) {
        if (hungUp) {
            // The line is gone (adapter pulled, other end closed): wait for
            // the close instead of spinning on a dead descriptor.
            port.WaitForWake(-1);
            continue;
        }
        const auto event = port.WaitForData();
        if (event == WaitResult::Woken)
            continue;
        if (event != WaitResult::Ready) {
            hungUp = true;
            s->m_observer.LineHungUp();
            continue;
        }
        // Let the rest of a reply arrive, so that it is announced once.
        if (s->m_policy.settleMs > 0 && port.WaitForWake(s->m_policy.settleMs))
            continue;
        while (s->m_connected) {
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
        if (!m_connected && !m_usbReaderRun)
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
    m_connected = false;
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

LinkResult CSession::ConnectUsb(const std::function<int()>& find)
{
    if (m_connected) {
        Trace("Already Connected\n");
        return {LinkResult::Code::AlreadyOpen, EISCONN};
    }
    Trace("USB_Connection -1\n");
    const int fd = find();
    const int findError = errno;
    Trace("USB_Connection -2\n");
    if (fd < 0) {
        Trace("DGPCI Device Open failed\n");
        return {LinkResult::Code::CannotOpen, findError};
    }
    // A reader that ended after a failed read may still wait to be joined.
    StopUsbReader();
    if (LinkResult attached = m_usbDevice.Attach(fd); !attached) {
        Trace("DGPCI Device Open failed\n");
        return attached;
    }
    m_usbDevice.ResetWake();
    BeginLink();
    m_usbReaderRun = true;
    m_activeLink = LinkKind::Usb;
    ++m_usbGeneration;
    Trace("Open Success -1\n");
    LinkResult started;
    try {
        m_usbThread = std::thread(&CSession::UsbReadThread, this, m_usbGeneration.load());
    } catch (const std::system_error& e) {
        m_connected = false;
        m_usbReaderRun = false;
        m_activeLink = LinkKind::None;
        m_usbDevice.Close();
        started = {LinkResult::Code::NoThread, e.code().value()};
    }
    Trace("Open Success -2\n");
    return started;
}

bool CSession::DisconnectUsb()
{
    m_connected = false;
    m_usbReaderRun = false;
    Trace("USB_Disconnection\n");
    if (m_usbThread.joinable()) {
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
    if (!m_usbThread.joinable())
        return;
    m_usbReaderRun = false;
    m_usbDevice.Wake();  // ends a blocked read and the reader's pauses
    m_observer.CancelReaderWaits();
    m_usbThread.join();
    m_usbDevice.ResetWake();
}

bool CSession::UsbPause(int ms)
{
    return !m_usbDevice.WaitForWake(ms);
}

unsigned CSession::UsbReadThread(CSession* s, unsigned generation)
{
    const unsigned link = s->m_linkGeneration.load();
    std::uint8_t buffer[CQueue::QUEUE_SIZE];
    while (s->m_usbReaderRun) {
        int n = 0;
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
                n = 1;                          // and then reads again
                continue;
            }
            Trace("TestUSBReadThread - 2\n");
            n = s->ReadComm(buffer, room);
            if (n < 0)
                Trace("Readcomm error reading\n");
            Trace("Read data: %d\n", n);
            Trace("TestUSBReadThread - 3\n");
            Trace("TestUSBReadThread: bulk read %d bytes\n", n);
            if (!s->m_usbReaderRun)
                break;  // a disconnect is under way: queue and post nothing more
            if (n < 0) {
                Trace("TestUSBReadThread - 4\n");
                s->m_usbReaderRun = false;
                if (s->UsbPause(s->m_policy.usbLostPauseMs)) {
                    s->m_observer.ReaderMessage(kUsbReadFailedText);
                    // The link goes down on the front end's thread, which
                    // joins this thread and releases the device.
                    s->m_connected = false;
                    s->m_observer.UsbGone(generation);
                }
                break;
            }
            if (s->Store(buffer, n, link))
                Trace("TestUSBReadThread - 5\n");
            s->m_observer.Arrived(link);
        } while (n > 0 && s->m_usbReaderRun);
        Trace("TestUSBReadThread - 6\n");
    }
    Trace("TestUSBReadThread - 7\n");
    return 1;
}

void CSession::UsbLost(unsigned generation)
{
    // Only the link that failed goes down, not one opened since.
    if (generation != m_usbGeneration.load() || m_usbReaderRun)
        return;
    StopUsbReader();
    m_usbDevice.Close();
    if (m_activeLink.load() == LinkKind::Usb)
        m_activeLink = LinkKind::None;
}

void CSession::Shutdown()
{
    if (!m_watchThread.joinable() && !m_usbThread.joinable() && !m_serial.IsOpen() && !m_usbDevice.IsOpen())
        return;  // nothing to close: the observer may be on its way out
    m_observer.CancelReaderWaits();
    ClosePort();
    if (m_usbThread.joinable() || m_usbDevice.IsOpen())
        DisconnectUsb();
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
    Over(Outcome(Outcome::Kind::LinkLost));
    m_connected = true;
}

}  // namespace vendrill
