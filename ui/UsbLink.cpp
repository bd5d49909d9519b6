// The USB printer link: discovery, connect and disconnect (the session
// runs the reader).
#include "ui/VendrillDlg.h"

#include "base/Trace.h"
#include "link/UsbPrinter.h"

using vendrill::Trace;

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
    if (m_Connected == 1) {
        Trace("Already Connected\n");
        m_Status = "Already Connected\n";
        UpdateData(false);
        return false;
    }
    Trace("USB_Connection -1\n");
    const int fd = GetDeviceViaInterface(0);
    Trace("USB_Connection -2\n");
    if (!m_session.AttachUsb(fd)) {
        Trace("DGPCI Device Open failed\n");
        m_Status = "Unable open the port!";
        UpdateData(false);
        return false;
    }
    m_Status = "USB connection success";
    UpdateData(false);
    const bool started = bool(m_session.StartUsb());
    UpdateData(false);
    return started;
}

bool CVendrillDlg::USB_Disconnection()
{
    return m_session.USB_Disconnection();
}

void CVendrillDlg::OnUsbLost(unsigned generation)
{
    m_session.UsbLost(generation);
}
