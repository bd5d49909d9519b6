// Data exchange of the settings dialog: typing limits, gather and scatter,
// the length message and the code page 949 boundary.
#include "DialogTestUtil.h"

#include "ui/ControlTable.h"
#include "ui/Cp949.h"

#include <QComboBox>
#include <QLabel>

using namespace vendrill;

namespace {
const std::string kHwakin = "\xC8\xAE\xC0\xCE";  // "확인" in code page 949
}

class TestDialogData : public QObject {
    Q_OBJECT

private slots:
    void cp949Conversion();
    void typingLimitsStopAtSixteenAndTwentyNine();
    void programTextIsNotCutAndCanBeShortened();
    void scatterShowsMembersAndKeepsSelections();
    void gatherTakesControlTextsAndKeepsSelections();
    void overlongTypedFieldShowsLimitMessageAndStops_data();
    void overlongTypedFieldShowsLimitMessageAndStops();
    void overlongDisplayFieldGathersSilently();
    void limitsCountBytes();
    void closeStubClearsDisplayedValues();
};

void TestDialogData::cp949Conversion()
{
    QCOMPARE(ToCp949(QString::fromUtf8("확인")), kHwakin);
    QCOMPARE(FromCp949(kHwakin), QString::fromUtf8("확인"));
    QCOMPARE(ToCp949(QStringLiteral("AB-_~ 09")), std::string("AB-_~ 09"));
    QCOMPARE(ToCp949(QString()), std::string());
    // Nothing after a bad sequence is lost.
    QCOMPARE(FromCp949(std::string("A\xFF" "B")), QString::fromUtf8("A\xEF\xBF\xBD" "B"));
    QCOMPARE(ToCp949(QString::fromUtf8("A\xF0\x9F\x98\x80" "B")), std::string("A?B"));
    // Bytes that are not text pass through a round trip unchanged when valid.
    const std::string mixed = "BT-" + kHwakin + "-01";
    QCOMPARE(ToCp949(FromCp949(mixed)), mixed);
}

void TestDialogData::typingLimitsStopAtSixteenAndTwentyNine()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->CheckDlgButton(idc::CheckPinKey, true);
    d->OnBnClickedCheckPinKey();
    d->CheckDlgButton(idc::CheckBDN, true);
    d->OnBnClickedCheckBDN();

    QLineEdit* pin = d.Edit(idc::SetPinKeyEdit);
    QTest::keyClicks(pin, QString(20, QLatin1Char('7')));
    QCOMPARE(pin->text(), QString(16, QLatin1Char('7')));

    QLineEdit* bdn = d.Edit(idc::SetBDNEdit);
    QTest::keyClicks(bdn, QString(35, QLatin1Char('n')));
    QCOMPARE(bdn->text(), QString(29, QLatin1Char('n')));

    QVERIFY(d->UpdateData(true));
    QCOMPARE(d->m_SetPinKey, std::string(16, '7'));
    QCOMPARE(d->m_SetBDN, std::string(29, 'n'));
    QVERIFY(d.messages.isEmpty());
}

void TestDialogData::programTextIsNotCutAndCanBeShortened()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->CheckDlgButton(idc::CheckBDN, true);
    d->OnBnClickedCheckBDN();
    QLineEdit* bdn = d.Edit(idc::SetBDNEdit);

    d->SetDlgItemText(idc::SetBDNEdit, std::string(30, 'x'));
    QCOMPARE(bdn->text().size(), 30);
    bdn->setFocus();
    bdn->end(false);
    QTest::keyClick(bdn, Qt::Key_Y);
    QCOMPARE(bdn->text().size(), 30);  // no longer
    QCOMPARE(bdn->cursorPosition(), 30);
    QTest::keyClick(bdn, Qt::Key_Y);
    QCOMPARE(bdn->text(), QString(30, QLatin1Char('x')));
    QTest::keyClick(bdn, Qt::Key_Backspace);
    QCOMPARE(bdn->text().size(), 29);  // but shorter is fine
    QTest::keyClick(bdn, Qt::Key_Backspace);
    QTest::keyClicks(bdn, QStringLiteral("abc"));
    QCOMPARE(bdn->text(), QString(28, QLatin1Char('x')) + QLatin1Char('a'));

    // A paste that would go over the limit is refused whole.
    bdn->setText(QStringLiteral("Name"));
    bdn->insert(QString(40, QLatin1Char('p')));
    QCOMPARE(bdn->text(), QStringLiteral("Name"));

    d->SetDlgItemText(idc::CurrentBDN, std::string(34, 'c'));
    QCOMPARE(d.Edit(idc::CurrentBDN)->text().size(), 34);
}

