// The serial link: "Open" and "Close", the port's watcher thread, and the
// read and write operations that both links share.
#include "ui/VendrillDlg.h"

#include "base/Trace.h"
#include "link/OpenError.h"
#include "link/PortName.h"
#include "ui/ControlTable.h"
#include "ui/Cp949.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <cstdlib>

using namespace vendrill;

using vendrill::Trace;

namespace {
constexpr int kPortList = vendrill::idc::PortList;
constexpr int kParityList = vendrill::idc::ParityList;
// Object name of the boxes shown for a reader thread.
constexpr const char* kThreadBoxName = "vendrillThreadBox";
}  // namespace

void CVendrillDlg::OnBnClickedOpen()
{
    if (IsDlgButtonChecked(vendrill::idc::Usb)) {
        USB_Connection();
        return;
    }
    // Only one link feeds the receive queue at a time: a USB link that is
    // still up is taken down before the serial port opens.
    if (ActiveLink() == Link::Usb)
        USB_Disconnection();
    ClosePort();
    UpdateData(true);
    const std::string deviceName = vendrill::DeviceNameForPort(m_PortText);
    m_dwBaudRate = static_cast<std::uint32_t>(std::strtoul(m_BaudText.c_str(), nullptr, 10));
    const int parity = GetCurSel(kParityList);
    m_byParity = static_cast<std::uint8_t>(parity < 0 ? 0 : parity);
    m_byDataBits = static_cast<std::uint8_t>(std::atoi(m_DataBitsText.c_str()));
    const int stop = std::atoi(m_StopBitText.c_str());
    m_byStopBits = static_cast<std::uint8_t>(stop == 1 ? 0 : stop);
    OpenPort(deviceName, m_dwBaudRate, m_byDataBits, m_byParity, m_byStopBits);
    UpdateData(false);
}

bool CVendrillDlg::OpenPort(const std::string& deviceName, std::uint32_t baudRate, std::uint8_t dataBits,
                            std::uint8_t parity, std::uint8_t stopBits)
{
    m_strPortName = deviceName;
    const std::string path = vendrill::ResolvePortPath(deviceName);
    const CSerialPort::Settings settings{baudRate, dataBits, static_cast<CSerialPort::Parity>(parity),
                                         static_cast<CSerialPort::StopBits>(stopBits)};
    const vendrill::LinkResult opened = m_session.OpenPort(path, settings);
    switch (opened.code) {
    case vendrill::LinkResult::Code::CannotOpen:
        m_Status = "Unable to open the port";
        if (!path.empty() && vendrill::IsPermissionError(opened.error))
            ExplainPortRefusal(path);
        else
            UpdatePortToolTip();
        UpdateData(false);
        return false;
    case vendrill::LinkResult::Code::CannotConfigure:
        return false;  // held, not configured: the next Open or Close releases it
    case vendrill::LinkResult::Code::NoThread:
        UpdateData(false);
        return false;
    case vendrill::LinkResult::Code::Ok:
        break;
    }
    UpdatePortToolTip();
    m_Status = "Success";
    UpdateData(false);
    return true;
}

int CVendrillDlg::ReadComm(std::uint8_t* buffer, int size)
{
    return m_session.ReadComm(buffer, size);
}

int CVendrillDlg::WriteComm(const std::uint8_t* data, int count)
{
    // The link that is up carries the bytes, whichever radio button is on.
    return m_session.WriteComm(data, count);
}

bool CVendrillDlg::ClosePort()
{
    return m_session.ClosePort();
}

void CVendrillDlg::OnBnClickedClose()
{
    // "Close" takes down the link that is actually up; with none up the
    // radio button decides, as it always has.
    // A serial port held with refused settings counts as up here too, so that
    // "Close" releases it.
    const Link link = ActiveLink();
    if (link == Link::Usb ||
        (link == Link::None && !m_session.IsSerialHeld() && IsDlgButtonChecked(vendrill::idc::Usb))) {
        m_Status = "USB Disconnection";
        USB_Disconnection();
    } else {
        m_Status = "Close Port";
        ClosePort();
    }
    ClearDisplayedValues();
    UpdateData(false);
}

void CVendrillDlg::ShutdownLinks()
{
    m_session.Shutdown();
}

