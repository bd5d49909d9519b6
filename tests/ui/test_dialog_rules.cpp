// Mode switching, enable rules, "Clear" and the keyboard filter.
#include "DialogTestUtil.h"

#include "ui/ControlTable.h"

#include <QComboBox>
#include <QInputMethodEvent>
#include <QPlainTextEdit>
#include <QRadioButton>

#include <initializer_list>

using namespace vendrill;

namespace {
bool AllEnabled(const RecordingDialog& d, std::initializer_list<int> ids, bool enabled)
{
    for (int id : ids)
        if (d->GetDlgItem(id)->isEnabled() != enabled)
            return false;
    return true;
}

bool AllShown(const RecordingDialog& d, std::initializer_list<int> ids, bool shown)
{
    for (int id : ids)
        if (d->GetDlgItem(id)->isVisibleTo(d.dlg.get()) != shown)
            return false;
    return true;
}

const auto kSerialControls = {idc::PortList, idc::BaudList, idc::DataBitsList, idc::ParityList, idc::StopBitList,
                              idc::PortLabel, idc::BaudLabel, idc::ParityLabel, idc::DataBitsLabel,
                              idc::StopBitLabel};
const auto kUsbControls = {idc::PrinterModelLabel, idc::PrinterModelList};
}  // namespace

class TestDialogRules : public QObject {
    Q_OBJECT

private slots:
    void serialAndUsbViews();
    void moduleVersionRule();
    void pairingModeRule();
    void setPinKeyUnlock();
    void setBdnUnlockAndAddNumeric();
    void setLevelAndPairingUnlockMoveNoFocus();
    void unlockRuleCarriesOnAfterLimitMessage();
    void pairingReplyRule();
    void clearEmptiesTheLog();
    void enterAndEscapeHaveNoEffect();
    void typedCharacters_data();
    void typedCharacters();
    void editingKeysStillWork();
    void inputMethodCommitsAreFiltered();
    void digitsOnlyField();
    void fullViewKeepsTheRules();
};

void TestDialogRules::serialAndUsbViews()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    QVERIFY(AllShown(d, kSerialControls, true) && AllEnabled(d, kSerialControls, true));
    QVERIFY(AllShown(d, kUsbControls, false) && AllEnabled(d, kUsbControls, false));

    d->SetCurSel(idc::BaudList, 1);
    d->m_BaudText = "kept";
    Click(d, idc::Usb);
    QVERIFY(d->IsDlgButtonChecked(idc::Usb));
    QVERIFY(!d->IsDlgButtonChecked(idc::Serial));
    QVERIFY(d->m_usbSelected.load());
    QVERIFY(AllShown(d, kSerialControls, false) && AllEnabled(d, kSerialControls, false));
    QVERIFY(AllShown(d, kUsbControls, true) && AllEnabled(d, kUsbControls, true));
    // No data exchange, no selection change.
    QCOMPARE(d->m_BaudText, std::string("kept"));
    QCOMPARE(d->GetCurSel(idc::BaudList), 1);
    QCOMPARE(d->GetCurSel(idc::PrinterModelList), 0);

    Click(d, idc::Usb);  // again: same view
    QVERIFY(AllShown(d, kUsbControls, true) && AllShown(d, kSerialControls, false));

    Click(d, idc::Serial);
    QVERIFY(!d->m_usbSelected.load());
    QVERIFY(AllShown(d, kSerialControls, true) && AllEnabled(d, kSerialControls, true));
    QVERIFY(AllShown(d, kUsbControls, false) && AllEnabled(d, kUsbControls, false));

    // The mirror follows changes made from code as well.
    d->CheckDlgButton(idc::Usb, true);
    QVERIFY(d->m_usbSelected.load());
    QVERIFY(AllShown(d, kSerialControls, true));  // rules run on clicks only
}

