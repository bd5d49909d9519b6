// The settings protocol end to end: request frames as they appear on the
// line, the busy flag and reply timer, reply decoding through the receive
// queue, the read-back chains against the simulated module, time-outs and a
// flooding peer.
#include "DialogTestUtil.h"
#include "PtyPeer.h"

#include "protocol/Protocol.h"
#include "sim/SimHost.h"
#include "ui/ControlTable.h"

#include <QPlainTextEdit>
#include <QTest>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace vendrill;

namespace {

ByteVec Concat(ByteVec a, const ByteVec& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ByteVec Ascii(const char* s) { return ByteVec(s, s + std::strlen(s)); }

// One batch through the receive queue, as a reader thread would deliver it.
// Only with no reader thread feeding the queue at the same time.
long Feed(CVendrillDlg* dlg, const ByteVec& batch)
{
    for (std::uint8_t b : batch)
        dlg->m_QueueRead.PutByte(b);
    return dlg->OnCommunication();
}

// A dialog with its serial link open on a raw pseudo-terminal.
struct WiredDialog {
    PtyPeer peer;
    RecordingDialog d;
    WiredDialog() { d->OnBnClickedOpen(); }
    bool Up() const { return d->ActiveLink() == CVendrillDlg::Link::Serial; }
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
    void Idle()
    {
        d->KillTimer1();
        d->m_Busy = 0;
    }
};

const QString kSettingError = QStringLiteral("Bluetooth Setting Error");
const QString kTimeout = QStringLiteral("Error(Timeout)");

}  // namespace

class DialogProtocolTest : public QObject {
    Q_OBJECT

private slots:
    // ---- requests on the wire ------------------------------------------------

