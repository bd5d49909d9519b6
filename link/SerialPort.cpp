#include "link/SerialPort.h"

#include "link/Poll.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vendrill {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
using vendrill::PollFor;
using vendrill::PollUntil;

bool SpeedFor(std::uint32_t baud, speed_t* speed)
{
    switch (baud) {
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 38400: *speed = B38400; return true;
    case 57600: *speed = B57600; return true;
    case 115200: *speed = B115200; return true;
    default: return false;
    }
}

}  // namespace

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort()
{
    Close();
}

LinkResult CSerialPort::Open(const std::string& path)
{
    Close();
    if (!m_wake.IsValid()) {
        // Without the wake descriptor a reader could never be stopped.
        return Fail(LinkResult::Code::CannotOpen, m_wake.CreationError());
    }
    if (path.find('\0') != std::string::npos)
        return Fail(LinkResult::Code::CannotOpen, EINVAL);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(LinkResult::Code::CannotOpen, errno);
    // The lock keeps out every cooperating opener, root included, and the
    // kernel drops it when we die. The tty's exclusive flag (TIOCEXCL) is not
    // used: it outlives a killed holder and then locks out every other user
    // but root for as long as the tty lives.
    // Only a terminal has line settings to save; anything else is no serial line.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !SaveLineSettings(fd)) {
        const int err = errno;
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return Fail(LinkResult::Code::CannotOpen, err);
    }
    m_fd.store(fd, std::memory_order_release);
    return {};
}

bool CSerialPort::SaveLineSettings(int fd)
{
    m_savedValid = ::tcgetattr(fd, &m_saved) == 0;
    return m_savedValid;
}

void CSerialPort::RestoreLineSettings(int fd)
{
    // The next program on the line finds it as we found it.
    if (m_savedValid)
        ::tcsetattr(fd, TCSANOW, &m_saved);
    m_savedValid = false;
}

bool CSerialPort::BuildTermios(const termios& current, const Settings& s, termios* out)
{
    speed_t speed = B0;
    if (out == nullptr || !SpeedFor(s.baudRate, &speed))
        return false;
    tcflag_t size = 0;
    switch (s.dataBits) {
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
    }
    tcflag_t parity = 0;
    switch (s.parity) {
    case Parity::None: parity = 0; break;
    case Parity::Odd: parity = PARENB | PARODD; break;
    case Parity::Even: parity = PARENB; break;
    default: return false;
    }
    tcflag_t stop = 0;
    switch (s.stopBits) {
    case StopBits::One: stop = 0; break;
    case StopBits::Two: stop = CSTOPB; break;
    default: return false;
    }

    termios t = current;
    // Bytes pass unchanged both ways: no translation, stripping, break or
    // parity marking, no XON/XOFF, no echo, no line editing, no signals.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IUCLC | IXON | IXOFF | IXANY | IMAXBEL | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    // Line format. CIBAUD is cleared so the input speed follows the output
    // speed; CREAD is needed to receive at all. Handshake, CLOCAL and HUPCL
    // stay as the port had them.
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CIBAUD);
    t.c_cflag |= size | parity | stop | CREAD;
    // Non-blocking reads: VMIN 1 makes an empty read report EAGAIN rather
    // than 0, so Read can tell "nothing yet" from the end of the line.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetospeed(&t, speed) != 0 || ::cfsetispeed(&t, speed) != 0)
        return false;
    *out = t;
    return true;
}

LinkResult CSerialPort::Configure(const Settings& s)
{
    const int fd = m_fd.load(std::memory_order_acquire);
    if (fd < 0)
        return Fail(LinkResult::Code::CannotConfigure, EBADF);
    termios current{};
    if (::tcgetattr(fd, &current) != 0)
        return Fail(LinkResult::Code::CannotConfigure, errno);
    termios wanted{};
    if (!BuildTermios(current, s, &wanted))
        return Fail(LinkResult::Code::CannotConfigure, EINVAL);
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0)
        return Fail(LinkResult::Code::CannotConfigure, errno);
    // tcsetattr succeeds when any part was taken; a driver that cannot run
    // the baud rate reports another one back.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0)
        return Fail(LinkResult::Code::CannotConfigure, errno);
    if (::cfgetospeed(&applied) != ::cfgetospeed(&wanted))
        return Fail(LinkResult::Code::CannotConfigure, EINVAL);
    return {};
}

