// The shell around the dialog: About routing and box, window menu, message
// boxes, icon, minimised paint arithmetic, closing, notification and timer.
#include "DialogTestUtil.h"

#include "res/Resources.h"
#include "ui/AboutDlg.h"
#include "ui/AppIcon.h"
#include "ui/ControlTable.h"
#include "ui/DialogUnits.h"
#include "vendrill/Version.h"

#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>

using namespace vendrill;

namespace {
// Runs `inspect` on the next modal window that appears, from inside the modal
// loop that shows it; gives up after a generous time.
void OnNextModal(std::function<void(QWidget*)> inspect)
{
    auto* timer = new QTimer;
    auto deadline = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, inspect] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            inspect(modal);
            // A failed check returns early: close the window anyway so the
            // test goes on instead of waiting.
            if (auto* dialog = qobject_cast<QDialog*>(modal); dialog && dialog->isVisible())
                dialog->done(0);
        } else if (++*deadline > 3000) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}
}  // namespace

class TestShell : public QObject {
    Q_OBJECT

private slots:
    void aboutRouting();
    void windowMenuOffersAbout();
    void realAboutBox();
    void realMessageBoxHasOkOnly();
    void iconResourceAndSizes();
    void minimisedIconOrigin();
    void closeBoxEndsTheDialog();
    void commEventReachesOnCommunication();
    void replyTimer();
};

void TestShell::aboutRouting()
{
    RecordingDialog d;
    for (unsigned id = 0x10; id <= 0x1F; ++id)
        d->OnSysCommand(id);
    QCOMPARE(d.aboutBoxes, 16);
    for (unsigned id : {0x0u, 0x0Fu, 0x20u, 0x110u, 0xF010u, 0xF020u})
        d->OnSysCommand(id);
    QCOMPARE(d.aboutBoxes, 16);
    QVERIFY(d.messages.isEmpty());
}

void TestShell::windowMenuOffersAbout()
{
    RecordingDialog d;
    std::unique_ptr<QMenu> menu(d->CreateSystemMenu(nullptr));
    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 2);
    QVERIFY(actions[0]->isSeparator());
    QCOMPARE(actions[1]->text(), QString::fromUtf8("Vendrill 정보(&A)..."));
    actions[1]->trigger();
    QCOMPARE(d.aboutBoxes, 1);
}

void TestShell::realAboutBox()
{
    CVendrillDlg dlg;
    dlg.m_messageBoxHook = [](const QString&) {};
    bool inspected = false;
    OnNextModal([&](QWidget* modal) {
        inspected = true;
        QCOMPARE(modal->metaObject()->className(), "CAboutDlg");
        QCOMPARE(modal->windowTitle(), QStringLiteral("Vendrill Info"));
        const DialogUnits du(modal->font());
        QCOMPARE(modal->size(), du.Size(235, 55));
        QStringList texts;
        for (QLabel* l : modal->findChildren<QLabel*>())
            texts << l->text();
        QVERIFY(texts.contains(QStringLiteral("Vendrill Ver2.8")));
        QVERIFY(texts.contains(QStringLiteral("Version " VENDRILL_VERSION)));
        auto* icon = modal->findChild<QLabel*>(QStringLiteral("aboutIcon"));
        QVERIFY(icon && !icon->pixmap().isNull());
        const QList<QPushButton*> buttons = modal->findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 1);
        QCOMPARE(buttons[0]->text(), QString::fromUtf8("확인"));
        QVERIFY(buttons[0]->isDefault());
        buttons[0]->click();
    });
    dlg.OnSysCommand(0x0013);  // returns once the box is closed
    QVERIFY(inspected);
    QVERIFY(!dlg.isVisible());
}

void TestShell::realMessageBoxHasOkOnly()
{
    CVendrillDlg dlg;  // no hook: a real message box
    dlg.SetDlgItemText(idc::SetPinKeyEdit, std::string(17, '1'));
    bool inspected = false;
    OnNextModal([&](QWidget* modal) {
        inspected = true;
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("Vendrill"));
        QCOMPARE(box->text(), QStringLiteral("Enter no more than 16 characters."));
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->standardButton(box->buttons().first()), QMessageBox::Ok);
        box->buttons().first()->click();
    });
    QVERIFY(!dlg.UpdateData(true));
    QVERIFY(inspected);

    // A box without icon.
    inspected = false;
    OnNextModal([&](QWidget* modal) {
        inspected = true;
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        QCOMPARE(box->text(), QString::fromUtf8("확인"));
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        box->buttons().first()->click();
    });
    dlg.MessageBox("\xC8\xAE\xC0\xCE");
    QVERIFY(inspected);
}

