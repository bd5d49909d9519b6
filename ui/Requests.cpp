// Requests to the printer's Bluetooth module: every Get and Set button, the
// busy flag and the reply timer.
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
}  // namespace

std::string* CVendrillDlg::FieldOf(char command)
{
    switch (command) {
    case proto::CMD_GET_BDA: return &m_CurrentBDA;
    case proto::CMD_GET_PINKEY: return &m_CurrentPinKey;
    case proto::CMD_GET_BDN: return &m_CurrentBDN;
    case proto::CMD_GET_LEVEL: return &m_CurrentLevel;
    case proto::CMD_GET_PAIRING: return &m_CurrentPairingMode;
    default: return nullptr;
    }
}

// A Get request empties its field first, also when it is refused.
void CVendrillDlg::Requesting(char command)
{
    if (std::string* field = FieldOf(command))
        field->clear();
    TakeTypedText();
    UpdateData(false);
}

void CVendrillDlg::OnBnClickedGetBDA() { m_session.Get(proto::CMD_GET_BDA); }
void CVendrillDlg::OnBnClickedGetPinKey() { m_session.Get(proto::CMD_GET_PINKEY); }
void CVendrillDlg::OnBnClickedGetBDN() { m_session.Get(proto::CMD_GET_BDN); }
void CVendrillDlg::OnBnClickedGetLevel() { m_session.Get(proto::CMD_GET_LEVEL); }
void CVendrillDlg::OnBnClickedGetPairing() { m_session.Get(proto::CMD_GET_PAIRING); }

void CVendrillDlg::SendRequest(char command)
{
    if (FieldOf(command))
        m_session.Get(command);
}

void CVendrillDlg::OnBnClickedGetInfo()
{
    if (m_Connected)
        OnBnClickedGetBDA();
}

void CVendrillDlg::SendSelect(char command, char selection)
{
    m_session.SendSelect(command, selection);
}

void CVendrillDlg::OnBnClickedSetPairing()
{
    m_session.TraceRequest(proto::CMD_SET_PAIRING);
    if (m_Busy)
        return;
    UpdateData(true);
    SendSelect(proto::CMD_SET_PAIRING, proto::PairingSelection(GetCurSel(kPairingList)));
}

void CVendrillDlg::OnBnClickedSetLevel()
{
    m_session.TraceRequest(proto::CMD_SET_LEVEL);
    if (m_Busy)
        return;
    UpdateData(true);
    SendSelect(proto::CMD_SET_LEVEL, proto::LevelSelection(GetCurSel(kLevelList)));
}

void CVendrillDlg::OnBnClickedSetPinKey()
{
    m_session.TraceRequest(proto::CMD_SET_PINKEY);
    if (m_Busy)
        return;
    UpdateData(true);
    m_session.SendText(proto::CMD_SET_PINKEY, m_SetPinKey);  // nothing typed: nothing sent
}

void CVendrillDlg::PrintLine(const std::string& text)
{
    m_session.PrintLabel(text);
}

void CVendrillDlg::OnBnClickedSetBDN()
{
    m_session.TraceRequest(proto::CMD_SET_BDN);
    UpdateData(true);
    if (m_SetBDN.empty())
        return;
    std::string text = m_SetBDN;
    const bool print = IsDlgButtonChecked(kPrintBDN);
    const std::string suffix = IsDlgButtonChecked(kAddNumeric) ? GetDlgItemText(kSuffixEdit) : std::string();
    if (!suffix.empty()) {
        if (!proto::SuffixFits(m_SetBDN.size(), suffix.size()))
            return;
        text += suffix;
        const std::string next = proto::NextSuffix(suffix);
        if (print)
            PrintLine(text);
        SetDlgItemText(kSuffixEdit, next);
    } else if (print) {
        // Also when "Add numeric" is on with an empty suffix: the name is
        // printed as asked, without a number.
        PrintLine(text);
    }
    m_session.SendText(proto::CMD_SET_BDN, text);
}

void CVendrillDlg::OnBnClickedSniffStatus() { m_session.SendFrame(proto::GetRequest(proto::CMD_GET_SNIFF)); }
void CVendrillDlg::OnBnClickedSniffEnable() { m_session.SendFrame(proto::SelectRequest(proto::CMD_SET_SNIFF, '1')); }
void CVendrillDlg::OnBnClickedSniffDisable() { m_session.SendFrame(proto::SelectRequest(proto::CMD_SET_SNIFF, '0')); }

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