void CSerialPort::Purge()
{
    const int fd = m_fd.load(std::memory_order_acquire);
    if (fd >= 0 && ::tcflush(fd, TCIOFLUSH) != 0)
        Fail(errno);
}

int CSerialPort::BytesWaiting()
{
    const int fd = m_fd.load(std::memory_order_acquire);
    if (fd < 0)
        return 0;
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) {
        Fail(errno);
        return 0;
    }
    return std::max(n, 0);
}

int CSerialPort::Read(void* buf, int size)
{
    const int fd = m_fd.load(std::memory_order_acquire);
    if (fd < 0)
        return kFailed;
    if (buf == nullptr || size <= 0)
        return 0;
    // Nothing has arrived: the caller waits for data through WaitForData.
    if (BytesWaiting() == 0)
        return 0;
    bool waited = false;
    for (;;) {
        const ssize_t r = ::read(fd, buf, static_cast<size_t>(size));
        if (r > 0)
            return static_cast<int>(r);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN) {
            Fail(errno);
            return kFailed;
        }
        if (waited)
            return 0;
        pollfd p{fd, POLLIN, 0};
        if (PollFor(&p, 1, kReadWaitMs) <= 0 || (p.revents & POLLIN) == 0)
            return 0;
        waited = true;
    }
}

int CSerialPort::Write(const void* data, int count)
{
    const int fd = m_fd.load(std::memory_order_acquire);
    if (fd < 0)
        return kFailed;
    if (data == nullptr || count <= 0)
        return 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const Clock::time_point deadline = Clock::now() +
        Millis(static_cast<long long>(kWritePerByteMs) * count + kWriteExtraMs);
    int written = 0;
    while (written < count) {
        const ssize_t r = ::write(fd, bytes + written, static_cast<size_t>(count - written));
        if (r > 0) {
            written += static_cast<int>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN) {
            Fail(errno);
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = PollUntil(&p, 1, &deadline);
        if (ready < 0) {
            Fail(errno);
            break;
        }
        if (ready == 0) {
            Fail(ETIMEDOUT);
            break;
        }
        // On POLLHUP/POLLERR the next write reports the error itself.
    }
    return written > 0 ? written : kFailed;
}

WaitResult CSerialPort::WaitForData()
{
    const int fd = m_fd.load(std::memory_order_acquire);
    if (fd < 0 || !m_wake.IsValid()) {
        Fail(EBADF);
        return WaitResult::Error;
    }
    for (;;) {
        pollfd fds[2] = {{m_wake.Fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        if (PollUntil(fds, 2, nullptr) < 0) {
            Fail(errno);
            return WaitResult::Error;
        }
        if (fds[0].revents & POLLIN)
            return WaitResult::Woken;
        if (fds[0].revents != 0) {
            Fail(EIO);
            return WaitResult::Error;
        }
        const short ev = fds[1].revents;
        if (ev & POLLNVAL) {
            Fail(EBADF);
            return WaitResult::Error;
        }
        const bool gone = (ev & (POLLHUP | POLLERR)) != 0;
        // After a hang-up a tty may keep signalling POLLIN with nothing left
        // to read; only bytes really waiting count as data then.
        if ((ev & POLLIN) && (!gone || BytesWaiting() > 0))
            return WaitResult::Ready;
        if (gone)
            return WaitResult::HangUp;
        // Not reached in practice: poll returned with an event on one of the
        // two descriptors. Should it happen, wait again rather than guess.
    }
}

void CSerialPort::Close()
{
    const int fd = m_fd.exchange(-1, std::memory_order_acq_rel);
    if (fd < 0)
        return;
    RestoreLineSettings(fd);
    // The exclusive flag belongs to the tty, not to this descriptor; clear it
    // so the port is free again even while someone else keeps it open.
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

bool CSerialPort::IsOpen() const
{
    return m_fd.load(std::memory_order_acquire) >= 0;
}

int CSerialPort::Fd() const
{
    return m_fd.load(std::memory_order_acquire);
}

}  // namespace vendrill
