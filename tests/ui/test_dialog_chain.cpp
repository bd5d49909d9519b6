// The dialog against the simulated module over a pseudo-terminal, through the
// real serial link: Open, Get Info, Set PinKey / Set BDN with read-back.
#include "DialogTestUtil.h"

#include "sim/SimHost.h"
#include "ui/ControlTable.h"

#include <QSignalSpy>
#include <QTest>

#include <cstdlib>

using namespace vendrill;

class DialogChainTest : public QObject {
    Q_OBJECT

    CSimHost m_sim;

private slots:
    void initTestCase()
    {
        QVERIFY(m_sim.Start());
        ::setenv("VENDRILL_COM1", m_sim.SlavePath().c_str(), 1);
    }
    void cleanupTestCase() { m_sim.Stop(); }
    void init() { m_sim.SetOptions({}); m_sim.SetState({}); }

    // What the full view makes reachable, by mouse and keyboard only: the
    // level read and set, a name with a number and a printed label.
    void fullViewSetsTheLevelAndANumberedLabelledName()
    {
        RecordingDialog d;
        d->SetFullView(true);
        QVERIFY(d.ShowActive());
        QVERIFY(ClickOnScreen(d, idc::Open));
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QVERIFY(ClickOnScreen(d, idc::GetLevel));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), 10000);

        QVERIFY(!ClickOnScreen(d, idc::SetLevel));  // locked until its box is ticked
        QVERIFY(ClickOnScreen(d, idc::CheckLevel));
        QWidget* levels = d->GetDlgItem(idc::SetLevelList);
        levels->setFocus();
        QTest::keyClick(levels, Qt::Key_Down);
        QCOMPARE(d->GetCurSel(idc::SetLevelList), 1);
        QVERIFY(ClickOnScreen(d, idc::SetLevel));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 3 (Use Pinkey)"), 10000);
        QCOMPARE(m_sim.State().level, '3');
        QTRY_VERIFY_WITH_TIMEOUT(!d->Session().IsBusy(), 10000);

        QVERIFY(!ClickOnScreen(d, idc::AddNumeric));  // locked with Set BDN
        QVERIFY(ClickOnScreen(d, idc::CheckBDN));
        QTest::keyClicks(d.Edit(idc::SetBDNEdit), QStringLiteral("LINE-A"));
        QVERIFY(ClickOnScreen(d, idc::AddNumeric));
        QTest::keyClicks(d.Edit(idc::NumericSuffix), QStringLiteral("00x107"));
        QCOMPARE(d.Edit(idc::NumericSuffix)->text(), QStringLiteral("00107"));
        QVERIFY(ClickOnScreen(d, idc::PrintBDN));
        QVERIFY(ClickOnScreen(d, idc::SetBDN));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentBDN), QStringLiteral("LINE-A00107"), 10000);
        QCOMPARE(m_sim.State().name, std::string("LINE-A00107"));
        QCOMPARE(QString::fromStdString(m_sim.PrintedLines().at(0)), QStringLiteral("LINE-A00107"));
        QCOMPARE(d.Edit(idc::NumericSuffix)->text(), QStringLiteral("00108"));
        QTRY_VERIFY_WITH_TIMEOUT(!d->Session().IsBusy(), 10000);
        QVERIFY(d.messages.isEmpty());
        m_sim.ClearPrinted();

        // The README's picture of the full view (scripts/window_screenshot.sh).
        if (const char* shot = std::getenv("VENDRILL_SCREENSHOT"))
            QVERIFY(d->grab().save(QString::fromLocal8Bit(shot), "PNG"));
    }

    void getInfoFillsEveryFieldOfAnOldModule()
    {
        RecordingDialog d;
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QVERIFY(d->IsWatcherRunning());
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), 10000);
        QCOMPARE(Text(d->m_CurrentBDA), QStringLiteral("00190199A1B2"));
        QCOMPARE(Text(d->m_CurrentPinKey), QStringLiteral("0000"));
        QCOMPARE(Text(d->m_CurrentBDN), QStringLiteral("VENDRILL-PRN"));
        QVERIFY(d->m_CurrentPairingMode.empty());  // an old module is not asked
        QVERIFY(d.messages.isEmpty());
        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(d->m_CurrentBDA.empty());
    }

    void setPinKeyIsReadBack()
    {
        RecordingDialog d;
        d->OnBnClickedOpen();
        d->CheckDlgButton(idc::CheckPinKey, true);
        d->OnBnClickedCheckPinKey();
        d->SetDlgItemText(idc::SetPinKeyEdit, "4321");
        d->OnBnClickedSetPinKey();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), 10000);
        QCOMPARE(Text(d->m_CurrentPinKey), QStringLiteral("4321"));
        QCOMPARE(m_sim.State().pin, std::string("4321"));
    }

    void setNameWithSuffixIsSentAndTheSuffixAdvances()
    {
        RecordingDialog d;
        d->OnBnClickedOpen();
        d->CheckDlgButton(idc::CheckBDN, true);
        d->OnBnClickedCheckBDN();
        d->CheckDlgButton(idc::AddNumeric, true);
        d->OnBnClickedAddNumeric();
        d->CheckDlgButton(idc::PrintBDN, true);
        d->SetDlgItemText(idc::SetBDNEdit, "ABC");
        d->SetDlgItemText(idc::NumericSuffix, "00099");
        d->OnBnClickedSetBDN();
        QCOMPARE(Text(d->GetDlgItemText(idc::NumericSuffix)), QStringLiteral("00100"));
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentBDN), QStringLiteral("ABC00099"), 10000);
        QCOMPARE(m_sim.State().name, std::string("ABC00099"));
        const auto printed = m_sim.PrintedLines();
        QVERIFY(!printed.empty());
        QCOMPARE(QString::fromStdString(printed.front()), QStringLiteral("ABC00099"));
    }

    // What the user types survives the scatters of a Get Info chain (also
    // those of batches without a complete reply) and is what Set sends.
    void typedTextSurvivesGetInfoAndIsSent()
    {
        SimOptions split;
        split.split = 2;
        m_sim.SetOptions(split);
        RecordingDialog d;
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        Click(d, idc::CheckPinKey);
        Click(d, idc::CheckBDN);
        QTest::keyClicks(d.Edit(idc::SetPinKeyEdit), QStringLiteral("4321"));
        QTest::keyClicks(d.Edit(idc::SetBDNEdit), QStringLiteral("TYPED-NAME"));

        Click(d, idc::GetInfo);
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), 10000);
        QCOMPARE(d.Edit(idc::SetPinKeyEdit)->text(), QStringLiteral("4321"));
        QCOMPARE(d.Edit(idc::SetBDNEdit)->text(), QStringLiteral("TYPED-NAME"));

        Click(d, idc::SetPinKey);
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentPinKey), QStringLiteral("4321"), 10000);
        QCOMPARE(m_sim.State().pin, std::string("4321"));
        QTRY_VERIFY_WITH_TIMEOUT(!d->Session().IsBusy(), 10000);  // the read-back is over

        Click(d, idc::SetBDN);
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentBDN), QStringLiteral("TYPED-NAME"), 10000);
        QCOMPARE(m_sim.State().name, std::string("TYPED-NAME"));
        QVERIFY(d.messages.isEmpty());
    }

    void silentModuleTimesOutAndClosesTheLink()
    {
        SimOptions silent;
        silent.silent = true;
        m_sim.SetOptions(silent);
        RecordingDialog d;
        d->OnBnClickedOpen();
        d->OnBnClickedGetInfo();
        QVERIFY(d->IsTimer1Running());
        QTRY_COMPARE_WITH_TIMEOUT(d.messages, QStringList{kTimeout}, 10000);
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(!d->Session().IsConnected());
    }

    void errorReplyIsReportedOnce()
    {
        SimOptions error;
        error.alwaysError = true;
        m_sim.SetOptions(error);
        RecordingDialog d;
        d->OnBnClickedOpen();
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(d.messages, QStringList{kSettingError}, 10000);
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
    }
};

QTEST_MAIN(DialogChainTest)
#include "test_dialog_chain.moc"
