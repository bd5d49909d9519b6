// Replies from the module, as the session decodes them: the log pane, the
// fields, the boxes, and the reply time-out.
#include "ui/VendrillDlg.h"

#include "protocol/Protocol.h"
#include "ui/ControlTable.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

using namespace vendrill;

namespace {
constexpr int kLog = vendrill::idc::ReceiveLog;
constexpr int kSniffStatus = vendrill::idc::SniffStatusEdit;
}  // namespace

long CVendrillDlg::OnCommunication()
{
    if (m_session.OnCommunication() < 0)
        return -1;
    TakeTypedText();
    UpdateData(false);
    return 1;
}

int CVendrillDlg::BT_RECEIVE_MSG(const std::string& reply)
{
    return m_session.BT_RECEIVE_MSG(reply);
}

void CVendrillDlg::OnTimer(int id)
{
    if (id == 1)
        m_session.OnTimer();
}

// --- what the session tells the dialog while it decodes --------------------------

void CVendrillDlg::Received(const std::uint8_t* bytes, std::size_t n)
{
    AppendLogLine(proto::HexLogLine(bytes, n));
}

void CVendrillDlg::BeforeDecode()
{
    UpdateData(true);
}

void CVendrillDlg::AfterDecode()
{
    UpdateData(false);
}

void CVendrillDlg::Reply(char command, const std::string& data)
{
    switch (command) {
    case proto::CMD_GET_BDA: m_CurrentBDA = data; UpdateData(false); break;
    case proto::CMD_GET_PINKEY: m_CurrentPinKey = data; UpdateData(false); break;
    case proto::CMD_GET_BDN: m_CurrentBDN = data; UpdateData(false); break;
    case proto::CMD_GET_LEVEL: m_CurrentLevel = proto::LevelText(data); break;
    case proto::CMD_GET_PAIRING:
        if (const auto mode = proto::PairingModeText(data)) {
            m_CurrentPairingMode = *mode;
            ApplyPairingReplyRule(data.front());
        }
        break;
    default: break;  // an acknowledged Set
    }
}

void CVendrillDlg::SniffStatus(const std::string& text)
{
    SetDlgItemText(kSniffStatus, text);
}

void CVendrillDlg::ModuleError(const std::string& text)
{
    MessageBox(text);
}

void CVendrillDlg::TimedOut(const std::string& text)
{
    MessageBox(text);
    OnBnClickedClose();
}

void CVendrillDlg::AppendLogLine(const std::string& line)
{
    auto* log = qobject_cast<QPlainTextEdit*>(GetDlgItem(kLog));
    if (!log)
        return;
    QTextCursor cursor = log->textCursor();
    cursor.insertText(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())) +
                      QStringLiteral("\n"));
    cursor.movePosition(QTextCursor::End);
    log->setTextCursor(cursor);
    log->ensureCursorVisible();
}
