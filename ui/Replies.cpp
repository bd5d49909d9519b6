// Replies from the module: draining the receive queue, the log pane, the
// decoder and the read-back chain, and the reply time-out.
#include "ui/VendrillDlg.h"

#include "base/Trace.h"
#include "protocol/Conversation.h"
#include "protocol/Protocol.h"
#include "ui/ControlTable.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include <cstring>

using vendrill::Trace;

namespace {
constexpr int kLog = vendrill::idc::ReceiveLog;
constexpr int kSniffStatus = vendrill::idc::SniffStatusEdit;
}  // namespace

long CVendrillDlg::OnCommunication()
{
    std::memset(m_ReceiveBuffer, 0, sizeof m_ReceiveBuffer);
    m_ReceiveCount = 0;
    const int count = m_QueueRead.GetCount();
    m_ReceiveCount = count;
    if (count == 0)
        return -1;
    for (int i = 0; i < count; ++i)
        m_QueueRead.GetByte(&m_ReceiveBuffer[i]);
    // Logged at once: a message box inside the decoder lets further
    // notifications refill m_ReceiveBuffer, and their batches come later.
    AppendLogLine(proto::HexLogLine(m_ReceiveBuffer, static_cast<std::size_t>(count)));

    // The reply is taken out before it is decoded: a message box inside the
    // decoder lets further notifications run, and they must neither decode
    // this reply again nor lose bytes that arrive meanwhile.
    proto::ReceiveStep step = proto::Receive(m_ReplyText, m_ReceiveBuffer, static_cast<std::size_t>(count));
    if (step.complete) {
        Trace("OnCommunication -1\n");
        m_DecodeText = std::move(step.reply);
        BT_RECEIVE_MSG();
    }
    if (step.overflowed)
        Trace("OnCommunication -2\n");
    Trace("OnCommunication -3\n");
    TakeTypedText();
    UpdateData(false);
    return 1;
}

int CVendrillDlg::BT_RECEIVE_MSG()
{
    const std::string text = m_DecodeText;
    UpdateData(true);
    Trace("BT_RECEIVE_MSG -1\n");
    const proto::Reply reply = proto::ParseReply(text);
    Trace("i:%d  j:%d\n", reply.i, reply.j);
    if (!reply.hasCommand) {
        UpdateData(false);
        return 0;
    }

    const char command = reply.command;
    const std::string& data = reply.data;
    switch (command) {
    case proto::CMD_ERROR:
        KillTimer1();
        m_Busy = 0;
        MessageBox("Bluetooth Setting Error");
        break;
    case proto::CMD_GET_SNIFF:
        if (const auto status = proto::SniffText(data))
            SetDlgItemText(kSniffStatus, *status);
        break;
    default: {
        const char* line = proto::ReplyTrace(command);
        if (line == nullptr)
            break;  // not a reply of ours
        Trace("%s", line);
        KillTimer1();
        m_Busy = 0;
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
        // The read-back chain goes on with the next request, if any.
        const char next = proto::NextRequest(command, data, m_NewVersion != 0);
        if (next != 0)
            SendRequest(next);
        break;
    }
    }
    UpdateData(false);
    return 0;
}

void CVendrillDlg::OnTimer(int id)
{
    if (id != 1)
        return;
    KillTimer1();
    m_Busy = 0;
    MessageBox("Error(Timeout)");
    OnBnClickedClose();
    // A late reply decoded while the box was open may have sent the next
    // request of the chain; its link is gone now, so nothing can answer it.
    KillTimer1();
    m_Busy = 0;
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
