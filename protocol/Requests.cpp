#include "protocol/Protocol.h"

#include <algorithm>
#include <string>
#include <utility>

namespace vendrill::proto {

ArgumentKind ArgumentOf(char command)
{
    switch (command) {
    case CMD_SET_BDN:
    case CMD_SET_PINKEY: return ArgumentKind::Text;
    case CMD_SET_LEVEL:
    case CMD_SET_PAIRING:
    case CMD_SET_SNIFF: return ArgumentKind::Selection;
    default: return ArgumentKind::None;
    }
}

Bytes GetRequest(char command)
{
    return {ESC, TILDE, static_cast<std::uint8_t>(command)};
}

Bytes SelectRequest(char command, char selection)
{
    return {ESC, TILDE, static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(selection)};
}

char LevelSelection(int index)
{
    // Level '2' is never offered; anything but "Not use Pinkey" means '3'.
    return index == 0 ? '1' : '3';
}

char PairingSelection(int index)
{
    switch (index) {
    case 1:
        return '2';
    case 2:
        return '3';
    default:
        return '1';
    }
}

std::optional<Bytes> TextRequest(char command, std::string_view text)
{
    if (text.empty() || text.size() > MAX_TEXT_BYTES)
        return std::nullopt;
    Bytes frame;
    frame.reserve(4 + text.size());
    frame.push_back(ESC);
    frame.push_back(TILDE);
    frame.push_back(static_cast<std::uint8_t>(command));
    frame.push_back(static_cast<std::uint8_t>(text.size() & 0xFF));
    for (char c : text)
        frame.push_back(static_cast<std::uint8_t>(c));
    return frame;
}

bool SuffixFits(std::size_t nameBytes, std::size_t suffixBytes)
{
    // Written so that no sum can wrap.
    return nameBytes < NAME_WITH_SUFFIX_LIMIT && suffixBytes < NAME_WITH_SUFFIX_LIMIT - nameBytes;
}

namespace {

// Digits zero-filled on the left to at least `width`.
std::string ZeroFilled(std::string digits, std::size_t width)
{
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return digits;
}

}  // namespace

std::string NextSuffix(std::string_view s)
{
    // Value: the run of leading digits (pasted text may hold anything else),
    // without its leading zeros; 0 when there is none.
    std::size_t digits = 0;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9')
        ++digits;
    std::string_view value = s.substr(0, digits);
    while (!value.empty() && value.front() == '0')
        value.remove_prefix(1);

    // Add one on the decimal string itself, so no width limit applies.
    std::string next(value.empty() ? "0" : value);
    int pos = static_cast<int>(next.size()) - 1;
    while (pos >= 0 && next[static_cast<std::size_t>(pos)] == '9') {
        next[static_cast<std::size_t>(pos)] = '0';
        --pos;
    }
    if (pos < 0)
        next.insert(next.begin(), '1');
    else
        ++next[static_cast<std::size_t>(pos)];

    // At least five digits, and never narrower than the suffix it replaces.
    return ZeroFilled(std::move(next), std::max<std::size_t>(5, s.size()));
}

}  // namespace vendrill::proto
