#pragma once

#include "link/WakeEvent.h"

#include <atomic>
#include <cstdint>
#include <string>

#include <termios.h>

// One serial port on a Linux tty: exclusive open, line settings, bounded reads
// and writes, and a wait for received bytes that another thread can cut short.
//
// Threads: Read and WaitForData/WaitForWake may run on a reader thread while
// Write runs on the user-interface thread. Wake and ResetWake are safe from any
// thread at any time. Open, Configure, Purge and Close belong to the owning
// thread; Close must not run while another thread is inside Read, WaitForData
// or WaitForWake on this object: Wake the reader and join it first.
class CSerialPort {
public:
    struct Settings {
        std::uint32_t baudRate = 57600;  // 9600, 19200, 38400, 57600 or 115200
        std::uint8_t dataBits = 8;       // 7 or 8
        std::uint8_t parity = 0;         // 0 none, 1 odd, 2 even
        std::uint8_t stopBits = 0;       // 0 one stop bit, 2 two stop bits
    };

    enum class WaitResult {
        DataArrived,  // bytes are ready to read
        Woken,        // Wake() was called and not yet reset
        HangUp,       // the line is gone (other end closed, device removed)
        Error,        // port not open or the wait itself failed
    };

    // Read waits at most this long for a first byte.
    static constexpr int kReadWaitMs = 20;
    // A write may take this long per byte, plus kWriteExtraMs.
    static constexpr int kWritePerByteMs = 1000;
    static constexpr int kWriteExtraMs = 20;

    CSerialPort();
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens path read/write, non-blocking, close-on-exec, without making it the
    // controlling terminal, and takes it exclusively (flock LOCK_EX|LOCK_NB).
    // A port that this or another process holds is refused with EWOULDBLOCK
    // (or EBUSY from the tty layer when another program set its exclusive
    // flag). A port already open in this object is closed first. On failure
    // nothing stays open and errno and LastError() tell why. The line settings
    // found at open are put back by Close.
    bool Open(const std::string& path);
    int LastError() const;

    // Pure: the termios that Configure would set, from the port's current one.
    // Changes baud, data bits, parity, stop bits, software flow control and
    // raw mode (see the source); keeps hardware handshake, CLOCAL, HUPCL and
    // the rest. Returns false, leaving *out untouched, for unsupported values.
    static bool BuildTermios(const termios& current, const Settings& s, termios* out);
    // Applies s to the open port. False when s is unsupported or the driver
    // refuses it (including not taking the baud rate).
    bool Configure(const Settings& s);

    void Purge();                              // discard unsent and unread bytes
    int BytesWaiting();                        // bytes ready to read; 0 closed/error
    int Read(void* buf, int size);             // 0..size; waits at most kReadWaitMs
    int Write(const void* data, int count);    // bytes written, 0..count

    // Blocks until one of WaitResult's events. Wake takes precedence over data,
    // data still buffered takes precedence over a hang-up. Never spins: once
    // the line has hung up every call returns HangUp at once, and the caller
    // should pause with WaitForWake.
    WaitResult WaitForData();
    // Sleeps up to timeoutMs (for ever when negative) unless Wake() is pending
    // or comes. True when woken.
    bool WaitForWake(int timeoutMs);
    void Wake();
    void ResetWake();

    void Close();  // releases lock and descriptor; idempotent
    bool IsOpen() const;
    int Fd() const;

private:
    void Fail(int err);
    bool SaveLineSettings(int fd);
    void RestoreLineSettings(int fd);

    std::atomic<int> m_fd{-1};
    CWakeEvent m_wake;
    std::atomic<int> m_lastError{0};
    // The line settings found at open; owning thread only, like Open and Close.
    termios m_saved{};
    bool m_savedValid = false;
};
