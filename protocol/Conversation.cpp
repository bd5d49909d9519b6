#include "protocol/Conversation.h"

#include <cstdio>

namespace proto {

const char* RequestTrace(char command)
{
    switch (command) {
    case CMD_GET_BDN: return "ESC ~ 1 Get GDN\n";
    case CMD_SET_BDN: return "ESC ~ 2 Set GDN\n";
    case CMD_GET_BDA: return "ESC ~ 3 Get GDA\n";
    case CMD_GET_PINKEY: return "ESC ~ 4  Get PINKEY\n";
    case CMD_SET_PINKEY: return "ESC ~ 5 Set PINKEY\n";
    case CMD_GET_LEVEL: return "ESC ~ 6  Get LEVEL\n";
    case CMD_SET_LEVEL: return "ESC ~ 7  Set LEVEL\n";
    case CMD_GET_PAIRING: return "Get pairing way : ESC '~' 'A'\n";
    case CMD_SET_PAIRING: return "Set pairing way : ESC '~' 'B' way \n";
    default: return nullptr;
    }
}

const char* ReplyTrace(char command)
{
    switch (command) {
    case CMD_GET_BDN: return "Get BDN\n";
    case CMD_SET_BDN: return "Set BDN\n";
    case CMD_GET_BDA: return "Get BDA\n";
    case CMD_GET_PINKEY: return "Get PinKey\n";
    case CMD_SET_PINKEY: return "Set PinKey\n";
    case CMD_GET_LEVEL: return "Get Level\n";
    case CMD_SET_LEVEL: return "Set Level\n";
    case CMD_GET_PAIRING: return "Get pairing mode\n";
    case CMD_SET_PAIRING: return "Set pairing mode\n";
    default: return nullptr;
    }
}

std::string RequestName(char command)
{
    if (const char* trace = ReplyTrace(command))
        return std::string(trace, std::string_view(trace).size() - 1);
    switch (command) {
    case CMD_GET_SNIFF: return "get sniff mode status";
    case CMD_SET_SNIFF: return "set sniff mode";
    default: return std::string("request '") + command + "'";
    }
}

char NextRequest(char replyCommand, const std::string& data, bool newModule)
{
    switch (replyCommand) {
    case CMD_GET_BDA: return CMD_GET_PINKEY;
    case CMD_GET_PINKEY: return CMD_GET_BDN;
    case CMD_GET_BDN: return newModule ? CMD_GET_PAIRING : CMD_GET_LEVEL;
    case CMD_GET_PAIRING: return PairingUsesPinKey(data).value_or(false) ? CMD_GET_LEVEL : 0;
    case CMD_SET_BDN:
    case CMD_SET_PINKEY:
    case CMD_SET_LEVEL:
    case CMD_SET_PAIRING: return CMD_GET_BDA;
    default: return 0;
    }
}

std::optional<bool> PairingUsesPinKey(const std::string& data)
{
    if (data == "1")
        return true;
    if (data == "2" || data == "3")
        return false;
    return std::nullopt;
}

bool IsTextChar(char32_t c)
{
    return (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z') || c == U'_' ||
           c == U'-' || c == U' ' || c == U'~';
}

bool IsSuffixChar(char32_t c)
{
    return c >= U'0' && c <= U'9';
}

namespace {

// The code point of the UTF-8 sequence at s[k] and its length; U+FFFD and
// one byte for anything that is not a valid sequence.
char32_t DecodeUtf8(std::string_view s, std::size_t k, std::size_t* length)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = at(k);
    *length = 1;
    if (b < 0x80)
        return b;
    std::size_t len = 0;
    char32_t c = 0;
    if (b >= 0xC2 && b <= 0xDF) { len = 2; c = b & 0x1F; }
    else if (b >= 0xE0 && b <= 0xEF) { len = 3; c = b & 0x0F; }
    else if (b >= 0xF0 && b <= 0xF4) { len = 4; c = b & 0x07; }
    else return U'\uFFFD';
    if (k + len > s.size())
        return U'\uFFFD';
    for (std::size_t i = 1; i < len; ++i) {
        if ((at(k + i) & 0xC0) != 0x80)
            return U'\uFFFD';
        c = (c << 6) | (at(k + i) & 0x3F);
    }
    // Over-long forms, surrogates and values past U+10FFFF are not characters.
    if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF))
        return U'\uFFFD';
    *length = len;
    return c;
}

}  // namespace

std::optional<TextFault> CheckText(std::string_view utf8, TextKind kind)
{
    TextFault fault;
    if (utf8.empty() && kind != TextKind::Suffix)
        return fault;  // Empty
    std::size_t position = 0;
    for (std::size_t k = 0; k < utf8.size();) {
        std::size_t length = 1;
        const char32_t c = DecodeUtf8(utf8, k, &length);
        ++position;
        if (kind == TextKind::Suffix ? !IsSuffixChar(c) : !IsTextChar(c)) {
            fault.kind = TextFault::Kind::BadChar;
            fault.position = position;
            fault.character = c;
            fault.digitsOnly = kind == TextKind::Suffix;
            return fault;
        }
        k += length;
    }
    const std::size_t limit = kind == TextKind::PinKey ? MAX_PINKEY_BYTES : kind == TextKind::Name ? MAX_NAME_BYTES : 0;
    if (limit != 0 && utf8.size() > limit) {
        fault.kind = TextFault::Kind::TooLong;
        fault.limit = limit;
        return fault;
    }
    return std::nullopt;
}

std::string TextFault::Describe(std::string_view what) const
{
    const std::string subject(what);
    switch (kind) {
    case Kind::Empty:
        return "the " + subject + " is empty";
    case Kind::TooLong:
        return "the " + subject + " is longer than " + std::to_string(limit) + " bytes";
    case Kind::BadChar:
        break;
    }
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(character));
    std::string shown;
    if (character >= 0x21 && character < 0x7F)
        shown = std::string("'") + static_cast<char>(character) + "' ";
    return "the " + subject + " holds " + shown + "(" + code + ") at character " + std::to_string(position) +
           (digitsOnly ? "; only digits may be used" : "; only letters, digits, space, '_', '-' and '~' may be used");
}

}  // namespace proto
