// The USB printer link: discovery, connect and disconnect, the reader thread
// and the USB branches of the shared read and write operations.
#include "ui/VendrillDlg.h"

#include "base/Trace.h"
#include "link/UsbPrinter.h"

#include <QCoreApplication>

#include <chrono>
#include <thread>

using vendrill::Trace;
using vendrill::usb::CUsbPrinter;

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
    // A reader that ended after a failed read may still wait to be joined.
    StopUsbReader();
    Trace("USB_Connection -1\n");
    const int fd = GetDeviceViaInterface(0);
    Trace("USB_Connection -2\n");
    if (fd < 0 || !m_UsbDevice.Attach(fd)) {
        Trace("DGPCI Device Open failed\n");
        m_Status = "Unable open the port!";
        UpdateData(false);
        return false;
    }
    m_Status = "USB connection success";
    UpdateData(false);
    m_UsbDevice.ResetWake();
    BeginLink();
    m_USBThreadRun = 1;
    m_ActiveLink = Link::Usb;
    ++m_UsbGeneration;
    Trace("Open Success -1\n");
    try {
        m_USBThread = std::thread(&CVendrillDlg::TestUSBReadThread, this, m_UsbGeneration.load());
    } catch (const std::system_error&) {
        m_Connected = 0;
        m_USBThreadRun = 0;
        m_ActiveLink = Link::None;
        m_UsbDevice.Close();
    }
    Trace("Open Success -2\n");
    UpdateData(false);
    return m_USBThread.joinable();
}

bool CVendrillDlg::USB_Disconnection()
{
    m_Connected = 0;
    m_USBThreadRun = 0;
    Trace("USB_Disconnection\n");
    if (m_USBThread.joinable()) {
        Trace("USB_Disconnection-1\n");
        Trace("USB_Disconnection-2\n");
        StopUsbReader();
        Trace("USB_Disconnection-3\n");
    }
    m_UsbDevice.Close();
    if (m_ActiveLink.load() == Link::Usb)
        m_ActiveLink = Link::None;
    Trace("USB_Disconnection-4\n");
    return true;
}

// Ends the reader at once, also while it blocks in a read or waits on a
// message box, and joins it; nothing of it runs after this returns.
void CVendrillDlg::StopUsbReader()
{
    if (!m_USBThread.joinable())
        return;
    m_USBThreadRun = 0;
    m_UsbDevice.Wake();  // ends a blocked read and the reader's pauses
    CancelThreadBoxes();
    m_USBThread.join();
    m_UsbDevice.ResetWake();
}

bool CVendrillDlg::UsbPause(int ms)
{
    return !m_UsbDevice.WaitForWake(ms);
}

unsigned CVendrillDlg::TestUSBReadThread(CVendrillDlg* dlg, unsigned generation)
{
    const unsigned link = dlg->m_LinkGeneration.load();
    std::uint8_t buffer[CQueue::QUEUE_SIZE];
    while (dlg->m_USBThreadRun) {
        do {
            if (!dlg->UsbPause(50))
                break;
            // Read no more than the queue can take, so that no chunk is ever
            // dropped: a full-size read could not be stored even into an empty
            // queue, and bytes read while the window lags behind would be lost.
            // Until the window makes room, the bytes wait in the device.
            const int room = CQueue::QUEUE_SIZE - 1 - dlg->m_QueueRead.GetCount();
            if (room <= 0)
                continue;
            Trace("TestUSBReadThread - 2\n");
            dlg->m_USBReadCount = 0;
            const int n = dlg->ReadComm(buffer, room);
            if (n < 0)
                Trace("Readcomm error reading\n");
            Trace("Read data: %d\n", n);
            dlg->m_USBReadCount = n;
            Trace("TestUSBReadThread - 3\n");
            Trace("TestUSBReadThread: bulk read %d bytes\n", n);
            if (!dlg->m_USBThreadRun)
                break;  // a disconnect is under way: queue and post nothing more
            if (n < 0) {
                Trace("TestUSBReadThread - 4\n");
                dlg->m_USBThreadRun = 0;
                if (dlg->UsbPause(1500)) {
                    dlg->ThreadMessageBox("Disconnect the USB communication. Connect the USB port again!");
                    // The link goes down on the user-interface thread, which
                    // joins this thread and releases the device.
                    dlg->m_Connected = 0;
                    dlg->PostFromReader(new UsbLostEvent(generation));
                }
                break;
            }
            if (StoreChunk(dlg->m_QueueRead, buffer, n))
                Trace("TestUSBReadThread - 5\n");
            else
                dlg->ThreadMessageBox("m_QueueRead FULL!");
            dlg->PostFromReader(new CommEvent(link));
        } while (dlg->m_USBReadCount > 0 && dlg->m_USBThreadRun);
        Trace("TestUSBReadThread - 6\n");
    }
    Trace("TestUSBReadThread - 7\n");
    return 1;
}

void CVendrillDlg::OnUsbLost(unsigned generation)
{
    // Only the link that failed goes down, not one opened since.
    if (generation != m_UsbGeneration.load() || m_USBThreadRun)
        return;
    StopUsbReader();
    m_UsbDevice.Close();
    if (m_ActiveLink.load() == Link::Usb)
        m_ActiveLink = Link::None;
}

