#include "ui/AppIcon.h"

#include "res/Resources.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QString>
#include <QSvgRenderer>

namespace vendrill {

QIcon MakeAppIcon()
{
    // The build renders the artwork at every size into the resources; each
    // image is read only when a size is first asked for.
    QIcon icon;
    for (int size : kAppIconSizes) {
        const QString path = QStringLiteral(":/vendrill/icons/%1.png").arg(size);
        if (QFile::exists(path))
            icon.addFile(path, QSize(size, size));
    }
    if (icon.availableSizes().size() == static_cast<qsizetype>(kAppIconSizes.size()))
        return icon;

    // Without the rendered images, render the artwork here.
    QSvgRenderer renderer(AppIconPath());
    if (!renderer.isValid())
        return {};
    QIcon rendered;
    for (int size : kAppIconSizes) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        rendered.addPixmap(QPixmap::fromImage(image));
    }
    return rendered;
}

}  // namespace vendrill
