#include "ui/VendrillDlg.h"

#include "base/Trace.h"
#include "protocol/Conversation.h"

#include "ui/AboutDlg.h"
#include "ui/AppIcon.h"
#include "ui/ControlTable.h"
#include "ui/Cp949.h"
#include "ui/DialogUnits.h"
#include "ui/EditLimit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

#include <algorithm>
#include <memory>
#include <vector>

using namespace vendrill;

namespace {

// Caption of every message box.
constexpr const char* kMessageBoxCaption = "Vendrill";
// Text of the About item of the window menu.
constexpr const char* kAboutMenuText = "Vendrill 정보(&A)...";

// Data exchange bindings, in exchange order. Only the fields a user types
// into have their length checked on a gather: the display fields are written
// by the program and are taken whole, so an over-long module reply cannot
// block the exchange of the fields behind it.
struct Binding {
    int id;
    std::string CVendrillDlg::*member;
    int limit;  // bytes; 0 = none
    bool checkedOnGather;
};

constexpr int kPinKeyLimit = static_cast<int>(proto::MAX_PINKEY_BYTES);
constexpr int kNameLimit = static_cast<int>(proto::MAX_NAME_BYTES);

const Binding kBindings[] = {
    {idc::PortList, &CVendrillDlg::m_PortText, 0, false},
    {idc::BaudList, &CVendrillDlg::m_BaudText, 0, false},
    {idc::DataBitsList, &CVendrillDlg::m_DataBitsText, 0, false},
    {idc::StopBitList, &CVendrillDlg::m_StopBitText, 0, false},
    {idc::Status, &CVendrillDlg::m_Status, 0, false},
    {idc::CurrentBDA, &CVendrillDlg::m_CurrentBDA, 12, false},
    {idc::CurrentPinKey, &CVendrillDlg::m_CurrentPinKey, kPinKeyLimit, false},
    {idc::SetPinKeyEdit, &CVendrillDlg::m_SetPinKey, kPinKeyLimit, true},
    {idc::CurrentBDN, &CVendrillDlg::m_CurrentBDN, kNameLimit, false},
    {idc::SetBDNEdit, &CVendrillDlg::m_SetBDN, kNameLimit, true},
    {idc::CurrentPairing, &CVendrillDlg::m_CurrentPairingMode, 0, false},
    {idc::CurrentLevel, &CVendrillDlg::m_CurrentLevel, 0, false},
};

// The status line is one line high: a trailing line end would push its text
// out of sight.
std::string WithoutTrailingLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool IsListOnly(const QWidget* w)
{
    const auto* combo = qobject_cast<const QComboBox*>(w);
    return combo && !combo->isEditable();
}

}  // namespace

CVendrillDlg::CVendrillDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CVendrillDlg"));
    setWindowTitle(QString::fromUtf8(kDialogCaption));
    // Title bar with window menu and close box; fixed size, no minimise or
    // maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());

    // Started for the time left until the session's deadline, to the
    // millisecond, so that it does not fire before the deadline.
    m_timer1.setSingleShot(true);
    m_timer1.setTimerType(Qt::PreciseTimer);
    connect(&m_timer1, &QTimer::timeout, this, [this] { OnTimer(1); });

    CreateControls();
    ConnectHandlers();
    qApp->installEventFilter(this);
    OnInitDialog();

    CVendrillDlg* none = nullptr;
    s_MainWindow.compare_exchange_strong(none, this);
    connect(qobject_cast<QComboBox*>(GetDlgItem(idc::PortList)), &QComboBox::currentIndexChanged, this,
            [this] { UpdatePortToolTip(); });
    UpdatePortToolTip();
}

CVendrillDlg::~CVendrillDlg()
{
    // Reader threads use the members below; they must be gone first.
    ShutdownLinks();
    CVendrillDlg* self = this;
    s_MainWindow.compare_exchange_strong(self, nullptr);
    m_timer1.stop();
}

