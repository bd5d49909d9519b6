#pragma once

#include "protocol/Protocol.h"
#include "ui/ControlTable.h"
#include "ui/VendrillDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTest>

#include <pty.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

// A dialog whose message boxes are recorded instead of shown.
struct RecordingDialog {
    std::unique_ptr<CVendrillDlg> dlg = std::make_unique<CVendrillDlg>();
    QStringList messages;
    int aboutBoxes = 0;

    RecordingDialog()
    {
        dlg->m_messageBoxHook = [this](const QString& text) { messages << text; };
        dlg->m_aboutBoxHook = [this] { ++aboutBoxes; };
    }
    CVendrillDlg* operator->() const { return dlg.get(); }

    // Shows the window and waits until it has the keyboard.
    bool ShowActive() const
    {
        dlg->show();
        dlg->activateWindow();
        return QTest::qWaitForWindowActive(dlg.get());
    }
    QLineEdit* Edit(int id) const { return qobject_cast<QLineEdit*>(dlg->GetDlgItem(id)); }
};

inline QString Text(const std::string& s) { return QString::fromStdString(s); }

// The texts of the boxes the engine's outcomes open.
inline const QString kTimeout = QStringLiteral("Error(Timeout)");
inline const QString kSettingError = QStringLiteral("Bluetooth Setting Error");
inline const QString kFull = QStringLiteral("m_QueueRead FULL!");

// A click on a button, check box or radio button, as the user gives it.
inline void Click(RecordingDialog& d, int id)
{
    qobject_cast<QAbstractButton*>(d->GetDlgItem(id))->click();
}

// A mouse click where the user clicks: only on a control that shows, takes
// input and is the one on top at its centre (false otherwise).
inline bool ClickOnScreen(RecordingDialog& d, int id)
{
    QWidget* w = d->GetDlgItem(id);
    const QPoint centre = w->geometry().center();
    const QWidget* top = d->childAt(centre);
    if (!w->isVisible() || !w->isEnabled() || !top || (top != w && !w->isAncestorOf(top)))
        return false;
    QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, w->mapFrom(d.dlg.get(), centre));
    return true;
}

// "USB" on, then "Open".
inline void OpenUsb(RecordingDialog& d)
{
    Click(d, vendrill::idc::Usb);
    d->OnBnClickedOpen();
}

// A real (non-modal, reader thread's) box with this text that is showing.
inline QMessageBox* VisibleBox(const CVendrillDlg* dlg, const QString& text)
{
    for (QMessageBox* box : dlg->findChildren<QMessageBox*>())
        if (box->isVisible() && box->text() == text)
            return box;
    return nullptr;
}