void TestDialogRules::moduleVersionRule()
{
    RecordingDialog d;
    auto* version = qobject_cast<QComboBox*>(d->GetDlgItem(idc::VersionList));
    const auto newOnly = {idc::CheckPairing, idc::SniffEnable, idc::SniffDisable, idc::SniffStatus,
                          idc::SniffStatusEdit};

    // A selection from code runs no handler.
    d->SetCurSel(idc::VersionList, 0);
    QVERIFY(!d->Session().IsNewVersion());
    QVERIFY(AllEnabled(d, {idc::CheckPairing}, true));

    emit version->activated(0);
    QVERIFY(!d->Session().IsNewVersion());
    QVERIFY(AllEnabled(d, newOnly, false));
    QVERIFY(AllEnabled(d, {idc::SetPairingList, idc::SetPairing}, false));

    // Turn the pairing box on while old: its controls follow the box ...
    d->CheckDlgButton(idc::CheckPairing, true);
    d->OnBnClickedCheckPairing();
    QVERIFY(AllEnabled(d, {idc::SetPairingList, idc::SetPairing}, true));
    emit version->activated(0);
    QVERIFY(AllEnabled(d, {idc::SetPairingList, idc::SetPairing}, false));

    // ... and "New Version" does not enable them again.
    d->SetCurSel(idc::VersionList, 1);
    emit version->activated(1);
    QVERIFY(d->Session().IsNewVersion());
    QVERIFY(AllEnabled(d, newOnly, true));
    QVERIFY(AllEnabled(d, {idc::SetPairingList, idc::SetPairing}, false));
    d->OnBnClickedCheckPairing();
    QVERIFY(AllEnabled(d, {idc::SetPairingList, idc::SetPairing}, true));

    // Typed text (no selection) counts as new.
    d->SetCurSel(idc::VersionList, 0);
    emit version->activated(0);
    version->setEditText(QStringLiteral("Whatever"));
    QCOMPARE(d->GetCurSel(idc::VersionList), -1);
    d->OnCbnSelchangeVersion();
    QVERIFY(d->Session().IsNewVersion());
    // Nothing is shown.
    QVERIFY(AllShown(d, {idc::CheckPairing, idc::SniffEnable, idc::SniffStatusEdit, idc::VersionList}, false));
}

void TestDialogRules::pairingModeRule()
{
    RecordingDialog d;
    auto* pairing = qobject_cast<QComboBox*>(d->GetDlgItem(idc::SetPairingList));
    const auto all = {idc::CheckPinKey, idc::CheckBDN, idc::CheckLevel, idc::SetLevelList, idc::SetLevel};

    d->SetCurSel(idc::SetPairingList, 1);
    emit pairing->activated(1);
    QVERIFY(AllEnabled(d, {idc::CheckBDN}, true));
    QVERIFY(AllEnabled(d, {idc::CheckPinKey, idc::CheckLevel, idc::SetLevelList, idc::SetLevel}, false));

    d->SetCurSel(idc::SetPairingList, 0);
    emit pairing->activated(0);
    QVERIFY(AllEnabled(d, all, true));  // whatever the state of check box 1023
    QVERIFY(!d->IsDlgButtonChecked(idc::CheckLevel));

    d->SetCurSel(idc::SetPairingList, 2);
    emit pairing->activated(2);
    QVERIFY(AllEnabled(d, {idc::CheckPinKey, idc::CheckLevel, idc::SetLevelList, idc::SetLevel}, false));

    // Nothing selected: no change.
    d->EnableWindow(idc::CheckPinKey, true);
    pairing->setEditText(QStringLiteral("typed"));
    d->OnCbnSelchangePairing();
    QVERIFY(AllEnabled(d, {idc::CheckPinKey}, true));
    QVERIFY(AllEnabled(d, {idc::CheckLevel}, false));
    // Set PinKey field and button are never touched.
    QVERIFY(AllEnabled(d, {idc::SetPinKeyEdit, idc::SetPinKey}, false));
}

void TestDialogRules::setPinKeyUnlock()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->m_SetPinKey = "1234";
    Click(d, idc::CheckPinKey);
    QVERIFY(d->IsDlgButtonChecked(idc::CheckPinKey));
    QVERIFY(AllEnabled(d, {idc::SetPinKeyEdit, idc::SetPinKey}, true));
    QCOMPARE(QApplication::focusWidget(), d->GetDlgItem(idc::SetPinKeyEdit));
    // The rule gathers first, so the member follows the (empty) field.
    QCOMPARE(d->m_SetPinKey, std::string());

    Click(d, idc::CheckPinKey);
    QVERIFY(!d->IsDlgButtonChecked(idc::CheckPinKey));
    QVERIFY(AllEnabled(d, {idc::SetPinKeyEdit, idc::SetPinKey}, false));
}

