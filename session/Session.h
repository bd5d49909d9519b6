#pragma once

// One conversation with the printer's Bluetooth module, the same under the
// window and the command-line tool: the link that is open (serial port or
// USB printer) and its reader thread, the receive queue, the reply text being
// assembled, the decoder, the busy flag and the reply timer, the read-back
// chain that each reply drives, the label print, and the trace lines of it
// all. Qt-free. A front end hears of it through an Observer and drives it
// from one thread of its own (the "driving thread"); only the reader thread
// calls the Observer's reader methods.

#include "link/Queue.h"
#include "link/SerialPort.h"
#include "link/UsbPrinter.h"
#include "protocol/Protocol.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace vendrill {

// Where the window and the command-line tool differ. The window's serial
// watcher lets the rest of a reply arrive before it announces it, so that a
// reply is announced once; its USB reader pauses between reads; closing the
// port drops what was not sent yet. A front end that waits for replies
// itself announces at once, and lets its last request go out.
struct SessionPolicy {
    int settleMs = 200;
    int usbPauseMs = 50;
    int usbLostPauseMs = 1500;  // after a failed USB read, before the link is given up
    bool purgeOnClose = true;
};

class CSession {
public:
    // How long a request waits for its reply before it is given up.
    static constexpr int kReplyTimeoutMs = 2000;
    // The texts the user sees for the two outcomes that are not a reply: no
    // reply in time, and the module's error reply.
    static const char* const kTimeoutText;
    static const char* const kModuleErrorText;

    enum class LinkKind { None, Serial, Usb };

    class Observer {
    public:
        virtual ~Observer() = default;

        // --- reader thread ---
        // Bytes wait in the queue; `link` stamps the link they came on.
        virtual void Arrived(unsigned link) = 0;
        // The queue has no room for what the reader holds. A front end that
        // can, waits for room and returns true; false: a chunk in hand is
        // dropped and the user told (ReaderMessage).
        virtual bool QueueFull(unsigned link) = 0;
        // A message the user must confirm before the reader goes on.
        virtual void ReaderMessage(const std::string& text) = 0;
        // The serial line hung up (the reader waits for the close).
        virtual void LineHungUp() {}
        // The USB reader gave up after a failed read; the front end takes
        // the link down (UsbLost on its own thread).
        virtual void UsbGone(unsigned generation) = 0;

        // --- driving thread ---
        // Stops every wait a reader thread may be in on the front end, before
        // the reader is joined; a new link allows them again.
        virtual void CancelReaderWaits() {}
        virtual void AllowReaderWaits() {}
        // The reply timer: armed for kReplyTimeoutMs, or stopped.
        virtual void SetTimer1() = 0;
        virtual void KillTimer1() = 0;
        // A drained batch, every byte of it.
        virtual void Received(const std::uint8_t* bytes, std::size_t n) = 0;
        // A Get request is about to go out (its field is emptied).
        virtual void Requesting(char command) { (void)command; }
        // Around the decoding of a complete reply.
        virtual void BeforeDecode() {}
        virtual void AfterDecode() {}
        // A reply of ours: its command character and data text.
        virtual void Reply(char command, const std::string& data) = 0;
        // The sniff status ('C' reply), as text.
        virtual void SniffStatus(const std::string& text) { (void)text; }
        // The module refused ('9'): kModuleErrorText.
        virtual void ModuleError(const std::string& text) = 0;
        // No reply in time: kTimeoutText.
        virtual void TimedOut(const std::string& text) = 0;
    };

    using Policy = SessionPolicy;
    explicit CSession(Observer& observer, Policy policy = {});
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // --- links ---
    // Opens and configures the serial port and starts its watcher. A port
    // that takes no settings stays held (not up) until the next open or close.
    LinkResult OpenPort(const std::string& path, const CSerialPort::Settings& settings);
    bool ClosePort();
    // Takes an opened USB printer descriptor (after the reader of an earlier
    // link is joined), then begins the link and starts its reader.
    LinkResult AttachUsb(int fd);
    LinkResult StartUsb();
    bool USB_Connection(int fd) { return AttachUsb(fd) && StartUsb(); }
    bool USB_Disconnection();
    // After UsbGone: takes down that link, unless another one is up since.
    void UsbLost(unsigned generation);
    // Closes whatever is open and joins the readers.
    void Shutdown();