// The status line keeps its short text; the Port tool tip and the trace say
// which group owns the port and how to get in.
void CVendrillDlg::ExplainPortRefusal(const std::string& path)
{
    const std::string why = vendrill::PermissionExplanation(path);
    Trace("%s\n", why.c_str());
    if (QWidget* port = GetDlgItem(kPortList))
        port->setToolTip(QString::fromStdString(why));
}

void CVendrillDlg::UpdatePortToolTip()
{
    if (QWidget* port = GetDlgItem(kPortList)) {
        const std::string name = vendrill::DeviceNameForPort(GetDlgItemText(kPortList));
        port->setToolTip(QString::fromStdString(vendrill::ResolvePortPath(name)));
    }
}

// Reader threads show their message boxes through the user-interface thread
// and wait for the OK there; a close ends the wait, so no close can deadlock
// on a box.
void CVendrillDlg::ThreadMessageBox(const std::string& text)
{
    auto box = std::make_shared<PendingThreadBox>();
    box->text = text;
    {
        std::lock_guard lock(m_threadBoxMutex);
        if (m_cancelThreadBoxes)
            return;
    }
    PostFromReader(new ThreadBoxEvent(box));
    std::unique_lock lock(m_threadBoxMutex);
    m_threadBoxCv.wait(lock, [&] { return box->dismissed || m_cancelThreadBoxes; });
    // Nobody waits for this box any more: if it has not been shown yet, it
    // must not pop up after the link it belongs to is gone.
    box->dismissed = true;
}

bool CVendrillDlg::IsCurrentLinkEvent(const QEvent* e) const
{
    // Unstamped notifications (posted by tools and tests) count as current.
    const auto* comm = dynamic_cast<const CommEvent*>(e);
    return !comm || m_session.IsCurrentLink(comm->link);
}

void CVendrillDlg::PostFromReader(QEvent* event)
{
    m_postedEvents.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
}

// --- what the session's reader threads tell the dialog ----------------------------

void CVendrillDlg::Arrived(unsigned link)
{
    PostFromReader(new CommEvent(link));
}

// The window drops a chunk the queue cannot take, and says so.
bool CVendrillDlg::QueueFull(unsigned)
{
    return false;
}

void CVendrillDlg::ReaderMessage(const std::string& text)
{
    ThreadMessageBox(text);
}

void CVendrillDlg::UsbGone(unsigned generation)
{
    PostFromReader(new UsbLostEvent(generation));
}

void CVendrillDlg::AllowReaderWaits()
{
    std::lock_guard lock(m_threadBoxMutex);
    m_cancelThreadBoxes = false;
}

void CVendrillDlg::CancelReaderWaits()
{
    {
        std::lock_guard lock(m_threadBoxMutex);
        m_cancelThreadBoxes = true;
    }
    m_threadBoxCv.notify_all();
    // Boxes still on screen belong to a reader that no longer waits for them.
    for (QMessageBox* mb : findChildren<QMessageBox*>(QString::fromLatin1(kThreadBoxName),
                                                      Qt::FindDirectChildrenOnly)) {
        mb->done(QMessageBox::Ok);
        mb->deleteLater();
    }
}

void CVendrillDlg::ShowThreadBox(const std::shared_ptr<PendingThreadBox>& box)
{
    auto dismiss = [this, box] {
        {
            std::lock_guard lock(m_threadBoxMutex);
            box->dismissed = true;
        }
        m_threadBoxCv.notify_all();
    };
    {
        std::lock_guard lock(m_threadBoxMutex);
        if (box->dismissed)
            return;  // its reader stopped waiting before the box came up
    }
    const QString text = vendrill::FromCp949(box->text);
    if (m_messageBoxHook) {
        m_messageBoxHook(text);
        dismiss();
        return;
    }
    auto* mb = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Vendrill"), text, QMessageBox::Ok, this);
    mb->setObjectName(QString::fromLatin1(kThreadBoxName));
    mb->setTextFormat(Qt::PlainText);
    mb->setAttribute(Qt::WA_DeleteOnClose);
    mb->setWindowModality(Qt::NonModal);
    connect(mb, &QMessageBox::finished, this, dismiss);
    mb->show();
}