void TestDialogRules::setBdnUnlockAndAddNumeric()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    Click(d, idc::CheckBDN);
    QVERIFY(AllEnabled(d, {idc::SetBDNEdit, idc::SetBDN, idc::AddNumeric}, true));
    QVERIFY(!d->IsDlgButtonChecked(idc::AddNumeric));
    QVERIFY(AllEnabled(d, {idc::NumericSuffix}, false));
    QCOMPARE(QApplication::focusWidget(), d->GetDlgItem(idc::SetBDNEdit));

    d->CheckDlgButton(idc::AddNumeric, true);
    d->OnBnClickedAddNumeric();
    QVERIFY(AllEnabled(d, {idc::NumericSuffix}, true));
    // The suffix panel is hidden in this layout; shown, the suffix takes the focus.
    d->ShowWindow(idc::NumericSuffix, true);
    d->OnBnClickedAddNumeric();
    QCOMPARE(QApplication::focusWidget(), d->GetDlgItem(idc::NumericSuffix));
    d->ShowWindow(idc::NumericSuffix, false);

    // Off: "Add numeric" off and disabled, suffix disabled.
    Click(d, idc::CheckBDN);
    QVERIFY(AllEnabled(d, {idc::SetBDNEdit, idc::SetBDN, idc::AddNumeric, idc::NumericSuffix}, false));
    QVERIFY(!d->IsDlgButtonChecked(idc::AddNumeric));

    // On again: "Add numeric" enabled but still off, so the suffix stays disabled.
    Click(d, idc::CheckBDN);
    QVERIFY(AllEnabled(d, {idc::AddNumeric}, true));
    QVERIFY(!d->IsDlgButtonChecked(idc::AddNumeric));
    QVERIFY(AllEnabled(d, {idc::NumericSuffix}, false));
    QVERIFY(AllShown(d, {idc::AddNumeric, idc::NumericSuffix, idc::PrintBDN}, false));
    QVERIFY(!d->IsDlgButtonChecked(idc::PrintBDN));
}

void TestDialogRules::setLevelAndPairingUnlockMoveNoFocus()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    QWidget* focus = QApplication::focusWidget();
    d->CheckDlgButton(idc::CheckLevel, true);
    d->OnBnClickedCheckLevel();
    QVERIFY(AllEnabled(d, {idc::SetLevelList, idc::SetLevel}, true));
    d->CheckDlgButton(idc::CheckPairing, true);
    d->OnBnClickedCheckPairing();
    QVERIFY(AllEnabled(d, {idc::SetPairingList, idc::SetPairing}, true));
    QCOMPARE(QApplication::focusWidget(), focus);

    d->CheckDlgButton(idc::CheckLevel, false);
    d->OnBnClickedCheckLevel();
    QVERIFY(AllEnabled(d, {idc::SetLevelList, idc::SetLevel}, false));
    d->CheckDlgButton(idc::CheckPairing, false);
    d->OnBnClickedCheckPairing();
    QVERIFY(AllEnabled(d, {idc::SetPairingList, idc::SetPairing}, false));
}

void TestDialogRules::unlockRuleCarriesOnAfterLimitMessage()
{
    RecordingDialog d;
    d->SetDlgItemText(idc::SetBDNEdit, std::string(30, 'q'));
    d->CheckDlgButton(idc::CheckPinKey, true);
    d->OnBnClickedCheckPinKey();
    QCOMPARE(d.messages, QStringList{QStringLiteral("Enter no more than 29 characters.")});
    QVERIFY(AllEnabled(d, {idc::SetPinKeyEdit, idc::SetPinKey}, true));
    // The closing scatter puts the last gathered name back.
    QCOMPARE(d.Edit(idc::SetBDNEdit)->text(), QString());
}

void TestDialogRules::pairingReplyRule()
{
    RecordingDialog d;
    d->CheckDlgButton(idc::CheckPinKey, true);
    d->OnBnClickedCheckPinKey();
    // A pairing-mode reply as the module sends it, through the decoder.
    const auto reply = [&d](char mode) {
        const std::uint8_t frame[] = {0x02, 'V', 'R', 'A', static_cast<std::uint8_t>(mode), 0x03};
        QVERIFY(d->Session().Enqueue(frame, sizeof frame));
        d->OnCommunication();
    };
    reply('2');
    QVERIFY(AllEnabled(d, {idc::CheckPinKey, idc::CheckLevel}, false));
    QVERIFY(AllEnabled(d, {idc::SetPinKeyEdit, idc::SetPinKey}, true));  // what they unlock stays
    QCOMPARE(d->m_CurrentPairingMode, std::string("Just Works"));
    reply('1');
    QVERIFY(AllEnabled(d, {idc::CheckPinKey, idc::CheckLevel}, true));
    reply('3');
    QVERIFY(AllEnabled(d, {idc::CheckPinKey, idc::CheckLevel}, false));
    reply('7');
    QVERIFY(AllEnabled(d, {idc::CheckPinKey, idc::CheckLevel}, false));
    QCOMPARE(d->m_CurrentPairingMode, std::string("Numeric Comparison"));
}

