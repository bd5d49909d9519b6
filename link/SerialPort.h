#pragma once

#include "link/Link.h"

#include <atomic>
#include <cstdint>
#include <string>

#include <termios.h>

namespace vendrill {

// One serial port on a Linux tty: exclusive open, line settings, bounded reads
// and writes, and a wait for received bytes that another thread can cut short.
//
// Threads: Read and WaitForData/WaitForWake may run on a reader thread while
// Write runs on the user-interface thread. Wake and ResetWake are safe from any
// thread at any time. Open, Configure, Purge and Close belong to the owning
// thread; Close must not run while another thread is inside Read, WaitForData
// or WaitForWake on this object: Wake the reader and join it first.
class CSerialPort final : public CLink {
public:
    // The codes the window's byte members hold (m_byParity, m_byStopBits).
    enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2 };
    enum class StopBits : std::uint8_t { One = 0, Two = 2 };
    struct Settings {
        std::uint32_t baudRate = 57600;  // 9600, 19200, 38400, 57600 or 115200
        std::uint8_t dataBits = 8;       // 7 or 8
        Parity parity = Parity::None;
        StopBits stopBits = StopBits::One;
    };

    // Read waits at most this long for a first byte.
    static constexpr int kReadWaitMs = 20;
    // A write may take this long per byte, plus kWriteExtraMs.
    static constexpr int kWritePerByteMs = 1000;
    static constexpr int kWriteExtraMs = 20;

    CSerialPort();
    ~CSerialPort() override;

    // Opens path read/write, non-blocking, close-on-exec, without making it the
    // controlling terminal, and takes it exclusively (flock LOCK_EX|LOCK_NB).
    // A port that this or another process holds is refused with EWOULDBLOCK
    // (or EBUSY from the tty layer when another program set its exclusive
    // flag). A port already open in this object is closed first. On failure
    // nothing stays open and the result (and LastError()) says why. The line
    // settings found at open are put back by Close.
    LinkResult Open(const std::string& path) override;

    // Pure: the termios that Configure would set, from the port's current one.
    // Changes baud, data bits, parity, stop bits, software flow control and
    // raw mode (see the source); keeps hardware handshake, CLOCAL, HUPCL and
    // the rest. Returns false, leaving *out untouched, for unsupported values.
    static bool BuildTermios(const termios& current, const Settings& s, termios* out);
    // Applies s to the open port. CannotConfigure when s is unsupported or the
    // driver refuses it (including not taking the baud rate).
    LinkResult Configure(const Settings& s);

    void Purge();                              // discard unsent and unread bytes
    int BytesWaiting();                        // bytes ready to read; 0 closed/error
    // 0..size: nothing when no byte has arrived, otherwise waits at most
    // kReadWaitMs for a first byte.
    int Read(void* buf, int size) override;
    int Write(const void* data, int count) override;  // bytes written, 0..count

    // Blocks until one of WaitResult's events. Wake takes precedence over data,
    // data still buffered takes precedence over a hang-up. Never spins: once
    // the line has hung up every call returns HangUp at once, and the caller
    // should pause with WaitForWake.
    WaitResult WaitForData() override;

    void Close() override;  // releases lock and descriptor; idempotent
    bool IsOpen() const override;
    int Fd() const;

private:
    bool SaveLineSettings(int fd);
    void RestoreLineSettings(int fd);

    std::atomic<int> m_fd{-1};
    // The line settings found at open; owning thread only, like Open and Close.
    termios m_saved{};
    bool m_savedValid = false;
};

}  // namespace vendrill