inline int EntriesOf(const char* dir)
{
    return static_cast<int>(QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

// The receive log's lines.
inline QStringList LogLines(const CVendrillDlg* dlg)
{
    const auto* log = qobject_cast<const QPlainTextEdit*>(dlg->GetDlgItem(vendrill::idc::ReceiveLog));
    return log->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The log line that a batch of bytes gives.
inline QString Hex(const std::vector<std::uint8_t>& bytes)
{
    return QString::fromStdString(vendrill::proto::HexLogLine(bytes.data(), bytes.size()));
}

// CPU time (user + system) the whole process has used, in milliseconds.
inline double CpuMs()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Share of one CPU the process uses while the user-interface thread idles for
// a second; a reader thread spinning on a dead line shows up near 100 %.
inline double CpuShareOverOneSecond()
{
    const double before = CpuMs();
    QTest::qWait(1000);  // measurement window, not synchronisation
    return (CpuMs() - before) / 1000.0;
}

// Collects what the process writes to standard output meanwhile.
class StdoutCapture {
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_file = std::tmpfile();
        m_saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        if (m_file && m_saved >= 0)
            ::dup2(::fileno(m_file), STDOUT_FILENO);
    }
    ~StdoutCapture() { Stop(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string Stop()
    {
        if (m_saved < 0)
            return m_text;
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        m_saved = -1;
        if (m_file) {
            std::rewind(m_file);
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, m_file)) > 0)
                m_text.append(buf, n);
            std::fclose(m_file);
            m_file = nullptr;
        }
        return m_text;
    }

private:
    std::FILE* m_file = nullptr;
    int m_saved = -1;
    std::string m_text;
};

// ---- the far end of a serial line ----------------------------------------------
// A pseudo-terminal whose slave the dialog opens as COM<n> (through
// VENDRILL_COM<n>) and whose master the test reads and writes, so that the
// exact bytes on the wire can be seen.

using ByteVec = std::vector<std::uint8_t>;

class PtyPeer {
public:
    // Opens the pair and binds it to COM<port> for the dialog. The test keeps
    // a slave descriptor of its own, so that the master never reads EIO while
    // the dialog has the port closed and the line settings can be read back.
    explicit PtyPeer(int port = 1) : m_Port(port)
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
            m_master = m_slave = -1;
            return;
        }
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_path = name;
        const std::string var = "VENDRILL_COM" + std::to_string(port);
        ::setenv(var.c_str(), m_path.c_str(), 1);
    }
    ~PtyPeer()
    {
        const std::string var = "VENDRILL_COM" + std::to_string(m_Port);
        ::unsetenv(var.c_str());
        CloseMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool Ok() const { return m_master >= 0 && m_slave >= 0; }
    const std::string& SlavePath() const { return m_path; }
    int SlaveFd() const { return m_slave; }

    // Hangs up the line as a pulled cable would.
    void CloseMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    bool Write(const ByteVec& bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t r = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
            } else if (r < 0 && errno == EAGAIN) {
                pollfd p{m_master, POLLOUT, 0};
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
            const ssize_t r = ::read(m_master, buf, sizeof buf);
            if (r > 0)
                m_received.insert(m_received.end(), buf, buf + r);
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
            if (m_received.size() >= n)
                return true;
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            pollfd p{m_master, POLLIN, 0};
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
        return m_received;
    }
    ByteVec Take()
    {
        Collect();
        ByteVec out;
        out.swap(m_received);
        return out;
    }

private:
    int m_Port;
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    ByteVec m_received;
};

// Counts the reader thread's notifications that reach the dialog.
class CommEventCounter : public QObject {
public:
    explicit CommEventCounter(QObject* target, QEvent::Type type) : m_type(type) { target->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == m_type)
            ++count;
        return QObject::eventFilter(watched, e);
    }

private:
    QEvent::Type m_type;
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

// One batch through the receive queue, as a reader thread would deliver it.
// Only with no reader thread feeding the queue at the same time.
inline long Feed(CVendrillDlg* dlg, const ByteVec& batch)
{
    dlg->Session().Enqueue(batch.data(), static_cast<int>(batch.size()));
    return dlg->OnCommunication();
}

// Puts n filler bytes into the receive queue, so that the next chunk the
// watcher reads does not fit. Only while the watcher is idle.
inline void FillQueue(CVendrillDlg* dlg, int n)
{
    const ByteVec filler(static_cast<std::size_t>(n), 'x');
    dlg->Session().Enqueue(filler.data(), n);
}

// A dialog with its serial link open on a raw pseudo-terminal.
struct WiredDialog {
    PtyPeer peer;
    RecordingDialog d;
    WiredDialog() { d->OnBnClickedOpen(); }
    // Everything written since the last call, closed by a sentinel request
    // (get sniff mode status) so that "nothing else" is shown without waiting
    // for silence.
    ByteVec WrittenThenSentinel()
    {
        d->OnBnClickedSniffStatus();
        const ByteVec sentinel{0x1B, 0x7E, 0x43};
        for (;;) {
            const ByteVec& got = peer.Received();
            if (got.size() >= 3 && std::equal(sentinel.begin(), sentinel.end(), got.end() - 3)) {
                ByteVec out = peer.Take();
                out.resize(out.size() - 3);
                return out;
            }
            if (!peer.WaitFor(got.size() + 1))
                return ByteVec{0xDE, 0xAD};  // never a valid answer
        }
    }
    // Nothing outstanding any more: the request sent last is given up.
    void Idle() { d->Session().Abandon(); }
};

