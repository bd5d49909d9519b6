// Requests to the printer's Bluetooth module: every Get and Set button. The
// session traces them, holds them back while another is outstanding, sends
// them and keeps their deadline; the dialog gives what the user entered.
#include "ui/VendrillDlg.h"

#include "protocol/Conversation.h"
#include "protocol/Protocol.h"
#include "ui/ControlTable.h"

using namespace vendrill;

namespace {
constexpr int kAddNumeric = vendrill::idc::AddNumeric;
constexpr int kSuffixEdit = vendrill::idc::NumericSuffix;
constexpr int kPrintBDN = vendrill::idc::PrintBDN;
constexpr int kPairingList = vendrill::idc::SetPairingList;
constexpr int kLevelList = vendrill::idc::SetLevelList;

CSession::Argument Selection(char digit)
{
    return {std::string(1, digit)};
}
}  // namespace

void CVendrillDlg::Ask(char command)
{
    m_session.Ask(command, Now());
}

CSession::Sent CVendrillDlg::AskSet(char command, const std::function<CSession::Argument()>& given)
{
    return m_session.Ask(
        command,
        [&]() -> std::optional<CSession::Argument> {
            UpdateData(true);
            return given();
        },
        Now());
}

void CVendrillDlg::OnBnClickedGetBDA() { Ask(proto::CMD_GET_BDA); }
void CVendrillDlg::OnBnClickedGetPinKey() { Ask(proto::CMD_GET_PINKEY); }
void CVendrillDlg::OnBnClickedGetBDN() { Ask(proto::CMD_GET_BDN); }
void CVendrillDlg::OnBnClickedGetLevel() { Ask(proto::CMD_GET_LEVEL); }
void CVendrillDlg::OnBnClickedGetPairing() { Ask(proto::CMD_GET_PAIRING); }

void CVendrillDlg::OnBnClickedGetInfo()
{
    if (m_session.IsConnected())
        OnBnClickedGetBDA();
}

void CVendrillDlg::OnBnClickedSetPairing()
{
    AskSet(proto::CMD_SET_PAIRING, [this] { return Selection(proto::PairingSelection(GetCurSel(kPairingList))); });
}

void CVendrillDlg::OnBnClickedSetLevel()
{
    AskSet(proto::CMD_SET_LEVEL, [this] { return Selection(proto::LevelSelection(GetCurSel(kLevelList))); });
}

void CVendrillDlg::OnBnClickedSetPinKey()
{
    AskSet(proto::CMD_SET_PINKEY, [this] { return CSession::Argument{m_SetPinKey}; });  // nothing typed: nothing sent
}

void CVendrillDlg::OnBnClickedSetBDN()
{
    // "Print BDN" also when "Add numeric" is on with an empty suffix: the
    // name is printed as asked, without a number.
    const CSession::Sent sent = AskSet(proto::CMD_SET_BDN, [this] {
        return CSession::Argument{m_SetBDN, IsDlgButtonChecked(kAddNumeric) ? GetDlgItemText(kSuffixEdit) : "",
                                  IsDlgButtonChecked(kPrintBDN)};
    });
    if (!sent.nextSuffix.empty())
        SetDlgItemText(kSuffixEdit, sent.nextSuffix);
}

void CVendrillDlg::OnBnClickedSniffStatus() { Ask(proto::CMD_GET_SNIFF); }
void CVendrillDlg::OnBnClickedSniffEnable() { m_session.Ask(proto::CMD_SET_SNIFF, Selection('1'), Now()); }
void CVendrillDlg::OnBnClickedSniffDisable() { m_session.Ask(proto::CMD_SET_SNIFF, Selection('0'), Now()); }

void CVendrillDlg::ClearDisplayedValues()
{
    TakeTypedText();  // the name being typed stays; the six value fields go
    m_CurrentBDA.clear();
    m_CurrentPinKey.clear();
    m_SetPinKey.clear();
    m_CurrentBDN.clear();
    m_CurrentPairingMode.clear();
    m_CurrentLevel.clear();
    UpdateData(false);
}
