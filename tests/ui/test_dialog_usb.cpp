// The dialog over the USB printer link, against printers in a umockdev test
// bed whose printer side the test plays: discovery, a request and its reply,
// a printer that goes away, the link that stays up when the radio buttons
// change, and clean shutdown (the chain and the trace over USB: tests/session). The binary restarts itself under the umockdev
// preload (usb_preload.h).
// First: GLib's headers use names that Qt defines as keywords.
#include "UsbTestbed.h"

#include "DialogTestUtil.h"
#include "usb_preload.h"

#include "sim/SimHost.h"
#include "ui/ControlTable.h"

#include <QMessageBox>
#include <QTemporaryDir>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace vendrill;
using Link = CVendrillDlg::Link;

namespace {

const std::string kLp0 = "/dev/usb/lp0";
const std::string kLp1 = "/dev/usb/lp1";
const std::string kSysPrinter2a92 = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";  // printer_2a92
const QString kNotOurs = QStringLiteral("This is NOT HOLLINDE printer.");
const QString kUsbGone = QStringLiteral("Disconnect the USB communication. Connect the USB port again!");
constexpr int kWaitMs = 10000;

// Plugs in the 2A92 printer at lp0; its far end, or -1.
int PlugPrinter(UsbTestbed& bed)
{
    return bed.Load("printer_2a92") ? bed.PrinterSide(kLp0) : -1;
}

QByteArray Bytes(const std::string& s) { return QByteArray::fromStdString(s); }

std::string Request(char command) { return std::string("\x1b~") + command; }

std::string Reply(char command, const std::string& data)
{
    return std::string("\x02VR") + command + data + '\x03';
}

QString LevelText(char level)
{
    return QStringLiteral("Mode %1 (%2)").arg(QChar(level), level == '1' ? "Not Use Pinkey" : "Use Pinkey");
}

// Writes all of bytes to the printer side, waiting for room when needed.
bool WriteAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kWaitMs) <= 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

struct FdGuard {
    explicit FdGuard(int f) : fd(f) {}
    ~FdGuard()
    {
        if (fd >= 0)
            close(fd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int fd;
};

// Only meaningful after a round trip on another line has completed.
bool NothingWaiting(int fd)
{
    // A printer side whose node nobody holds also reports a hang-up.
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && !(p.revents & POLLIN);
}

// The simulated module's line, which the serial link opens too; not a printer node.
std::string g_SerialSide;

// Descriptors open on a USB printer node: like OpenPrinterNodeCount(), but
// the serial side's pseudo-terminal is not counted.
int UsbNodeCount()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target != g_SerialSide && (target.rfind("/dev/pts/", 0) == 0 || target.rfind("/dev/usb/", 0) == 0))
            ++n;
    }
    return n;
}

// One request and its answer through the printer side: Get Level, answered
// with the given digit. Proves that the link both writes and reads.
void LevelRoundTrip(RecordingDialog& d, int printer, char level)
{
    QVERIFY(!d->Session().IsBusy());
    d->OnBnClickedGetLevel();
    QCOMPARE(Bytes(ReadExactly(printer, 3)), Bytes(Request('6')));
    QVERIFY(WriteAll(printer, Reply('6', std::string(1, level))));
    QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), LevelText(level), kWaitMs);
    QVERIFY(!d->Session().IsBusy());
    QVERIFY(!d->IsTimer1Running());
}

#define ROUND_TRIP(d, printer, level)              \
    do {                                           \
        LevelRoundTrip(d, printer, level);         \
        if (QTest::currentTestFailed())            \
            return;                                \
    } while (false)

void ExpectDown(RecordingDialog& d)
{
    QVERIFY(!d->Session().IsConnected());
    QVERIFY(!d->IsUsbReaderRunning());
    QVERIFY(d->ActiveLink() == Link::None);
    QCOMPARE(UsbNodeCount(), 0);
}

