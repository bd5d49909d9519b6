#include "base/TextCodec.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace vendrill {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Length of the UTF-8 sequence that starts with byte b (1 for a stray byte).
std::size_t Utf8SequenceLength(unsigned char b)
{
    if (b >= 0xF0 && b <= 0xF4) return 4;
    if (b >= 0xE0) return b <= 0xEF ? 3 : 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    return 1;
}

// Runs iconv over the whole input. On an unconvertible or truncated input
// sequence, `skip` tells how many input bytes to drop and `replacement` is
// written in their place, so nothing after a bad sequence is lost.
template <typename SkipFn>
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement,
                    SkipFn skip, bool* replaced = nullptr)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(in);  // no converter installed: keep the bytes as they are

    std::string out;
    out.reserve(in.size() * 2 + 8);
    char buffer[256];
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc != static_cast<std::size_t>(-1))
            break;
        if (errno == E2BIG)
            continue;
        // EILSEQ or EINVAL: replace the offending sequence and go on.
        std::size_t n = skip(static_cast<unsigned char>(*inPtr));
        if (n > inLeft) n = inLeft;
        inPtr += n;
        inLeft -= n;
        out += replacement;
        if (replaced)
            *replaced = true;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

std::size_t OneByte(unsigned char) { return 1; }

}  // namespace

// Code page 949 is ASCII in its lower half: plain ASCII text needs no
// converter, which keeps start-up from loading one.
bool IsAscii(std::string_view bytes)
{
    for (unsigned char b : bytes)
        if (b >= 0x80)
            return false;
    return true;
}

std::string Cp949ToUtf8(std::string_view cp949)
{
    if (IsAscii(cp949))
        return std::string(cp949);
    return Convert("UTF-8", "CP949", cp949, kReplacement, OneByte);
}

std::string Utf8ToCp949(std::string_view utf8)
{
    if (IsAscii(utf8))
        return std::string(utf8);
    return Convert("CP949", "UTF-8", utf8, "?", Utf8SequenceLength);
}

bool IsValidCp949(std::string_view cp949)
{
    if (IsAscii(cp949))
        return true;
    bool replaced = false;
    Convert("UTF-8", "CP949", cp949, kReplacement, OneByte, &replaced);
    return !replaced;
}

std::string Utf8ToLocale(std::string_view utf8)
{
    const char* codeset = ::nl_langinfo(CODESET);
    if (IsAscii(utf8) || codeset == nullptr || std::strcmp(codeset, "UTF-8") == 0)
        return std::string(utf8);
    // A terminal of plain ASCII (the C locale) gets escapes it can show and
    // a reader can decode, never bytes it would show as garbage.
    if (std::strcmp(codeset, "ANSI_X3.4-1968") == 0) {
        std::string out;
        for (std::size_t k = 0; k < utf8.size();) {
            std::size_t length = 1;
            const char32_t c = DecodeUtf8(utf8, k, &length);
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                char escape[16];
                std::snprintf(escape, sizeof escape, c > 0xFFFF ? "\\U%08X" : "\\u%04X", static_cast<unsigned>(c));
                out += escape;
            }
            k += length;
        }
        return out;
    }
    return Convert(codeset, "UTF-8", utf8, "?", Utf8SequenceLength);
}

std::size_t Utf8Length(std::string_view s, std::size_t k)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = at(k);
    if (b < 0x80)
        return 1;
    std::size_t len;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) len = 2;
    else if (b == 0xE0) { len = 3; low = 0xA0; }
    else if (b >= 0xE1 && b <= 0xEC) len = 3;
    else if (b == 0xED) { len = 3; high = 0x9F; }
    else if (b >= 0xEE && b <= 0xEF) len = 3;
    else if (b == 0xF0) { len = 4; low = 0x90; }
    else if (b >= 0xF1 && b <= 0xF3) len = 4;
    else if (b == 0xF4) { len = 4; high = 0x8F; }
    else return 0;
    if (k + len > s.size())
        return 0;
    if (at(k + 1) < low || at(k + 1) > high)
        return 0;
    for (std::size_t i = 2; i < len; ++i)
        if (at(k + i) < 0x80 || at(k + i) > 0xBF)
            return 0;
    return len;
}

char32_t DecodeUtf8(std::string_view s, std::size_t k, std::size_t* length)
{
    const std::size_t len = Utf8Length(s, k);
    *length = len == 0 ? 1 : len;
    if (len == 0)
        return U'\uFFFD';
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(s[k]) & kLeadBits[len];
    for (std::size_t i = 1; i < len; ++i)
        c = (c << 6) | (static_cast<unsigned char>(s[k + i]) & 0x3F);
    return c;
}

std::string EncodeUtf8(char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string ValidUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t k = 0; k < text.size();) {
        const std::size_t len = text[k] == '\0' ? 0 : Utf8Length(text, k);
        if (len == 0) {
            out += kReplacement;
            ++k;
        } else {
            out.append(text.substr(k, len));
            k += len;
        }
    }
    return out;
}

}  // namespace vendrill
