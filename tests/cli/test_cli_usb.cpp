// vendrill-cli --usb against a printer of the umockdev test bed. The test
// binary runs under the umockdev preload (tests/usb/umockdev_main.cpp), and
// the program it starts inherits the preload and the test bed's location,
// so it finds the same printer. A thread of the test plays the module on the
// printer side of the node.

#include "CliTestUtil.h"
#include "../usb/UsbTestbed.h"

#include "link/OpenError.h"
#include "sim/ModuleSim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
