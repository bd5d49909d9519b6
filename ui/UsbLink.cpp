// The USB printer link: discovery, connect and disconnect (the session
// runs the reader).
#include "ui/VendrillDlg.h"

#include "link/OpenError.h"
#include "link/UsbPrinter.h"
#include "ui/ControlTable.h"

CVendrillDlg* CVendrillDlg::MainWindow()
{
    return s_MainWindow.load();
}

int GetDeviceViaInterface(int index, std::string* node)
{
    CVendrillDlg* dlg = CVendrillDlg::MainWindow();
    return vendrill::usb::FindPrinter(
        index,
        [dlg](const char* text) {
            if (dlg)
                dlg->MessageBox(text);
        },
        node);
}

bool CVendrillDlg::USB_Connection()
{
    TakeTypedText();
    // The session writes the trace lines of the connect.
    std::string node;
    const vendrill::LinkResult connected = m_session.ConnectUsb([&node] { return GetDeviceViaInterface(0, &node); });
    switch (connected.code) {
    case vendrill::LinkResult::Code::AlreadyOpen: m_Status = "Already Connected\n"; break;
    case vendrill::LinkResult::Code::CannotOpen:
    case vendrill::LinkResult::Code::CannotConfigure:
        m_Status = "Unable open the port!";
        ExplainLinkFailure(Link::Usb, vendrill::UsbOpenError(connected.error));
        break;
    case vendrill::LinkResult::Code::NoThread:
    case vendrill::LinkResult::Code::Ok:
        m_Status = "USB connection success";
        m_usbNode = node;
        GetDlgItem(vendrill::idc::PrinterModelList)->setToolTip(QString());
        break;
    }
    UpdateData(false);
    return bool(connected);
}

bool CVendrillDlg::USB_Disconnection()
{
    return m_session.DisconnectUsb();
}

void CVendrillDlg::OnUsbLost(unsigned generation)
{
    // Only the link that failed goes down; one opened since stays.
    const bool up = ActiveLink() == Link::Usb;
    m_session.UsbLost(generation);
    if (up && ActiveLink() == Link::None)
        ExplainLinkFailure(Link::Usb, vendrill::LinkLostError(m_usbNode, "reading from it failed"));
}
