#include "protocol/Protocol.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace vendrill::proto {

void AppendBatch(std::string& acc, const std::uint8_t* batch, std::size_t n)
{
    if (batch == nullptr)
        return;
    // A zero byte is a glitch of the line, never part of a reply: it is left
    // out, and what follows it still counts.
    for (std::size_t k = 0; k < n; ++k)
        if (batch[k] != 0)
            acc.push_back(static_cast<char>(batch[k]));
}

bool HasCompleteReply(const std::string& acc)
{
    const std::size_t etx = acc.find(static_cast<char>(ETX));
    return etx != std::string::npos && etx >= 1 && acc.find(static_cast<char>(STX)) != std::string::npos;
}

ReceiveStep Receive(std::string& acc, const std::uint8_t* batch, std::size_t n)
{
    ReceiveStep step;
    AppendBatch(acc, batch, n);
    if (HasCompleteReply(acc)) {
        step.complete = true;
        step.reply.swap(acc);
        acc.clear();
    }
    if (acc.size() >= REPLY_TEXT_LIMIT) {
        step.overflowed = true;
        acc.clear();
    }
    return step;
}

namespace {

int ClampToInt(std::int64_t v)
{
    return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

}  // namespace

Reply ParseReply(const std::string& acc)
{
    Reply r;
    const std::size_t p = acc.find(static_cast<char>(STX));
    if (p == std::string::npos)
        return r;  // nothing to decode: i = j = 0, no command, no data

    const std::int64_t size = static_cast<std::int64_t>(acc.size());
    const std::int64_t i = static_cast<std::int64_t>(p) + 4;
    const std::size_t e = acc.size() > 1 ? acc.find(static_cast<char>(ETX), 1) : std::string::npos;
    const std::int64_t j = e == std::string::npos ? 0 : static_cast<std::int64_t>(e) - i;

    r.i = ClampToInt(i);
    r.j = ClampToInt(j);
    if (static_cast<std::int64_t>(p) + 3 < size) {
        r.hasCommand = true;
        r.command = acc[p + 3];
    }
    if (j > 0 && i < size)
        r.data = acc.substr(static_cast<std::size_t>(i), static_cast<std::size_t>(std::min(j, size - i)));
    return r;
}

std::string HexLogLine(const std::uint8_t* bytes, std::size_t n)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    if (bytes == nullptr)
        return line;
    line.reserve(n * 3);
    for (std::size_t k = 0; k < n; ++k) {
        line.push_back(' ');
        line.push_back(kHex[bytes[k] >> 4]);
        line.push_back(kHex[bytes[k] & 0x0F]);
    }
    return line;
}

std::string LevelText(const std::string& data)
{
    return "Mode " + data + (data == "1" ? " (Not Use Pinkey)" : " (Use Pinkey)");
}

std::optional<std::string> PairingModeText(const std::string& data)
{
    if (data == "1")
        return std::string("Legacy pairing");
    if (data == "2")
        return std::string("Just Works");
    if (data == "3")
        return std::string("Numeric Comparison");
    return std::nullopt;
}

std::optional<std::string> SniffText(const std::string& data)
{
    if (data == "1")
        return std::string("sniff mode enable");
    if (data == "0")
        return std::string("sniff mode disable");
    return std::nullopt;
}

}  // namespace vendrill::proto
