// The full view ("All settings"): every control of the table on screen, the
// panels that the standard view keeps hidden each in a place of its own.
#include "ui/VendrillDlg.h"

#include "ui/ControlTable.h"
#include "ui/DialogUnits.h"

#include <QAction>
#include <QComboBox>
#include <QFontMetrics>
#include <QMenu>

#include <algorithm>

using namespace vendrill;

namespace {
constexpr const char* kFullViewMenuText = "All settings";
}  // namespace

void CVendrillDlg::PlaceControls()
{
    const DialogUnits du(font());
    const QFontMetrics fm(font());
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        const ControlDef& def = kControls[i];
        const ControlPlace p = m_fullView ? FullViewPlace(def) : ControlPlace{def.id, def.caption, def.x, def.y,
                                                                              def.w, def.h};
        QRect rect = du.Rect(p.x, p.y, p.w, p.h);
        if (auto* c = qobject_cast<QComboBox*>(m_controls[i])) {
            // The rectangle's height is that of the opened list; the closed
            // box takes its natural height.
            const int closed = c->sizeHint().height();
            const int itemHeight = fm.height() + 2;
            c->setMaxVisibleItems(std::max(1, (rect.height() - closed) / itemHeight));
            rect.setHeight(closed);
        }
        m_controls[i]->setGeometry(rect);
    }
    setFixedSize(du.Size(m_fullView ? kFullViewWidthDu : kDialogWidthDu,
                             m_fullView ? kFullViewHeightDu : kDialogHeightDu));
}

void CVendrillDlg::SetFullView(bool on)
{
    if (on && !m_fullViewShown) {
        m_fullViewShown = true;
        // The table disables what it hides; shown, a control takes the state
        // the rules gave it, or starts enabled like the standard view's own.
        for (std::size_t i = 0; i < m_controls.size(); ++i) {
            const ControlDef& def = kControls[i];
            if (!(def.style & kVisible) && (def.id == kNoId || !m_ruled.count(def.id)))
                m_controls[i]->setEnabled(true);
        }
    }
    if (on && !m_session.IsNewVersion() && GetCurSel(idc::VersionList) == 1) {
        // Until the user chooses, the chain reads an old module while the
        // list starts on "New Version": shown, the list says what is read.
        SetCurSel(idc::VersionList, 0);
        OnCbnSelchangeVersion();
    }
    m_fullView = on;
    for (std::size_t i = 0; i < m_controls.size(); ++i)
        if (!(kControls[i].style & kVisible))
            m_controls[i]->setVisible(on);
    PlaceControls();
}

QMenu* CVendrillDlg::CreateContextMenu(QWidget* parent)
{
    QMenu* menu = CreateSystemMenu(parent);
    auto* all = new QAction(QString::fromUtf8(kFullViewMenuText), menu);
    all->setCheckable(true);
    all->setChecked(m_fullView);
    menu->insertAction(menu->actions().value(0), all);
    connect(all, &QAction::triggered, this, [this](bool checked) {
        SetFullView(checked);
        emit FullViewChosen(checked);
    });
    return menu;
}
