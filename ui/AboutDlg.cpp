#include "ui/AboutDlg.h"

#include "ui/AppIcon.h"
#include "ui/DialogUnits.h"
#include "vendrill/Version.h"

#include <QLabel>
#include <QPushButton>

using vendrill::DialogUnits;

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CAboutDlg"));
    setWindowTitle(QString::fromUtf8(kCaption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);
    setFont(vendrill::DialogFont());
    const DialogUnits du(font());
    setFixedSize(du.Size(kWidthDu, kHeightDu));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    const QRect iconRect = du.Rect(11, 17, 20, 20);
    icon->setGeometry(iconRect);
    icon->setPixmap(vendrill::MakeAppIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* name = new QLabel(QStringLiteral("Vendrill Ver2.8"), this);
    name->setObjectName(QStringLiteral("aboutName"));
    name->setTextFormat(Qt::PlainText);
    name->setGeometry(du.Rect(40, 10, 119, 8));

    auto* notice = new QLabel(QStringLiteral("Bluetooth Setting Program."), this);
    notice->setObjectName(QStringLiteral("aboutNotice"));
    notice->setTextFormat(Qt::PlainText);
    notice->setGeometry(du.Rect(40, 25, 119, 8));

    // The full version, the same that --version and the package show.
    auto* version = new QLabel(QStringLiteral("Version " VENDRILL_VERSION), this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(du.Rect(40, 38, 119, 8));

    auto* ok = new QPushButton(QString::fromUtf8("확인"), this);
    ok->setObjectName(QStringLiteral("aboutOk"));
    ok->setGeometry(du.Rect(178, 7, 50, 16));
    ok->setDefault(true);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
