#include "ui/AppIcon.h"

#include "res/Resources.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace vendrill {

QIcon MakeAppIcon()
{
    QSvgRenderer renderer(AppIconPath());
    if (!renderer.isValid())
        return {};
    QIcon icon;
    for (int size : kAppIconSizes) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

}  // namespace vendrill
