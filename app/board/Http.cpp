#include "app/board/Http.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include <poll.h>

namespace vendrill::board {

namespace {

int Hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

bool ReadWhole(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return static_cast<bool>(in) || in.eof();
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Decoded(std::string_view text, bool plus)
{
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 2 < text.size() && Hex(text[k + 1]) >= 0 && Hex(text[k + 2]) >= 0) {
            out += static_cast<char>(Hex(text[k + 1]) * 16 + Hex(text[k + 2]));
            k += 2;
        } else {
            out += plus && text[k] == '+' ? ' ' : text[k];
        }
    }
    return out;
}

std::string Encoded(std::string_view text)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        }
    }
    return out;
}

std::optional<std::string_view> RawParam(std::string_view target, std::string_view key)
{
    const std::size_t q = target.find('?');
    if (q == std::string_view::npos)
        return std::nullopt;
    std::string_view query = target.substr(q + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) == key)
            return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

}  // namespace vendrill::board
