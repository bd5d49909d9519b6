#include "ui/Cp949.h"

#include <QByteArray>

#include <cerrno>
#include <iconv.h>

namespace vendrill {

namespace {

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
std::string Convert(const char* to, const char* from, const std::string& in,
                    const std::string& replacement, SkipFn skip)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return in;  // no converter installed: keep the bytes as they are

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
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

// Code page 949 is ASCII in its lower half: plain ASCII text needs no
// converter, which keeps start-up from loading one.
bool IsAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

bool IsAscii(const std::string& bytes)
{
    for (unsigned char b : bytes)
        if (b >= 0x80)
            return false;
    return true;
}

}  // namespace

std::string ToCp949(const QString& text)
{
    if (IsAscii(text)) {
        const QByteArray latin1 = text.toLatin1();
        return std::string(latin1.constData(), static_cast<std::size_t>(latin1.size()));
    }
    const QByteArray utf8 = text.toUtf8();
    return Convert("CP949", "UTF-8", std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())), "?",
                   Utf8SequenceLength);
}

QString FromCp949(const std::string& bytes)
{
    if (IsAscii(bytes))
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    const std::string utf8 =
        Convert("UTF-8", "CP949", bytes, "\xEF\xBF\xBD", [](unsigned char) { return std::size_t{1}; });
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace vendrill
