// Serial port link on POSIX terminals: the dialog's "Open"/"Close", its line
// settings and port names, what its watcher announces, and its boxes while a
// watcher waits, against a raw pseudo-terminal whose master side plays the
// printer. The watcher's bytes and queue are tested at the engine
// (tests/session).
#include "DialogTestUtil.h"

#include "link/SerialPort.h"
#include "protocol/Protocol.h"
#include "ui/ControlTable.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

using namespace vendrill;

namespace {

// Takes this thread's power to ignore file permissions, which root has,
// until the end of the scope; changes nothing for other users.
class DacOverrideOff {
public:
    DacOverrideOff()
    {
        m_ok = ::syscall(SYS_capget, &m_header, m_saved) == 0;
        if (!m_ok)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ::syscall(SYS_capset, &m_header, reduced);
    }
    ~DacOverrideOff()
    {
        if (m_ok)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    DacOverrideOff(const DacOverrideOff&) = delete;
    DacOverrideOff& operator=(const DacOverrideOff&) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2] = {};
    bool m_ok = false;
};

}  // namespace

class DialogSerialTest : public QObject {
    Q_OBJECT

private slots:
    void lineSettingsAreAppliedToThePort()
    {
        PtyPeer peer;
        QVERIFY(peer.Ok());
        RecordingDialog d;
        const struct {
            int baudIndex;
            std::uint32_t baud;
            speed_t speed;
        } bauds[] = {{0, 9600, B9600}, {1, 19200, B19200}, {2, 38400, B38400}, {3, 57600, B57600}, {4, 115200, B115200}};
        for (const auto& b : bauds) {
            const bool twoStop = b.baudIndex % 2 == 1;
            const int parityIndex = b.baudIndex % 3;  // None, Odd, Even in turn
            const int dataIndex = b.baudIndex % 2;    // "7", "8" in turn
            d->SetCurSel(idc::BaudList, b.baudIndex);
            d->SetCurSel(idc::StopBitList, twoStop ? 1 : 0);
            d->SetCurSel(idc::ParityList, parityIndex);
            d->SetCurSel(idc::DataBitsList, dataIndex);
            d->OnBnClickedOpen();
            QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
            QVERIFY(d->Session().IsConnected());

            QCOMPARE(d->m_dwBaudRate, b.baud);
            QCOMPARE(int(d->m_byStopBits), twoStop ? 2 : 0);
            QCOMPARE(int(d->m_byParity), parityIndex);
            QCOMPARE(int(d->m_byDataBits), dataIndex == 0 ? 7 : 8);

            termios t{};
            QCOMPARE(::tcgetattr(peer.SlaveFd(), &t), 0);
            QCOMPARE(::cfgetospeed(&t), b.speed);
            QCOMPARE(::cfgetispeed(&t), b.speed);
            QCOMPARE(bool(t.c_cflag & CSTOPB), twoStop);
            QVERIFY(t.c_cflag & CREAD);
            QCOMPARE(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
            QCOMPARE(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK), tcflag_t(0));
            QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
            QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));
            QCOMPARE(int(t.c_cc[VMIN]), 1);
            QCOMPARE(int(t.c_cc[VTIME]), 0);