void TestDialogRules::clearEmptiesTheLog()
{
    RecordingDialog d;
    auto* log = qobject_cast<QPlainTextEdit*>(d->GetDlgItem(idc::ReceiveLog));
    log->setPlainText(QStringLiteral(" 02 41 42 33 30 31 32 03\n 02 00\n"));
    d->m_SetBDN = "before";
    d->SetDlgItemText(idc::SetBDNEdit, "typed");
    d->OnBnClickedClear();
    QVERIFY(log->toPlainText().isEmpty());
    QCOMPARE(d->GetDlgItemText(idc::ReceiveLog), std::string());
    QCOMPARE(d->m_SetBDN, std::string("typed"));  // gathered first
    QVERIFY(!log->isVisibleTo(d.dlg.get()));
}

void TestDialogRules::enterAndEscapeHaveNoEffect()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->CheckDlgButton(idc::CheckBDN, true);
    d->OnBnClickedCheckBDN();
    QLineEdit* bdn = d.Edit(idc::SetBDNEdit);
    QTest::keyClicks(bdn, QStringLiteral("AB"));
    for (QWidget* target : {static_cast<QWidget*>(bdn), d->GetDlgItem(idc::Open), d->GetDlgItem(idc::PortList),
                            static_cast<QWidget*>(d.dlg.get())}) {
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(target, key);
        QVERIFY(d->isVisible());
        QCOMPARE(d->result(), 0);
    }
    QCOMPARE(bdn->text(), QStringLiteral("AB"));
    QVERIFY(d.messages.isEmpty());
}

void TestDialogRules::typedCharacters_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("entered");
    QTest::newRow("letters digits and the four marks")
        << QStringLiteral("Az09 -_~Zy") << QStringLiteral("Az09 -_~Zy");
    QTest::newRow("range neighbours") << QStringLiteral("/:@[`{") << QString();
    QTest::newRow("other punctuation") << QStringLiteral(".,;'\"!#$%^&*()+=|\\<>?") << QString();
    QTest::newRow("mixed") << QStringLiteral("a.b/c") << QStringLiteral("abc");
    QTest::newRow("Hangul and Latin-1") << QString::fromUtf8("한é글ß") << QString();
    QTest::newRow("control characters") << QStringLiteral("\x01\x03\x16\t\x7f") << QString();
}

void TestDialogRules::typedCharacters()
{
    QFETCH(QString, typed);
    QFETCH(QString, entered);
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->CheckDlgButton(idc::CheckBDN, true);
    d->OnBnClickedCheckBDN();
    QLineEdit* bdn = d.Edit(idc::SetBDNEdit);
    // One key press per character, carrying the character as its text.
    for (QChar c : typed)
        QTest::sendKeyEvent(QTest::Click, bdn, Qt::Key_unknown, QString(c), Qt::NoModifier);
    QCOMPARE(bdn->text(), entered);

    // The same filter covers the editable drop-downs.
    Click(d, idc::Usb);
    auto* model = qobject_cast<QComboBox*>(d->GetDlgItem(idc::PrinterModelList));
    model->setFocus();
    model->setEditText(QString());
    for (QChar c : typed)
        QTest::sendKeyEvent(QTest::Click, model, Qt::Key_unknown, QString(c), Qt::NoModifier);
    QCOMPARE(model->currentText(), entered);
}

void TestDialogRules::editingKeysStillWork()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->CheckDlgButton(idc::CheckPinKey, true);
    d->OnBnClickedCheckPinKey();
    QLineEdit* pin = d.Edit(idc::SetPinKeyEdit);
    QTest::keyClicks(pin, QStringLiteral("12345"));
    QTest::keyClick(pin, Qt::Key_Backspace);
    QTest::keyClick(pin, Qt::Key_Home);
    QTest::keyClick(pin, Qt::Key_Delete);
    QTest::keyClick(pin, Qt::Key_Right);
    QTest::keyClick(pin, Qt::Key_Space);
    QCOMPARE(pin->text(), QStringLiteral("2 34"));
    QTest::keyClick(pin, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), d->GetDlgItem(idc::SetPinKey));
}

