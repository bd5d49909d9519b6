#pragma once

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>

namespace vendrill {

// The font that stands in for the Korean-locale standard dialog font at
// 9 points; it carries Latin and Hangul glyphs.
QFont DialogFont();

// Converts dialog units to pixels from a font's metrics: one horizontal unit
// is a quarter of the average character width, one vertical unit an eighth
// of the character height.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }
    int X(int du) const;
    int Y(int du) const;
    // Edges are mapped one by one, so controls that touch in dialog units
    // touch in pixels too.
    QRect Rect(int x, int y, int w, int h) const;
    QSize Size(int w, int h) const { return {X(w), Y(h)}; }

private:
    int m_baseX;
    int m_baseY;
};

// Top-left corner that centres an icon in a client area; integer arithmetic
// rounding toward zero, as the minimised window's paint uses it.
QPoint IconOrigin(QSize client, QSize icon);

}  // namespace vendrill