void CVendrillDlg::CreateControls()
{
    std::vector<QWidget*> tabStops;
    std::vector<QWidget*> frames;
    std::vector<std::pair<QLabel*, QString>> labels;
    std::vector<std::pair<QWidget*, QString>> fields;

    for (const ControlDef& def : kControls) {
        const QString caption = QString::fromUtf8(def.caption);
        QWidget* w = nullptr;

        switch (def.kind) {
        case ControlKind::PushButton: {
            auto* b = new QPushButton(caption, this);
            b->setAutoDefault(false);
            b->setDefault(false);
            w = b;
            break;
        }
        case ControlKind::Label: {
            auto* l = new QLabel(caption, this);
            l->setTextFormat(Qt::PlainText);
            l->setAlignment(((def.style & kRightAlign) ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
            if (def.style & kSunken) {
                l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                l->setLineWidth(1);
                l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            }
            w = l;
            break;
        }
        case ControlKind::GroupBox: {
            auto* g = new QGroupBox(caption, this);
            // Frames only decorate: clicks fall through to the dialog.
            g->setAttribute(Qt::WA_TransparentForMouseEvents);
            frames.push_back(g);
            w = g;
            break;
        }
        case ControlKind::Edit: {
            auto* e = new QLineEdit(this);
            e->setReadOnly(def.style & kReadOnly);
            e->setProperty(kDigitsOnlyProperty, bool(def.style & kDigitsOnly));
            new EditLimit(e);
            w = e;
            break;
        }
        case ControlKind::MultiLineEdit: {
            auto* e = new QPlainTextEdit(this);
            e->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            e->setTabChangesFocus(true);
            e->setMaximumBlockCount(kLogMaxLines);
            w = e;
            break;
        }
        case ControlKind::CheckBox:
            w = new QCheckBox(caption, this);
            break;
        case ControlKind::RadioButton:
            w = new QRadioButton(caption, this);
            w->setFocusPolicy(Qt::ClickFocus);
            break;
        case ControlKind::ComboList:
        case ControlKind::ComboEditable: {
            auto* c = new QComboBox(this);
            if (def.kind == ControlKind::ComboEditable) {
                c->setEditable(true);
                c->setInsertPolicy(QComboBox::NoInsert);
                c->setCompleter(nullptr);
            }
            w = c;
            break;
        }
        }

        m_controls.push_back(w);
        const QString accessibleName = QString::fromStdString(AccessibleName(def));
        w->setAccessibleName(accessibleName);
        if (def.kind == ControlKind::Label && def.id != idc::Status)
            labels.emplace_back(static_cast<QLabel*>(w), accessibleName);
        else if (def.kind == ControlKind::Edit || def.kind == ControlKind::MultiLineEdit ||
                 def.kind == ControlKind::ComboList || def.kind == ControlKind::ComboEditable)
            fields.emplace_back(w, accessibleName);
        w->setEnabled(!(def.style & kDisabled));
        w->setVisible(def.style & kVisible);
        if (def.id != kNoId) {
            w->setObjectName(QStringLiteral("idc_%1").arg(def.id));
            m_items.emplace(def.id, w);
        }
        if (IsTabStop(def.kind))
            tabStops.push_back(w);
        else if (def.kind != ControlKind::RadioButton)
            w->setFocusPolicy(Qt::NoFocus);
    }

    // Each label tells assistive technology which field it names; on Linux a
    // drop-down is announced through that relation rather than its own name.
    // No caption holds a '&', so no keyboard shortcut comes with it.
    for (const auto& [label, name] : labels)
        for (const auto& [field, fieldName] : fields)
            if (fieldName == name)
                label->setBuddy(field);

    PlaceControls();
    for (QWidget* g : frames)
        g->lower();
    for (std::size_t i = 1; i < tabStops.size(); ++i)
        QWidget::setTabOrder(tabStops[i - 1], tabStops[i]);
}

void CVendrillDlg::ConnectHandlers()
{
    const std::pair<int, void (CVendrillDlg::*)()> clicks[] = {
        {idc::Open, &CVendrillDlg::OnBnClickedOpen},
        {idc::Close, &CVendrillDlg::OnBnClickedClose},
        {idc::GetInfo, &CVendrillDlg::OnBnClickedGetInfo},
        {idc::GetBDA, &CVendrillDlg::OnBnClickedGetBDA},
        {idc::GetPinKey, &CVendrillDlg::OnBnClickedGetPinKey},
        {idc::GetBDN, &CVendrillDlg::OnBnClickedGetBDN},
        {idc::GetLevel, &CVendrillDlg::OnBnClickedGetLevel},
        {idc::GetPairing, &CVendrillDlg::OnBnClickedGetPairing},
        {idc::SetPinKey, &CVendrillDlg::OnBnClickedSetPinKey},
        {idc::SetBDN, &CVendrillDlg::OnBnClickedSetBDN},
        {idc::SetLevel, &CVendrillDlg::OnBnClickedSetLevel},
        {idc::SetPairing, &CVendrillDlg::OnBnClickedSetPairing},
        {idc::SniffStatus, &CVendrillDlg::OnBnClickedSniffStatus},
        {idc::SniffEnable, &CVendrillDlg::OnBnClickedSniffEnable},
        {idc::SniffDisable, &CVendrillDlg::OnBnClickedSniffDisable},
        {idc::Serial, &CVendrillDlg::OnBnClickedSerial},
        {idc::Usb, &CVendrillDlg::OnBnClickedUsb},
        {idc::CheckPinKey, &CVendrillDlg::OnBnClickedCheckPinKey},
        {idc::CheckBDN, &CVendrillDlg::OnBnClickedCheckBDN},
        {idc::CheckLevel, &CVendrillDlg::OnBnClickedCheckLevel},
        {idc::CheckPairing, &CVendrillDlg::OnBnClickedCheckPairing},
        {idc::AddNumeric, &CVendrillDlg::OnBnClickedAddNumeric},
        {idc::Clear, &CVendrillDlg::OnBnClickedClear},
    };
    for (const auto& [id, handler] : clicks) {
        auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(id));
        connect(button, &QAbstractButton::clicked, this, [this, h = handler] { (this->*h)(); });
    }
    // Only a selection the user makes runs these; selections from code do not.
    connect(qobject_cast<QComboBox*>(GetDlgItem(idc::VersionList)), &QComboBox::activated, this,
            [this] { OnCbnSelchangeVersion(); });
    connect(qobject_cast<QComboBox*>(GetDlgItem(idc::SetPairingList)), &QComboBox::activated, this,
            [this] { OnCbnSelchangePairing(); });
    connect(qobject_cast<QAbstractButton*>(GetDlgItem(idc::Usb)), &QAbstractButton::toggled, this,
            [this](bool on) { m_usbSelected.store(on); });
}

bool CVendrillDlg::OnInitDialog()
{
    // 1. Lists, then show the members (status line empty, typing limits set).
    for (const ComboListDef& list : kComboLists) {
        auto* combo = qobject_cast<QComboBox*>(GetDlgItem(list.id));
        for (int i = 0; i < list.count; ++i)
            combo->addItem(QString::fromUtf8(list.items[i]));
        combo->setCurrentIndex(-1);
    }
    UpdateData(false);
    // 2. The About item lives in the free area's menu (CreateSystemMenu).
    // 3. Icon: made and given to the window once it has painted (paintEvent).
    // Reading its images and the window system taking every rendered size
    // cost about an eighth of the time to the window's map; the window shows
    // first, its icon a moment later.
    if (isVisible())
        setWindowIcon(AppIcon());
    // 4./5. Link kind and start selections.
    CheckDlgButton(idc::Serial, true);
    for (const ComboListDef& list : kComboLists)
        if (list.id != idc::PrinterModelList)
            SetCurSel(list.id, list.startSelection);
    // 6. Set-unlock rules; all boxes are off.
    OnBnClickedCheckPinKey();
    OnBnClickedCheckBDN();
    OnBnClickedCheckLevel();
    OnBnClickedCheckPairing();
    // 7.
    EnableWindow(idc::CheckPairing, true);
    EnableWindow(idc::SetPairingList, false);
    EnableWindow(idc::SetPairing, false);
    // 8. No link, nothing outstanding; the chain reads an old module,
    // although the version list shows "New Version" until it is changed.
    m_session.SetNewVersion(false);
    // 9.
    SetCurSel(idc::PrinterModelList, 0);
    // 10.
    ApplySerialView(true);
    // 11. Focus on the first Tab stop.
    GetDlgItem(idc::Open)->setFocus();
    return true;
}

// --- control access -------------------------------------------------------

QWidget* CVendrillDlg::GetDlgItem(int id) const
{
    const auto it = m_items.find(id);
    return it == m_items.end() ? nullptr : it->second;
}

void CVendrillDlg::EnableWindow(int id, bool on)
{
    if (QWidget* w = GetDlgItem(id)) {
        w->setEnabled(on);
        m_ruled.insert(id);
    }
}

void CVendrillDlg::ShowWindow(int id, bool show)
{
    if (QWidget* w = GetDlgItem(id))
        w->setVisible(show);
}

bool CVendrillDlg::IsDlgButtonChecked(int id) const
{
    const auto* b = qobject_cast<const QAbstractButton*>(GetDlgItem(id));
    return b && b->isChecked();
}

void CVendrillDlg::CheckDlgButton(int id, bool on)
{
    if (auto* b = qobject_cast<QAbstractButton*>(GetDlgItem(id)))
        b->setChecked(on);
}

int CVendrillDlg::GetCurSel(int id) const
{
    const auto* combo = qobject_cast<const QComboBox*>(GetDlgItem(id));
    if (!combo)
        return -1;
    const int index = combo->currentIndex();
    // Typed text that is not the selected item counts as no selection.
    if (combo->isEditable() && index >= 0 && combo->currentText() != combo->itemText(index))
        return -1;
    return index;
}

void CVendrillDlg::SetCurSel(int id, int index)
{
    auto* combo = qobject_cast<QComboBox*>(GetDlgItem(id));
    if (!combo)
        return;
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

std::string CVendrillDlg::GetDlgItemText(int id) const
{
    const QWidget* w = GetDlgItem(id);
    QString text;
    if (const auto* e = qobject_cast<const QLineEdit*>(w))
        text = e->text();
    else if (const auto* c = qobject_cast<const QComboBox*>(w))
        text = c->currentText();
    else if (const auto* l = qobject_cast<const QLabel*>(w))
        text = l->text();
    else if (const auto* b = qobject_cast<const QAbstractButton*>(w))
        text = b->text();
    else if (const auto* p = qobject_cast<const QPlainTextEdit*>(w))
        text = p->toPlainText();
    else if (const auto* g = qobject_cast<const QGroupBox*>(w))
        text = g->title();
    return ToCp949(text);
}

void CVendrillDlg::SetDlgItemText(int id, const std::string& cp949)
{
    QWidget* w = GetDlgItem(id);
    const QString text = FromCp949(id == idc::Status ? WithoutTrailingLineEnd(cp949) : cp949);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        if (e->text() != text)  // keeps the caret where it is when nothing changes
            e->setText(text);
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
        if (c->isEditable())
            c->setEditText(text);  // a list-only box keeps its selection
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        l->setText(text);
        // The status line keeps its accessible name; its message reaches
        // screen readers as the description.
        if (id == idc::Status)
            l->setAccessibleDescription(text);
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(text);
    } else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
        p->setPlainText(text);
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        g->setTitle(text);
    }
}

