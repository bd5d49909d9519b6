#include "sim/ModuleSim.h"

#include <algorithm>

namespace vendrill {

proto::Bytes MakeReply(char command, std::string_view data)
{
    proto::Bytes frame;
    frame.reserve(data.size() + 5);
    frame.push_back(proto::STX);
    frame.push_back('V');
    frame.push_back('R');
    frame.push_back(static_cast<std::uint8_t>(command));
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(proto::ETX);
    return frame;
}

std::vector<proto::Bytes> SplitBytes(const proto::Bytes& bytes, int pieces)
{
    std::vector<proto::Bytes> out;
    if (bytes.empty())
        return out;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(std::max(pieces, 1)), bytes.size());
    const std::size_t base = bytes.size() / count;
    std::size_t extra = bytes.size() % count;
    auto from = bytes.begin();
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t len = base + (extra > 0 ? 1 : 0);
        if (extra > 0)
            --extra;
        out.emplace_back(from, from + static_cast<std::ptrdiff_t>(len));
        from += static_cast<std::ptrdiff_t>(len);
    }
    return out;
}

std::vector<proto::Bytes> CModuleSim::Feed(const std::uint8_t* data, std::size_t n)
{
    std::vector<proto::Bytes> replies;
    if (data == nullptr)
        return replies;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t b = data[k];
        switch (m_phase) {
        case Phase::Text:
            if (b == proto::ESC)
                m_phase = Phase::Esc;
            else
                PrintByte(b);
            break;
        case Phase::Esc:
            if (b == proto::TILDE)
                m_phase = Phase::Tilde;
            else if (b != proto::ESC)
                m_phase = Phase::Text;  // another escape sequence: the printer's, not text
            break;
        case Phase::Tilde:
            m_command = static_cast<char>(b);
            m_argument.clear();
            switch (proto::ArgumentOf(m_command)) {
            case proto::ArgumentKind::Text: m_phase = Phase::Length; break;
            case proto::ArgumentKind::Selection: m_phase = Phase::Selection; break;
            case proto::ArgumentKind::None:
                m_phase = Phase::Text;
                Request(m_command, m_argument, replies);
                break;
            }
            break;
        case Phase::Selection:
            m_argument.assign(1, static_cast<char>(b));
            m_phase = Phase::Text;
            Request(m_command, m_argument, replies);
            break;
        case Phase::Length:
            m_need = b;
            if (m_need == 0) {
                m_phase = Phase::Text;
                Request(m_command, m_argument, replies);
            } else {
                m_phase = Phase::Body;
            }
            break;
        case Phase::Body:
            m_argument.push_back(static_cast<char>(b));
            if (m_argument.size() == m_need) {
                m_phase = Phase::Text;
                Request(m_command, m_argument, replies);
            }
            break;
        }
    }
    return replies;
}

void CModuleSim::AbortFrame()
{
    m_phase = Phase::Text;
    m_argument.clear();
    m_need = 0;
}

void CModuleSim::ClearPrinted()
{
    m_printed.clear();
    m_line.clear();
}

void CModuleSim::PrintByte(std::uint8_t b)
{
    if (b == '\n') {
        EndLine();
    } else if (b != '\r') {
        m_line.push_back(static_cast<char>(b));
        if (m_line.size() >= kMaxLineBytes)
            EndLine();
    }
}

void CModuleSim::Note(std::string entry)
{
    m_journal.push_back(std::move(entry));
    while (m_journal.size() > kMaxPrintedLines)
        m_journal.pop_front();
}

void CModuleSim::EndLine()
{
    Note("P:" + m_line);
    m_printed.push_back(std::move(m_line));
    m_line.clear();
    while (m_printed.size() > kMaxPrintedLines)
        m_printed.pop_front();
}

void CModuleSim::Request(char command, const std::string& argument, std::vector<proto::Bytes>& replies)
{
    ++m_requests;
    if (command == proto::CMD_SET_BDN)
        ++m_nameRequests;
    Note(std::string("?") + command);
    if (m_options.silent)
        return;
    if (m_options.oldModule && command >= proto::CMD_GET_PAIRING && command <= proto::CMD_SET_SNIFF)
        return;
    proto::Bytes reply = m_options.alwaysError ? MakeReply(proto::CMD_ERROR, "") : Answer(command, argument);
    if (command == proto::CMD_SET_BDN && m_options.loseNameAck && reply.size() > 3 && reply[3] == proto::CMD_SET_BDN)
        return;  // taken, but the acknowledgement is lost on the way back
    reply.insert(reply.begin(), m_options.noise.begin(), m_options.noise.end());
    replies.push_back(std::move(reply));
}

bool CModuleSim::TakesText(std::string_view text, std::size_t maxBytes)
{
    if (text.empty() || text.size() > maxBytes)
        return false;
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return c == '\0' || c == static_cast<char>(proto::STX) || c == static_cast<char>(proto::ETX); });
}

namespace {

bool InRange(const std::string& argument, char low, char high)
{
    return argument.size() == 1 && argument[0] >= low && argument[0] <= high;
}

}  // namespace

proto::Bytes CModuleSim::Answer(char command, const std::string& argument)
{
    const proto::Bytes refused = MakeReply(proto::CMD_ERROR, "");
    switch (command) {
    case proto::CMD_GET_BDN:
        return MakeReply(command, m_options.overlongName ? std::string(kOverlongName) : m_state.name);
    case proto::CMD_GET_BDA:
        return MakeReply(command, m_state.address);
    case proto::CMD_GET_PINKEY:
        return MakeReply(command, m_state.pin);
    case proto::CMD_GET_LEVEL:
        return MakeReply(command, std::string(1, m_state.level));
    case proto::CMD_GET_PAIRING:
        return MakeReply(command, std::string(1, m_state.pairing));
    case proto::CMD_GET_SNIFF:
        return MakeReply(command, std::string(1, m_state.sniff));
    case proto::CMD_SET_BDN:
        if (m_options.refuseName || !TakesText(argument, kMaxNameBytes))
            return refused;
        m_state.name = argument;
        return MakeReply(command, "");
    case proto::CMD_SET_PINKEY:
        if (!TakesText(argument, kMaxPinBytes))
            return refused;
        m_state.pin = argument;
        return MakeReply(command, "");
    case proto::CMD_SET_LEVEL:
        if (!InRange(argument, '1', '3'))
            return refused;
        m_state.level = argument[0];
        return MakeReply(command, "");
    case proto::CMD_SET_PAIRING:
        if (!InRange(argument, '1', '3'))
            return refused;
        m_state.pairing = argument[0];
        return MakeReply(command, "");
    case proto::CMD_SET_SNIFF:
        if (!InRange(argument, '0', '1'))
            return refused;
        m_state.sniff = argument[0];
        return MakeReply(command, "");
    default:
        return refused;
    }
}

}  // namespace vendrill
