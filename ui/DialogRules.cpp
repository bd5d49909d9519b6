// The dialog's own reactions to its controls: serial/USB views, the module
// version and pairing mode lists, the Set-unlock check boxes, "Add numeric",
// "Clear" and the keyboard filter. None of them touches a link.
#include "protocol/Conversation.h"
#include "ui/ControlTable.h"
#include "ui/VendrillDlg.h"

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextCursor>

#include <optional>
#include <string>

using namespace vendrill;

namespace {
constexpr int kSerialLists[] = {idc::PortList, idc::BaudList, idc::DataBitsList, idc::ParityList,
                                idc::StopBitList};
constexpr int kSerialLabels[] = {idc::PortLabel, idc::BaudLabel, idc::ParityLabel, idc::DataBitsLabel,
                                 idc::StopBitLabel};
}  // namespace

void CVendrillDlg::ApplySerialView(bool serial)
{
    for (int id : kSerialLists) EnableWindow(id, serial);
    for (int id : kSerialLists) ShowWindow(id, serial);
    for (int id : kSerialLabels) EnableWindow(id, serial);
    for (int id : kSerialLabels) ShowWindow(id, serial);
    if (serial) {
        EnableWindow(idc::PrinterModelLabel, false);
        ShowWindow(idc::PrinterModelLabel, false);
        EnableWindow(idc::PrinterModelList, false);
        ShowWindow(idc::PrinterModelList, false);
    } else {
        EnableWindow(idc::PrinterModelList, true);
        ShowWindow(idc::PrinterModelList, true);
        EnableWindow(idc::PrinterModelLabel, true);
        ShowWindow(idc::PrinterModelLabel, true);
    }
}

void CVendrillDlg::OnBnClickedSerial() { ApplySerialView(true); }
void CVendrillDlg::OnBnClickedUsb() { ApplySerialView(false); }

void CVendrillDlg::OnCbnSelchangeVersion()
{
    if (GetCurSel(idc::VersionList) == 0) {
        m_session.SetNewVersion(false);
        for (int id : {idc::CheckPairing, idc::SetPairingList, idc::SetPairing, idc::SniffEnable,
                       idc::SniffDisable, idc::SniffStatus, idc::SniffStatusEdit})
            EnableWindow(id, false);
    } else {
        // The pairing list and button follow their check box, not the version.
        m_session.SetNewVersion(true);
        for (int id : {idc::CheckPairing, idc::SniffEnable, idc::SniffDisable, idc::SniffStatus,
                       idc::SniffStatusEdit})
            EnableWindow(id, true);
    }
}

void CVendrillDlg::OnCbnSelchangePairing()
{
    const int sel = GetCurSel(idc::SetPairingList);
    if (sel < 0)
        return;
    const bool legacy = sel == 0;
    EnableWindow(idc::CheckPinKey, legacy);
    EnableWindow(idc::CheckBDN, true);
    EnableWindow(idc::CheckLevel, legacy);
    EnableWindow(idc::SetLevelList, legacy);
    EnableWindow(idc::SetLevel, legacy);
}

void CVendrillDlg::OnBnClickedCheckPinKey()
{
    UpdateData(true);
    const bool on = IsDlgButtonChecked(idc::CheckPinKey);
    EnableWindow(idc::SetPinKeyEdit, on);
    EnableWindow(idc::SetPinKey, on);
    if (on)
        GetDlgItem(idc::SetPinKeyEdit)->setFocus();
    UpdateData(false);
}

void CVendrillDlg::OnBnClickedCheckBDN()
{
    UpdateData(true);
    if (IsDlgButtonChecked(idc::CheckBDN)) {
        EnableWindow(idc::SetBDNEdit, true);
        EnableWindow(idc::SetBDN, true);
        GetDlgItem(idc::SetBDNEdit)->setFocus();
        EnableWindow(idc::AddNumeric, true);
    } else {
        EnableWindow(idc::SetBDNEdit, false);
        EnableWindow(idc::SetBDN, false);
        CheckDlgButton(idc::AddNumeric, false);
        EnableWindow(idc::AddNumeric, false);
    }
    OnBnClickedAddNumeric();
    UpdateData(false);
}

void CVendrillDlg::OnBnClickedCheckLevel()
{
    UpdateData(true);
    const bool on = IsDlgButtonChecked(idc::CheckLevel);
    EnableWindow(idc::SetLevelList, on);
    EnableWindow(idc::SetLevel, on);
    UpdateData(false);
}

void CVendrillDlg::OnBnClickedCheckPairing()
{
    UpdateData(true);
    const bool on = IsDlgButtonChecked(idc::CheckPairing);
    EnableWindow(idc::SetPairingList, on);
    EnableWindow(idc::SetPairing, on);
    UpdateData(false);
}

void CVendrillDlg::OnBnClickedAddNumeric()
{
    if (IsDlgButtonChecked(idc::AddNumeric)) {
        EnableWindow(idc::NumericSuffix, true);
        GetDlgItem(idc::NumericSuffix)->setFocus();
    } else {
        EnableWindow(idc::NumericSuffix, false);
    }
}

void CVendrillDlg::OnBnClickedClear()
{
    UpdateData(true);
    if (auto* log = qobject_cast<QPlainTextEdit*>(GetDlgItem(idc::ReceiveLog))) {
        QTextCursor cursor(log->document());
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
    }
    UpdateData(false);
}

void CVendrillDlg::ApplyPairingReplyRule(char mode)
{
    if (const std::optional<bool> legacy = proto::PairingUsesPinKey(std::string(1, mode))) {
        EnableWindow(idc::CheckLevel, *legacy);
        EnableWindow(idc::CheckPinKey, *legacy);
    }
}

// --- keyboard filter ----------------------------------------------------------

bool CVendrillDlg::IsAllowedTypedChar(char16_t c)
{
    return c == u'\b' || proto::IsTextChar(c);
}

bool CVendrillDlg::IsDigitsOnly(const QObject* o)
{
    return o->property(kDigitsOnlyProperty).toBool();
}

bool CVendrillDlg::PreTranslateMessage(QObject* receiver, QEvent* event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::InputMethod)
        return false;
    if (!InDialogWindow(receiver))
        return false;

    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            return true;  // no default button, no closing
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Delete:
            return false;  // navigation and editing keys, not typed characters
        default:
            break;
        }
        const bool digitsOnly = IsDigitsOnly(receiver);
        for (QChar c : key->text())
            if (!IsAllowedTypedChar(c.unicode()) || (digitsOnly && c != u'\b' && !proto::IsSuffixChar(c.unicode())))
                return true;
        return false;
    }

    // Input-method commits (Korean input among them) obey the same character
    // rule; a composition in progress is not shown either.
    const auto* im = static_cast<QInputMethodEvent*>(event);
    const bool digitsOnly = IsDigitsOnly(receiver);
    QString allowed;
    for (QChar c : im->commitString())
        if (IsAllowedTypedChar(c.unicode()) && (!digitsOnly || proto::IsSuffixChar(c.unicode())))
            allowed += c;
    if (allowed == im->commitString() && im->preeditString().isEmpty())
        return false;
    QInputMethodEvent replacement;
    replacement.setCommitString(allowed);
    QCoreApplication::sendEvent(receiver, &replacement);
    return true;
}