void TestDialogRules::inputMethodCommitsAreFiltered()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->CheckDlgButton(idc::CheckBDN, true);
    d->OnBnClickedCheckBDN();
    QLineEdit* bdn = d.Edit(idc::SetBDNEdit);

    // A Hangul composition shows nothing and its commit enters nothing.
    QInputMethodEvent compose(QString::fromUtf8("하"), {});
    QApplication::sendEvent(bdn, &compose);
    QInputMethodEvent commit;
    commit.setCommitString(QString::fromUtf8("한글"));
    QApplication::sendEvent(bdn, &commit);
    QCOMPARE(bdn->text(), QString());
    QVERIFY(bdn->inputMethodQuery(Qt::ImSurroundingText).toString().isEmpty());

    // Permitted characters of a commit go through.
    QInputMethodEvent mixed;
    mixed.setCommitString(QString::fromUtf8("BT한-01."));
    QApplication::sendEvent(bdn, &mixed);
    QCOMPARE(bdn->text(), QStringLiteral("BT-01"));

    QInputMethodEvent plain;
    plain.setCommitString(QStringLiteral("x_y"));
    QApplication::sendEvent(bdn, &plain);
    QCOMPARE(bdn->text(), QStringLiteral("BT-01x_y"));
}

void TestDialogRules::digitsOnlyField()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    d->CheckDlgButton(idc::CheckBDN, true);
    d->OnBnClickedCheckBDN();
    d->CheckDlgButton(idc::AddNumeric, true);
    d->OnBnClickedAddNumeric();
    QLineEdit* suffix = d.Edit(idc::NumericSuffix);
    QTest::keyClicks(suffix, QStringLiteral("12ab-3 4~"));
    QCOMPARE(suffix->text(), QStringLiteral("1234"));
    QTest::keyClick(suffix, Qt::Key_Backspace);
    QCOMPARE(suffix->text(), QStringLiteral("123"));
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("9x8"));
    QApplication::sendEvent(suffix, &commit);
    QCOMPARE(suffix->text(), QStringLiteral("12398"));
    // Text written by the program is not filtered.
    d->SetDlgItemText(idc::NumericSuffix, "00099");
    QCOMPARE(d->GetDlgItemText(idc::NumericSuffix), std::string("00099"));
}

// Shown, the hidden panels take the states their rules gave them; what no
// rule has touched is usable. The version list shows the generation the
// chain reads for, and the rules go on through the keyboard and mouse.
void TestDialogRules::fullViewKeepsTheRules()
{
    RecordingDialog d;
    d->ApplyPairingReplyRule('2');  // Just Works: no PIN key, no level
    d->SetFullView(true);
    QVERIFY(d.ShowActive());
    QVERIFY(AllEnabled(d, {idc::GetBDA, idc::GetPinKey, idc::GetBDN, idc::GetLevel, idc::GetPairing,
                           idc::CurrentLevel, idc::CurrentPairing, idc::VersionList, idc::PrintBDN,
                           idc::ReceiveLog, idc::Clear},
                       true));
    QVERIFY(AllEnabled(d, {idc::CheckLevel, idc::CheckPinKey, idc::SetLevelList, idc::SetLevel, idc::AddNumeric,
                           idc::NumericSuffix, idc::CheckPairing, idc::SetPairingList, idc::SetPairing,
                           idc::SniffStatus, idc::SniffEnable, idc::SniffDisable, idc::SniffStatusEdit},
                       false));
    QCOMPARE(d->GetCurSel(idc::VersionList), 0);
    QVERIFY(!d->Session().IsNewVersion());
    QVERIFY(!ClickOnScreen(d, idc::CheckLevel));

    QWidget* version = d->GetDlgItem(idc::VersionList);
    version->setFocus();
    QTest::keyClick(version, Qt::Key_Down);
    QVERIFY(d->Session().IsNewVersion());
    QVERIFY(AllEnabled(d, {idc::CheckPairing, idc::SniffStatus, idc::SniffEnable, idc::SniffDisable}, true));
    QVERIFY(ClickOnScreen(d, idc::CheckPairing));
    QWidget* pairing = d->GetDlgItem(idc::SetPairingList);
    pairing->setFocus();
    QTest::keyClick(pairing, Qt::Key_Down);  // Just Works
    QVERIFY(AllEnabled(d, {idc::CheckBDN}, true));
    QTest::keyClick(pairing, Qt::Key_Up);  // Legacy pairing
    QVERIFY(AllEnabled(d, {idc::CheckPinKey, idc::CheckLevel, idc::SetLevelList, idc::SetLevel}, true));

    // Off and on again: every state stays as the rules left it.
    QVERIFY(ClickOnScreen(d, idc::CheckLevel));
    d->SetFullView(false);
    d->SetFullView(true);
    QVERIFY(d->IsDlgButtonChecked(idc::CheckLevel) && d->Session().IsNewVersion());
    QVERIFY(AllEnabled(d, {idc::SetLevelList, idc::SetLevel, idc::SetPairingList, idc::SniffStatus}, true));
    QVERIFY(AllEnabled(d, {idc::AddNumeric, idc::NumericSuffix}, false));
}

QTEST_MAIN(TestDialogRules)
#include "test_dialog_rules.moc"
