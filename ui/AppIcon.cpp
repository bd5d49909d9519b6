#include "ui/AppIcon.h"

#include <QFile>
#include <QString>

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
    return icon;
}

}  // namespace vendrill
