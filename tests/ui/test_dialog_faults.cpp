// Faults around a live link: a module that dies in the middle of a reply, and
// the window closing (or the process being told to end) while a request is
// outstanding and the watcher is blocked.
#include "DialogTestUtil.h"

#include "protocol/Protocol.h"
#include "ui/ControlTable.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <memory>

using namespace vendrill;

namespace {

// Waits for the three-byte Get request `command` on the line and answers it.
bool Answer(PtyPeer& peer, char command, const std::string& data)
{
    if (!peer.WaitFor(3))
        return false;
    if (peer.Take() != Bytes({0x1B, 0x7E, command}))
        return false;
    return peer.Write(ReplyFrame(command, data));
}

}  // namespace

class DialogFaultTest : public QObject {
    Q_OBJECT

private slots:
    // The module sends the start of a Get BDA reply and then the line goes
    // dead. The request times out and the link closes; the half reply must
    // not be glued to the first reply of the next link.
    void aModuleThatDiesMidReplyTimesOutAndTheNextLinkDecodesCleanly()
    {
        auto peer = std::make_unique<PtyPeer>();
        QVERIFY(peer->Ok());
        RecordingDialog d;
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        d->OnBnClickedGetInfo();
        QVERIFY(peer->WaitFor(3));
        QCOMPARE(peer->Take(), Bytes({0x1B, 0x7E, '3'}));

        const ByteVec partial{0x02, 'V', 'R', '3', '0', '1'};
        QVERIFY(peer->Write(partial));
        QTRY_COMPARE_WITH_TIMEOUT(LogLines(d.dlg.get()), QStringList{Hex(partial)}, 10000);
        QVERIFY(d->m_CurrentBDA.empty());
        peer->CloseMaster();

        // The dead line neither spins the watcher nor ends the wait early.
        QVERIFY(CpuShareOverOneSecond() < 0.3);
        QTRY_COMPARE_WITH_TIMEOUT(d.messages, QStringList{kTimeout}, 10000);
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
        QVERIFY(!d->Session().IsConnected());
        QVERIFY(!d->IsWatcherRunning());
        QCOMPARE(d->ActiveLink(), CVendrillDlg::Link::None);

        // A fresh line on the same port name.
        peer.reset();
        peer = std::make_unique<PtyPeer>();
        QVERIFY(peer->Ok());
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        d->OnBnClickedGetInfo();
        QVERIFY(Answer(*peer, '3', "00190199A1B2"));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentBDA), QStringLiteral("00190199A1B2"), 10000);
        QVERIFY(Answer(*peer, '4', "1234"));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentPinKey), QStringLiteral("1234"), 10000);
        QVERIFY(Answer(*peer, '1', "PRN-7"));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentBDN), QStringLiteral("PRN-7"), 10000);
        QVERIFY(Answer(*peer, '6', "2"));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 2 (Use Pinkey)"), 10000);
        QCOMPARE(Text(d->m_CurrentBDA), QStringLiteral("00190199A1B2"));
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QCOMPARE(d.messages, QStringList{kTimeout});  // the old request's time-out does not follow
    }

    // A module (or line noise) repeating an error reply every 250 ms, through
    // the real message boxes: one "Bluetooth Setting Error" box, not one
    // nested box per reply.
    void anErrorStormOpensOneBox()
    {
        PtyPeer peer;
        QVERIFY(peer.Ok());
        CVendrillDlg dlg;
        dlg.OnBnClickedOpen();
        QCOMPARE(Text(dlg.m_Status), QStringLiteral("Success"));
        const ByteVec error = Bytes({0x02, 0x6F, 0x6B, 0x39, 0x03});
        const QString text = kSettingError;
        auto errorBoxes = [&] {
            QList<QMessageBox*> open;
            for (QMessageBox* box : dlg.findChildren<QMessageBox*>())
                if (box->isVisible() && box->text() == text)
                    open << box;
            return open;
        };

        QTimer storm;
        connect(&storm, &QTimer::timeout, [&] { peer.Write(error); });
        storm.start(250);
        peer.Write(error);
        // The first box runs its own event loop; this watch runs inside it
        // until six errors have arrived, then closes whatever is open.
        int mostBoxes = 0;
        bool done = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            const QList<QMessageBox*> open = errorBoxes();
            mostBoxes = std::max(mostBoxes, int(open.size()));
            if (LogLines(&dlg).size() < 6 || done)
                return;
            done = true;
            storm.stop();
            for (QMessageBox* box : open)
                box->done(QMessageBox::Ok);
        });
        watch.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(errorBoxes().isEmpty(), 10000);
        watch.stop();
        QCOMPARE(mostBoxes, 1);
        QVERIFY(LogLines(&dlg).size() >= 6);
        dlg.OnBnClickedClose();
    }

    // The window closes while a request waits for its answer and the watcher
    // is blocked in its wait: the watcher is joined at once and the reply
    // timer cannot fire on the closed window.
    void closingTheWindowWithARequestOutstandingStopsTheTimer()
    {
        PtyPeer peer;
        RecordingDialog d;
        QVERIFY(d.ShowActive());
        d->OnBnClickedOpen();
        d->OnBnClickedGetInfo();
        QVERIFY(peer.WaitFor(3));
        QVERIFY(d->Session().IsBusy());
        QVERIFY(d->IsTimer1Running());
        QVERIFY(d->IsWatcherRunning());

        QVERIFY(d->close());
        QVERIFY(!d->isVisible());
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(!d->IsTimer1Running());
        QVERIFY(!d->Session().IsConnected());
        // Late bytes on the line reach nobody.
        QVERIFY(peer.Write(ReplyFrame('3', "00190199A1B2")));
        QCoreApplication::processEvents();
        QVERIFY(d->m_CurrentBDA.empty());
        QVERIFY(d.messages.isEmpty());
        d.dlg.reset();
        CSerialPort other;
        QVERIFY(other.Open(peer.SlavePath()));
    }

    // What SIGTERM does (close every window) while the modal "Error(Timeout)"
    // box is up, the watcher waits and the reply timer has just fired: every
    // window goes, the link is closed and joined, and no box is left behind.
    void closingAllWindowsDuringTheTimeoutBox()
    {
        PtyPeer peer;
        RecordingDialog d;
        d->m_messageBoxHook = nullptr;  // the real modal box
        QVERIFY(d.ShowActive());
        d->OnBnClickedOpen();

        bool timeoutBoxSeen = false;
        bool watcherRanDuringBox = false;
        QTimer driver;
        driver.setInterval(20);
        connect(&driver, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->text() != kTimeout || timeoutBoxSeen)
                return;
            timeoutBoxSeen = true;
            watcherRanDuringBox = d->IsWatcherRunning();
            QApplication::closeAllWindows();
        });
        driver.start();
        d->OnBnClickedGetInfo();
        QVERIFY(peer.WaitFor(3));
        QTRY_VERIFY_WITH_TIMEOUT(timeoutBoxSeen, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_Status), QStringLiteral("Close Port"), 10000);
        driver.stop();
        QVERIFY(watcherRanDuringBox);
        QVERIFY(!d->isVisible());
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(!d->IsTimer1Running());
        QVERIFY(!d->Session().IsConnected());
        QVERIFY(!d->Session().IsBusy());
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
        d.dlg.reset();
        CSerialPort other;
        QVERIFY(other.Open(peer.SlavePath()));
    }
};

QTEST_MAIN(DialogFaultTest)
#include "test_dialog_faults.moc"
