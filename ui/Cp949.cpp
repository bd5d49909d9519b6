#include "ui/Cp949.h"

#include "base/TextCodec.h"

#include <QByteArray>

namespace vendrill {

namespace {
bool IsAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x80)
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
    return Utf8ToCp949(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QString FromCp949(const std::string& bytes)
{
    if (IsAscii(bytes))
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    const std::string utf8 = Cp949ToUtf8(bytes);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace vendrill
