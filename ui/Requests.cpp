// Requests to the printer's Bluetooth module: every Get and Set button, the
// busy flag and the reply timer.
#include "ui/VendrillDlg.h"

#include "base/Trace.h"
#include "protocol/Conversation.h"
#include "protocol/Protocol.h"
#include "ui/ControlTable.h"

using vendrill::Trace;

namespace {
constexpr int kAddNumeric = vendrill::idc::AddNumeric;
constexpr int kSuffixEdit = vendrill::idc::NumericSuffix;
constexpr int kPrintBDN = vendrill::idc::PrintBDN;
constexpr int kPairingList = vendrill::idc::SetPairingList;
constexpr int kLevelList = vendrill::idc::SetLevelList;
}  // namespace

void CVendrillDlg::SendFrame(const proto::Bytes& frame)
{
    WriteComm(frame.data(), static_cast<int>(frame.size()));
}

void CVendrillDlg::TraceRequest(char command)
{
    if (const char* line = proto::RequestTrace(command))
        Trace("%s", line);
}

void CVendrillDlg::SendGet(char command, std::string& field, bool refusedWhenBusy)
{
    TraceRequest(command);
    field.clear();
    TakeTypedText();
    UpdateData(false);
    if (refusedWhenBusy && m_Busy)
        return;
    SendFrame(proto::GetRequest(command));
    // Every Get starts the reply timer, Get BDA included: a module that never
    // answers must not leave the busy flag set for good.
    SetTimer1();
    m_Busy = 1;
}

void CVendrillDlg::OnBnClickedGetBDA() { SendGet(proto::CMD_GET_BDA, m_CurrentBDA, true); }
void CVendrillDlg::OnBnClickedGetPinKey() { SendGet(proto::CMD_GET_PINKEY, m_CurrentPinKey, true); }
void CVendrillDlg::OnBnClickedGetBDN() { SendGet(proto::CMD_GET_BDN, m_CurrentBDN, false); }
void CVendrillDlg::OnBnClickedGetLevel() { SendGet(proto::CMD_GET_LEVEL, m_CurrentLevel, true); }
void CVendrillDlg::OnBnClickedGetPairing() { SendGet(proto::CMD_GET_PAIRING, m_CurrentPairingMode, true); }

void CVendrillDlg::SendRequest(char command)
{
    switch (command) {
    case proto::CMD_GET_BDA: OnBnClickedGetBDA(); break;
    case proto::CMD_GET_PINKEY: OnBnClickedGetPinKey(); break;
    case proto::CMD_GET_BDN: OnBnClickedGetBDN(); break;
    case proto::CMD_GET_LEVEL: OnBnClickedGetLevel(); break;
    case proto::CMD_GET_PAIRING: OnBnClickedGetPairing(); break;
    default: break;
    }
}

void CVendrillDlg::OnBnClickedGetInfo()
{
    if (m_Connected)
        OnBnClickedGetBDA();
}

void CVendrillDlg::SendSelect(char command, char selection)
{
    SendFrame(proto::SelectRequest(command, selection));
    SetTimer1();
    m_Busy = 1;
}

void CVendrillDlg::OnBnClickedSetPairing()
{
    TraceRequest(proto::CMD_SET_PAIRING);
    if (m_Busy)
        return;
    UpdateData(true);
    SendSelect(proto::CMD_SET_PAIRING, proto::PairingSelection(GetCurSel(kPairingList)));
}

void CVendrillDlg::OnBnClickedSetLevel()
{
    TraceRequest(proto::CMD_SET_LEVEL);
    if (m_Busy)
        return;
    UpdateData(true);
    SendSelect(proto::CMD_SET_LEVEL, proto::LevelSelection(GetCurSel(kLevelList)));
}

void CVendrillDlg::OnBnClickedSetPinKey()
{
    TraceRequest(proto::CMD_SET_PINKEY);
    if (m_Busy)
        return;
    UpdateData(true);
    const auto frame = proto::TextRequest(proto::CMD_SET_PINKEY, m_SetPinKey);
    if (!frame)
        return;  // nothing typed: nothing to send
    SendFrame(*frame);
    SetTimer1();
    m_Busy = 1;
}

void CVendrillDlg::PrintLine(const std::string& text)
{
    WriteComm(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<int>(text.size()));
    // The printer feeds after the name; one byte per write, as it has always been sent.
    const std::uint8_t lf = 0x0A;
    for (int i = 0; i < 3; ++i)
        WriteComm(&lf, 1);
}

void CVendrillDlg::OnBnClickedSetBDN()
{
    TraceRequest(proto::CMD_SET_BDN);
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
    const auto frame = proto::TextRequest(proto::CMD_SET_BDN, text);
    if (!frame)
        return;
    SendFrame(*frame);
    SetTimer1();
    m_Busy = 1;
}

void CVendrillDlg::OnBnClickedSniffStatus() { SendFrame(proto::GetRequest(proto::CMD_GET_SNIFF)); }
void CVendrillDlg::OnBnClickedSniffEnable() { SendFrame(proto::SelectRequest(proto::CMD_SET_SNIFF, '1')); }
void CVendrillDlg::OnBnClickedSniffDisable() { SendFrame(proto::SelectRequest(proto::CMD_SET_SNIFF, '0')); }

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
