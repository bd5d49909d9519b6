// Every control of the settings dialog can be found by screen readers and by
// accessibility-based UI tests through its name.
#include "ui/ControlTable.h"
#include "ui/VendrillDlg.h"

#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QTest>

#include <map>
#include <set>
#include <utility>
#include <vector>

using namespace vendrill;

namespace {

// Accessible descendants of an interface, depth first.
void Collect(QAccessibleInterface* iface, std::vector<QAccessibleInterface*>& out, int depth = 0)
{
    if (!iface || depth > 16)
        return;
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        if (!child)
            continue;
        out.push_back(child);
        Collect(child, out, depth + 1);
    }
}

// Name of the label that labels a control, empty when none does.
QString LabelledBy(QAccessibleInterface* iface)
{
    for (const auto& [label, relation] : iface->relations(QAccessible::Label))
        if (label && label->role() == QAccessible::StaticText)
            return label->text(QAccessible::Name);
    return {};
}

// The name a screen reader announces. On Linux Qt gives a drop-down its
// current text as the name and leaves the naming to the label relation.
QString AnnouncedName(QAccessibleInterface* iface)
{
    if (iface->role() == QAccessible::ComboBox) {
        const QString label = LabelledBy(iface);
        if (!label.isEmpty())
            return label;
    }
    return iface->text(QAccessible::Name);
}

// What a screen reader or UI test does: look a control up by role and name
// from the window down.
QAccessibleInterface* FindByName(QWidget* window, QAccessible::Role role, const QString& name)
{
    std::vector<QAccessibleInterface*> all;
    Collect(QAccessible::queryAccessibleInterface(window), all);
    for (QAccessibleInterface* a : all)
        if (a->role() == role && AnnouncedName(a) == name)
            return a;
    return nullptr;
}

bool IsField(ControlKind kind)
{
    return kind == ControlKind::Edit || kind == ControlKind::MultiLineEdit || kind == ControlKind::ComboList ||
           kind == ControlKind::ComboEditable;
}

const std::set<int> kUnlabelled = {idc::CheckPinKey, idc::CheckBDN, idc::CheckLevel, idc::CheckPairing,
                                   idc::SniffStatusEdit, idc::NumericSuffix};

// The dialog's controls are its direct child widgets.
QList<QWidget*> Controls(const CVendrillDlg& dlg)
{
    return dlg.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
}

}  // namespace

class TestAccessibleNames : public QObject {
    Q_OBJECT

private slots:
    void namesFollowCaptionsAndLabels();
    void everyControlHasItsName();
    void visibleControlsAreFoundByName_data();
    void visibleControlsAreFoundByName();
    void statusMessageIsReadAsDescription();
};

void TestAccessibleNames::namesFollowCaptionsAndLabels()
{
    // A field's name is the caption of a label of the dialog without its
    // " :", so that what is read out matches what is on screen.
    std::set<std::string> labelNames;
    for (const ControlDef& def : kControls)
        if (def.kind == ControlKind::Label && def.id != idc::Status)
            labelNames.insert(AccessibleName(def));

    for (const ControlDef& def : kControls) {
        const std::string name = AccessibleName(def);
        QVERIFY2(!name.empty(), qPrintable(QStringLiteral("control %1").arg(def.id)));
        QVERIFY2(name.back() != ':' && name.back() != ' ', name.c_str());
        if (IsField(def.kind) && !kUnlabelled.count(def.id))
            QVERIFY2(labelNames.count(name), name.c_str());
    }

    const auto nameOf = [](int id) { return AccessibleName(*FindControl(id)); };
    QCOMPARE(nameOf(idc::CurrentBDA), std::string("Current BDA"));
    QCOMPARE(nameOf(idc::SetPinKeyEdit), std::string("Set PinKey"));
    QCOMPARE(nameOf(idc::PortList), std::string("Port"));
    QCOMPARE(nameOf(idc::CheckPinKey), std::string("Unlock Set PinKey"));
    QCOMPARE(nameOf(idc::CheckBDN), std::string("Unlock Set BDN"));
    QCOMPARE(nameOf(idc::Status), std::string("Status line"));
    QCOMPARE(nameOf(idc::Open), std::string("Open"));
    QCOMPARE(nameOf(idc::PrinterModelLabel), std::string("Printer Model"));
    QCOMPARE(nameOf(idc::PairingGroup), std::string("Bluetooth Pairing Mode - ( New Version만 사용 가능)"));
}