#define EXPECT_DOWN(d)                  \
    do {                                \
        ExpectDown(d);                  \
        if (QTest::currentTestFailed()) \
            return;                     \
    } while (false)

// Waits until thread tid blocks in poll (a write waiting for room), or gives
// up after a generous time; either way the caller goes on.
void WaitUntilBlockedInPoll(pid_t tid)
{
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream f(path);
        long nr = -1;
        if (f >> nr) {
#ifdef SYS_poll
            if (nr == SYS_poll)
                return;
#endif
            if (nr == SYS_ppoll)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

class DialogUsbTest : public QObject {
    Q_OBJECT

    CSimHost m_sim;  // the serial side, for the radio-button cases
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_sim.Start());
        g_SerialSide = m_sim.SlavePath();
        // While a test bed exists, the preload takes over every /dev/pts node
        // opened by its /dev name and answers its terminal requests itself;
        // a name outside /dev leaves the serial side a plain terminal.
        QVERIFY(m_dir.isValid());
        const std::string com1 = m_dir.filePath(QStringLiteral("com1")).toStdString();
        QVERIFY(::symlink(g_SerialSide.c_str(), com1.c_str()) == 0);
        ::setenv("VENDRILL_COM1", com1.c_str(), 1);
    }
    void cleanupTestCase() { m_sim.Stop(); }
    void init()
    {
        m_sim.SetOptions({});
        m_sim.SetState({});
    }

    // --- discovery ----------------------------------------------------------

    void acceptedVendorsWhateverProductAndModel_data()
    {
        QTest::addColumn<QString>("vid");
        QTest::addColumn<QString>("pid");
        QTest::addColumn<int>("model");
        QTest::newRow("2a92, HOLLINDE selected") << "2a92" << "0003" << 0;
        QTest::newRow("2a92, STAR selected") << "2a92" << "ffff" << 1;
        QTest::newRow("0519, STAR selected") << "0519" << "fffe" << 1;
        QTest::newRow("0519, HOLLINDE selected") << "0519" << "0000" << 0;
        QTest::newRow("upper-case identity") << "2A92" << "ABCD" << 1;
    }
    void acceptedVendorsWhateverProductAndModel()
    {
        QFETCH(QString, vid);
        QFETCH(QString, pid);
        QFETCH(int, model);
        UsbTestbed bed;
        bed.AddPrinter("1-4", vid.toStdString(), pid.toStdString(), "SN0001", 0);
        const int printer = bed.PrinterSide(kLp0);
        QVERIFY(printer >= 0);
        RecordingDialog d;
        Click(d, idc::Usb);
        d->SetCurSel(idc::PrinterModelList, model);
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB connection success"));
        QCOMPARE(d->GetDlgItemText(idc::Status), std::string("USB connection success"));
        QVERIFY(d->Session().IsConnected());
        QVERIFY(d->IsUsbReaderRunning());
        QVERIFY(d->ActiveLink() == Link::Usb);
        QCOMPARE(UsbNodeCount(), 1);
        ROUND_TRIP(d, printer, '3');
        QVERIFY(d.messages.isEmpty());
        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB Disconnection"));
        EXPECT_DOWN(d);
    }

    void firstOfTwoMatchingPrintersIsOpened_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("2a92 before 0519") << "2a92" << "0519";
        QTest::newRow("0519 before 2a92") << "0519" << "2a92";
        QTest::newRow("same vendor twice") << "2a92" << "2a92";
    }
    void firstOfTwoMatchingPrintersIsOpened()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        UsbTestbed bed;
        // Added in reverse, so that the order is the enumeration's, not the bed's.
        bed.AddPrinter("1-6", second.toStdString(), "0002", "B0002", 1);
        bed.AddPrinter("1-5", first.toStdString(), "0001", "A0001", 0);
        const int lp0 = bed.PrinterSide(kLp0);
        const int lp1 = bed.PrinterSide(kLp1);
        QVERIFY(lp0 >= 0 && lp1 >= 0);
        RecordingDialog d;
        OpenUsb(d);
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB connection success"));
        QCOMPARE(UsbNodeCount(), 1);
        ROUND_TRIP(d, lp0, '1');
        QVERIFY(NothingWaiting(lp1));
        // A reply on the other printer's line reaches nobody.
        QVERIFY(WriteAll(lp1, Reply('6', "2")));
        ROUND_TRIP(d, lp0, '3');
        QVERIFY(d.messages.isEmpty());
    }

    void noAcceptedPrinterIsReportedOnce_data()
    {
        QTest::addColumn<bool>("others");
        QTest::newRow("only other printers and devices") << true;
        QTest::newRow("nothing plugged in") << false;
    }
    void noAcceptedPrinterIsReportedOnce()
    {
        QFETCH(bool, others);
        UsbTestbed bed;
        if (others) {
            QVERIFY(bed.Load("printer_other"));
            QVERIFY(bed.Load("hiddev_2a92"));           // right vendor, not a printer node
            bed.AddPrinter("1-7", "2a9", "0003", "SHORT", 3);    // a short id shifts the key's fields
            bed.AddPrinter("1-8", "0591", "0003", "TURNED", 4);
            QVERIFY(bed.PrinterSide("/dev/usb/lp3") >= 0);
        }
        RecordingDialog d;
        OpenUsb(d);
        QCOMPARE(d.messages, QStringList{kNotOurs});
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable open the port!"));
        QCOMPARE(d->GetDlgItemText(idc::Status), std::string("Unable open the port!"));
        EXPECT_DOWN(d);
        d->OnBnClickedGetInfo();  // nothing is sent while the link is down
        QVERIFY(!d->Session().IsBusy());
    }

    void printerThatCannotBeOpenedGivesNoMessage()
    {
        UsbTestbed bed;
        QVERIFY(bed.Load("printer_2a92"));
        bed.DeleteNode(kLp0);
        RecordingDialog d;
        OpenUsb(d);
        QVERIFY(d.messages.isEmpty());
        QCOMPARE(Text(d->m_Status), QStringLiteral("Unable open the port!"));
        EXPECT_DOWN(d);
    }

    // The window keeps its box and status; the Printer Model list, which
    // stands where the Port list does in the USB view, and a trace line say
    // what vendrill-cli says: nothing plugged in, only other makers'
    // printers, a node that cannot be opened, a printer that went away.
    void failuresAreExplainedInToolTipAndTrace()
    {
        RecordingDialog d;
        QWidget* model = d->GetDlgItem(idc::PrinterModelList);
        std::string trace;
        const auto tip = [&] { return model->toolTip().toStdString(); };
        const auto open = [&] {
            StdoutCapture capture;
            OpenUsb(d);
            trace = capture.Stop();
        };
        {
            UsbTestbed bed;
            open();
            QCOMPARE(tip(), std::string("no USB printer found (no /dev/usb/lp* printer node)"));
            QVERIFY2(trace.find(tip() + "\n") != std::string::npos, trace.c_str());
            QVERIFY(bed.Load("printer_other"));
            open();
            QCOMPARE(tip(), std::string("no USB printer of an accepted vendor (2A92, 0519) found; present: "
                                        "/dev/usb/lp2 (vendor 04B8, product 0202)"));
            QVERIFY2(trace.find(tip() + "\n") != std::string::npos, trace.c_str());
            QCOMPARE(d.messages, (QStringList{kNotOurs, kNotOurs}));
        }
        {
            UsbTestbed bed;
            QVERIFY(bed.Load("printer_2a92"));
            bed.DeleteNode(kLp0);
            open();
            QVERIFY2(tip().rfind("the USB printer's node " + kLp0 + " is gone", 0) == 0, tip().c_str());
            QVERIFY2(trace.find(tip() + "\n") != std::string::npos, trace.c_str());
        }
        UsbTestbed bed;
        QVERIFY(PlugPrinter(bed) >= 0);
        open();
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB connection success"));
        QCOMPARE(model->toolTip(), QString());
        StdoutCapture capture;
        bed.Unplug(kSysPrinter2a92, kLp0);
        QTRY_VERIFY_WITH_TIMEOUT(!model->toolTip().isEmpty(), kWaitMs);
        trace = capture.Stop();
        QVERIFY2(tip().rfind(kLp0 + " went away during use", 0) == 0 ||
                     tip().rfind("the connection through " + kLp0 + " was lost", 0) == 0,
                 tip().c_str());
        QVERIFY2(trace.find(tip() + "\n") != std::string::npos, trace.c_str());
        QCOMPARE(d.messages, (QStringList{kNotOurs, kNotOurs, kUsbGone}));
    }

    // --- failures -------------------------------------------------------------

    void printerRemovedWhileTheReaderWaits()
    {
        UsbTestbed bed;
        const int printer = PlugPrinter(bed);
        QVERIFY(printer >= 0);
        char unplugged[64] = {};
        QCOMPARE(ptsname_r(printer, unplugged, sizeof unplugged), 0);
        RecordingDialog d;
        OpenUsb(d);
        QVERIFY(d->IsUsbReaderRunning());

        bed.Unplug(kSysPrinter2a92, kLp0);
        QTRY_COMPARE_WITH_TIMEOUT(d.messages, QStringList{kUsbGone}, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!d->IsUsbReaderRunning(), kWaitMs);
        EXPECT_DOWN(d);
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB connection success"));  // the box said it all

        // Plugged in again: a new device and a new reader. The bed keeps the
        // unplugged node's entry under its terminal number, so that number is
        // held here and the new node gets a fresh one. Other programs take and
        // free terminals meanwhile, so terminals are taken until that very
        // number is held (or another program holds it).
        std::vector<std::unique_ptr<FdGuard>> held;
        for (int k = 0; k < 64; ++k) {
            held.push_back(std::make_unique<FdGuard>(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)));
            QVERIFY(held.back()->fd >= 0);
            char name[64] = {};
            if (ptsname_r(held.back()->fd, name, sizeof name) == 0 && std::strcmp(name, unplugged) == 0)
                break;
        }
        bed.AddPrinter("1-9", "2a92", "0003", "HL0001", 5);
        const int again = bed.PrinterSide("/dev/usb/lp5");
        QVERIFY(again >= 0);
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB connection success"));
        QVERIFY(d->Session().IsConnected());
        QVERIFY(d->IsUsbReaderRunning());
        QCOMPARE(UsbNodeCount(), 1);
        ROUND_TRIP(d, again, '2');
        QCOMPARE(d.messages, QStringList{kUsbGone});
        d->OnBnClickedClose();
        EXPECT_DOWN(d);
    }

    void printerGoneDuringAWrite()
    {
        UsbTestbed bed;
        QVERIFY(PlugPrinter(bed) >= 0);
        RecordingDialog d;
        OpenUsb(d);
        QVERIFY(d->IsUsbReaderRunning());

        // Fill the way to the printer, which reads nothing, so that the
        // dialog's next write has to wait for room.
        FdGuard fill(open(kLp0.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        const int filler = fill.fd;
        QVERIFY(filler >= 0);
        const std::string chunk(4096, 'f');
        for (;;) {
            while (write(filler, chunk.data(), chunk.size()) > 0) {
            }
            pollfd p{filler, POLLOUT, 0};
            if (poll(&p, 1, 200) <= 0)
                break;  // stays full
        }
        std::thread unplug([&bed, tid = getpid()] {
            WaitUntilBlockedInPoll(tid);
            bed.Unplug(kSysPrinter2a92, kLp0);
        });
        d->OnBnClickedGetInfo();  // Get BDA: its write waits, then the printer is gone
        unplug.join();
        close(filler);
        fill.fd = -1;

        QVERIFY(d->Session().IsBusy());
        QTRY_VERIFY_WITH_TIMEOUT(d.messages.contains(kTimeout), kWaitMs);
        QCOMPARE(d.messages.count(kTimeout), 1);
        QVERIFY(d.messages.count(kUsbGone) <= 1);
        QTRY_VERIFY_WITH_TIMEOUT(!d->IsUsbReaderRunning(), kWaitMs);
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB Disconnection"));
        QVERIFY(!d->Session().IsBusy());
        QVERIFY(d->m_CurrentBDA.empty());
        EXPECT_DOWN(d);
    }

    // --- buttons ----------------------------------------------------------------

    void openTwiceOnlySaysAlreadyConnected()
    {
        UsbTestbed bed;
        const int printer = PlugPrinter(bed);
        QVERIFY(printer >= 0);
        RecordingDialog d;
        OpenUsb(d);
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB connection success"));
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Already Connected\n"));
        // The one-line status control shows the whole text, without the line end.
        QCOMPARE(d->GetDlgItemText(idc::Status), std::string("Already Connected"));
        QCOMPARE(d->GetDlgItem(idc::Status)->accessibleDescription(), QStringLiteral("Already Connected"));
        QVERIFY(d->Session().IsConnected());
        QVERIFY(d->IsUsbReaderRunning());
        QCOMPARE(UsbNodeCount(), 1);
        ROUND_TRIP(d, printer, '1');
        QVERIFY(d.messages.isEmpty());
    }

    void closeBeforeAnyOpen()
    {
        RecordingDialog d;
        Click(d, idc::Usb);
        d->m_CurrentBDA = "00190199A1B2";
        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB Disconnection"));
        QCOMPARE(d->GetDlgItemText(idc::Status), std::string("USB Disconnection"));
        QVERIFY(d->m_CurrentBDA.empty());
        QVERIFY(d.messages.isEmpty());
        EXPECT_DOWN(d);
    }

    // --- the radio buttons while a link is up -----------------------------------

    void serialLinkKeepsWorkingWhenUsbIsSelected()
    {
        UsbTestbed bed;
        const int printer = PlugPrinter(bed);
        QVERIFY(printer >= 0);
        RecordingDialog d;
        d->OnBnClickedOpen();  // "Serial" is on at start
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QVERIFY(d->ActiveLink() == Link::Serial);

        Click(d, idc::Usb);
        QVERIFY(d->IsDlgButtonChecked(idc::Usb));
        const auto before = m_sim.RequestCount();
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), kWaitMs);
        QCOMPARE(Text(d->m_CurrentBDA), QStringLiteral("00190199A1B2"));
        QCOMPARE(m_sim.RequestCount() - before, std::uint64_t{4});
        QVERIFY(NothingWaiting(printer));

        // A USB "Open" while the serial link is up changes nothing but the status.
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Already Connected\n"));
        QVERIFY(d->ActiveLink() == Link::Serial);
        QVERIFY(d->IsWatcherRunning());
        QVERIFY(!d->IsUsbReaderRunning());
        QCOMPARE(UsbNodeCount(), 0);

        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
        QVERIFY(!d->IsWatcherRunning());
        QVERIFY(d.messages.isEmpty());
        EXPECT_DOWN(d);
    }

    void usbLinkKeepsWorkingWhenSerialIsSelected()
    {
        UsbTestbed bed;
        const int printer = PlugPrinter(bed);
        QVERIFY(printer >= 0);
        RecordingDialog d;
        OpenUsb(d);
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB connection success"));

        Click(d, idc::Serial);
        QVERIFY(!d->IsDlgButtonChecked(idc::Usb));
        const auto before = m_sim.RequestCount();
        ROUND_TRIP(d, printer, '3');
        QCOMPARE(m_sim.RequestCount(), before);
        QVERIFY(d->ActiveLink() == Link::Usb);
        QVERIFY(!d->IsWatcherRunning());

        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("USB Disconnection"));
        QVERIFY(d.messages.isEmpty());
        EXPECT_DOWN(d);
    }

    void serialOpenTakesTheUsbLinkDownFirst()
    {
        UsbTestbed bed;
        QVERIFY(PlugPrinter(bed) >= 0);
        RecordingDialog d;
        OpenUsb(d);
        QVERIFY(d->IsUsbReaderRunning());

        Click(d, idc::Serial);
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        QVERIFY(!d->IsUsbReaderRunning());
        QCOMPARE(UsbNodeCount(), 0);
        QVERIFY(d->ActiveLink() == Link::Serial);
        QVERIFY(d->IsWatcherRunning());
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), QStringLiteral("Mode 1 (Not Use Pinkey)"), kWaitMs);

        d->OnBnClickedClose();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Close Port"));
        QVERIFY(d.messages.isEmpty());
        EXPECT_DOWN(d);
    }

    // --- shutdown and resources -------------------------------------------------

    void closingTheWindowWhileTheReaderBlocksInARead()
    {
        UsbTestbed bed;
        QVERIFY(PlugPrinter(bed) >= 0);
        RecordingDialog d;
        d->show();
        OpenUsb(d);
        QVERIFY(d->IsUsbReaderRunning());
        QVERIFY(d->close());  // returns only once the reader is joined
        QVERIFY(!d->isVisible());
        EXPECT_DOWN(d);
    }

    void closingTheWindowWhileTheReaderWaitsOnItsMessageBox()
    {
        UsbTestbed bed;
        QVERIFY(PlugPrinter(bed) >= 0);
        RecordingDialog d;
        d->m_messageBoxHook = nullptr;  // real, non-modal boxes: the reader waits for an OK
        d->show();
        OpenUsb(d);
        QVERIFY(d->IsUsbReaderRunning());

        bed.Unplug(kSysPrinter2a92, kLp0);
        QTRY_VERIFY_WITH_TIMEOUT(VisibleBox(d.dlg.get(), kUsbGone) != nullptr, kWaitMs);
        QVERIFY(d->IsUsbReaderRunning());  // still waiting for the OK
        QVERIFY(d->close());
        EXPECT_DOWN(d);
    }

    void hundredCyclesLeaveNothingBehind()
    {
        UsbTestbed bed;
        QVERIFY(PlugPrinter(bed) >= 0);
        RecordingDialog d;
        Click(d, idc::Usb);
        // One cycle first, so that anything made once on first use is there.
        d->OnBnClickedOpen();
        d->OnBnClickedClose();
        const int descriptors = OpenDescriptorCount();
        const int threads = EntriesOf("/proc/self/task");
        for (int i = 0; i < 100; ++i) {
            d->OnBnClickedOpen();
            QVERIFY2(d->m_Status == "USB connection success", qPrintable(QString::number(i)));
            QVERIFY(d->IsUsbReaderRunning());
            d->OnBnClickedClose();
            QVERIFY2(!d->IsUsbReaderRunning(), qPrintable(QString::number(i)));
        }
        EXPECT_DOWN(d);
        QVERIFY2(OpenDescriptorCount() - descriptors < kDescriptorSlack,
                 qPrintable(QStringLiteral("%1 -> %2").arg(descriptors).arg(OpenDescriptorCount())));
        QVERIFY2(EntriesOf("/proc/self/task") - threads < 3,
                 qPrintable(QStringLiteral("%1 -> %2").arg(threads).arg(EntriesOf("/proc/self/task"))));
        QVERIFY(d.messages.isEmpty());
    }
};

int main(int argc, char** argv)
{
    RestartUnderUmockdevPreload(argv);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    DialogUsbTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_dialog_usb.moc"
