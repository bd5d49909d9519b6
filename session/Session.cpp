// The life of a request: let through or held back, sent, outstanding with
// its deadline, and over by exactly one outcome; the decoding of replies and
// the read-back chain they drive.
#include "session/Session.h"

#include "base/Trace.h"
#include "protocol/Conversation.h"

#include <cstring>
#include <utility>

namespace vendrill {

namespace {

CSession::Outcome Answered(const CSession::Reply& reply, char next)
{
    CSession::Outcome answered(CSession::Outcome::Kind::Answered);
    answered.reply = reply;
    answered.next = next;
    return answered;
}

}  // namespace

const char* const CSession::kTimeoutText = "Error(Timeout)";
const char* const CSession::kModuleErrorText = "Bluetooth Setting Error";

CSession::CSession(Observer& observer, Policy policy)
    : m_observer(observer)
    , m_policy(policy)
{
}

CSession::~CSession()
{
    Shutdown();
}

// --- requests -------------------------------------------------------------------

void CSession::TraceRequest(char command) const
{
    if (const char* line = proto::RequestTrace(command))
        Trace("%s", line);
}

bool CSession::LetThrough(char command)
{
    TraceRequest(command);
    // A Get empties its field first, also when it is held back.
    if (proto::ArgumentOf(command) == proto::ArgumentKind::None && proto::AwaitsAnswer(command))
        m_observer.Requesting(command);
    return !(IsBusy() && proto::WaitsItsTurn(command));
}

CSession::Sent CSession::Ask(char command, Argument argument, TimePoint now, int timeoutMs)
{
    return Ask(command, [&argument] { return std::optional<Argument>(std::move(argument)); }, now, timeoutMs);
}

CSession::Sent CSession::Ask(char command, const Gather& gather, TimePoint now, int timeoutMs)
{
    if (!LetThrough(command))
        return {Sent::Kind::HeldBack};
    std::optional<Argument> argument = gather ? gather() : Argument{};
    if (!argument)
        return {Sent::Kind::Nothing};

    std::optional<proto::Bytes> frame;
    std::string nextSuffix;
    switch (proto::ArgumentOf(command)) {
    case proto::ArgumentKind::None:
        frame = proto::GetRequest(command);
        break;
    case proto::ArgumentKind::Selection:
        if (!argument->text.empty())
            frame = proto::SelectRequest(command, argument->text.front());
        break;
    case proto::ArgumentKind::Text: {
        std::string text = argument->text;
        if (text.empty())
            break;
        if (!argument->suffix.empty()) {
            if (!proto::SuffixFits(text.size(), argument->suffix.size()))
                break;
            text += argument->suffix;
            nextSuffix = proto::NextSuffix(argument->suffix);
        }
        frame = proto::TextRequest(command, text);
        // The label goes out before the frame, as it always has: a name that
        // the module then refuses is printed all the same.
        if (frame && argument->label)
            PrintLabel(text);
        break;
    }
    }
    if (!frame)
        return {Sent::Kind::Nothing};
    Sent sent = Dispatch(command, *frame, now, timeoutMs);
    sent.nextSuffix = std::move(nextSuffix);
    return sent;
}

CSession::Sent CSession::Ask(const proto::Bytes& frame, TimePoint now, int timeoutMs)
{
    const char command = frame.size() > 2 ? static_cast<char>(frame[2]) : 0;
    if (!LetThrough(command))
        return {Sent::Kind::HeldBack};
    return Dispatch(command, frame, now, timeoutMs);
}

CSession::Sent CSession::Dispatch(char command, const proto::Bytes& frame, TimePoint now, int timeoutMs)
{
    const bool sent = SendFrame(frame);
    // Also when the link did not take it: the window learns of that by the
    // time-out, as ever; a front end that waits for answers at once.
    if (proto::AwaitsAnswer(command) || (command == proto::CMD_GET_SNIFF && m_policy.waitsForAnswers))
        Outstand(command, now, timeoutMs);
    if (!sent && m_policy.waitsForAnswers)
        LinkLost();
    return {sent ? Sent::Kind::Sent : Sent::Kind::Refused};
}

bool CSession::SendFrame(const proto::Bytes& frame)
{
    const int size = static_cast<int>(frame.size());
    return WriteComm(frame.data(), size) == size;
}

bool CSession::PrintLabel(const std::string& text)
{
    const int size = static_cast<int>(text.size());
    bool ok = WriteComm(reinterpret_cast<const std::uint8_t*>(text.data()), size) == size;
    // Three line feeds move the printed name clear of the tear bar; one byte
    // per write, as it has always been sent.
    const std::uint8_t lf = 0x0A;
    for (int i = 0; i < 3; ++i)
        ok = WriteComm(&lf, 1) == 1 && ok;
    return ok;
}

void CSession::Outstand(char command, TimePoint now, int timeoutMs)
{
    m_outstanding = command;
    m_outstandingMs = timeoutMs > 0 ? timeoutMs : m_replyTimeoutMs;
    m_deadline = now + std::chrono::milliseconds(m_outstandingMs);
    m_observer.ReplyDeadline(m_deadline);
}

void CSession::Over(Outcome outcome)
{
    if (!IsBusy())
        return;
    outcome.request = m_outstanding;
    if (outcome.kind == Outcome::Kind::TimedOut)
        outcome.waitedMs = m_outstandingMs;
    m_outstanding = 0;
    m_deadline.reset();
    m_observer.ReplyDeadline(std::nullopt);
    m_observer.RequestOver(outcome);
}

void CSession::Expire(TimePoint now)
{
    if (!m_deadline)
        return;
    if (now < *m_deadline) {
        m_observer.ReplyDeadline(m_deadline);
        return;
    }
    Over(Outcome(Outcome::Kind::TimedOut));
    // A late reply decoded meanwhile (the front end may have shown a box)
    // may have sent the next request of the chain; when the front end has
    // closed the link on the time-out, nothing can answer that one.
    if (ActiveLink() == LinkKind::None)
        Over(Outcome(Outcome::Kind::LinkLost));
}

void CSession::LinkLost()
{
    Over(Outcome(Outcome::Kind::LinkLost));
}

void CSession::Abandon()
{
    Over(Outcome(Outcome::Kind::Abandoned));
}

// --- replies --------------------------------------------------------------------

long CSession::OnCommunication(TimePoint now)
{
    std::memset(m_ReceiveBuffer, 0, sizeof m_ReceiveBuffer);
    const int count = m_QueueRead.GetCount();
    if (count == 0)
        return -1;
    for (int i = 0; i < count; ++i)
        m_QueueRead.GetByte(&m_ReceiveBuffer[i]);
    // Shown at once: a message box inside the decoder lets further
    // notifications refill the buffer, and their batches come later.
    m_observer.Received(m_ReceiveBuffer, static_cast<std::size_t>(count));

    // The reply is taken out before it is decoded: a message box inside the
    // decoder lets further notifications run, and they must neither decode
    // this reply again nor lose bytes that arrive meanwhile.
    proto::ReceiveStep step = proto::Receive(m_ReplyText, m_ReceiveBuffer, static_cast<std::size_t>(count));
    if (step.complete) {
        Trace("OnCommunication -1\n");
        BT_RECEIVE_MSG(step.reply, now);
    }
    if (step.overflowed)
        Trace("OnCommunication -2\n");
    Trace("OnCommunication -3\n");
    return 1;
}

int CSession::BT_RECEIVE_MSG(const std::string& text, TimePoint now)
{
    m_observer.BeforeDecode();
    Trace("BT_RECEIVE_MSG -1\n");
    const proto::Reply reply = proto::ParseReply(text);
    Trace("i:%d  j:%d\n", reply.i, reply.j);
    if (reply.hasCommand)
        Decoded(reply.command, reply.data, now);
    m_observer.AfterDecode();
    return 0;
}

void CSession::Decoded(char command, const std::string& data, TimePoint now)
{
    Reply reply{command, data, proto::ReplyValue(command, data)};
    // Which reply ends the request outstanding: under the window any of ours,
    // for a front end that waits for answers only the answer; the module's
    // '9' always, since it does not say what it refuses.
    const bool answers = !m_policy.waitsForAnswers || command == m_outstanding;
    if (command == proto::CMD_ERROR) {
        Over(Outcome(Outcome::Kind::ModuleError));
        m_observer.Replied(reply);
        return;
    }
    if (command == proto::CMD_GET_SNIFF) {
        // The sniff status ends only a request that awaits it.
        if (m_policy.waitsForAnswers && answers)
            Over(Answered(reply, 0));
        if (reply.value)
            m_observer.Replied(reply);
        return;
    }
    const char* line = proto::ReplyTrace(command);
    if (line == nullptr)
        return;  // not a reply of ours
    Trace("%s", line);
    // The read-back chain goes on with the next request, if any.
    const char next = answers && m_chain ? proto::NextRequest(command, data, m_newVersion) : 0;
    if (answers)
        Over(Answered(reply, next));
    m_observer.Replied(reply);
    if (next != 0)
        Ask(next, Argument{}, now);
}

}  // namespace vendrill
