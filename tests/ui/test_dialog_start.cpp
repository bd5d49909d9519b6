// Start state, Tab order and geometry of the settings dialog.
#include "DialogTestUtil.h"

#include "ui/ControlTable.h"
#include "ui/DialogUnits.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <set>

using namespace vendrill;

class TestDialogStart : public QObject {
    Q_OBJECT

private slots:
    void controlTableIsComplete();
    void startValues();
    void startVisibleAndEnabledStates();
    void dropDownListsAndKinds();
    void focusStartsOnOpen();
    void tabOrderFollowsTheTable();
    void windowSizeAndFont();
    void visibleControlsNeitherOverlapNorClip();
    void fullViewShowsEveryControlWithoutOverlap();
};

namespace {

// No visible control overlaps another, lies across a frame's edge or outside
// the window, and every caption fits its control.
void CheckLayout(RecordingDialog& d, int frameCount, int minControls)
{
    QList<QWidget*> controls;
    QList<QGroupBox*> frames;
    for (QWidget* w : d->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!w->isVisible())
            continue;
        if (auto* g = qobject_cast<QGroupBox*>(w))
            frames << g;
        else
            controls << w;
    }
    QCOMPARE(frames.size(), frameCount);
    QVERIFY(controls.size() >= minControls);

    const QRect client = d->rect();
    for (QWidget* w : controls + QList<QWidget*>(frames.begin(), frames.end()))
        QVERIFY2(client.contains(w->geometry()), qPrintable(w->objectName()));
    for (int i = 0; i < controls.size(); ++i)
        for (int j = i + 1; j < controls.size(); ++j)
            QVERIFY2(!controls[i]->geometry().intersects(controls[j]->geometry()),
                     qPrintable(controls[i]->objectName() + QLatin1Char('/') + controls[j]->objectName() +
                                QLatin1Char(' ') + (qobject_cast<QLabel*>(controls[i])
                                                        ? qobject_cast<QLabel*>(controls[i])->text()
                                                        : QString())));
    // Every control lies within one frame or outside all of them, never across an edge.
    for (QWidget* w : controls)
        for (QGroupBox* g : frames)
            QVERIFY2(!g->geometry().intersects(w->geometry()) || g->geometry().contains(w->geometry()),
                     qPrintable(w->objectName() + QLatin1Char(' ') + g->title()));

    // Captions fit their controls.
    const QFontMetrics fm(d->font());
    for (QWidget* w : controls) {
        if (auto* l = qobject_cast<QLabel*>(w)) {
            QVERIFY2(fm.horizontalAdvance(l->text()) <= l->contentsRect().width(), qPrintable(l->text()));
            QVERIFY2(fm.height() <= l->contentsRect().height(), qPrintable(l->text()));
        } else if (auto* b = qobject_cast<QPushButton*>(w)) {
            QVERIFY2(fm.horizontalAdvance(b->text()) + 4 <= b->width(), qPrintable(b->text()));
        } else if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w)) {
            auto* b = static_cast<QAbstractButton*>(w);
            QVERIFY2(b->sizeHint().width() <= b->width(),
                     qPrintable(QStringLiteral("%1 %2 > %3").arg(b->objectName()).arg(b->sizeHint().width()).arg(b->width())));
            QVERIFY2(b->sizeHint().height() <= b->height() + 2, qPrintable(b->objectName()));
        } else if (auto* c = qobject_cast<QComboBox*>(w)) {
            QVERIFY2(c->sizeHint().width() <= c->width(),
                     qPrintable(QStringLiteral("%1 %2 > %3").arg(c->objectName()).arg(c->sizeHint().width()).arg(c->width())));
        }
    }
    for (QGroupBox* g : frames)
        QVERIFY2(fm.horizontalAdvance(g->title()) + 16 <= g->width(), qPrintable(g->title()));
}

}  // namespace

