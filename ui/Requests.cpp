// Requests to the printer's Bluetooth module: every Get and Set button, the
// busy flag and the reply timer.
#include "ui/VendrillDlg.h"

#include "app/Trace.h"
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

void CVendrillDlg::SendGet(char command, const char* trace, std::string& field, bool refusedWhenBusy)
{
    Trace("%s", trace);
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

void CVendrillDlg::OnBnClickedGetBDA() { SendGet('3', "ESC ~ 3 Get GDA\n", m_CurrentBDA, true); }
void CVendrillDlg::OnBnClickedGetPinKey() { SendGet('4', "ESC ~ 4  Get PINKEY\n", m_CurrentPinKey, true); }
void CVendrillDlg::OnBnClickedGetBDN() { SendGet('1', "ESC ~ 1 Get GDN\n", m_CurrentBDN, false); }
void CVendrillDlg::OnBnClickedGetLevel() { SendGet('6', "ESC ~ 6  Get LEVEL\n", m_CurrentLevel, true); }
void CVendrillDlg::OnBnClickedGetPairing()
{
    SendGet('A', "Get pairing way : ESC '~' 'A'\n", m_CurrentPairingMode, true);
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
    Trace("Set pairing way : ESC '~' 'B' way \n");
    if (m_Busy)
        return;
    UpdateData(true);
    SendSelect('B', proto::PairingSelection(GetCurSel(kPairingList)));
}

void CVendrillDlg::OnBnClickedSetLevel()
{
    Trace("ESC ~ 7  Set LEVEL\n");
    if (m_Busy)
        return;
    UpdateData(true);
    SendSelect('7', proto::LevelSelection(GetCurSel(kLevelList)));
}

void CVendrillDlg::OnBnClickedSetPinKey()
{
    Trace("ESC ~ 5 Set PINKEY\n");
    if (m_Busy)
        return;
    UpdateData(true);
    const auto frame = proto::TextRequest('5', m_SetPinKey);
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
    Trace("ESC ~ 2 Set GDN\n");
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
    const auto frame = proto::TextRequest('2', text);
    if (!frame)
        return;
    SendFrame(*frame);
    SetTimer1();
    m_Busy = 1;
}

void CVendrillDlg::OnBnClickedSniffStatus() { SendFrame(proto::GetRequest('C')); }
void CVendrillDlg::OnBnClickedSniffEnable() { SendFrame(proto::SelectRequest('D', '1')); }
void CVendrillDlg::OnBnClickedSniffDisable() { SendFrame(proto::SelectRequest('D', '0')); }

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
