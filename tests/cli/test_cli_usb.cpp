// vendrill-cli --usb against a printer of the umockdev test bed. The test
// binary runs under the umockdev preload (tests/usb/umockdev_main.cpp), and
// the program it starts inherits the preload and the test bed's location,
// so it finds the same printer. A thread of the test plays the module on the
// printer side of the node.

#include "CliTestUtil.h"
#include "../usb/UsbTestbed.h"

#include "link/OpenError.h"
#include "sim/ModuleSim.h"
#include "sim/SimHost.h"
#include "record/Record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <cerrno>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace vendrill;

namespace {

// Answers requests that arrive on the printer side with a CModuleSim.
class PrinterModule {
public:
    explicit PrinterModule(int printerFd)
        : m_fd(printerFd)
        , m_stop(::eventfd(0, EFD_CLOEXEC))
    {
        if (m_fd >= 0 && m_stop >= 0)
            m_thread = std::thread([this] { Serve(); });
    }
    ~PrinterModule()
    {
        const std::uint64_t one = 1;
        if (m_stop >= 0 && ::write(m_stop, &one, sizeof one) < 0)
            ADD_FAILURE() << "cannot stop the printer module";
        if (m_thread.joinable())
            m_thread.join();
        if (m_stop >= 0)
            ::close(m_stop);
    }
    bool Running() const { return m_thread.joinable(); }

    ModuleState State()
    {
        std::lock_guard lock(m_mutex);
        return m_sim.State();
    }
    void SetAddress(const std::string& address)
    {
        std::lock_guard lock(m_mutex);
        ModuleState state = m_sim.State();
        state.address = address;
        m_sim.SetState(state);
    }

private:
    void Serve()
    {
        std::uint8_t buf[512];
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents)
                return;
            const ssize_t n = (fds[0].revents & POLLIN) ? ::read(m_fd, buf, sizeof buf) : 0;
            if (n <= 0) {
                // The node side is not open (between two runs) and the
                // master reports a hang-up: pause instead of spinning.
                pollfd stop{m_stop, POLLIN, 0};
                if (::poll(&stop, 1, 20) != 0)
                    return;
                continue;
            }
            std::vector<proto::Bytes> replies;
            {
                std::lock_guard lock(m_mutex);
                replies = m_sim.Feed(buf, static_cast<std::size_t>(n));
            }
            for (const proto::Bytes& reply : replies) {
                std::size_t done = 0;
                while (done < reply.size()) {
                    const ssize_t w = ::write(m_fd, reply.data() + done, reply.size() - done);
                    if (w > 0)
                        done += static_cast<std::size_t>(w);
                    else if (w < 0 && errno != EINTR && errno != EAGAIN)
                        return;
                }
            }
        }
    }

    int m_fd;
    int m_stop;
    std::mutex m_mutex;
    CModuleSim m_sim;
    std::thread m_thread;
};

}  // namespace

