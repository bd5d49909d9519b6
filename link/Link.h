#pragma once

#include "link/WakeEvent.h"

#include <atomic>
#include <string>

namespace vendrill {

// What opening or setting up a link came to, the same for both links and for
// the session above them: Ok, or what failed and the errno of why
// (AlreadyOpen: another link is up, nothing was changed).
struct LinkResult {
    enum class Code { Ok, CannotOpen, CannotConfigure, NoThread, AlreadyOpen };
    Code code = Code::Ok;
    int error = 0;

    explicit operator bool() const { return code == Code::Ok; }
};

// What a wait of the link layer came to: for bytes on a link (CLink), or
// for udev's events (usb::CUsbWatch).
enum class WaitResult {
    Ready,     // what was waited for is there: bytes (or a zero-length packet) to read, or events
    Woken,     // a wake, or the other descriptor it watched, ended the wait
    TimedOut,  // the time given passed
    HangUp,    // the link is gone (other end closed, device removed)
    Error,     // not open, or the wait itself failed
};

// One byte link to the printer: a serial port (CSerialPort) or a USB printer
// node (usb::CUsbPrinter). Both front ends pick the link once, when it opens,
// and then talk to it only through this contract.
//
// Threads: one reader thread may wait and read while another thread writes.
// Wake, ResetWake and WaitForWake are safe from any thread at any time. Open
// and Close belong to the owning thread and must not overlap a wait, read or
// write: wake the reader and join it first.
class CLink {
public:
    static constexpr int kFailed = -1;  // Read: the link is gone or not open
    static constexpr int kWoken = -2;   // Read: Wake() ended the wait

    CLink() = default;
    virtual ~CLink() = default;
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;

    // CannotOpen (LastError() says why) or Ok.
    virtual LinkResult Open(const std::string& path) = 0;
    virtual bool IsOpen() const = 0;
    // Releases the device; idempotent.
    virtual void Close() = 0;

    // Blocks until bytes arrive (Ready), Wake (Woken), HangUp or Error; Wake
    // takes precedence.
    virtual WaitResult WaitForData() = 0;
    // Reads up to size bytes the link's own way: the serial port takes what
    // has arrived (0 when nothing has), the USB printer waits until bytes
    // arrive or Wake() comes. > 0 bytes, 0 nothing, kWoken or kFailed.
    virtual int Read(void* buf, int size) = 0;
    // Writes count bytes with the pacing the link needs; the bytes written,
    // or kFailed when nothing could be written.
    virtual int Write(const void* data, int count) = 0;

    // Sleeps up to timeoutMs (for ever when negative) unless Wake() is
    // pending or comes meanwhile; true when woken. The wake stays raised
    // until ResetWake(), so a Wake() that comes before a wait is not lost.
    bool WaitForWake(int timeoutMs) { return m_wake.Wait(timeoutMs); }
    void Wake() { m_wake.Raise(); }
    void ResetWake() { m_wake.Reset(); }

    // errno of the last failure.
    int LastError() const { return m_lastError.load(std::memory_order_relaxed); }

protected:
    void Fail(int err);
    LinkResult Fail(LinkResult::Code code, int err)
    {
        Fail(err);
        return {code, err};
    }

    CWakeEvent m_wake;

private:
    std::atomic<int> m_lastError{0};
};

}  // namespace vendrill
