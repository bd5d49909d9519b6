#include "protocol/Conversation.h"

#include "base/TextCodec.h"

#include <cctype>
#include <cstdio>

namespace vendrill::proto {

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

bool IsBlankAddress(std::string_view address)
{
    std::string digits;
    for (const char c : address) {
        if (c == ':' || c == '-' || c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return !digits.empty() && (digits.find_first_not_of('0') == std::string::npos ||
                               digits.find_first_not_of('F') == std::string::npos);
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

bool WaitsItsTurn(char command)
{
    return command != CMD_GET_BDN && command != CMD_SET_BDN && AwaitsAnswer(command);
}

bool AwaitsAnswer(char command)
{
    return command != CMD_GET_SNIFF && command != CMD_SET_SNIFF;
}

std::optional<std::string> ReplyValue(char command, const std::string& data)
{
    switch (command) {
    case CMD_GET_BDA:
    case CMD_GET_PINKEY:
    case CMD_GET_BDN: return data;
    case CMD_GET_LEVEL: return LevelText(data);
    case CMD_GET_PAIRING: return PairingModeText(data);
    case CMD_GET_SNIFF: return SniffText(data);
    default: return std::nullopt;
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

std::optional<TextFault> CheckText(std::string_view utf8, TextKind kind)
{
    TextFault fault;
    if (utf8.empty() && kind != TextKind::Suffix)
        return fault;  // Empty
    std::size_t position = 0;
    for (std::size_t k = 0; k < utf8.size();) {
        std::size_t length = 1;
        const char32_t c = vendrill::DecodeUtf8(utf8, k, &length);
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
    // The character itself where it can be shown (not a control character,
    // nor the stand-in for bytes that are not UTF-8), then its code point.
    std::string shown;
    const char32_t c = character;
    if ((c >= 0x21 && c < 0x7F) || (c >= 0xA0 && c != 0xFFFD && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF)))
        shown = "'" + vendrill::EncodeUtf8(c) + "' ";
    return "the " + subject + " holds " + shown + "(" + code + ") at character " + std::to_string(position) +
           (digitsOnly ? "; only digits may be used" : "; only ASCII letters, digits, space, '_', '-' and '~' may be used");
}

}  // namespace vendrill::proto