void TestShell::iconResourceAndSizes()
{
    QVERIFY(QFile::exists(AppIconPath()));
    const QIcon icon = MakeAppIcon();
    QVERIFY(!icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    for (int side : kAppIconSizes) {
        QVERIFY2(sizes.contains(QSize(side, side)), qPrintable(QString::number(side)));
        const QImage image = icon.pixmap(side, side).toImage();
        QCOMPARE(image.size(), QSize(side, side));
        // Drawn artwork: opaque in the middle, transparent in the corner.
        QCOMPARE(qAlpha(image.pixel(side / 2, side / 2)), 255);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    }
    // The window gets its icon once it has painted.
    RecordingDialog d;
    d->show();
    QTRY_VERIFY(!d->m_hIcon.isNull());
    QTRY_COMPARE(d->windowIcon().cacheKey(), d->m_hIcon.cacheKey());
    QCOMPARE(d->windowIcon().availableSizes().size(), int(kAppIconSizes.size()));
    QCOMPARE(d->m_hIcon.availableSizes(), sizes);
}

void TestShell::minimisedIconOrigin()
{
    QCOMPARE(IconOrigin(QSize(37, 37), QSize(32, 32)), QPoint(3, 3));
    QCOMPARE(IconOrigin(QSize(38, 40), QSize(32, 32)), QPoint(3, 4));
    QCOMPARE(IconOrigin(QSize(32, 32), QSize(32, 32)), QPoint(0, 0));
    QCOMPARE(IconOrigin(QSize(544, 404), QSize(32, 32)), QPoint(256, 186));
    // Smaller than the icon: rounds toward zero.
    QCOMPARE(IconOrigin(QSize(20, 0), QSize(32, 32)), QPoint(-5, -15));
}

void TestShell::closeBoxEndsTheDialog()
{
    RecordingDialog d;
    QTimer::singleShot(0, d.dlg.get(), [&] {
        QTest::keyClick(d.dlg.get(), Qt::Key_Escape);  // ignored
        QVERIFY(d->isVisible());
        d->close();
    });
    d->exec();  // returns: the close box ends the modal run
    QVERIFY(!d->isVisible());

    RecordingDialog viaMenu;
    QTimer::singleShot(0, viaMenu.dlg.get(), [&] { viaMenu->OnSysCommand(CVendrillDlg::kScClose); });
    viaMenu->exec();
    QVERIFY(!viaMenu->isVisible());
    QCOMPARE(viaMenu.aboutBoxes, 0);
}

void TestShell::commEventReachesOnCommunication()
{
    RecordingDialog d;
    const std::uint8_t bytes[] = {0x02, 0x41, 0x42, 0x33, 0x03};
    QVERIFY(d->Session().Enqueue(bytes, int(sizeof bytes)));
    QCOMPARE(d->Session().QueuedBytes(), 5);
    QCoreApplication::postEvent(d.dlg.get(), new QEvent(CVendrillDlg::kCommEvent));
    QTRY_COMPARE(d->Session().QueuedBytes(), 0);
}

// Timer 1 runs while a request awaits its answer (with no link, too) and
// stops with the request; firing before the deadline changes nothing.
void TestShell::replyTimer()
{
    RecordingDialog d;
    QVERIFY(!d->IsTimer1Running());
    d->OnBnClickedGetBDN();
    QVERIFY(d->IsTimer1Running());
    d->OnTimer(1);
    QVERIFY(d->IsTimer1Running());
    QVERIFY(d->Session().IsBusy());
    QVERIFY(d.messages.isEmpty());
    d->Session().Abandon();
    QVERIFY(!d->IsTimer1Running());
}

QTEST_MAIN(TestShell)
#include "test_shell.moc"
