#include "ui/DialogUnits.h"

#include <QFontMetrics>
#include <QStringList>

namespace vendrill {

namespace {
// a * b / c rounded half away from zero.
int MulDiv(int a, int b, int c)
{
    const long long p = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(p >= 0 ? (p + half) / c : (p - half) / c);
}
}  // namespace

QFont DialogFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("NanumGothic"), QStringLiteral("NanumBarunGothic"),
                      QStringLiteral("Noto Sans CJK KR"), QStringLiteral("UnDotum"),
                      QStringLiteral("Baekmuk Gulim"), QStringLiteral("Sans Serif")});
    font.setPointSize(9);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogUnits::DialogUnits(const QFont& font)
{
    // Average width taken over both alphabets, rounded, as dialog templates
    // have always measured it.
    const QFontMetrics fm(font);
    const int extent = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (extent / 26 + 1) / 2;
    m_baseY = fm.height();
    if (m_baseX < 1) m_baseX = 1;
    if (m_baseY < 1) m_baseY = 1;
}

int DialogUnits::X(int du) const { return MulDiv(du, m_baseX, 4); }
int DialogUnits::Y(int du) const { return MulDiv(du, m_baseY, 8); }

QRect DialogUnits::Rect(int x, int y, int w, int h) const
{
    const int left = X(x);
    const int top = Y(y);
    return QRect(QPoint(left, top), QPoint(X(x + w) - 1, Y(y + h) - 1));
}

QPoint IconOrigin(QSize client, QSize icon)
{
    return {(client.width() - icon.width() + 1) / 2, (client.height() - icon.height() + 1) / 2};
}

}  // namespace vendrill
