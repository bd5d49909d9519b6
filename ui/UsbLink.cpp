// The USB printer link: discovery, connect and disconnect (the session
// runs the reader).
#include "ui/VendrillDlg.h"

#include "link/UsbPrinter.h"

CVendrillDlg* CVendrillDlg::MainWindow()
{
    return s_MainWindow.load();
}

int GetDeviceViaInterface(int index)
{
    CVendrillDlg* dlg = CVendrillDlg::MainWindow();
    return vendrill::usb::FindPrinter(index, [dlg](const char* text) {
        if (dlg)
            dlg->MessageBox(text);
    });
}

bool CVendrillDlg::USB_Connection()
{
    TakeTypedText();
    // The session writes the trace lines of the connect.
    const vendrill::LinkResult connected = m_session.ConnectUsb([] { return GetDeviceViaInterface(0); });
    switch (connected.code) {
    case vendrill::LinkResult::Code::AlreadyOpen: m_Status = "Already Connected\n"; break;
    case vendrill::LinkResult::Code::CannotOpen:
    case vendrill::LinkResult::Code::CannotConfigure: m_Status = "Unable open the port!"; break;
    case vendrill::LinkResult::Code::NoThread:
    case vendrill::LinkResult::Code::Ok: m_Status = "USB connection success"; break;
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
    m_session.UsbLost(generation);
}
