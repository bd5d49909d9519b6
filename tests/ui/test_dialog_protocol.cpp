// What the dialog makes of the settings protocol: which button sends which
// frame (from which fields and selections), what it refuses while a request
// is outstanding, the fields, log lines and boxes that replies give, and the
// boxes' nesting. The engine's own part (framing, reply kinds, chains,
// time-out) is tested in tests/session.
#include "DialogTestUtil.h"

#include "protocol/Protocol.h"
#include "sim/SimHost.h"
#include "ui/ControlTable.h"

#include <QTest>

#include <cstdlib>
#include <cstring>

using namespace vendrill;

namespace {

ByteVec Concat(ByteVec a, const ByteVec& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ByteVec Ascii(const char* s) { return ByteVec(s, s + std::strlen(s)); }

}  // namespace

class DialogProtocolTest : public QObject {
    Q_OBJECT

private slots:
    // ---- requests on the wire ------------------------------------------------

    // Each Get, selection and sniff button sends its frame; a selection comes
    // from its list (none selected: the first).
    void buttonsSendTheirFrames()
    {
        WiredDialog w;
        QCOMPARE(w.d->ActiveLink(), CVendrillDlg::Link::Serial);
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
        }
        const struct {
            int list, index;
            void (CVendrillDlg::*set)();
            ByteVec frame;
        } selections[] = {
            {idc::SetLevelList, 1, &CVendrillDlg::OnBnClickedSetLevel, Bytes({0x1B, 0x7E, 0x37, 0x33})},
            {idc::SetLevelList, 0, &CVendrillDlg::OnBnClickedSetLevel, Bytes({0x1B, 0x7E, 0x37, 0x31})},
            {idc::SetPairingList, 2, &CVendrillDlg::OnBnClickedSetPairing, Bytes({0x1B, 0x7E, 0x42, 0x33})},
            {idc::SetPairingList, -1, &CVendrillDlg::OnBnClickedSetPairing, Bytes({0x1B, 0x7E, 0x42, 0x31})},
        };
        for (const auto& s : selections) {
            w.Idle();
            w.d->SetCurSel(s.list, s.index);
            (w.d.dlg.get()->*s.set)();
            QCOMPARE(w.WrittenThenSentinel(), s.frame);
        }
        w.d->OnBnClickedSniffEnable();
        QVERIFY(w.peer.WaitFor(4));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x44, 0x31}));
        w.d->OnBnClickedSniffDisable();
        QVERIFY(w.peer.WaitFor(4));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x44, 0x30}));
        w.d->OnBnClickedSniffStatus();
        QVERIFY(w.peer.WaitFor(3));
        QCOMPARE(w.peer.Take(), Bytes({0x1B, 0x7E, 0x43}));
    }

    void textFrames()
    {
        WiredDialog w;
        w.d->SetDlgItemText(idc::SetPinKeyEdit, "1234");
        w.d->OnBnClickedSetPinKey();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x35, 0x04, '1', '2', '3', '4'}));

        w.Idle();
        w.d->SetDlgItemText(idc::SetBDNEdit, "ABC");
        w.d->OnBnClickedSetBDN();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x32, 0x03, 'A', 'B', 'C'}));

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
        QVERIFY(!w.d->Session().IsBusy());
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

    void emptyTextsSendNothing()
    {
        WiredDialog w;
        w.d->SetDlgItemText(idc::SetPinKeyEdit, "");
        w.d->OnBnClickedSetPinKey();
        w.d->SetDlgItemText(idc::SetBDNEdit, "");
        w.d->CheckDlgButton(idc::PrintBDN, true);
        w.d->OnBnClickedSetBDN();
        QCOMPARE(w.WrittenThenSentinel(), ByteVec{});
        QVERIFY(!w.d->Session().IsBusy());
        QVERIFY(!w.d->IsTimer1Running());
    }

    void busyRefusals()
    {
        WiredDialog w;
        w.d->OnBnClickedGetBDN();
        QCOMPARE(w.WrittenThenSentinel(), Bytes({0x1B, 0x7E, 0x31}));
        QVERIFY(w.d->Session().IsBusy());

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

        // Get Info without a link does nothing at all.
        RecordingDialog idle;
        idle->m_CurrentBDA = "KEPT";
        idle->UpdateData(false);
        idle->OnBnClickedGetInfo();
        QCOMPARE(Text(idle->m_CurrentBDA), QStringLiteral("KEPT"));
        QVERIFY(!idle->Session().IsBusy());
        QVERIFY(!idle->IsTimer1Running());
    }

    // ---- boxes and their nesting ---------------------------------------------

    void aLateReplyWhileTheTimeoutBoxIsOpen()
    {
        WiredDialog w;
        CVendrillDlg* dlg = w.d.dlg.get();
        dlg->m_messageBoxHook = [&](const QString& text) {
            w.d.messages << text;
            if (text == kTimeout)  // the box's own event loop delivers the late reply
                Feed(dlg, ReplyFrame('3', "00190199A1B2"));
        };
        dlg->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(w.d.messages, QStringList{kTimeout}, 10000);
        QCOMPARE(Text(dlg->m_Status), QStringLiteral("Close Port"));
        QVERIFY(!dlg->Session().IsConnected());
        QVERIFY(!dlg->IsWatcherRunning());
        // The late reply asked for the PIN key on the line that is now closed:
        // that request is over, no second time-out follows.
        QVERIFY(!dlg->Session().IsBusy());
        QVERIFY(!dlg->IsTimer1Running());
        QVERIFY(dlg->m_CurrentBDA.empty());  // emptied by the close
    }

    // ---- replies: fields and log lines ----------------------------------------

    // Every batch is one log line, zero bytes included; a reply shows in its field.
    void batchesAreLoggedAndRepliesShown()
    {
        RecordingDialog d;
        CVendrillDlg* dlg = d.dlg.get();
        Feed(dlg, Bytes({0x02, 0x41, 0x42, 0x33, 0x30}));
        QVERIFY(dlg->GetDlgItemText(idc::CurrentBDA).empty());
        Feed(dlg, Bytes({0x31, 0x32, 0x03}));
        QCOMPARE(Text(dlg->m_CurrentBDA), QStringLiteral("012"));
        QCOMPARE(Text(dlg->GetDlgItemText(idc::CurrentBDA)), QStringLiteral("012"));
        QCOMPARE(LogLines(dlg), (QStringList{QStringLiteral(" 02 41 42 33 30"), QStringLiteral(" 31 32 03")}));
        QCOMPARE(dlg->OnCommunication(), -1L);  // an empty queue logs nothing
        QCOMPARE(LogLines(dlg).size(), 2);

        const ByteVec withZero{0x00, 0x02, 'V', 'R', '6', '1', 0x00, 0x03};
        Feed(dlg, withZero);
        QCOMPARE(Text(dlg->GetDlgItemText(idc::CurrentLevel)), QString::fromStdString(proto::LevelText("1")));
        QCOMPARE(LogLines(dlg).last(), Hex(withZero));
        QVERIFY(d.messages.isEmpty());
    }

    // The field or check boxes each reply kind touches; the data a reply
    // may carry shows as is.
    void replyKindsFillTheirFields()
    {
        RecordingDialog d;
        CVendrillDlg* dlg = d.dlg.get();
        const struct {
            const char* data;
            const char* shown;
        } levels[] = {{"1", "Mode 1 (Not Use Pinkey)"}, {"2", "Mode 2 (Use Pinkey)"},
                      {"3", "Mode 3 (Use Pinkey)"}, {"", "Mode  (Use Pinkey)"}, {"11", "Mode 11 (Use Pinkey)"}};
        for (const auto& l : levels) {
            Feed(dlg, ReplyFrame('6', l.data));
            QCOMPARE(Text(dlg->m_CurrentLevel), QString::fromLatin1(l.shown));
            QCOMPARE(Text(dlg->GetDlgItemText(idc::CurrentLevel)), QString::fromLatin1(l.shown));
        }

        // Pairing replies, the check boxes they govern, and the level field,
        // emptied for the Get Level that legacy pairing asks for.
        dlg->EnableWindow(idc::CheckLevel, false);
        dlg->EnableWindow(idc::CheckPinKey, false);
        dlg->m_CurrentLevel = "LEVEL";
        dlg->UpdateData(false);  // the decoder gathers the controls first
        Feed(dlg, ReplyFrame('A', "1"));
        QCOMPARE(Text(dlg->m_CurrentPairingMode), QStringLiteral("Legacy pairing"));
        QVERIFY(dlg->GetDlgItem(idc::CheckLevel)->isEnabled());
        QVERIFY(dlg->GetDlgItem(idc::CheckPinKey)->isEnabled());
        QVERIFY(dlg->m_CurrentLevel.empty());
        const struct {
            const char* data;
            const char* shown;
        } others[] = {{"2", "Just Works"}, {"3", "Numeric Comparison"}, {"12", "Numeric Comparison"}};
        for (const auto& p : others) {
            dlg->EnableWindow(idc::CheckLevel, true);
            dlg->EnableWindow(idc::CheckPinKey, true);
            dlg->m_CurrentLevel = "LEVEL";
            dlg->UpdateData(false);
            Feed(dlg, ReplyFrame('A', p.data));
            QCOMPARE(Text(dlg->m_CurrentPairingMode), QString::fromLatin1(p.shown));
            QCOMPARE(dlg->GetDlgItem(idc::CheckLevel)->isEnabled(), std::strcmp(p.data, "12") == 0);
            QCOMPARE(dlg->GetDlgItem(idc::CheckPinKey)->isEnabled(), std::strcmp(p.data, "12") == 0);
            QCOMPARE(Text(dlg->m_CurrentLevel), QStringLiteral("LEVEL"));  // not read again
        }

        Feed(dlg, ReplyFrame('C', "1"));
        QCOMPARE(Text(dlg->GetDlgItemText(idc::SniffStatusEdit)), QStringLiteral("sniff mode enable"));
        Feed(dlg, ReplyFrame('C', "0"));
        QCOMPARE(Text(dlg->GetDlgItemText(idc::SniffStatusEdit)), QStringLiteral("sniff mode disable"));
        Feed(dlg, ReplyFrame('C', "x"));
        QCOMPARE(Text(dlg->GetDlgItemText(idc::SniffStatusEdit)), QStringLiteral("sniff mode disable"));

        // An acknowledged Set empties the BDA field for its read-back.
        for (char c : {'2', '5', '7', 'B'}) {
            dlg->m_CurrentBDA = "OLD";
            dlg->UpdateData(false);
            Feed(dlg, ReplyFrame(c, ""));
            QVERIFY(dlg->GetDlgItemText(idc::CurrentBDA).empty());
        }
        QVERIFY(d.messages.isEmpty());
    }

    // A name longer than the limit for typing is shown whole, without a box.
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
};

QTEST_MAIN(DialogProtocolTest)
#include "test_dialog_protocol.moc"