void TestDialogStart::controlTableIsComplete()
{
    QCOMPARE(int(kControls.size()), 69);
    std::set<int> ids;
    int unnamed = 0;
    for (const ControlDef& c : kControls) {
        if (c.id == kNoId) {
            ++unnamed;
            continue;
        }
        QVERIFY2(ids.insert(c.id).second, qPrintable(QString::number(c.id)));
    }
    QCOMPARE(int(ids.size()) + unnamed, 69);

    RecordingDialog d;
    for (int id : ids)
        QVERIFY2(d->GetDlgItem(id) != nullptr, qPrintable(QString::number(id)));
    QVERIFY(d->GetDlgItem(kNoId) == nullptr);
    QVERIFY(d->GetDlgItem(4242) == nullptr);
    // Captions come through as written, Hangul included.
    auto* group = qobject_cast<QGroupBox*>(d->GetDlgItem(idc::PairingGroup));
    QCOMPARE(group->title(), QString::fromUtf8("Bluetooth Pairing Mode - ( New Version만 사용 가능)"));
    QCOMPARE(d->GetDlgItem(idc::Open)->metaObject()->className(), "QPushButton");
}

void TestDialogStart::startValues()
{
    RecordingDialog d;
    QVERIFY(d.messages.isEmpty());
    QCOMPARE(d->GetDlgItemText(idc::Status), std::string());
    QCOMPARE(d->m_Status, std::string());
    QVERIFY(d->IsDlgButtonChecked(idc::Serial));
    QVERIFY(!d->IsDlgButtonChecked(idc::Usb));
    QVERIFY(!d->m_usbSelected.load());

    const std::pair<int, const char*> shown[] = {
        {idc::PortList, "COM1"}, {idc::BaudList, "57600"}, {idc::ParityList, "None"},
        {idc::DataBitsList, "8"}, {idc::StopBitList, "1"}, {idc::VersionList, "New Version"},
        {idc::PrinterModelList, "HOLLINDE"}, {idc::SetPairingList, "Legacy pairing"},
        {idc::SetLevelList, "Not use Pinkey"},
    };
    for (const auto& [id, text] : shown)
        QCOMPARE(d->GetDlgItemText(id), std::string(text));
    QCOMPARE(d->GetCurSel(idc::BaudList), 3);
    QCOMPARE(d->GetCurSel(idc::DataBitsList), 1);
    QCOMPARE(d->GetCurSel(idc::VersionList), 1);

    // The first gather of the start-up filled the line settings.
    QCOMPARE(d->m_PortText, std::string("COM1"));
    QCOMPARE(d->m_BaudText, std::string("57600"));
    QCOMPARE(d->m_DataBitsText, std::string("8"));
    QCOMPARE(d->m_StopBitText, std::string("1"));

    // Flags; the version flag stays 0 although the list shows "New Version".
    QVERIFY(!d->Session().IsConnected());
    QVERIFY(!d->Session().IsBusy());
    QVERIFY(!d->Session().IsNewVersion());
    QCOMPARE(d->Session().QueuedBytes(), 0);
    QVERIFY(!d->IsTimer1Running());
    for (int id : {idc::CheckPinKey, idc::CheckBDN, idc::CheckLevel, idc::CheckPairing, idc::AddNumeric,
                   idc::PrintBDN})
        QVERIFY(!d->IsDlgButtonChecked(id));
}

