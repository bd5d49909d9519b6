// vendrill-icongen: renders the icon artwork into the PNG sizes of the
// freedesktop icon theme, at build time.
//
//   vendrill-icongen ARTWORK.svg OUTDIR SIZE...
//
// writes OUTDIR/<n>x<n>/apps/<artwork name>.png for every SIZE n.

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>

namespace {

int Fail(const QString& message)
{
    std::fprintf(stderr, "vendrill-icongen: %s\n", qPrintable(message));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: vendrill-icongen ARTWORK.svg OUTDIR SIZE...\n");
        return 2;
    }
    const QString artwork = QString::fromLocal8Bit(argv[1]);
    const QString outDir = QString::fromLocal8Bit(argv[2]);
    const QString name = QFileInfo(artwork).completeBaseName();

    QSvgRenderer renderer(artwork);
    if (!renderer.isValid())
        return Fail(QStringLiteral("cannot read %1").arg(artwork));

    for (int i = 3; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || size < 1 || size > 1024)
            return Fail(QStringLiteral("bad size '%1'").arg(QString::fromLocal8Bit(argv[i])));

        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();

        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(outDir).arg(size);
        if (!QDir().mkpath(dir))
            return Fail(QStringLiteral("cannot create %1").arg(dir));
        // Written whole or not at all, so an interrupted build leaves no
        // truncated PNG that looks up to date.
        QSaveFile file(QStringLiteral("%1/%2.png").arg(dir, name));
        if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
            return Fail(QStringLiteral("cannot write %1").arg(file.fileName()));
    }
    return 0;
}