TEST(CliUsb, InfoAndSetPinOverTheUsbPrinter)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    PrinterModule module(bed.PrinterSide("/dev/usb/lp0"));
    ASSERT_TRUE(module.Running());

    clitest::Outcome o = clitest::RunCli({"--usb", "info"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\nlevel: Mode 1 (Not Use Pinkey)\n");
    EXPECT_EQ(o.err, "") << "discovery trace lines only with --trace";

    o = clitest::RunCli({"--usb", "--json", "--trace", "set-pin", "4321"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("\"pin\": \"4321\""), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("ESC ~ 5 Set PINKEY"), std::string::npos) << o.err;
    EXPECT_EQ(module.State().pin, "4321");

    // Every write to the printer goes through the link's paced write, the
    // label's name and each of its three line feeds on their own, as the
    // window sends them.
    o = clitest::RunCli({"--usb", "--trace", "set-name", "LABEL", "--print"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.err.find("WriteComm data: 5\nWriteComm data: 1\n"), std::string::npos) << o.err;
    EXPECT_EQ(clitest::CountLines(o.err, "WriteComm data: 1"), 3) << o.err;
    EXPECT_EQ(clitest::CountLines(o.err, "WriteComm data: 9"), 1) << "the Set BDN frame\n" << o.err;
    EXPECT_EQ(module.State().name, "LABEL");
}

// The message for a printer node this user may not open names the node, its
// group and how to get access.
TEST(CliUsb, RefusedPrinterNodeIsExplained)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    const std::string text = vendrill::UsbOpenError(EACCES);
    EXPECT_EQ(text.rfind("no permission to open /dev/usb/lp0 (group ", 0), 0u) << text;
    EXPECT_NE(text.find("getfacl /dev/usb/lp0"), std::string::npos) << text;
    EXPECT_EQ(vendrill::UsbOpenError(ENOENT).rfind("the USB printer's node /dev/usb/lp0 is gone", 0), 0u);
}

TEST(CliUsb, NoAcceptedPrinterIsNoDevice)
{
    UsbTestbed bed;
    // Nothing plugged in is not "a wrong printer".
    clitest::Outcome o = clitest::RunCli({"--usb", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "vendrill-cli: no USB printer found (no /dev/usb/lp* printer node)\n");

    // Printers of other vendors are named, so the user sees what is there.
    ASSERT_TRUE(bed.Load("printer_other"));
    o = clitest::RunCli({"--usb", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "vendrill-cli: no USB printer of an accepted vendor (2A92, 0519) found; present: "
                     "/dev/usb/lp2 (vendor 04B8, product 0202)\n");
}

TEST(CliUsb, PortsListsUsbPrintersAndMappedPorts)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    bed.AddPrinter("9-2", "1234", "5678", "OTHER1", 1);
    CSimHost sim;
    ASSERT_TRUE(sim.Start());

    const clitest::Outcome o = clitest::RunCli({"ports", "--json"}, {"VENDRILL_COM7=" + sim.SlavePath()});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("{\"path\": \"/dev/usb/lp0\", \"kind\": \"usb-printer\", \"com\": null, \"by_id\": [], "
                         "\"vendor\": \"2a92\", \"product\": \"0003\", \"serial\": \"HL0001\", \"description\": "),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("\"path\": \"/dev/usb/lp1\", \"kind\": \"usb-printer\""), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"location\": \"9-2\", \"accepted\": false}"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("{\"path\": " + std::string("\"") + sim.SlavePath() + "\", \"kind\": \"serial\", \"com\": \"COM7\""),
              std::string::npos)
        << o.out;

    // A table under a header, "-" where there is nothing to say; --vid and
    // --pid keep one vendor's or product's ports.
    const clitest::Outcome plain = clitest::RunCli({"ports", "--vid", "2A92"});
    const std::vector<std::string> lines = clitest::Lines(plain.out);
    ASSERT_EQ(lines.size(), 2u) << plain.out;
    EXPECT_EQ(clitest::Words(lines[0]), (std::vector<std::string>{"PATH", "KIND", "COM", "USB", "SERIAL", "ACCEPTED",
                                                         "LOCATION", "DESCRIPTION", "BY-ID"}));
    const std::vector<std::string> lp0 = clitest::Words(lines[1]);
    ASSERT_GE(lp0.size(), 9u) << lines[1];
    EXPECT_EQ(std::vector<std::string>(lp0.begin(), lp0.begin() + 6),
              (std::vector<std::string>{"/dev/usb/lp0", "usb-printer", "-", "2a92:0003", "HL0001", "yes"}));
    EXPECT_EQ(clitest::Lines(clitest::RunCli({"ports", "--vid", "1234", "--pid", "5678"}).out).size(), 2u);
    EXPECT_EQ(clitest::Lines(clitest::RunCli({"ports", "--pid", "ffff"}).out).size(), 1u) << "the header alone";
}

TEST(CliUsb, UsbDeviceChoosesAPrinterByNodeOrSerial)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    bed.AddPrinter("9-2", "0519", "0001", "SECOND", 1);
    bed.AddPrinter("9-3", "1234", "0001", "FOREIGN", 2);
    PrinterModule first(bed.PrinterSide("/dev/usb/lp0")), second(bed.PrinterSide("/dev/usb/lp1"));
    ASSERT_TRUE(first.Running() && second.Running());
    second.SetAddress("0019019C0002");

    clitest::Outcome o = clitest::RunCli({"--usb-device", "SECOND", "info"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out.rfind("address: 0019019C0002\n", 0), 0u) << o.out;
    o = clitest::RunCli({"--usb-device", "/dev/usb/lp1", "set-pin", "9876"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(second.State().pin, "9876");
    EXPECT_EQ(first.State().pin, "0000");

    o = clitest::RunCli({"--usb-device", "FOREIGN", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_NE(o.err.find("not of an accepted vendor"), std::string::npos) << o.err;
    o = clitest::RunCli({"--usb-device", "NOSUCH", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_NE(o.err.find("no USB printer NOSUCH"), std::string::npos) << o.err;
}

TEST(CliUsb, StationFollowsPrintersBeingPluggedInAndOut)
{
    char dir[] = "/tmp/vendrill-usbst-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string db = std::string("sqlite:") + dir + "/r.sqlite";
    UsbTestbed bed;
    // A printer of another vendor stays plugged in throughout; the station passes it over.
    ASSERT_TRUE(bed.Load("printer_other"));
    std::unique_ptr<PrinterModule> modules[2];
    auto namedRecords = [&] {
        vendrill::record::OpenResult r = vendrill::record::Open(db, vendrill::record::Access::ReadOnly);
        std::vector<vendrill::record::VisitEntry> all;
        std::string error;
        if (r.record)
            r.record->List("", &all, &error);
        return std::count_if(all.begin(), all.end(),
                             [](const auto& e) { return e.visit.result == vendrill::record::Result::Named; });
    };
    auto waitForNamed = [&](long n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (namedRecords() < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return namedRecords() == n;
    };
    auto plugIn = [&](int k) {
        const std::string bus = "9-" + std::to_string(k + 1), lp = "lp" + std::to_string(5 + k);
        const std::string sys = bed.AddPrinter(bus, "2a92", "0003", "S" + std::to_string(k), 5 + k);
        modules[k] = std::make_unique<PrinterModule>(bed.PrinterSide("/dev/usb/" + lp));
        modules[k]->SetAddress("0019019D000" + std::to_string(k + 1));
        return sys;  // adding sends the add event
    };

    clitest::RunOptions run;
    run.whileRunning = [&](pid_t) {
        // The station starts with no accepted printer; the first comes with
        // an add event. It must see the remove event of the first before it
        // takes the second, which is already plugged in by then (the test
        // bed cannot give a pseudo-terminal number out twice).
        const std::string first = plugIn(0);
        ASSERT_TRUE(waitForNamed(1));
        plugIn(1);
        bed.Event(first + "/9-1:1.0/usbmisc/lp5", "remove");
        modules[0].reset();
        bed.Unplug(first, "/dev/usb/lp5");
        EXPECT_TRUE(waitForNamed(2));
    };
    const clitest::Outcome o = clitest::RunCli(
        {"station", "--usb", "--trace", "--db", db, "--create-record", "--name", "U", "--count", "2"}, run);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("0019019D0001  U00001  named  1"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("0019019D0002  U00002  named  2"), std::string::npos) << o.out;
    ASSERT_TRUE(modules[1]);
    EXPECT_EQ(modules[1]->State().name, "U00002");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