void TestDialogStart::startVisibleAndEnabledStates()
{
    RecordingDialog d;
    // The start-up changes these from the template.
    const std::set<int> hiddenAtStart = {idc::PrinterModelLabel, idc::PrinterModelList};
    const std::set<int> disabledAtStart = {idc::SetPinKeyEdit, idc::SetPinKey, idc::SetBDNEdit, idc::SetBDN,
                                           idc::PrinterModelLabel, idc::PrinterModelList};
    const std::set<int> enabledAtStart = {idc::CheckPairing};

    for (const ControlDef& c : kControls) {
        if (c.id == kNoId)
            continue;
        const QWidget* w = d->GetDlgItem(c.id);
        const bool visible = (c.style & kVisible) && !hiddenAtStart.count(c.id);
        const bool enabled =
            enabledAtStart.count(c.id) || (!(c.style & kDisabled) && !disabledAtStart.count(c.id));
        QVERIFY2(w->isVisibleTo(d.dlg.get()) == visible, qPrintable(QString::number(c.id)));
        QVERIFY2(w->isEnabled() == enabled, qPrintable(QString::number(c.id)));
    }

    // What the user can work with at start.
    std::set<int> usable;
    for (const ControlDef& c : kControls)
        if (c.id != kNoId && IsTabStop(c.kind) && d->GetDlgItem(c.id)->isVisibleTo(d.dlg.get()) &&
            d->GetDlgItem(c.id)->isEnabled())
            usable.insert(c.id);
    const std::set<int> expected = {idc::PortList, idc::BaudList,   idc::ParityList, idc::DataBitsList,
                                    idc::StopBitList, idc::Open,     idc::Close,      idc::GetInfo,
                                    idc::CheckPinKey, idc::CheckBDN, idc::CurrentBDA, idc::CurrentPinKey,
                                    idc::CurrentBDN};
    QVERIFY(usable == expected);
    for (int id : {idc::CurrentBDA, idc::CurrentPinKey, idc::CurrentBDN, idc::CurrentLevel,
                   idc::CurrentPairing, idc::SniffStatusEdit})
        QVERIFY(d.Edit(id)->isReadOnly());
    for (int id : {idc::SetPinKeyEdit, idc::SetBDNEdit, idc::NumericSuffix})
        QVERIFY(!d.Edit(id)->isReadOnly());
}

void TestDialogStart::dropDownListsAndKinds()
{
    RecordingDialog d;
    for (const ComboListDef& list : kComboLists) {
        auto* combo = qobject_cast<QComboBox*>(d->GetDlgItem(list.id));
        QVERIFY(combo);
        QCOMPARE(combo->count(), list.count);
        for (int i = 0; i < list.count; ++i)
            QCOMPARE(combo->itemText(i), QString::fromUtf8(list.items[i]));
    }
    auto* ports = qobject_cast<QComboBox*>(d->GetDlgItem(idc::PortList));
    QCOMPARE(ports->itemText(19), QStringLiteral("COM20"));
    for (int id : {idc::StopBitList, idc::DataBitsList, idc::ParityList, idc::BaudList, idc::PortList})
        QVERIFY(!qobject_cast<QComboBox*>(d->GetDlgItem(id))->isEditable());
    for (int id : {idc::SetLevelList, idc::SetPairingList, idc::VersionList, idc::PrinterModelList})
        QVERIFY(qobject_cast<QComboBox*>(d->GetDlgItem(id))->isEditable());
    QCOMPARE(d->GetDlgItem(idc::ReceiveLog)->metaObject()->className(), "QPlainTextEdit");
    QVERIFY(qobject_cast<QRadioButton*>(d->GetDlgItem(idc::Serial)));
    QVERIFY(qobject_cast<QCheckBox*>(d->GetDlgItem(idc::AddNumeric)));
    auto* status = qobject_cast<QLabel*>(d->GetDlgItem(idc::Status));
    QCOMPARE(status->frameShadow(), QFrame::Sunken);
}

void TestDialogStart::focusStartsOnOpen()
{
    RecordingDialog d;
    QCOMPARE(d->focusWidget(), d->GetDlgItem(idc::Open));
    QVERIFY(d.ShowActive());
    QCOMPARE(QApplication::focusWidget(), d->GetDlgItem(idc::Open));
}

void TestDialogStart::tabOrderFollowsTheTable()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    auto walk = [&](Qt::Key key, int steps) {
        QList<int> seen;
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            QWidget* f = QApplication::focusWidget();
            while (f && !f->objectName().startsWith(QStringLiteral("idc_")))
                f = f->parentWidget();
            seen << (f ? f->objectName().mid(4).toInt() : 0);
        }
        return seen;
    };
    const QList<int> forward = {idc::Close,        idc::CurrentBDA, idc::CurrentPinKey, idc::CurrentBDN,
                                idc::CheckPinKey,  idc::CheckBDN,   idc::GetInfo,       idc::StopBitList,
                                idc::DataBitsList, idc::ParityList, idc::BaudList,      idc::PortList,
                                idc::Open};
    QCOMPARE(walk(Qt::Key_Tab, forward.size()), forward);
    QCOMPARE(walk(Qt::Key_Backtab, 2), (QList<int>{idc::PortList, idc::BaudList}));

    // Unlocked fields join the order in their table place.
    d->GetDlgItem(idc::Open)->setFocus();
    d->CheckDlgButton(idc::CheckPinKey, true);
    d->OnBnClickedCheckPinKey();
    d->GetDlgItem(idc::Open)->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), d->GetDlgItem(idc::Open));
    const QList<int> unlocked = {idc::Close, idc::CurrentBDA, idc::CurrentPinKey, idc::SetPinKeyEdit,
                                 idc::SetPinKey, idc::CurrentBDN};
    QCOMPARE(walk(Qt::Key_Tab, unlocked.size()), unlocked);

    // Labels, frames and the radio buttons are never Tab stops.
    for (const ControlDef& c : kControls)
        if (c.id != kNoId && !IsTabStop(c.kind))
            QVERIFY(!(d->GetDlgItem(c.id)->focusPolicy() & Qt::TabFocus));
}