EditLimit* CVendrillDlg::LimitOf(int id) const
{
    QWidget* w = GetDlgItem(id);
    return w ? w->findChild<EditLimit*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

// --- data exchange ------------------------------------------------------------

bool CVendrillDlg::UpdateData(bool saveAndValidate)
{
    for (const Binding& b : kBindings) {
        if (saveAndValidate) {
            std::string text = GetDlgItemText(b.id);
            if (b.checkedOnGather && b.limit > 0 && text.size() > static_cast<std::size_t>(b.limit)) {
                MessageBox("Enter no more than " + std::to_string(b.limit) + " characters.", MsgIcon::Exclamation);
                return false;  // the member keeps its last valid value
            }
            // The status member keeps the line end that its control does not show.
            if (b.id != idc::Status || WithoutTrailingLineEnd(this->*b.member) != text)
                this->*b.member = std::move(text);
        } else if (!IsListOnly(GetDlgItem(b.id))) {
            SetDlgItemText(b.id, this->*b.member);
        }
        if (b.limit > 0)
            if (EditLimit* v = LimitOf(b.id))
                v->SetLimit(b.limit);
    }
    return true;
}

// A scatter that the program starts on its own must not put back an older
// value over what the user has typed since: the text of the fields a user
// types into is taken into their members first. No length message: the
// typing limits already hold.
void CVendrillDlg::TakeTypedText()
{
    for (const Binding& b : kBindings) {
        const QWidget* w = GetDlgItem(b.id);
        const auto* edit = qobject_cast<const QLineEdit*>(w);
        const auto* combo = qobject_cast<const QComboBox*>(w);
        if ((edit && !edit->isReadOnly()) || (combo && combo->isEditable()))
            this->*b.member = GetDlgItemText(b.id);
    }
}

// --- message boxes and shell ----------------------------------------------------

void CVendrillDlg::MessageBox(const std::string& cp949Text, MsgIcon icon)
{
    const QString text = FromCp949(cp949Text);
    if (m_messageBoxHook) {
        m_messageBoxHook(text);
        return;
    }
    if (!m_openBoxTexts.insert(cp949Text).second) {
        // Replies that keep coming (a module or line noise repeating an error)
        // would otherwise stack one nested box on another without end.
        Trace("Message box already open, not shown again: %s\n", cp949Text.c_str());
        return;
    }
    QMessageBox box(icon == MsgIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    QString::fromUtf8(kMessageBoxCaption), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    m_openBoxTexts.erase(cp949Text);
}

void CVendrillDlg::OnSysCommand(unsigned id)
{
    if ((id & 0xFFF0u) == kIdmAboutBox)
        ShowAboutBox();
    else if ((id & 0xFFF0u) == kScClose)
        close();
}

void CVendrillDlg::ShowAboutBox()
{
    if (m_aboutBoxHook) {
        m_aboutBoxHook();
        return;
    }
    CAboutDlg about(this);
    about.exec();
}

QMenu* CVendrillDlg::CreateSystemMenu(QWidget* parent)
{
    auto* menu = new QMenu(parent);
    menu->addSeparator();
    QAction* about = menu->addAction(QString::fromUtf8(kAboutMenuText));
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(kIdmAboutBox); });
    return menu;
}