void TestDialogData::scatterShowsMembersAndKeepsSelections()
{
    RecordingDialog d;
    d->m_Status = "Success";
    d->m_CurrentBDA = "0012F3A4B5C6";
    d->m_CurrentPinKey = "1234";
    d->m_SetPinKey = "9999";
    d->m_CurrentBDN = "Printer-01";
    d->m_SetBDN = kHwakin;
    d->m_CurrentPairingMode = "Just Works";
    d->m_CurrentLevel = "Mode 1 (Not Use Pinkey)";
    d->m_BaudText = "115200";
    d->m_PortText = "COM7";
    QVERIFY(d->UpdateData(false));

    QCOMPARE(qobject_cast<QLabel*>(d->GetDlgItem(idc::Status))->text(), QStringLiteral("Success"));
    QCOMPARE(d.Edit(idc::CurrentBDA)->text(), QStringLiteral("0012F3A4B5C6"));
    QCOMPARE(d.Edit(idc::CurrentPinKey)->text(), QStringLiteral("1234"));
    QCOMPARE(d.Edit(idc::SetPinKeyEdit)->text(), QStringLiteral("9999"));
    QCOMPARE(d.Edit(idc::CurrentBDN)->text(), QStringLiteral("Printer-01"));
    QCOMPARE(d.Edit(idc::SetBDNEdit)->text(), QString::fromUtf8("확인"));
    QCOMPARE(d.Edit(idc::CurrentPairing)->text(), QStringLiteral("Just Works"));
    QCOMPARE(d.Edit(idc::CurrentLevel)->text(), QStringLiteral("Mode 1 (Not Use Pinkey)"));
    // Writing text to a list-only drop-down changes nothing.
    QCOMPARE(d->GetCurSel(idc::BaudList), 3);
    QCOMPARE(d->GetCurSel(idc::PortList), 0);
    QCOMPARE(d->GetDlgItemText(idc::BaudList), std::string("57600"));
}

void TestDialogData::gatherTakesControlTextsAndKeepsSelections()
{
    RecordingDialog d;
    d->SetCurSel(idc::PortList, 12);
    d->SetCurSel(idc::BaudList, 0);
    d->SetCurSel(idc::DataBitsList, 0);
    d->SetCurSel(idc::StopBitList, 1);
    d->SetDlgItemText(idc::Status, "Close Port");
    d->SetDlgItemText(idc::SetPinKeyEdit, "0000");
    d->SetDlgItemText(idc::SetBDNEdit, "MyPrinter");
    d->SetDlgItemText(idc::CurrentLevel, "Mode 3 (Use Pinkey)");
    QVERIFY(d->UpdateData(true));
    QCOMPARE(d->m_PortText, std::string("COM13"));
    QCOMPARE(d->m_BaudText, std::string("9600"));
    QCOMPARE(d->m_DataBitsText, std::string("7"));
    QCOMPARE(d->m_StopBitText, std::string("2"));
    QCOMPARE(d->m_Status, std::string("Close Port"));
    QCOMPARE(d->m_SetPinKey, std::string("0000"));
    QCOMPARE(d->m_SetBDN, std::string("MyPrinter"));
    QCOMPARE(d->m_CurrentLevel, std::string("Mode 3 (Use Pinkey)"));
    QCOMPARE(d->GetCurSel(idc::PortList), 12);
    QCOMPARE(d->GetCurSel(idc::BaudList), 0);

    // With nothing selected a list-only drop-down gathers as empty.
    d->SetCurSel(idc::PortList, -1);
    QVERIFY(d->UpdateData(true));
    QCOMPARE(d->m_PortText, std::string());
    QCOMPARE(d->GetCurSel(idc::PortList), -1);
    QVERIFY(d.messages.isEmpty());
}

void TestDialogData::overlongTypedFieldShowsLimitMessageAndStops_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("message");
    QTest::newRow("Set PinKey 17") << idc::SetPinKeyEdit << 17 << QStringLiteral("Enter no more than 16 characters.");
    QTest::newRow("Set BDN 30") << idc::SetBDNEdit << 30 << QStringLiteral("Enter no more than 29 characters.");
}