            // A pty always reports 8N1 framing; check what the dialog builds
            // for a real port from the same settings instead.
            termios built{};
            QVERIFY(CSerialPort::BuildTermios(t, {d->m_dwBaudRate, d->m_byDataBits, CSerialPort::Parity(d->m_byParity),
                                                          CSerialPort::StopBits(d->m_byStopBits)},
                                              &built));
            QCOMPARE(built.c_cflag & CSIZE, dataIndex == 0 ? tcflag_t(CS7) : tcflag_t(CS8));
            QCOMPARE(bool(built.c_cflag & PARENB), parityIndex != 0);
            QCOMPARE(bool(built.c_cflag & PARODD), parityIndex == 1);
            QCOMPARE(bool(built.c_cflag & CSTOPB), twoStop);
        }
        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
    }

    void portNamesAndTheirToolTip()
    {
        PtyPeer com9(9);
        PtyPeer com10(10);
        QVERIFY(com9.Ok() && com10.Ok());
        ::setenv("VENDRILL_COM20", "/nonexistent/vendrill-tty", 1);
        ::unsetenv("VENDRILL_COM3");
        RecordingDialog d;
        QWidget* port = d->GetDlgItem(idc::PortList);

        d->SetCurSel(idc::PortList, 8);
        QCOMPARE(port->toolTip(), Text(com9.SlavePath()));
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_strPortName), QStringLiteral("COM9"));
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));

        d->SetCurSel(idc::PortList, 9);
        QCOMPARE(port->toolTip(), Text(com10.SlavePath()));
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_strPortName), QStringLiteral("\\\\.\\COM10"));
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QVERIFY(d->IsWatcherRunning());

        d->SetCurSel(idc::PortList, 19);
        QCOMPARE(port->toolTip(), QStringLiteral("/nonexistent/vendrill-tty"));
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_strPortName), QStringLiteral("\\\\.\\COM20"));
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable to open the port"));
        QVERIFY(!d->Session().IsConnected());
        QVERIFY(!d->IsWatcherRunning());

        d->SetCurSel(idc::PortList, 2);
        QCOMPARE(port->toolTip(), QStringLiteral("/dev/ttyS2"));
        ::unsetenv("VENDRILL_COM20");
    }

    // A port this user may not open: the status keeps its short text, the
    // Port tool tip and a trace line tell the group and the way in.
    void refusedPortIsExplainedInToolTipAndTrace()
    {
        PtyPeer com4(4);
        QVERIFY(com4.Ok());
        const std::string path = com4.SlavePath();
        RecordingDialog d;
        QWidget* port = d->GetDlgItem(idc::PortList);
        d->SetCurSel(idc::PortList, 3);
        QCOMPARE(::chmod(path.c_str(), 0), 0);
        std::string trace;
        {
            DacOverrideOff asUser;  // root would open it anyway
            StdoutCapture capture;
            d->OnBnClickedOpen();
            trace = capture.Stop();
        }
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable to open the port"));
        QVERIFY(!d->IsWatcherRunning());
        const std::string tip = port->toolTip().toStdString();
        QVERIFY2(tip.rfind("no permission to open " + path + " (group ", 0) == 0, tip.c_str());
        QVERIFY2(trace.find(tip + "\n") != std::string::npos, trace.c_str());

        // Access given: the next Open works and the tool tip is the path again.
        QCOMPARE(::chmod(path.c_str(), 0600), 0);
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QCOMPARE(port->toolTip(), Text(path));
        d->OnBnClickedClose();
    }

    // A missing device, a port locked by another program and a line that
    // went away keep their short status; the Port tool tip and a trace line
    // say why, as vendrill-cli does.
    void failuresAreExplainedInToolTipAndTrace()
    {
        RecordingDialog d;
        QWidget* port = d->GetDlgItem(idc::PortList);
        const auto explained = [&](const std::string& trace, const std::string& start) {
            const std::string tip = port->toolTip().toStdString();
            QVERIFY2(tip.rfind(start, 0) == 0, tip.c_str());
            QVERIFY2(trace.find(tip + "\n") != std::string::npos, trace.c_str());
        };

        ::setenv("VENDRILL_COM1", "/nonexistent/vendrill-tty", 1);
        StdoutCapture missing;
        d->OnBnClickedOpen();
        explained(missing.Stop(), "there is no device /nonexistent/vendrill-tty; ");
        if (QTest::currentTestFailed())
            return;
        QVERIFY(port->toolTip().contains(QStringLiteral("serial port")));
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable to open the port"));

        PtyPeer peer;
        QVERIFY(peer.Ok());
        // A station in another process holds the port's lock.
        int ready[2];
        QCOMPARE(::pipe(ready), 0);
        const pid_t station = ::fork();
        if (station == 0) {
            const int fd = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
            ::prctl(PR_SET_NAME, "station");
            const char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 1 : 0;
            [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        char locked = 0;
        QCOMPARE(::read(ready[0], &locked, 1), ssize_t(1));
        ::close(ready[0]);
        ::close(ready[1]);
        StdoutCapture busy;
        d->OnBnClickedOpen();
        ::kill(station, SIGKILL);
        ::waitpid(station, nullptr, 0);
        QCOMPARE(locked, char(1));
        explained(busy.Stop(), peer.SlavePath() + " is in use by station (pid " + std::to_string(station) + ")");
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable to open the port"));

        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QCOMPARE(port->toolTip(), Text(peer.SlavePath()));
        StdoutCapture lost;
        peer.CloseMaster();
        QTRY_VERIFY_WITH_TIMEOUT(port->toolTip() != Text(peer.SlavePath()), 10000);
        const std::string trace = lost.Stop();
        const std::string tip = port->toolTip().toStdString();
        QVERIFY2(tip.find(peer.SlavePath() + " went away during use") == 0 ||
                     tip.find("the connection through " + peer.SlavePath() + " was lost") == 0,
                 tip.c_str());
        QVERIFY2(trace.find(tip + "\n") != std::string::npos, trace.c_str());
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QVERIFY(d.messages.isEmpty());
        ::unsetenv("VENDRILL_COM1");
    }

    // The window's watcher lets a batch settle and announces it once: one
    // notification, one log line.
    void aSettledBatchIsAnnouncedAndLoggedOnce()
    {
        PtyPeer peer;
        RecordingDialog d;
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        CommEventCounter notes(d.dlg.get(), CVendrillDlg::kCommEvent);

        const ByteVec all = ReplyFrame('C', "9");
        QVERIFY(peer.Write(all));
        QTRY_COMPARE_WITH_TIMEOUT(notes.count, 1, 10000);
        QCOMPARE(LogLines(d.dlg.get()), QStringList{Hex(all)});
        QCOMPARE(d->Session().QueuedBytes(), 0);

        const ByteVec second{'A', 'B', 'C', 0x0D, 0x0A};
        QVERIFY(peer.Write(second));
        QTRY_COMPARE_WITH_TIMEOUT(notes.count, 2, 10000);
        QCOMPARE(LogLines(d.dlg.get()), (QStringList{Hex(all), Hex(second)}));
        QVERIFY(d.messages.isEmpty());
    }

    void aHeldPortIsRefused()
    {
        PtyPeer peer;
        {
            CSerialPort other;
            QVERIFY(other.Open(peer.SlavePath()));
            RecordingDialog d;
            d->OnBnClickedOpen();
            QCOMPARE(Text(d->m_Status), QStringLiteral("Unable to open the port"));
            QVERIFY(!d->Session().IsConnected());
            QVERIFY(!d->IsWatcherRunning());
        }
        RecordingDialog first;
        first->OnBnClickedOpen();
        QCOMPARE(Text(first->m_Status), QStringLiteral("Success"));
        RecordingDialog second;
        second->OnBnClickedOpen();
        QCOMPARE(Text(second->m_Status), QStringLiteral("Unable to open the port"));
        QVERIFY(!second->Session().IsConnected());
        // The refused dialog sends nothing; the first still owns a working line.
        second->OnBnClickedGetInfo();
        QVERIFY(!second->Session().IsBusy());
        first->OnBnClickedSniffStatus();
        QVERIFY(peer.WaitFor(3));
        QCOMPARE(peer.Take(), Bytes({0x1B, 0x7E, 0x43}));
        first->OnBnClickedClose();
        second->OnBnClickedOpen();
        QCOMPARE(Text(second->m_Status), QStringLiteral("Success"));
    }

    void aMissingDeviceIsRefusedAndGetInfoSendsNothing()
    {
        ::setenv("VENDRILL_COM1", "/nonexistent/vendrill-tty", 1);
        RecordingDialog d;
        d->m_CurrentBDA = "KEPT";
        d->UpdateData(false);
        d->OnBnClickedOpen();
        ::unsetenv("VENDRILL_COM1");
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable to open the port"));
        QVERIFY(!d->Session().IsConnected());
        QVERIFY(!d->IsWatcherRunning());
        d->OnBnClickedGetInfo();
        QVERIFY(!d->Session().IsBusy());
        QVERIFY(!d->IsTimer1Running());
        QCOMPARE(Text(d->m_CurrentBDA), QStringLiteral("KEPT"));
        QVERIFY(d.messages.isEmpty());
    }

    void aPortWithoutPermissionIsRefused()
    {
        PtyPeer peer;
        QCOMPARE(::chmod(peer.SlavePath().c_str(), 0), 0);
        RecordingDialog d;
        // Root opens any mode; take an unprivileged effective user for the
        // open, as a technician's account would be.
        const bool root = ::geteuid() == 0;
        if (root && ::seteuid(65534) != 0)
            QSKIP("running as root without a way to drop privileges: file modes are not enforced");
        d->OnBnClickedOpen();
        if (root)
            QCOMPARE(::seteuid(0), 0);
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable to open the port"));
        QVERIFY(!d->Session().IsConnected());
        QVERIFY(!d->IsWatcherRunning());
    }

    void openTwiceAndCloseWithNothingOpen()
    {
        {
            PtyPeer peer;
            RecordingDialog d;
            const int tasks = EntriesOf("/proc/self/task");
            d->OnBnClickedOpen();
            QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
            d->m_Status.clear();
            d->OnBnClickedOpen();
            QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
            QVERIFY(d->IsWatcherRunning());
            // At most one watcher more; a thread joined just before the count
            // may still be listed at the start, so the count is a ceiling.
            QTRY_VERIFY(EntriesOf("/proc/self/task") <= tasks + 1);
            // The second watcher serves the line.
            QVERIFY(peer.Write(ByteVec{'o', 'k'}));
            QTRY_COMPARE_WITH_TIMEOUT(LogLines(d.dlg.get()), QStringList{Hex(ByteVec{'o', 'k'})}, 10000);
        }

        RecordingDialog d;
        d->m_CurrentBDA = "A";
        d->m_CurrentPinKey = "B";
        d->m_SetPinKey = "C";
        d->m_CurrentBDN = "D";
        d->m_SetBDN = "NAME";
        d->m_CurrentPairingMode = "E";
        d->m_CurrentLevel = "F";
        d->UpdateData(false);
        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
        QCOMPARE(Text(d->GetDlgItemText(idc::Status)), QStringLiteral("Close Port"));
        for (int id : {idc::CurrentBDA, idc::CurrentPinKey, idc::SetPinKeyEdit, idc::CurrentBDN, idc::CurrentPairing,
                       idc::CurrentLevel})
            QVERIFY2(d->GetDlgItemText(id).empty(), qPrintable(QString::number(id)));
        QVERIFY(d->m_CurrentBDA.empty() && d->m_CurrentPinKey.empty() && d->m_SetPinKey.empty() &&
                d->m_CurrentBDN.empty() && d->m_CurrentPairingMode.empty() && d->m_CurrentLevel.empty());
        QCOMPARE(Text(d->m_SetBDN), QStringLiteral("NAME"));
        QCOMPARE(Text(d->GetDlgItemText(idc::SetBDNEdit)), QStringLiteral("NAME"));
        QVERIFY(!d->Session().IsConnected());
        QVERIFY(d.messages.isEmpty());
    }

    void switchingToUsbKeepsTheSerialPortServed()
    {
        PtyPeer peer;
        RecordingDialog d;
        d->OnBnClickedOpen();
        d->CheckDlgButton(idc::Usb, true);
        d->OnBnClickedUsb();
        QCOMPARE(d->ActiveLink(), CVendrillDlg::Link::Serial);

        const ByteVec reply = ReplyFrame('C', "1");
        QVERIFY(peer.Write(reply));
        QTRY_COMPARE_WITH_TIMEOUT(LogLines(d.dlg.get()), QStringList{Hex(reply)}, 10000);
        QCOMPARE(Text(d->GetDlgItemText(idc::SniffStatusEdit)), QStringLiteral("sniff mode enable"));
        QCOMPARE(d->Session().QueuedBytes(), 0);
        QVERIFY(CpuShareOverOneSecond() < 0.3);
        QCOMPARE(LogLines(d.dlg.get()).size(), 1);

        // Requests still go out on the serial line.
        d->OnBnClickedSniffStatus();
        QVERIFY(peer.WaitFor(3));
        QCOMPARE(peer.Take(), Bytes({0x1B, 0x7E, 0x43}));

        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(!d->IsUsbReaderRunning());
        QVERIFY(!d->Session().IsConnected());
        QCOMPARE(d->ActiveLink(), CVendrillDlg::Link::None);
        QVERIFY(d.messages.isEmpty());
    }

    void nothingLeaksOverManyOpenCloseCycles()
    {
        PtyPeer peer;
        RecordingDialog d;
        d->OnBnClickedOpen();
        d->OnBnClickedClose();
        const int fds = EntriesOf("/proc/self/fd");
        const int tasks = EntriesOf("/proc/self/task");
        for (int i = 0; i < 200; ++i) {
            d->OnBnClickedOpen();
            QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
            d->OnBnClickedClose();
        }
        QCOMPARE(EntriesOf("/proc/self/fd"), fds);
        // A joined thread leaves the task list a moment after the join returns,
        // and the watcher joined just before the first count may still be in it:
        // the count may fall, never grow.
        QTRY_VERIFY(EntriesOf("/proc/self/task") <= tasks);
        // The port is free again for anyone.
        CSerialPort other;
        QVERIFY(other.Open(peer.SlavePath()));
    }

    void closingTheWindowJoinsAWatcherThatWaitsOnItsBox()
    {
        PtyPeer peer;
        RecordingDialog d;
        d->m_messageBoxHook = nullptr;  // real, non-modal boxes
        d->OnBnClickedOpen();
        d->OnBnClickedGetInfo();
        QVERIFY(d->Session().IsBusy());
        QVERIFY(peer.WaitFor(3));
        FillQueue(d.dlg.get(), 1000);
        QVERIFY(peer.Write(ByteVec(40, 'z')));
        QTRY_VERIFY_WITH_TIMEOUT(VisibleBox(d.dlg.get(), kFull) != nullptr, 10000);
        QPointer<QMessageBox> box = VisibleBox(d.dlg.get(), kFull);

        d->reject();  // the window closes: done() runs
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(!d->Session().IsConnected());
        QTRY_VERIFY_WITH_TIMEOUT(box.isNull() || !box->isVisible(), 10000);
        d.dlg.reset();

        // A watcher blocked in its wait goes too when the dialog is destroyed.
        RecordingDialog again;
        again->OnBnClickedOpen();
        QVERIFY(again->IsWatcherRunning());
        again.dlg.reset();
        CSerialPort other;
        QVERIFY(other.Open(peer.SlavePath()));
    }

    void aModalTimeoutBoxAndAWaitingWatcherDoNotDeadlock()
    {
        PtyPeer peer;
        RecordingDialog d;
        d->m_messageBoxHook = nullptr;
        d->OnBnClickedOpen();
        FillQueue(d.dlg.get(), 1000);
        QVERIFY(peer.Write(ByteVec(40, 'z')));
        QTRY_VERIFY_WITH_TIMEOUT(VisibleBox(d.dlg.get(), kFull) != nullptr, 10000);

        bool watcherWaitedMeanwhile = false;
        bool timeoutBoxSeen = false;
        QTimer driver;
        driver.setInterval(20);
        connect(&driver, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->text() != kTimeout)
                return;
            timeoutBoxSeen = true;
            watcherWaitedMeanwhile = d->IsWatcherRunning() && VisibleBox(d.dlg.get(), kFull) != nullptr;
            box->button(QMessageBox::Ok)->click();
        });
        driver.start();
        d->OnBnClickedGetBDN();  // starts the reply timer; the line stays silent
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_Status), QStringLiteral("Close Port"), 15000);
        driver.stop();
        QVERIFY(timeoutBoxSeen);
        QVERIFY(watcherWaitedMeanwhile);
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(!d->Session().IsConnected());
        QVERIFY(!d->Session().IsBusy());
        QVERIFY(!d->IsTimer1Running());
        QTRY_VERIFY_WITH_TIMEOUT(VisibleBox(d.dlg.get(), kFull) == nullptr, 10000);
    }
};

QTEST_MAIN(DialogSerialTest)
#include "test_dialog_serial.moc"