void CVendrillDlg::contextMenuEvent(QContextMenuEvent* e)
{
    std::unique_ptr<QMenu> menu(CreateContextMenu(this));
    menu->exec(e->globalPos());
}

const QIcon& CVendrillDlg::AppIcon()
{
    // Made on first use: opening the images (and Qt's first look for image
    // format plugins) would otherwise come before the window first shows.
    if (m_hIcon.isNull())
        m_hIcon = MakeAppIcon();
    return m_hIcon;
}

void CVendrillDlg::paintEvent(QPaintEvent* e)
{
    if ((m_hIcon.isNull() || windowIcon().cacheKey() != m_hIcon.cacheKey()) && !m_iconPending) {
        m_iconPending = true;
        QTimer::singleShot(0, this, [this] {
            m_iconPending = false;
            setWindowIcon(AppIcon());
        });
    }
    if (!isMinimized()) {
        QDialog::paintEvent(e);
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const int side = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    const QSize iconSize(side, side);
    painter.drawPixmap(IconOrigin(rect().size(), iconSize), AppIcon().pixmap(iconSize));
}

// --- events -----------------------------------------------------------------

bool CVendrillDlg::event(QEvent* e)
{
    m_postedEvents.load(std::memory_order_acquire);  // pairs with PostFromReader
    if (e->type() == kCommEvent) {
        if (IsCurrentLinkEvent(e))
            OnCommunication();
        return true;
    }
    if (e->type() == kThreadBoxEvent) {
        ShowThreadBox(static_cast<ThreadBoxEvent*>(e)->box);
        return true;
    }
    if (e->type() == kUsbLostEvent) {
        OnUsbLost(static_cast<UsbLostEvent*>(e)->generation);
        return true;
    }
    if (e->type() == kLineHungUpEvent) {
        OnLineHungUp(static_cast<LineHungUpEvent*>(e)->stamp);
        return true;
    }
    return QDialog::event(e);
}

bool CVendrillDlg::InDialogWindow(QObject* o) const
{
    if (!o->isWidgetType())
        return false;
    const auto* w = static_cast<QWidget*>(o);
    return w == this || w->window() == this;
}

bool CVendrillDlg::eventFilter(QObject* watched, QEvent* e)
{
    // The filter sees a reader's event first; make what the reader wrote
    // before posting it visible here (pairs with PostFromReader).
    m_postedEvents.load(std::memory_order_acquire);
    if (PreTranslateMessage(watched, e))
        return true;
    return QDialog::eventFilter(watched, e);
}

void CVendrillDlg::keyPressEvent(QKeyEvent* e)
{
    // Neither Enter nor Esc may press a default button or close the window.
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        e->accept();
        return;
    default:
        QDialog::keyPressEvent(e);
    }
}

void CVendrillDlg::done(int result)
{
    ShutdownLinks();
    m_timer1.stop();
    QDialog::done(result);
}
