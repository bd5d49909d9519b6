#pragma once

// The far end of a serial line for dialog tests: a pseudo-terminal whose
// slave the dialog opens as COM<n> (through VENDRILL_COM<n>) and whose master
// the test reads and writes, so that the exact bytes on the wire can be seen.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <pty.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using ByteVec = std::vector<std::uint8_t>;

class PtyPeer {
public:
    // Opens the pair and binds it to COM<port> for the dialog. The test keeps
    // a slave descriptor of its own, so that the master never reads EIO while
    // the dialog has the port closed and the line settings can be read back.
    explicit PtyPeer(int port = 1) : m_Port(port)
    {
        char name[256] = {};
        if (::openpty(&m_Master, &m_Slave, name, nullptr, nullptr) != 0) {
            m_Master = m_Slave = -1;
            return;
        }
        ::fcntl(m_Master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_Slave, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_Master, F_SETFL, ::fcntl(m_Master, F_GETFL) | O_NONBLOCK);
        m_Path = name;
        const std::string var = "VENDRILL_COM" + std::to_string(port);
        ::setenv(var.c_str(), m_Path.c_str(), 1);
    }
    ~PtyPeer()
    {
        const std::string var = "VENDRILL_COM" + std::to_string(m_Port);
        ::unsetenv(var.c_str());
        CloseMaster();
        if (m_Slave >= 0)
            ::close(m_Slave);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool Ok() const { return m_Master >= 0 && m_Slave >= 0; }
    const std::string& SlavePath() const { return m_Path; }
    int SlaveFd() const { return m_Slave; }

    // Hangs up the line as a pulled cable would.
    void CloseMaster()
    {
        if (m_Master >= 0)
            ::close(m_Master);
        m_Master = -1;
    }

    bool Write(const ByteVec& bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t r = ::write(m_Master, bytes.data() + done, bytes.size() - done);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
            } else if (r < 0 && errno == EAGAIN) {
                pollfd p{m_Master, POLLOUT, 0};
                if (::poll(&p, 1, 5000) <= 0)
                    return false;
            } else if (!(r < 0 && errno == EINTR)) {
                return false;
            }
        }
        return true;
    }
    bool Write(const std::string& text) const { return Write(ByteVec(text.begin(), text.end())); }

    // Moves whatever the dialog wrote so far into Received(); keeps the Qt
    // event loop running meanwhile.
    void Collect()
    {
        std::uint8_t buf[4096];
        for (;;) {
            const ssize_t r = ::read(m_Master, buf, sizeof buf);
            if (r > 0)
                m_Received.insert(m_Received.end(), buf, buf + r);
            else if (!(r < 0 && errno == EINTR))
                return;
        }
    }
    // Waits (with events processed) until at least n bytes have been
    // received in all; false after timeoutMs.
    bool WaitFor(std::size_t n, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            Collect();
            if (m_Received.size() >= n)
                return true;
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            pollfd p{m_Master, POLLIN, 0};
            ::poll(&p, 1, 10);
        }
    }
    // What has reached the master so far. The pty hands bytes over a little
    // after the writer returns, so tests wait with WaitFor for an expected
    // count; "nothing more was written" is shown by a sentinel request
    // written afterwards being the next thing to arrive.
    const ByteVec& Received()
    {
        Collect();
        return m_Received;
    }
    ByteVec Take()
    {
        Collect();
        ByteVec out;
        out.swap(m_Received);
        return out;
    }

private:
    int m_Port;
    int m_Master = -1;
    int m_Slave = -1;
    std::string m_Path;
    ByteVec m_Received;
};

// Counts the reader thread's notifications that reach the dialog.
class CommEventCounter : public QObject {
public:
    explicit CommEventCounter(QObject* target, QEvent::Type type) : m_Type(type) { target->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == m_Type)
            ++count;
        return QObject::eventFilter(watched, e);
    }

private:
    QEvent::Type m_Type;
};

inline ByteVec Bytes(std::initializer_list<int> values)
{
    ByteVec out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

// A reply frame as the module sends it: STX, two filler bytes, command, data, ETX.
// Built byte by byte: GCC 12 warns falsely (-Warray-bounds) on a range insert
// into the short vector.
inline ByteVec ReplyFrame(char command, const std::string& data)
{
    ByteVec out{0x02, 'V', 'R', static_cast<std::uint8_t>(command)};
    for (char c : data)
        out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0x03);
    return out;
}