void TestDialogData::overlongTypedFieldShowsLimitMessageAndStops()
{
    QFETCH(int, id);
    QFETCH(int, length);
    QFETCH(QString, message);
    RecordingDialog d;
    d->m_SetPinKey = "old-pin";
    d->m_SetBDN = "old-name";
    d->m_CurrentPairingMode = "old-mode";
    d->m_CurrentLevel = "old-level";
    d->SetDlgItemText(idc::CurrentBDN, "new-bdn");
    d->SetDlgItemText(id, std::string(std::size_t(length), 'z'));
    d->SetDlgItemText(idc::CurrentPairing, "new-mode");
    d->SetDlgItemText(idc::CurrentLevel, "new-level");

    QVERIFY(!d->UpdateData(true));
    QCOMPARE(d.messages, QStringList{message});
    // The failing member keeps its last valid value, the bindings behind it
    // are not gathered.
    QCOMPARE(d->m_CurrentPairingMode, std::string("old-mode"));
    QCOMPARE(d->m_CurrentLevel, std::string("old-level"));
    if (id == idc::SetPinKeyEdit) {
        QCOMPARE(d->m_SetPinKey, std::string("old-pin"));
        QCOMPARE(d->m_CurrentBDN, std::string());
    } else {
        QCOMPARE(d->m_SetBDN, std::string("old-name"));
        QCOMPARE(d->m_CurrentBDN, std::string("new-bdn"));
    }
    // A scatter afterwards puts the previous values back.
    QVERIFY(d->UpdateData(false));
    QCOMPARE(d.Edit(idc::CurrentPairing)->text(), QStringLiteral("old-mode"));
    QVERIFY(d.Edit(id)->text().startsWith(QStringLiteral("old-")));
}

void TestDialogData::overlongDisplayFieldGathersSilently()
{
    RecordingDialog d;
    d->SetDlgItemText(idc::CurrentBDA, std::string(13, 'A'));
    d->SetDlgItemText(idc::CurrentPinKey, std::string(20, 'P'));
    d->SetDlgItemText(idc::CurrentBDN, std::string(34, 'N'));
    d->SetDlgItemText(idc::SetBDNEdit, "Typed");
    d->SetDlgItemText(idc::CurrentPairing, "Legacy pairing");
    QVERIFY(d->UpdateData(true));
    QVERIFY(d.messages.isEmpty());
    QCOMPARE(d->m_CurrentBDA, std::string(13, 'A'));
    QCOMPARE(d->m_CurrentPinKey, std::string(20, 'P'));
    QCOMPARE(d->m_CurrentBDN, std::string(34, 'N'));
    QCOMPARE(d->m_SetBDN, std::string("Typed"));
    QCOMPARE(d->m_CurrentPairingMode, std::string("Legacy pairing"));
    // Shown whole again by a scatter.
    QVERIFY(d->UpdateData(false));
    QCOMPARE(d.Edit(idc::CurrentBDN)->text().size(), 34);
}

void TestDialogData::limitsCountBytes()
{
    RecordingDialog d;
    // Nine Hangul syllables are 18 bytes: over the 16-byte PIN key limit.
    d->SetDlgItemText(idc::SetPinKeyEdit, ToCp949(QString::fromUtf8("가나다라마바사아자")));
    QVERIFY(!d->UpdateData(true));
    QCOMPARE(d.messages, QStringList{QStringLiteral("Enter no more than 16 characters.")});

    d.messages.clear();
    d->SetDlgItemText(idc::SetPinKeyEdit, ToCp949(QString::fromUtf8("가나다라마바사아")));
    QVERIFY(d->UpdateData(true));
    QCOMPARE(d->m_SetPinKey.size(), std::size_t(16));
    QVERIFY(d.messages.isEmpty());
}

void TestDialogData::closeStubClearsDisplayedValues()
{
    RecordingDialog d;
    d->m_CurrentBDA = "A";
    d->m_CurrentPinKey = "B";
    d->m_SetPinKey = "C";
    d->m_CurrentBDN = "D";
    d->m_SetBDN = "E";
    d->m_CurrentPairingMode = "F";
    d->m_CurrentLevel = "G";
    d->UpdateData(false);
    d->ClearDisplayedValues();
    for (int id : {idc::CurrentBDA, idc::CurrentPinKey, idc::SetPinKeyEdit, idc::CurrentBDN, idc::CurrentPairing,
                   idc::CurrentLevel})
        QVERIFY(d.Edit(id)->text().isEmpty());
    QCOMPARE(d.Edit(idc::SetBDNEdit)->text(), QStringLiteral("E"));
}

QTEST_MAIN(TestDialogData)
#include "test_dialog_data.moc"
