// Replies from the module: draining the receive queue, the log pane, the
// decoder and the read-back chain, and the reply time-out.
#include "ui/VendrillDlg.h"

#include "app/Trace.h"
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
constexpr int kCheckLevel = vendrill::idc::CheckLevel;
constexpr int kCheckPinKey = vendrill::idc::CheckPinKey;
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

    auto answered = [this] {
        KillTimer1();
        m_Busy = 0;
    };
    switch (reply.command) {
    case '1':
        Trace("Get BDN\n");
        answered();
        m_CurrentBDN = reply.data;
        UpdateData(false);
        if (m_NewVersion)
            OnBnClickedGetPairing();
        else
            OnBnClickedGetLevel();
        break;
    case '3':
        Trace("Get BDA\n");
        answered();
        m_CurrentBDA = reply.data;
        UpdateData(false);
        OnBnClickedGetPinKey();
        break;
    case '4':
        Trace("Get PinKey\n");
        answered();
        m_CurrentPinKey = reply.data;
        UpdateData(false);
        OnBnClickedGetBDN();
        break;
    case '2':
    case '5':
    case '7':
    case 'B':
        Trace(reply.command == '2'   ? "Set BDN\n"
              : reply.command == '5' ? "Set PinKey\n"
              : reply.command == '7' ? "Set Level\n"
                                     : "Set pairing mode\n");
        answered();
        OnBnClickedGetBDA();
        break;
    case '6':
        Trace("Get Level\n");
        answered();
        m_CurrentLevel = proto::LevelText(reply.data);
        break;
    case '9':
        answered();
        MessageBox("Bluetooth Setting Error");
        break;
    case 'A': {
        Trace("Get pairing mode\n");
        answered();
        const auto mode = proto::PairingModeText(reply.data);
        if (!mode)
            break;
        m_CurrentPairingMode = *mode;
        const bool legacy = reply.data == "1";
        EnableWindow(kCheckLevel, legacy);
        EnableWindow(kCheckPinKey, legacy);
        if (legacy)
            OnBnClickedGetLevel();
        break;
    }
    case 'C':
        if (const auto status = proto::SniffText(reply.data))
            SetDlgItemText(kSniffStatus, *status);
        break;
    default:
        break;
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