    void getRequestFramesBusyAndTimer()
    {
        WiredDialog w;
        QVERIFY(w.Up());
        const struct {
            void (CVendrillDlg::*request)();
            std::uint8_t command;
        } gets[] = {
            {&CVendrillDlg::OnBnClickedGetBDA, 0x33},  {&CVendrillDlg::OnBnClickedGetPinKey, 0x34},
            {&CVendrillDlg::OnBnClickedGetBDN, 0x31},  {&CVendrillDlg::OnBnClickedGetLevel, 0x36},
            {&CVendrillDlg::OnBnClickedGetPairing, 0x41},
        };
        for (const auto& g : gets) {
            w.Idle();
            (w.d.dlg.get()->*g.request)();
            QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, g.command}));
            QCOMPARE(w.d->m_Busy, 1);
            QVERIFY(w.d->IsTimer1Running());  // Get BDA included
        }
    }

    void selectionFrames()
    {
        WiredDialog w;
        w.d->SetCurSel(idc::SetLevelList, 1);  // "Use Pinkey"
        w.d->OnBnClickedSetLevel();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x37, 0x33}));
        QCOMPARE(w.d->m_Busy, 1);
        QVERIFY(w.d->IsTimer1Running());

        w.Idle();
        w.d->SetCurSel(idc::SetLevelList, 0);  // "Not use Pinkey"
        w.d->OnBnClickedSetLevel();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x37, 0x31}));

        w.Idle();
        w.d->SetCurSel(idc::SetPairingList, 2);  // "Numeric Comparison"
        w.d->OnBnClickedSetPairing();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x42, 0x33}));
        QCOMPARE(w.d->m_Busy, 1);
        QVERIFY(w.d->IsTimer1Running());

        w.Idle();
        w.d->SetCurSel(idc::SetPairingList, -1);
        w.d->OnBnClickedSetPairing();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x42, 0x31}));
    }

    void textFrames()
    {
        WiredDialog w;
        w.d->SetDlgItemText(idc::SetPinKeyEdit, "1234");
        w.d->OnBnClickedSetPinKey();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x35, 0x04, '1', '2', '3', '4'}));
        QCOMPARE(w.d->m_Busy, 1);
        QVERIFY(w.d->IsTimer1Running());

        w.Idle();
        w.d->SetDlgItemText(idc::SetBDNEdit, "ABC");
        w.d->OnBnClickedSetBDN();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x32, 0x03, 'A', 'B', 'C'}));
        QCOMPARE(w.d->m_Busy, 1);
        QVERIFY(w.d->IsTimer1Running());

        w.Idle();
        w.d->CheckDlgButton(idc::AddNumeric, true);
        w.d->SetDlgItemText(idc::NumericSuffix, "00099");
        w.d->OnBnClickedSetBDN();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x32, 0x08, 'A', 'B', 'C', '0', '0', '0', '9', '9'}));
        QCOMPARE(Text(w.d->GetDlgItemText(idc::NumericSuffix)), QStringLiteral("00100"));

        // With "Print BDN" the name goes out as text and three line feeds
        // before the frame.
        w.Idle();
        w.d->CheckDlgButton(idc::PrintBDN, true);
        w.d->SetDlgItemText(idc::NumericSuffix, "00099");
        w.d->OnBnClickedSetBDN();
        QCOMPARE(w.WrittenThenSentinel(),
                 Concat(Ascii("ABC00099\n\n\n"), Bytes({0x1B, 0x7E, 0x32, 0x08, 'A', 'B', 'C', '0', '0', '0', '9', '9'})));
        QCOMPARE(Text(w.d->GetDlgItemText(idc::NumericSuffix)), QStringLiteral("00100"));
    }

    void nameAndSuffixLimit()
    {
        WiredDialog w;
        const std::string name(29, 'N');
        w.d->SetDlgItemText(idc::SetBDNEdit, name);
        w.d->CheckDlgButton(idc::AddNumeric, true);
        w.d->CheckDlgButton(idc::PrintBDN, true);
        const std::string tooLong(31, '1');
        w.d->SetDlgItemText(idc::NumericSuffix, tooLong);
        w.d->OnBnClickedSetBDN();
        QCOMPARE(w.WrittenThenSentinel(), ByteVec{});  // neither printed nor sent
        QCOMPARE(w.d->GetDlgItemText(idc::NumericSuffix), tooLong);
        QCOMPARE(w.d->m_Busy, 0);
        QVERIFY(!w.d->IsTimer1Running());

        w.d->CheckDlgButton(idc::PrintBDN, false);
        const std::string longest(30, '1');
        w.d->SetDlgItemText(idc::NumericSuffix, longest);
        w.d->OnBnClickedSetBDN();
        ByteVec expected{0x1B, 0x7E, 0x32, 59};
        expected.insert(expected.end(), name.begin(), name.end());
        expected.insert(expected.end(), longest.begin(), longest.end());
        const ByteVec frame = w.WrittenThenSentinel();
        QCOMPARE(frame.size(), std::size_t(63));
        QCOMPARE(frame, expected);
        QCOMPARE(w.d->GetDlgItemText(idc::NumericSuffix), std::string(29, '1') + "2");
    }

    void sniffFramesLeaveBusyAndTimerAlone()
    {
        WiredDialog w;
        w.d->OnBnClickedSniffEnable();
        QVERIFY(w.peer.WaitFor(4));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x44, 0x31}));
        w.d->OnBnClickedSniffDisable();
        QVERIFY(w.peer.WaitFor(4));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x44, 0x30}));
        w.d->OnBnClickedSniffStatus();
        QVERIFY(w.peer.WaitFor(3));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x43}));
        QCOMPARE(w.d->m_Busy, 0);
        QVERIFY(!w.d->IsTimer1Running());

        // While a request is outstanding they still go out.
        w.d->OnBnClickedGetBDN();
        QVERIFY(w.peer.WaitFor(3));
        w.peer.Take();
        w.d->OnBnClickedSniffEnable();
        QVERIFY(w.peer.WaitFor(4));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x44, 0x31}));
        QCOMPARE(w.d->m_Busy, 1);
        QVERIFY(w.d->IsTimer1Running());
    }

    void emptyTextsSendNothing()
    {
        WiredDialog w;
        w.d->SetDlgItemText(idc::SetPinKeyEdit, "");
        w.d->OnBnClickedSetPinKey();
        w.d->SetDlgItemText(idc::SetBDNEdit, "");
        w.d->CheckDlgButton(idc::PrintBDN, true);
        w.d->OnBnClickedSetBDN();
        QCOMPARE(w.WrittenThenSentinel(), ByteVec{});
        QCOMPARE(w.d->m_Busy, 0);
        QVERIFY(!w.d->IsTimer1Running());
    }

    void busyRefusals()
    {
        WiredDialog w;
        w.d->OnBnClickedGetBDN();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x31}));
        QCOMPARE(w.d->m_Busy, 1);

        w.d->m_CurrentPinKey = "OLD";
        w.d->UpdateData(false);
        w.d->OnBnClickedGetPinKey();
        QVERIFY(w.d->m_CurrentPinKey.empty());
        QVERIFY(w.d->GetDlgItemText(idc::CurrentPinKey).empty());
        w.d->OnBnClickedGetLevel();
        w.d->OnBnClickedGetPairing();
        w.d->SetDlgItemText(idc::SetPinKeyEdit, "1234");
        w.d->OnBnClickedSetPinKey();
        w.d->OnBnClickedSetLevel();
        w.d->OnBnClickedSetPairing();
        w.d->m_CurrentBDA = "OLD";
        w.d->UpdateData(false);
        w.d->OnBnClickedGetInfo();
        QVERIFY(w.d->m_CurrentBDA.empty());
        QCOMPARE(w.WrittenThenSentinel(), ByteVec{});

        // Get BDN is not refused, and it starts the timer again.
        w.d->KillTimer1();
        w.d->OnBnClickedGetBDN();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x31}));
        QVERIFY(w.d->IsTimer1Running());
        QCOMPARE(w.d->m_Busy, 1);

        // Get Info without a link does nothing at all.
        RecordingDialog idle;
        idle->m_CurrentBDA = "KEPT";
        idle->UpdateData(false);
        idle->OnBnClickedGetInfo();
        QCOMPARE(Text(idle->m_CurrentBDA), QStringLiteral("KEPT"));
        QCOMPARE(idle->m_Busy, 0);
        QVERIFY(!idle->IsTimer1Running());
    }

    // ---- time-outs -------------------------------------------------------------

    void aSilentModuleTimesOutAfterGetInfo()
    {
        WiredDialog w;
        w.d->OnBnClickedGetInfo();
        QVERIFY(w.peer.WaitFor(3));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x33}));
        QTRY_COMPARE_WITH_TIMEOUT(w.d.messages, QStringList{kTimeout}, 10000);
        QCOMPARE(w.d->m_Busy, 0);
        QVERIFY(!w.d->IsTimer1Running());
        QCOMPARE(Text(w.d->m_Status), QStringLiteral("Close Port"));
        QCOMPARE(w.d->m_Connected.load(), 0);
        QVERIFY(!w.d->IsWatcherRunning());
    }

    void aLateReplyWhileTheTimeoutBoxIsOpen()
    {
        WiredDialog w;
        CVendrillDlg* dlg = w.d.dlg.get();
        dlg->m_MessageBoxHook = [&](const QString& text) {
            w.d.messages << text;
            if (text == kTimeout)  // the box's own event loop delivers the late reply
                Feed(dlg, ReplyFrame('3', "00190199A1B2"));
        };
        dlg->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(w.d.messages, QStringList{kTimeout}, 10000);
        QCOMPARE(Text(dlg->m_Status), QStringLiteral("Close Port"));
        QCOMPARE(dlg->m_Connected.load(), 0);
        QVERIFY(!dlg->IsWatcherRunning());
        // The late reply asked for the PIN key on the line that is now closed:
        // that request is over, no second time-out follows.
        QCOMPARE(dlg->m_Busy, 0);
        QVERIFY(!dlg->IsTimer1Running());
        QVERIFY(dlg->m_CurrentBDA.empty());  // emptied by the close
    }

    // ---- replies through the queue -------------------------------------------

    void aBdaReplyIsDecodedAndTraced()
    {
        RecordingDialog d;
        const ByteVec reply{0x02, 0x41, 0x42, 0x33, 0x30, 0x31, 0x32, 0x03};
        StdoutCapture out;
        QCOMPARE(Feed(d.dlg.get(), reply), 1L);
        const std::string trace = out.Stop();
        QCOMPARE(QString::fromStdString(trace),
                 QStringLiteral("OnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:3\nGet BDA\n"
                                "ESC ~ 4  Get PINKEY\nOnCommunication -3\n"));
        QCOMPARE(Text(d->m_CurrentBDA), QStringLiteral("012"));
        QCOMPARE(Text(d->GetDlgItemText(idc::CurrentBDA)), QStringLiteral("012"));
        QCOMPARE(LogLines(d.dlg.get()), QStringList{QStringLiteral(" 02 41 42 33 30 31 32 03")});
        QVERIFY(d->m_ReplyText.empty());
        // Get PinKey followed.
        QCOMPARE(d->m_Busy, 1);
        QVERIFY(d->IsTimer1Running());

        // An empty queue does nothing.
        QCOMPARE(d->OnCommunication(), -1L);
        QCOMPARE(LogLines(d.dlg.get()).size(), 1);
    }

    void aBdaReplySendsGetPinKey()
    {
        WiredDialog w;
        w.d->OnBnClickedGetBDA();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x33}));
        const ByteVec reply = ReplyFrame('3', "00190199A1B2");
        QVERIFY(w.peer.Write(reply));
        QTRY_COMPARE_WITH_TIMEOUT(Text(w.d->m_CurrentBDA), QStringLiteral("00190199A1B2"), 10000);
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x34}));
        QCOMPARE(w.d->m_Busy, 1);
        QVERIFY(w.d->IsTimer1Running());
    }

    void framingOfTheAccumulatedText()
    {
        RecordingDialog d;
        CVendrillDlg* dlg = d.dlg.get();

        // Split over two batches: decoded after the second, logged twice.
        Feed(dlg, Bytes({0x02, 0x41, 0x42, 0x33, 0x30}));
        QVERIFY(dlg->m_CurrentBDA.empty());
        QCOMPARE(dlg->m_ReplyText.size(), std::size_t(5));
        Feed(dlg, Bytes({0x31, 0x32, 0x03}));
        QCOMPARE(Text(dlg->m_CurrentBDA), QStringLiteral("012"));
        QCOMPARE(LogLines(dlg),
                 (QStringList{QStringLiteral(" 02 41 42 33 30"), QStringLiteral(" 31 32 03")}));

        // Two replies in one batch: only the first counts.
        dlg->m_CurrentBDA = "OLD";
        dlg->UpdateData(false);  // the decoder gathers the controls first
        Feed(dlg, Concat(ReplyFrame('6', "1"), ReplyFrame('3', "NEW")));
        QCOMPARE(Text(dlg->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"));
        QCOMPARE(Text(dlg->m_CurrentBDA), QStringLiteral("OLD"));
        QVERIFY(dlg->m_ReplyText.empty());

        // Noise in front of the STX is skipped.
        Feed(dlg, Concat(Ascii("xyz"), ReplyFrame('6', "3")));
        QCOMPARE(Text(dlg->m_CurrentLevel), QStringLiteral("Mode 3 (Use Pinkey)"));

        // An ETX before the STX (not at the start): decoded at once, empty data.
        Feed(dlg, Concat(Bytes({'x', 0x03}), ReplyFrame('6', "1")));
        QCOMPARE(Text(dlg->m_CurrentLevel), QStringLiteral("Mode  (Use Pinkey)"));
        QVERIFY(dlg->m_ReplyText.empty());

        // An ETX at the very start blocks decoding until the text is dropped
        // at 100 characters.
        dlg->m_CurrentLevel = "BEFORE";
        dlg->UpdateData(false);  // the decoder gathers the controls first
        Feed(dlg, Concat(Bytes({0x03}), ReplyFrame('6', "1")));
        QCOMPARE(Text(dlg->m_CurrentLevel), QStringLiteral("BEFORE"));
        QCOMPARE(dlg->m_ReplyText.size(), std::size_t(7));
        StdoutCapture out;
        Feed(dlg, ByteVec(93, 'n'));
        QVERIFY(QString::fromStdString(out.Stop()).contains(QStringLiteral("OnCommunication -2\n")));
        QVERIFY(dlg->m_ReplyText.empty());
        Feed(dlg, ReplyFrame('6', "2"));
        QCOMPARE(Text(dlg->m_CurrentLevel), QStringLiteral("Mode 2 (Use Pinkey)"));

        // Noise alone: kept up to 99 characters, dropped at 100.
        Feed(dlg, ByteVec(99, 'n'));
        QCOMPARE(dlg->m_ReplyText.size(), std::size_t(99));
        Feed(dlg, ByteVec(1, 'n'));
        QVERIFY(dlg->m_ReplyText.empty());

        // A zero byte (a line glitch) is left out of the reply text, which
        // still decodes; the log shows every byte.
        const ByteVec withZero{0x00, 0x02, 'V', 'R', '6', '1', 0x00, 0x03};
        dlg->m_CurrentLevel = "BEFORE";
        dlg->UpdateData(false);  // the decoder gathers the controls first
        Feed(dlg, withZero);
        QCOMPARE(Text(dlg->m_CurrentLevel), QString::fromStdString(proto::LevelText("1")));
        QVERIFY(dlg->m_ReplyText.empty());
        QCOMPARE(LogLines(dlg).last(), Hex(withZero));
        QVERIFY(d.messages.isEmpty());
    }

    void replyKinds()
    {
        RecordingDialog d;
        CVendrillDlg* dlg = d.dlg.get();
        auto outstanding = [dlg] {
            dlg->m_Busy = 1;
            dlg->SetTimer1();
        };

        // Level texts; every recognised reply stops the timer and clears busy.
        const struct {
            const char* data;
            const char* shown;
        } levels[] = {{"1", "Mode 1 (Not Use Pinkey)"}, {"2", "Mode 2 (Use Pinkey)"},
                      {"3", "Mode 3 (Use Pinkey)"}, {"", "Mode  (Use Pinkey)"}, {"11", "Mode 11 (Use Pinkey)"}};
        for (const auto& l : levels) {
            outstanding();
            Feed(dlg, ReplyFrame('6', l.data));
            QCOMPARE(Text(dlg->m_CurrentLevel), QString::fromLatin1(l.shown));
            QCOMPARE(Text(dlg->GetDlgItemText(idc::CurrentLevel)), QString::fromLatin1(l.shown));
            QCOMPARE(dlg->m_Busy, 0);
            QVERIFY(!dlg->IsTimer1Running());
        }

        // Pairing replies and the check boxes they govern.
        dlg->EnableWindow(idc::CheckLevel, false);
        dlg->EnableWindow(idc::CheckPinKey, false);
        dlg->m_CurrentLevel = "LEVEL";
        dlg->UpdateData(false);  // the decoder gathers the controls first
        outstanding();
        Feed(dlg, ReplyFrame('A', "1"));
        QCOMPARE(Text(dlg->m_CurrentPairingMode), QStringLiteral("Legacy pairing"));
        QVERIFY(dlg->GetDlgItem(idc::CheckLevel)->isEnabled());
        QVERIFY(dlg->GetDlgItem(idc::CheckPinKey)->isEnabled());
        QVERIFY(dlg->m_CurrentLevel.empty());  // Get Level followed
        QCOMPARE(dlg->m_Busy, 1);
        QVERIFY(dlg->IsTimer1Running());

        const struct {
            const char* data;
            const char* shown;
        } others[] = {{"2", "Just Works"}, {"3", "Numeric Comparison"}};
        for (const auto& p : others) {
            dlg->EnableWindow(idc::CheckLevel, true);
            dlg->EnableWindow(idc::CheckPinKey, true);
            dlg->m_CurrentLevel = "LEVEL";
        dlg->UpdateData(false);  // the decoder gathers the controls first
            outstanding();
            Feed(dlg, ReplyFrame('A', p.data));
            QCOMPARE(Text(dlg->m_CurrentPairingMode), QString::fromLatin1(p.shown));
            QVERIFY(!dlg->GetDlgItem(idc::CheckLevel)->isEnabled());
            QVERIFY(!dlg->GetDlgItem(idc::CheckPinKey)->isEnabled());
            QCOMPARE(Text(dlg->m_CurrentLevel), QStringLiteral("LEVEL"));
            QCOMPARE(dlg->m_Busy, 0);
            QVERIFY(!dlg->IsTimer1Running());
        }

        outstanding();
        Feed(dlg, ReplyFrame('A', "12"));
        QCOMPARE(Text(dlg->m_CurrentPairingMode), QStringLiteral("Numeric Comparison"));
        QVERIFY(!dlg->GetDlgItem(idc::CheckLevel)->isEnabled());
        QCOMPARE(dlg->m_Busy, 0);
        QVERIFY(!dlg->IsTimer1Running());

        // Sniff status while a request is outstanding: busy and timer stay.
        outstanding();
        Feed(dlg, ReplyFrame('C', "1"));
        QCOMPARE(Text(dlg->GetDlgItemText(idc::SniffStatusEdit)), QStringLiteral("sniff mode enable"));
        QCOMPARE(dlg->m_Busy, 1);
        QVERIFY(dlg->IsTimer1Running());
        Feed(dlg, ReplyFrame('C', "0"));
        QCOMPARE(Text(dlg->GetDlgItemText(idc::SniffStatusEdit)), QStringLiteral("sniff mode disable"));
        Feed(dlg, ReplyFrame('C', "x"));
        QCOMPARE(Text(dlg->GetDlgItemText(idc::SniffStatusEdit)), QStringLiteral("sniff mode disable"));
        QCOMPARE(dlg->m_Busy, 1);

        // Kinds outside the table, and a reply too short for a command.
        for (char c : {'8', ':', '@', 'D', '0', 'E'}) {
            Feed(dlg, ReplyFrame(c, "1"));
            QCOMPARE(dlg->m_Busy, 1);
            QVERIFY(dlg->IsTimer1Running());
        }
        Feed(dlg, Bytes({0x02, 'V', 0x03}));
        QCOMPARE(dlg->m_Busy, 1);

        // Set acknowledgements start the read-back at Get BDA.
        for (char c : {'2', '5', '7', 'B'}) {
            dlg->m_Busy = 0;
            dlg->KillTimer1();
            dlg->m_CurrentBDA = "OLD";
        dlg->UpdateData(false);  // the decoder gathers the controls first
            Feed(dlg, ReplyFrame(c, ""));
            QVERIFY(dlg->m_CurrentBDA.empty());
            QCOMPARE(dlg->m_Busy, 1);
        }
        QVERIFY(d.messages.isEmpty());
    }

    void anErrorReplyIsDecodedOnceWhileItsBoxIsOpen()
    {
        RecordingDialog d;
        CVendrillDlg* dlg = d.dlg.get();
        const ByteVec partial{0x02, 'V', 'R', '3', '0', '1'};
        int nested = 0;
        dlg->m_MessageBoxHook = [&](const QString& text) {
            d.messages << text;
            if (text == kSettingError && nested++ == 0) {
                // What the box's event loop would deliver meanwhile.
                Feed(dlg, partial);
                dlg->OnCommunication();  // an extra notification without bytes
            }
        };
        dlg->m_Busy = 1;
        dlg->SetTimer1();
        const ByteVec error = ReplyFrame('9', "");
        Feed(dlg, error);
        QCOMPARE(d.messages, QStringList{kSettingError});
        QCOMPARE(dlg->m_Busy, 0);
        QVERIFY(!dlg->IsTimer1Running());
        // The partial reply survived the decoder's return.
        QCOMPARE(dlg->m_ReplyText, std::string(partial.begin(), partial.end()));
        Feed(dlg, Bytes({'2', 0x03}));
        QCOMPARE(Text(dlg->m_CurrentBDA), QStringLiteral("012"));
        QCOMPARE(d.messages, QStringList{kSettingError});
        // Every batch is logged once, in the order it came.
        QCOMPARE(LogLines(dlg), (QStringList{Hex(error), Hex(partial), Hex(Bytes({'2', 0x03}))}));
    }

    // ---- chains against the simulated module ---------------------------------

    void theOldModuleChain()
    {
        CSimHost sim;
        QVERIFY(sim.Start());
        ::setenv("VENDRILL_COM1", sim.SlavePath().c_str(), 1);
        RecordingDialog d;
        QCOMPARE(d->m_NewVersion, 0);
        d->OnBnClickedOpen();
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), 10000);
        QCOMPARE(Text(d->m_CurrentBDN), QStringLiteral("VENDRILL-PRN"));
        QVERIFY(d->m_CurrentPairingMode.empty());
        QTRY_COMPARE_WITH_TIMEOUT(d->m_Busy, 0, 10000);
        QCOMPARE(sim.RequestCount(), std::uint64_t(4));  // BDA, PinKey, BDN, Level
        d->OnBnClickedClose();
        ::unsetenv("VENDRILL_COM1");
    }

    void theNewModuleChain()
    {
        CSimHost sim;
        QVERIFY(sim.Start());
        ::setenv("VENDRILL_COM1", sim.SlavePath().c_str(), 1);
        RecordingDialog d;
        d->SetCurSel(idc::VersionList, 1);
        d->OnCbnSelchangeVersion();
        QCOMPARE(d->m_NewVersion, 1);
        d->OnBnClickedOpen();

        // Legacy pairing: the level is read after the pairing mode.
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), 10000);
        QCOMPARE(Text(d->m_CurrentPairingMode), QStringLiteral("Legacy pairing"));
        QTRY_COMPARE_WITH_TIMEOUT(d->m_Busy, 0, 10000);
        QCOMPARE(sim.RequestCount(), std::uint64_t(5));

        // Just Works: the chain ends with the pairing mode.
        ModuleState state;
        state.pairing = '2';
        sim.SetState(state);
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentPairingMode), QStringLiteral("Just Works"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(d->m_Busy, 0, 10000);
        QCOMPARE(sim.RequestCount(), std::uint64_t(9));
        QCOMPARE(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"));  // not read again
        QVERIFY(!d->GetDlgItem(idc::CheckPinKey)->isEnabled());
        QVERIFY(d.messages.isEmpty());
        d->OnBnClickedClose();
        ::unsetenv("VENDRILL_COM1");
    }

    void anOverlongNameIsShownWhole()
    {
        CSimHost sim;
        QVERIFY(sim.Start());
        SimOptions options;
        options.overlongName = true;
        sim.SetOptions(options);
        ::setenv("VENDRILL_COM1", sim.SlavePath().c_str(), 1);
        RecordingDialog d;
        d->OnBnClickedOpen();
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), 10000);
        QCOMPARE(Text(d->m_CurrentBDN), QString::fromLatin1(kOverlongName));
        QCOMPARE(Text(d->GetDlgItemText(idc::CurrentBDN)), QString::fromLatin1(kOverlongName));
        QCOMPARE(d->m_CurrentBDN.size(), std::size_t(34));
        QVERIFY(d.messages.isEmpty());  // no "Enter no more than ..." on the way
        d->OnBnClickedClose();
        ::unsetenv("VENDRILL_COM1");
    }

    // ---- a flooding peer -----------------------------------------------------

    void aFloodIsSurvived()
    {
        WiredDialog w;
        CVendrillDlg* dlg = w.d.dlg.get();
        // A long log already, so that the flood pushes it past its line limit.
        for (int i = 0; i < 1900; ++i)
            Feed(dlg, ByteVec(1, 'n'));
        // Filler first, so that the flood's first chunk cannot fit.
        for (int i = 0; i < 1000; ++i)
            dlg->m_QueueRead.PutByte('n');
        std::atomic<bool> done{false};
        std::thread flood([&] {
            const ByteVec block(512, 'n');
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (std::chrono::steady_clock::now() < end && w.peer.Write(block)) {
            }
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 30000);
        flood.join();
        // Let the watcher take what is still on the line.
        auto drained = [&] {
            int waiting = 0;
            ::ioctl(w.peer.SlaveFd(), FIONREAD, &waiting);
            return waiting == 0 && dlg->m_QueueRead.GetCount() == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(drained(), 30000);

        QVERIFY(w.d.messages.contains(QStringLiteral("m_QueueRead FULL!")));
        for (const QString& m : w.d.messages)
            QCOMPARE(m, QStringLiteral("m_QueueRead FULL!"));
        const auto* log = qobject_cast<const QPlainTextEdit*>(dlg->GetDlgItem(idc::ReceiveLog));
        QVERIFY(log->document()->blockCount() <= 2000);
        QVERIFY(LogLines(dlg).size() <= 2000);
        // The window kept taking chunks while the flood lasted, rather than
        // one batch once the line went quiet.
        const QStringList lines = LogLines(dlg);
        const auto chunks = std::count_if(lines.begin(), lines.end(), [](const QString& l) { return l.size() > 3; });
        QVERIFY2(chunks >= 10, qPrintable(QString::number(chunks)));
        // Every logged batch was stored whole: a line per chunk, all 'n'.
        for (const QString& line : LogLines(dlg))
            QVERIFY(line.startsWith(QStringLiteral(" 6E")) && line.size() % 3 == 0);
        QVERIFY(dlg->m_ReplyText.size() < proto::REPLY_TEXT_LIMIT);

        // A normal exchange afterwards.
        w.d.messages.clear();
        w.peer.Take();
        dlg->OnBnClickedGetBDA();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x33}));
        QVERIFY(w.peer.Write(ReplyFrame('3', "00190199A1B2")));
        QTRY_COMPARE_WITH_TIMEOUT(Text(dlg->m_CurrentBDA), QStringLiteral("00190199A1B2"), 10000);
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x34}));
        QVERIFY(w.d.messages.isEmpty());
    }
};

QTEST_MAIN(DialogProtocolTest)
#include "test_dialog_protocol.moc"