    LinkKind ActiveLink() const { return m_activeLink.load(); }
    bool IsSerialHeld() const { return m_serial.IsOpen(); }
    bool IsWatcherRunning() const { return m_watchThread.joinable(); }
    bool IsUsbReaderRunning() const { return m_USBThread.joinable(); }
    bool IsCurrentLink(unsigned link) const { return link == m_linkGeneration.load(); }

    // Reads and writes go over the link that is up: bytes, 0 when none.
    int ReadComm(std::uint8_t* buffer, int size);
    int WriteComm(const std::uint8_t* data, int count);
    int LastLinkError();

    // --- requests ---
    void TraceRequest(char command) const;
    // Each request returns false only when the link did not take all of its
    // frame (the window does not look).
    // A Get request: traced, its field emptied (Requesting); refused while
    // busy, except Get BDN; sent with the reply timer.
    bool Get(char command);
    // A selection or text request, sent with the reply timer (the caller
    // checked the busy flag). SendText sends nothing for a text that cannot
    // be sent (empty, too long) and returns false.
    bool SendSelect(char command, char selection);
    bool SendText(char command, const std::string& text);
    // A frame sent as it is, without the timer (sniff).
    bool SendFrame(const proto::Bytes& frame);
    // A request frame of any kind, sent with the reply timer.
    bool Request(const proto::Bytes& frame);
    // The label: the text outside any frame, then three line feeds, each a
    // write of its own. False when the link refused a byte.
    bool PrintLabel(const std::string& text);
    // Whether a reply drives the next request of the read-back chain (the
    // window always; the command-line tool asks for it).
    void SetChain(bool chain) { m_chain = chain; }

    // --- replies ---
    // Takes what the queue holds: -1 when it was empty, else 1 after the
    // batch went to Received and a reply it completed was decoded.
    long OnCommunication();
    // Decodes a complete reply text (BT_RECEIVE_MSG).
    int BT_RECEIVE_MSG(const std::string& text);
    // The reply timer ran out.
    void OnTimer();
    // What is outstanding: the command of the last request with the timer.
    char Outstanding() const { return m_outstanding; }

    // --- state the front ends share ---
    std::atomic<int> m_Connected{0};
    std::atomic<int> m_USBThreadRun{0};
    std::atomic<int> m_USBReadCount{0};
    int m_Busy = 0;
    int m_NewVersion = 0;
    CQueue m_QueueRead;
    std::string m_ReplyText;

private:
    static unsigned ThreadWatchComm(CSession* s);
    static unsigned TestUSBReadThread(CSession* s, unsigned generation);
    CLink* LinkUp();
    // State every link starts with once its device is open: no stale reply
    // text or queued bytes, no request outstanding, m_Connected set.
    void BeginLink();
    void StopUsbReader();
    bool UsbPause(int ms);
    // Stores a chunk by the front end's policy; false when it was dropped.
    bool Store(const std::uint8_t* data, int n, unsigned link);
    void Armed(char command);

    Observer& m_observer;
    Policy m_policy;
    bool m_chain = true;
    char m_outstanding = 0;
    std::atomic<LinkKind> m_activeLink{LinkKind::None};
    std::atomic<unsigned> m_linkGeneration{0};  // one more with every link begun
    std::atomic<unsigned> m_usbGeneration{0};
    CSerialPort m_serial;
    usb::CUsbPrinter m_usbDevice;
    std::thread m_watchThread;
    std::thread m_USBThread;
    std::uint8_t m_ReceiveBuffer[CQueue::QUEUE_SIZE] = {};
};

}  // namespace vendrill
