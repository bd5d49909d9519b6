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
    if (m_ActiveLink.load() == Link::Usb)
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
    m_Connected = 0;
    m_strPortName = deviceName;
    const std::string path = vendrill::ResolvePortPath(deviceName);
    if (path.empty() || !m_Serial.Open(path)) {
        m_Status = "Unable to open the port";
        if (!path.empty() && vendrill::IsPermissionError(m_Serial.LastError()))
            ExplainPortRefusal(path);
        else
            UpdatePortToolTip();
        UpdateData(false);
        return false;
    }
    m_Serial.Purge();
    if (!m_Serial.Configure({baudRate, dataBits, parity, stopBits}))
        return false;  // held, not configured: the next Open or Close releases it
    m_Serial.ResetWake();
    BeginLink();
    m_ActiveLink = Link::Serial;
    try {
        m_WatchThread = std::thread(&CVendrillDlg::ThreadWatchComm, this);
    } catch (const std::system_error&) {
        UpdateData(false);
        ClosePort();
        return false;
    }
    UpdatePortToolTip();
    m_Status = "Success";
    UpdateData(false);
    return true;
}

unsigned CVendrillDlg::ThreadWatchComm(CVendrillDlg* dlg)
{
    CSerialPort& port = dlg->m_Serial;
    if (!port.IsOpen()) {
        dlg->ThreadMessageBox("Error while creating ThreadWatchComm, " + dlg->m_strPortName);
        return 0;
    }
    const unsigned link = dlg->m_LinkGeneration.load();
    std::uint8_t buffer[CQueue::QUEUE_SIZE];
    bool hungUp = false;
    while (dlg->m_Connected) {
        if (hungUp) {
            // The line is gone (adapter pulled, other end closed): wait for
            // the close instead of spinning on a dead descriptor.
            port.WaitForWake(-1);
            continue;
        }
        const auto event = port.WaitForData();
        if (event == CSerialPort::WaitResult::Woken)
            continue;
        if (event != CSerialPort::WaitResult::DataArrived) {
            hungUp = true;
            continue;
        }
        // Let the rest of a reply arrive, so that it is announced once.
        if (port.WaitForWake(200))
            continue;
        while (dlg->m_Connected) {
            // At most one byte less than the queue holds: a chunk of the
            // buffer's full size could never be stored, not even into an empty
            // queue, so a steady stream would be dropped chunk after chunk.
            const int n = dlg->ReadComm(buffer, CQueue::QUEUE_SIZE - 1);
            if (n <= 0)
                break;
            if (!StoreChunk(dlg->m_QueueRead, buffer, n)) {
                // Announce what is waiting before the box, so the window can
                // take it while the box is up; otherwise a steady stream would
                // keep the queue full until the line goes quiet.
                dlg->PostFromReader(new CommEvent(link));
                dlg->ThreadMessageBox("m_QueueRead FULL!");
            }
        }
        dlg->PostFromReader(new CommEvent(link));
    }
    return 1;
}

CLink* CVendrillDlg::LinkUp()
{
    switch (m_ActiveLink.load()) {
    case Link::Serial: return &m_Serial;
    case Link::Usb: return &m_UsbDevice;
    case Link::None: break;
    }
    return nullptr;
}

int CVendrillDlg::ReadComm(std::uint8_t* buffer, int size)
{
    CLink* link = LinkUp();
    if (link == nullptr)
        return 0;
    const int n = link->Read(buffer, size);
    return n == CLink::kWoken ? 0 : n;  // a wake is no data
}

int CVendrillDlg::WriteComm(const std::uint8_t* data, int count)
{
    // The link that is up carries the bytes, whichever radio button is on.
    CLink* link = LinkUp();
    if (link == nullptr)
        return 0;
    const int written = link->Write(data, count);
    return written < 0 ? 0 : written;
}

bool CVendrillDlg::ClosePort()
{
    m_Connected = 0;
    if (m_WatchThread.joinable()) {
        m_Serial.Wake();
        CancelThreadBoxes();
        m_WatchThread.join();
    }
    if (m_Serial.IsOpen()) {
        m_Serial.Purge();
        m_Serial.Close();
    }
    m_Serial.ResetWake();
    if (m_ActiveLink.load() == Link::Serial)
        m_ActiveLink = Link::None;
    return true;
}

void CVendrillDlg::OnBnClickedClose()
{
    // "Close" takes down the link that is actually up; with none up the
    // radio button decides, as it always has.
    // A serial port held with refused settings counts as up here too, so that
    // "Close" releases it.
    const Link link = m_ActiveLink.load();
    if (link == Link::Usb ||
        (link == Link::None && !m_Serial.IsOpen() && IsDlgButtonChecked(vendrill::idc::Usb))) {
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
    CancelThreadBoxes();
    ClosePort();
    if (m_USBThread.joinable() || m_UsbDevice.IsOpen())
        USB_Disconnection();
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
        std::lock_guard lock(m_ThreadBoxMutex);
        if (m_CancelThreadBoxes)
            return;
    }
    PostFromReader(new ThreadBoxEvent(box));
    std::unique_lock lock(m_ThreadBoxMutex);
    m_ThreadBoxCv.wait(lock, [&] { return box->dismissed || m_CancelThreadBoxes; });
    // Nobody waits for this box any more: if it has not been shown yet, it
    // must not pop up after the link it belongs to is gone.
    box->dismissed = true;
}

void CVendrillDlg::BeginLink()
{
    {
        std::lock_guard lock(m_ThreadBoxMutex);
        m_CancelThreadBoxes = false;
    }
    // A reply cut off on an earlier link can never be completed on this one:
    // left in place it would be glued to the first reply of the new link.
    m_ReplyText.clear();
    ForgetEarlierLink();
    // Nor is a request sent on that link answered here: its time-out would
    // close this link and its busy flag would refuse this link's requests.
    KillTimer1();
    m_Busy = 0;
    m_Connected = 1;
}

void CVendrillDlg::ForgetEarlierLink()
{
    m_QueueRead.Clear();
    ++m_LinkGeneration;
}

bool CVendrillDlg::IsCurrentLinkEvent(const QEvent* e) const
{
    // Unstamped notifications (posted by tools and tests) count as current.
    const auto* comm = dynamic_cast<const CommEvent*>(e);
    return !comm || comm->link == m_LinkGeneration.load();
}

void CVendrillDlg::PostFromReader(QEvent* event)
{
    m_PostedEvents.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
}

void CVendrillDlg::CancelThreadBoxes()
{
    {
        std::lock_guard lock(m_ThreadBoxMutex);
        m_CancelThreadBoxes = true;
    }
    m_ThreadBoxCv.notify_all();
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
            std::lock_guard lock(m_ThreadBoxMutex);
            box->dismissed = true;
        }
        m_ThreadBoxCv.notify_all();
    };
    {
        std::lock_guard lock(m_ThreadBoxMutex);
        if (box->dismissed)
            return;  // its reader stopped waiting before the box came up
    }
    const QString text = vendrill::FromCp949(box->text);
    if (m_MessageBoxHook) {
        m_MessageBoxHook(text);
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