void TestAccessibleNames::everyControlHasItsName()
{
    CVendrillDlg dlg;
    const QList<QWidget*> controls = Controls(dlg);
    QCOMPARE(controls.size(), kControlCount);

    std::multiset<QString> expected, actual;
    for (const ControlDef& def : kControls) {
        expected.insert(QString::fromStdString(AccessibleName(def)));
        if (def.id != kNoId)
            QCOMPARE(dlg.GetDlgItem(def.id)->accessibleName(), QString::fromStdString(AccessibleName(def)));
    }
    for (QWidget* w : controls) {
        QVERIFY2(!w->accessibleName().isEmpty(), w->metaObject()->className());
        actual.insert(w->accessibleName());
    }
    QCOMPARE(actual, expected);

    // Every labelled field, shown or not, is tied to its label.
    for (const ControlDef& def : kControls) {
        if (!IsField(def.kind) || kUnlabelled.count(def.id))
            continue;
        QAccessibleInterface* field = QAccessible::queryAccessibleInterface(dlg.GetDlgItem(def.id));
        QVERIFY(field);
        QCOMPARE(LabelledBy(field), QString::fromStdString(AccessibleName(def)));
    }
}

void TestAccessibleNames::visibleControlsAreFoundByName_data()
{
    QTest::addColumn<bool>("usbView");
    QTest::newRow("serial view") << false;
    QTest::newRow("usb view") << true;
}

void TestAccessibleNames::visibleControlsAreFoundByName()
{
    QFETCH(bool, usbView);
    CVendrillDlg dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    if (usbView) {
        dlg.CheckDlgButton(idc::Usb, true);
        dlg.OnBnClickedUsb();
        QVERIFY(dlg.GetDlgItem(idc::PrinterModelList)->isVisible());
    }

    int visible = 0;
    std::map<std::pair<int, QString>, QWidget*> seen;
    for (QWidget* w : Controls(dlg)) {
        if (!w->isVisible())
            continue;
        ++visible;
        const QString name = w->accessibleName();
        QVERIFY2(!name.isEmpty(), w->metaObject()->className());

        QAccessibleInterface* own = QAccessible::queryAccessibleInterface(w);
        QVERIFY(own);
        QCOMPARE(AnnouncedName(own), name);

        // Role and name together pick out exactly one control.
        const auto key = std::make_pair(int(own->role()), name);
        QVERIFY2(!seen.count(key), qPrintable(QStringLiteral("two controls named '%1'").arg(name)));
        seen.emplace(key, w);

        QAccessibleInterface* found = FindByName(&dlg, own->role(), name);
        QVERIFY2(found, qPrintable(QStringLiteral("'%1' not found from the window").arg(name)));
        QCOMPARE(found->object(), static_cast<QObject*>(w));
    }
    // Both views show the frames, the link row and the three setting areas.
    QVERIFY(visible >= 25);
}

void TestAccessibleNames::statusMessageIsReadAsDescription()
{
    CVendrillDlg dlg;
    dlg.m_Status = "Close Port";
    dlg.UpdateData(false);
    QAccessibleInterface* status = QAccessible::queryAccessibleInterface(dlg.GetDlgItem(idc::Status));
    QVERIFY(status);
    QCOMPARE(status->text(QAccessible::Name), QStringLiteral("Status line"));
    QCOMPARE(status->text(QAccessible::Description), QStringLiteral("Close Port"));

    dlg.m_Status.clear();
    dlg.UpdateData(false);
    QCOMPARE(status->text(QAccessible::Name), QStringLiteral("Status line"));
    QVERIFY(status->text(QAccessible::Description).isEmpty());
}

QTEST_MAIN(TestAccessibleNames)
#include "test_accessible_names.moc"