void TestDialogStart::windowSizeAndFont()
{
    RecordingDialog d;
    QCOMPARE(d->windowTitle(), QStringLiteral("Vendrill Ver2.8"));
    const DialogUnits du(d->font());
    QVERIFY(du.BaseX() > 2);
    QVERIFY(du.BaseY() > 8);
    QCOMPARE(d->size(), QSize(du.X(311), du.Y(231)));
    QCOMPARE(d->minimumSize(), d->maximumSize());
    QVERIFY(!(d->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(d->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(d->windowFlags() & Qt::WindowCloseButtonHint);

    // Control places follow the dialog units.
    QCOMPARE(d->GetDlgItem(idc::Open)->geometry(), du.Rect(184, 64, 53, 26));
    QCOMPARE(d->GetDlgItem(idc::CurrentBDN)->geometry(), du.Rect(94, 189, 122, 14));
    QCOMPARE(d->GetDlgItem(idc::PortList)->pos(), du.Rect(12, 45, 48, 96).topLeft());

    // The dialog font shows Hangul with its own glyphs at 9 points.
    QCOMPARE(d->font().pointSize(), 9);
    const QFontMetrics fm(d->font());
    for (QChar c : QString::fromUtf8("확인정보사용가능"))
        QVERIFY2(fm.inFont(c), qPrintable(QFontInfo(d->font()).family()));
}

void TestDialogStart::visibleControlsNeitherOverlapNorClip()
{
    RecordingDialog d;
    QVERIFY(d.ShowActive());
    CheckLayout(d, 4, 25);
}

// The full view shows all the table's controls (the serial or the USB
// settings by the radio buttons), the panels side by side, laid out as
// tidily as the standard view, in the serial view and in the USB view.
void TestDialogStart::fullViewShowsEveryControlWithoutOverlap()
{
    RecordingDialog d;
    d->SetFullView(true);
    QVERIFY(d.ShowActive());
    const DialogUnits du(d->font());
    QCOMPARE(d->size(), QSize(du.X(kFullViewWidthDu), du.Y(kFullViewHeightDu)));
    QCOMPARE(d->minimumSize(), d->maximumSize());
    for (const ControlDef& c : kControls)
        if (c.id != idc::PrinterModelLabel && c.id != idc::PrinterModelList && c.id != kNoId)
            QVERIFY2(d->GetDlgItem(c.id)->isVisible(), qPrintable(QString::number(c.id)));
    CheckLayout(d, 7, 60);
    if (QTest::currentTestFailed())
        return;
    Click(d, idc::Usb);
    CheckLayout(d, 7, 52);
    if (QTest::currentTestFailed())
        return;

    // Back to the standard view: its places, size and hidden panels again.
    d->SetFullView(false);
    QCOMPARE(d->size(), QSize(du.X(kDialogWidthDu), du.Y(kDialogHeightDu)));
    QCOMPARE(d->GetDlgItem(idc::CurrentBDA)->geometry(), du.Rect(89, 110, 122, 14));
    for (const ControlDef& c : kControls)
        if (c.id != kNoId && !(c.style & kVisible))
            QVERIFY2(!d->GetDlgItem(c.id)->isVisible(), qPrintable(QString::number(c.id)));
}

QTEST_MAIN(TestDialogStart)
#include "test_dialog_start.moc"
