// What the session tells the window, in one place: from the reader threads
// the notifications and boxes they post to the user-interface thread; on the
// user-interface thread the reply timer, the log pane, the fields a request
// empties and a reply fills, and the boxes of '9' and the time-out.
#include "ui/VendrillDlg.h"

#include "protocol/Protocol.h"
#include "ui/ControlTable.h"
#include "ui/Cp949.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextCursor>

#include <chrono>

using namespace vendrill;

namespace {
constexpr int kLog = vendrill::idc::ReceiveLog;
constexpr int kSniffStatus = vendrill::idc::SniffStatusEdit;
// Object name of the boxes shown for a reader thread.
constexpr const char* kThreadBoxName = "vendrillThreadBox";
}  // namespace

// --- reader threads -------------------------------------------------------------

void CVendrillDlg::PostFromReader(QEvent* event)
{
    m_postedEvents.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
}

void CVendrillDlg::Arrived(unsigned link)
{
    PostFromReader(new CommEvent(link));
}

bool CVendrillDlg::IsCurrentLinkEvent(const QEvent* e) const
{
    // Unstamped notifications (posted by tools and tests) count as current.
    const auto* comm = dynamic_cast<const CommEvent*>(e);
    return !comm || m_session.IsCurrentLink(comm->link);
}

// The window drops a chunk the queue cannot take, and says so.
bool CVendrillDlg::QueueFull(unsigned)
{
    return false;
}

void CVendrillDlg::ReaderMessage(const std::string& text)
{
    ThreadMessageBox(text);
}

void CVendrillDlg::UsbGone(unsigned generation)
{
    PostFromReader(new UsbLostEvent(generation));
}

// Reader threads show their message boxes through the user-interface thread
// and wait for the OK there; a close ends the wait, so no close can deadlock
// on a box.
void CVendrillDlg::ThreadMessageBox(const std::string& text)
{
    auto box = std::make_shared<PendingThreadBox>();
    box->text = text;
    {
        std::lock_guard lock(m_threadBoxMutex);
        if (m_cancelThreadBoxes)
            return;
    }
    PostFromReader(new ThreadBoxEvent(box));
    std::unique_lock lock(m_threadBoxMutex);
    m_threadBoxCv.wait(lock, [&] { return box->dismissed || m_cancelThreadBoxes; });
    // Nobody waits for this box any more: if it has not been shown yet, it
    // must not pop up after the link it belongs to is gone.
    box->dismissed = true;
}

void CVendrillDlg::AllowReaderWaits()
{
    std::lock_guard lock(m_threadBoxMutex);
    m_cancelThreadBoxes = false;
}

void CVendrillDlg::CancelReaderWaits()
{
    {
        std::lock_guard lock(m_threadBoxMutex);
        m_cancelThreadBoxes = true;
    }
    m_threadBoxCv.notify_all();
    // Boxes still on screen belong to a reader that no longer waits for them.
    for (QMessageBox* mb : findChildren<QMessageBox*>(QString::fromLatin1(kThreadBoxName),
                                                      Qt::FindDirectChildrenOnly)) {
        mb->done(QMessageBox::Ok);
        mb->deleteLater();
    }
}

void CVendrillDlg::ShowThreadBox(const std::shared_ptr<PendingThreadBox>& box)
{
    auto dismiss = [this, box] {
        {
            std::lock_guard lock(m_threadBoxMutex);
            box->dismissed = true;
        }
        m_threadBoxCv.notify_all();
    };
    {
        std::lock_guard lock(m_threadBoxMutex);
        if (box->dismissed)
            return;  // its reader stopped waiting before the box came up
    }
    const QString text = vendrill::FromCp949(box->text);
    if (m_messageBoxHook) {
        m_messageBoxHook(text);
        dismiss();
        return;
    }
    auto* mb = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Vendrill"), text, QMessageBox::Ok, this);
    mb->setObjectName(QString::fromLatin1(kThreadBoxName));
    mb->setTextFormat(Qt::PlainText);
    mb->setAttribute(Qt::WA_DeleteOnClose);
    mb->setWindowModality(Qt::NonModal);
    connect(mb, &QMessageBox::finished, this, dismiss);
    mb->show();
}

// --- the user-interface thread ----------------------------------------------------

void CVendrillDlg::ReplyDeadline(std::optional<CSession::TimePoint> deadline)
{
    if (!deadline) {
        m_timer1.stop();
        return;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Now()).count();
    m_timer1.start(static_cast<int>(std::max<long long>(left, 0)));
}

bool CVendrillDlg::IsTimer1Running() const
{
    return m_timer1.isActive();
}

void CVendrillDlg::Received(const std::uint8_t* bytes, std::size_t n)
{
    AppendLogLine(proto::HexLogLine(bytes, n));
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

// A Get request empties its field first, also when it is held back.
void CVendrillDlg::Requesting(char command)
{
    switch (command) {
    case proto::CMD_GET_BDA: m_CurrentBDA.clear(); break;
    case proto::CMD_GET_PINKEY: m_CurrentPinKey.clear(); break;
    case proto::CMD_GET_BDN: m_CurrentBDN.clear(); break;
    case proto::CMD_GET_LEVEL: m_CurrentLevel.clear(); break;
    case proto::CMD_GET_PAIRING: m_CurrentPairingMode.clear(); break;
    default: break;
    }
    TakeTypedText();
    UpdateData(false);
}

void CVendrillDlg::BeforeDecode()
{
    UpdateData(true);
}

void CVendrillDlg::AfterDecode()
{
    UpdateData(false);
}

// Only the time-out shows: it closes the link. A reply shows through
// Replied, also when it ends no request.
void CVendrillDlg::RequestOver(const CSession::Outcome& outcome)
{
    if (outcome.kind != CSession::Outcome::Kind::TimedOut)
        return;
    MessageBox(CSession::kTimeoutText);
    OnBnClickedClose();
}

void CVendrillDlg::Replied(const CSession::Reply& reply)
{
    const std::string value = reply.value.value_or("");
    switch (reply.command) {
    case proto::CMD_GET_BDA: m_CurrentBDA = value; UpdateData(false); break;
    case proto::CMD_GET_PINKEY: m_CurrentPinKey = value; UpdateData(false); break;
    case proto::CMD_GET_BDN: m_CurrentBDN = value; UpdateData(false); break;
    case proto::CMD_GET_LEVEL: m_CurrentLevel = value; break;
    case proto::CMD_GET_PAIRING:
        if (reply.value) {
            m_CurrentPairingMode = value;
            ApplyPairingReplyRule(reply.data.front());
        }
        break;
    case proto::CMD_GET_SNIFF: SetDlgItemText(kSniffStatus, value); break;
    case proto::CMD_ERROR: MessageBox(CSession::kModuleErrorText); break;
    default: break;  // an acknowledged Set
    }
}
