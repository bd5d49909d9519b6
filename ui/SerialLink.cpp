// The serial link: "Open" and "Close", and the read and write operations
// that both links share (the session runs the port's watcher).
#include "ui/VendrillDlg.h"

#include "base/Trace.h"
#include "link/OpenError.h"
#include "link/PortName.h"
#include "ui/ControlTable.h"

#include <cstdlib>

using namespace vendrill;

using vendrill::Trace;

namespace {
constexpr int kPortList = vendrill::idc::PortList;
constexpr int kParityList = vendrill::idc::ParityList;
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
    m_serialPath = path;
    ++m_serialStamp;
    const vendrill::LinkResult opened = m_session.OpenPort(path, settings);
    switch (opened.code) {
    case vendrill::LinkResult::Code::CannotOpen:
    case vendrill::LinkResult::Code::AlreadyOpen:
        m_Status = "Unable to open the port";
        if (!path.empty())
            ExplainLinkFailure(Link::Serial, vendrill::SerialOpenError(path, opened.error));
        else
            UpdatePortToolTip();
        UpdateData(false);
        return false;
    case vendrill::LinkResult::Code::CannotConfigure:
        return false;  // released again; the status line keeps its text
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
    const Link link = ActiveLink();
    if (link == Link::Usb || (link == Link::None && IsDlgButtonChecked(vendrill::idc::Usb))) {
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

void CVendrillDlg::ExplainLinkFailure(Link link, const std::string& why)
{
    Trace("%s\n", why.c_str());
    if (QWidget* list = GetDlgItem(link == Link::Usb ? vendrill::idc::PrinterModelList : kPortList))
        list->setToolTip(QString::fromStdString(why));
}

// On the watcher's thread: the line is gone, its watcher waits for the close.
void CVendrillDlg::LineHungUp()
{
    PostFromReader(new LineHungUpEvent(m_serialStamp.load()));
}

void CVendrillDlg::OnLineHungUp(unsigned stamp)
{
    // Only the line last opened; one opened since has not gone away.
    if (stamp == m_serialStamp.load())
        ExplainLinkFailure(Link::Serial, vendrill::LinkLostError(m_serialPath, "the line hung up"));
}

void CVendrillDlg::UpdatePortToolTip()
{
    if (QWidget* port = GetDlgItem(kPortList)) {
        const std::string name = vendrill::DeviceNameForPort(GetDlgItemText(kPortList));
        port->setToolTip(QString::fromStdString(vendrill::ResolvePortPath(name)));
    }
}
